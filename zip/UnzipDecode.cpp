// The extractor's decoders (inflate and Deflate64 through UnzipInflate, implode, shrink)
// and traditional PKWARE decryption.
#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "zip/UnzipContext.h"
#include "zip/ZipCrc32.h"

namespace {

long FillFromEntry(void* opaque, const std::uint8_t** data) {
  return UnzipNextEntryChunk(static_cast<UnzipContext*>(opaque), data);
}

int FlushToOutput(void* opaque, const std::uint8_t* data, std::size_t len) {
  return UnzipFlushOutput(static_cast<UnzipContext*>(opaque), data, len, false);
}

// LSB-first bits for the older methods, a byte at a time from the entry's data. After
// the data ends it gives zero bits and remembers that it did.
struct OldBits {
  UnzipContext* c;
  std::uint32_t buf = 0;
  unsigned cnt = 0;
  unsigned padBits = 0;
  std::uint64_t bytes = 0;

  explicit OldBits(UnzipContext* ctx) : c(ctx) {}
  void Need(unsigned n) {
    while (cnt < n) {
      int b = UnzipFetchEntryByte(c);
      if (b < 0) {
        b = 0;
        padBits += 8;
      } else {
        bytes++;
      }
      buf |= std::uint32_t(b) << cnt;
      cnt += 8;
    }
  }
  unsigned Peek(unsigned n) {
    Need(n);
    return buf & ((1u << n) - 1);
  }
  void Drop(unsigned n) {
    buf >>= n;
    cnt -= n;
  }
  unsigned Get(unsigned n) {
    unsigned v = Peek(n);
    Drop(n);
    return v;
  }
  bool Overrun() const { return padBits > cnt; }
  // Whole bytes of real data taken so far (a partly used last byte counts).
  std::uint64_t Used() const {
    unsigned unusedReal = cnt > padBits ? cnt - padBits : 0;
    return bytes - unusedReal / 8;
  }
};

// The output side shared by implode and shrink: the 64 KiB window, flushed when full.
struct WindowOut {
  UnzipContext* c;
  std::uint8_t* win;
  std::size_t pos = 0;
  std::uint64_t total = 0;
  int code = 0;

  explicit WindowOut(UnzipContext* ctx) : c(ctx), win(ctx->window.get()) {}
  bool Put(std::uint8_t b) {
    win[pos++] = b;
    total++;
    if (pos == kUnzipWindowSize) return Flush();
    return true;
  }
  bool Flush() {
    if (pos > 0) {
      code = UnzipFlushOutput(c, win, pos, false);
      pos = 0;
    }
    return code == 0;
  }
  // The byte dist back, or 0 before the first byte.
  std::uint8_t Back(std::uint64_t dist) const {
    if (dist > total) return 0;
    return win[(pos + kUnzipWindowSize - dist) & (kUnzipWindowSize - 1)];
  }
};

// Implode's code tables: Shannon-Fano codes, sent as run-length coded bit lengths.
constexpr unsigned kImplodeCapacity = 1u << 16;

int UnzipReadImplodeLengths(UnzipContext* c, std::uint8_t* lengths, unsigned count) {
  int n = UnzipFetchEntryByte(c);
  if (n < 0) return 1;
  unsigned filled = 0;
  for (int i = 0; i <= n; i++) {
    int b = UnzipFetchEntryByte(c);
    if (b < 0) return 1;
    unsigned len = (b & 0x0F) + 1;
    unsigned repeat = ((b >> 4) & 0x0F) + 1;
    if (repeat > count - filled) return 1;  // more lengths than the table has
    for (unsigned k = 0; k < repeat; k++) lengths[filled++] = static_cast<std::uint8_t>(len);
  }
  return filled == count ? 0 : 1;  // and it must fill it
}

// The codes as the compressor assigns them: lengths sorted ascending (stable), codes
// counted up from the longest, each sent first bit first.
int BuildImplodeTable(const std::uint8_t* lengths, unsigned count, unsigned rootBits, std::vector<UnzipCode>* table) {
  std::vector<unsigned> order(count);
  for (unsigned i = 0; i < count; i++) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](unsigned a, unsigned b) { return lengths[a] < lengths[b]; });
  std::vector<std::uint16_t> codes(count);
  std::uint32_t code = 0, increment = 0;
  unsigned lastLen = 0;
  for (unsigned k = count; k-- > 0;) {
    unsigned s = order[k];
    code += increment;
    if (code > 0xFFFF) return 1;
    if (lengths[s] != lastLen) {
      lastLen = lengths[s];
      increment = 1u << (16 - lastLen);
    }
    codes[s] = static_cast<std::uint16_t>(code >> (16 - lengths[s]));
  }
  table->assign(kImplodeCapacity, UnzipCode{kUnzipOpInvalid, 1, 0});
  unsigned used = 0;
  bool incomplete = false;
  return UnzipBuildDecodeTables(lengths, count, nullptr, codes.data(), rootBits, table->data(), kImplodeCapacity,
                                &used, &incomplete) == 0
             ? 0
             : 1;
}

// One symbol; -1 for an invalid code.
int DecodeSymbol(OldBits& bits, const std::vector<UnzipCode>& table, unsigned rootBits) {
  bits.Need(16);
  UnzipCode e = table[bits.buf & ((1u << rootBits) - 1)];
  if (e.op >= kUnzipOpSubTable) {
    bits.Drop(e.bits);
    e = table[e.val + (bits.buf & ((1u << (e.op - kUnzipOpSubTable)) - 1))];
  }
  if (e.op == kUnzipOpInvalid) return -1;
  bits.Drop(e.bits);
  return e.val;
}

int ImplodedData(UnzipContext* c, OldBits& bits, bool literalTree, const std::vector<UnzipCode>* lit,
                 const std::vector<UnzipCode>& len, const std::vector<UnzipCode>& dist, unsigned distRoot,
                 unsigned lowBits, WindowOut& out) {
  const std::uint64_t size = c->entry->uncompressedSize;
  const unsigned minMatch = literalTree ? 3 : 2;
  while (out.total < size) {
    if (bits.Get(1)) {
      int b = literalTree ? DecodeSymbol(bits, *lit, 9) : static_cast<int>(bits.Get(8));
      if (b < 0) return 1;
      if (!out.Put(static_cast<std::uint8_t>(b))) return out.code;
    } else {
      unsigned low = bits.Get(lowBits);
      int high = DecodeSymbol(bits, dist, distRoot);
      if (high < 0) return 1;
      std::uint64_t d = ((static_cast<unsigned>(high) << lowBits) | low) + 1;
      int l = DecodeSymbol(bits, len, 7);
      if (l < 0) return 1;
      unsigned n = static_cast<unsigned>(l);
      if (n == 63) n += bits.Get(8);
      n += minMatch;
      // Bytes from before the start of the data are zeros, as the compressor assumed.
      while (n-- > 0 && out.total < size)
        if (!out.Put(out.Back(d))) return out.code;
    }
    if (bits.Overrun()) return 0;  // the data ran out: reported by the size check
  }
  return 0;
}

}  // namespace

int UnzipInflateEntry(UnzipContext* c, bool deflate64) {
  UnzipInflateIo io{c, FillFromEntry, FlushToOutput};
  UnzipInflateResult r = UnzipInflate(c->window.get(), deflate64, io);
  if (r.incompleteTree == 1) UnzipInfo(c, kUnzipMsgError, "(incomplete l-tree)  ");
  if (r.incompleteTree == 2) UnzipInfo(c, kUnzipMsgError, "(incomplete d-tree)  ");
  if (r.code == 0) return UnzipFlushOutput(c, nullptr, 0, true);
  return r.code;
}

int UnzipExpandImploded(UnzipContext* c) {
  const UnzipEntry* e = c->entry;
  const bool literalTree = (e->flags & 4) != 0;
  const unsigned lowBits = (e->flags & 2) ? 7 : 6;
  const unsigned distRoot = e->compressedSize > 200000 ? 8 : 7;
  c->implodeShort = false;
  c->implodeUsed = 0;

  std::vector<UnzipCode> lit, len, dist;
  std::uint8_t lengths[256];
  try {
    if (literalTree && (UnzipReadImplodeLengths(c, lengths, 256) != 0 || BuildImplodeTable(lengths, 256, 9, &lit) != 0))
      return 1;
    if (UnzipReadImplodeLengths(c, lengths, 64) != 0 || BuildImplodeTable(lengths, 64, 7, &len) != 0) return 1;
    if (UnzipReadImplodeLengths(c, lengths, 64) != 0 || BuildImplodeTable(lengths, 64, distRoot, &dist) != 0) return 1;
  } catch (const std::bad_alloc&) {
    return 3;
  }
  // The tables were whole bytes; the codes follow.
  std::uint64_t tableBytes = e->compressedSize - (e->encrypted ? 12u : 0u) - c->compressedLeft -
                             static_cast<std::uint64_t>(c->byteEnd - c->byteNext);
  OldBits bits(c);
  WindowOut out(c);
  int r = ImplodedData(c, bits, literalTree, literalTree ? &lit : nullptr, len, dist, distRoot, lowBits, out);
  if (r != 0) return r;
  if (!out.Flush()) return out.code;
  r = UnzipFlushOutput(c, nullptr, 0, true);
  if (r != 0) return r;

  const std::uint64_t expected = e->compressedSize - (e->encrypted ? 12u : 0u);
  c->implodeUsed = tableBytes + bits.Used();
  if (out.total != e->uncompressedSize || bits.Overrun()) {
    c->implodeShort = true;
    if (c->implodeUsed <= expected) c->implodeUsed = expected + 1;
    return 5;
  }
  if (c->implodeUsed < expected) return 5;
  return 0;
}

int UnzipExpandShrunk(UnzipContext* c) {
  constexpr unsigned kCodes = 8192;
  struct Node {
    std::int16_t parent;
    std::uint8_t value;
    bool used;
  };
  std::unique_ptr<Node[]> table(new (std::nothrow) Node[kCodes]);
  std::unique_ptr<std::uint8_t[]> stack(new (std::nothrow) std::uint8_t[kCodes]);
  if (!table || !stack) return 3;
  for (unsigned i = 0; i < kCodes; i++) table[i] = Node{-1, static_cast<std::uint8_t>(i & 0xFF), i < 256};

  OldBits bits(c);
  WindowOut out(c);
  unsigned codeSize = 9;
  unsigned nextFree = 257;
  int prev = -1;
  auto findFree = [&](unsigned from) {
    while (from < kCodes && table[from].used) from++;
    return from;
  };
  for (;;) {
    unsigned code = bits.Get(codeSize);
    if (bits.Overrun()) break;  // the data is done
    if (code == 256) {
      unsigned sub = bits.Get(codeSize);
      if (bits.Overrun()) break;
      if (sub == 1) {
        if (codeSize >= 13) return 1;
        codeSize++;
      } else if (sub == 2) {
        // Partial clearing: every code that is no other code's prefix becomes free.
        std::vector<bool> isParent(kCodes, false);
        for (unsigned i = 257; i < kCodes; i++)
          if (table[i].used && table[i].parent >= 0) isParent[static_cast<unsigned>(table[i].parent)] = true;
        for (unsigned i = 257; i < kCodes; i++)
          if (table[i].used && !isParent[i]) table[i].used = false;
        nextFree = findFree(257);
      } else {
        return 1;
      }
      continue;
    }
    if (prev < 0) {
      if (code > 255) return 1;
      if (!out.Put(static_cast<std::uint8_t>(code))) return out.code;
      prev = static_cast<int>(code);
      continue;
    }
    // The string of the code, read back from its last byte.
    unsigned top = kCodes;
    bool pending = false;  // the code about to be defined: the previous string plus its first byte
    unsigned walk = code;
    if (!table[code].used) {
      if (code != nextFree) return 1;  // a code that nothing has defined
      pending = true;
      walk = static_cast<unsigned>(prev);
      top--;  // room for the repeated first byte
    }
    unsigned steps = 0;
    for (;;) {
      if (top == 0 || ++steps > kCodes) return 1;
      stack[--top] = table[walk].value;
      if (table[walk].parent < 0) break;
      walk = static_cast<unsigned>(table[walk].parent);
      if (!table[walk].used) return 1;
    }
    std::uint8_t first = stack[top];
    if (pending) stack[kCodes - 1] = first;
    for (unsigned i = top; i < kCodes; i++)
      if (!out.Put(stack[i])) return out.code;
    if (nextFree < kCodes) {
      table[nextFree] = Node{static_cast<std::int16_t>(prev), first, true};
      nextFree = findFree(nextFree + 1);
    }
    prev = static_cast<int>(code);
  }
  if (!out.Flush()) return out.code;
  return UnzipFlushOutput(c, nullptr, 0, true);
}

int UnzipDecodeBufferedBlock(UnzipContext*, std::uint8_t* target, std::size_t targetSize, const std::uint8_t* block,
                             std::size_t blockSize, std::uint16_t method, std::uint32_t crc) {
  if (method == 0) {
    if (blockSize != targetSize) return 2;
    std::memcpy(target, block, blockSize);
  } else if (method == 8) {
    long n = UnzipInflateBuffer(block, blockSize, target, targetSize, false);
    if (n != static_cast<long>(targetSize)) return 2;
  } else {
    return 1;
  }
  return ZipUpdateCrc32(0, target, targetSize) == crc ? 0 : 3;
}

// Traditional PKWARE encryption.
std::uint8_t UnzipCipherStreamByte(const UnzipContext* c) {
  unsigned temp = (c->keys[2] & 0xFFFF) | 2;
  return static_cast<std::uint8_t>((temp * (temp ^ 1)) >> 8);
}

void UnzipCipherAdvance(UnzipContext* c, std::uint8_t plain) {
  const std::uint32_t* t = ZipLazyCrcTable();
  c->keys[0] = t[(c->keys[0] ^ plain) & 0xFF] ^ (c->keys[0] >> 8);
  c->keys[1] = (c->keys[1] + (c->keys[0] & 0xFF)) * 134775813u + 1;
  c->keys[2] = t[(c->keys[2] ^ (c->keys[1] >> 24)) & 0xFF] ^ (c->keys[2] >> 8);
}

void UnzipInitKeys(UnzipContext* c, const char* password) {
  c->keys[0] = 0x12345678u;
  c->keys[1] = 0x23456789u;
  c->keys[2] = 0x34567890u;
  for (const char* p = password; *p; p++) UnzipCipherAdvance(c, static_cast<std::uint8_t>(*p));
}

int UnzipTryPassword(UnzipContext* c, const std::uint8_t* header, const char* password) {
  UnzipInitKeys(c, password);
  std::uint8_t last = 0;
  for (int i = 0; i < 12; i++) {
    last = header[i] ^ UnzipCipherStreamByte(c);
    UnzipCipherAdvance(c, last);
  }
  const UnzipEntry* e = c->entry;
  // The check byte: the CRC's high byte, or the time's when a data descriptor follows.
  std::uint8_t check = e->dataDescriptor || (c->local.flags & 8) ? static_cast<std::uint8_t>(e->dosDateTime >> 8)
                                                                   : static_cast<std::uint8_t>(e->crc >> 24);
  return last == check ? 0 : -1;
}

int UnzipAskPassword(UnzipContext* c, char* buffer, int size, const char* prompt, const char* name) {
  if (c->callbacks == nullptr || c->callbacks->password == nullptr) return 1;
  return c->callbacks->password(buffer, size, prompt, name);
}

int UnzipCheckEncryptionHeader(UnzipContext* c, const char* password) {
  std::uint8_t header[12];
  for (int i = 0; i < 12; i++) {
    int b = UnzipFetchEntryByte(c);
    if (b < 0) return 1;
    header[i] = static_cast<std::uint8_t>(b);
  }
  // Bytes already fetched past the header go back, to be deciphered as they are taken.
  if (c->byteNext != c->byteEnd) {
    std::size_t back = static_cast<std::size_t>(c->byteEnd - c->byteNext);
    c->bufferPos -= back;
    c->compressedLeft += back;
  }
  c->byteNext = c->byteEnd = nullptr;

  auto fits = [&](const char* pw) {
    if (UnzipTryPassword(c, header, pw) == 0) return true;
    char oem[kUnzipPasswordBufferSize];
    std::strncpy(oem, pw, sizeof oem - 1);
    oem[sizeof oem - 1] = '\0';
    c->fs->AnsiToOem(oem, std::strlen(oem));
    return std::strcmp(oem, pw) != 0 && UnzipTryPassword(c, header, oem) == 0;
  };
  auto accept = [&](const char* pw) {
    c->password = pw;
    c->havePassword = true;
    c->decrypting = true;
    return 0;
  };
  if (password != nullptr && fits(password)) return accept(password);
  if (c->havePassword && fits(c->password.c_str())) return accept(c->password.c_str());
  if (c->noMorePasswords) return 1;

  const std::string name = UnzipPrintableName(c->entry->name.c_str());
  for (int attempt = 0; attempt < 3; attempt++) {
    char buffer[kUnzipPasswordBufferSize] = {};
    int r = c->passwordFn(c, buffer, kUnzipPasswordBufferSize,
                          attempt == 0 ? "Enter password for: " : "Password incorrect--reenter: ", name.c_str());
    buffer[kUnzipPasswordBufferSize - 1] = '\0';
    if (r == kUnzipPasswordCancel) return kUnzipNoPassword;
    if (r != 0) {
      // Declined: the empty password gets one try, and no more questions follow.
      if (r == kUnzipPasswordNoMore) c->noMorePasswords = true;
      if (fits("")) return accept("");
      return 1;
    }
    if (fits(buffer)) return accept(buffer);
  }
  return 1;
}
