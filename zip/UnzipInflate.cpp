#include "zip/UnzipInflate.h"

#include <array>
#include <cstring>
#include <new>

namespace {

constexpr unsigned kMaxBits = 16;

unsigned Reverse(unsigned code, unsigned len) {
  unsigned r = 0;
  for (unsigned i = 0; i < len; i++) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

}  // namespace

int UnzipBuildDecodeTables(const std::uint8_t* lengths, unsigned n, const UnzipLeaf* leaves,
                           const std::uint16_t* codes, unsigned rootBits, UnzipCode* table,
                           unsigned capacity, unsigned* used, bool* incomplete) {
  if (rootBits > 9 || capacity < (1u << rootBits)) return 2;
  unsigned count[kMaxBits + 1] = {};
  for (unsigned s = 0; s < n; s++) {
    if (lengths[s] > kMaxBits) return 1;
    count[lengths[s]]++;
  }
  // Kraft sum: more codes than the bits allow can never be a prefix code.
  long left = 1;
  for (unsigned len = 1; len <= kMaxBits; len++) {
    left = left * 2 - static_cast<long>(count[len]);
    if (left < 0) return 1;
  }
  *incomplete = left > 0;

  // Canonical codes unless the caller gives its own.
  std::uint16_t canonical[320];
  if (codes == nullptr) {
    if (n > 320) return 2;
    unsigned next[kMaxBits + 2];
    unsigned code = 0;
    count[0] = 0;
    for (unsigned len = 1; len <= kMaxBits; len++) {
      code = (code + count[len - 1]) << 1;
      next[len] = code;
    }
    for (unsigned s = 0; s < n; s++)
      if (lengths[s] != 0) canonical[s] = static_cast<std::uint16_t>(next[lengths[s]]++);
    codes = canonical;
  }

  const unsigned rootSize = 1u << rootBits;
  const UnzipCode invalid = {kUnzipOpInvalid, 1, 0};
  for (unsigned i = 0; i < rootSize; i++) table[i] = invalid;

  // Sizes of the second-level tables: the longest code under each first-level prefix.
  std::array<std::uint8_t, 512> subBits{};
  for (unsigned s = 0; s < n; s++) {
    unsigned len = lengths[s];
    if (len > rootBits) {
      unsigned prefix = Reverse(codes[s], len) & (rootSize - 1);
      if (len - rootBits > subBits[prefix]) subBits[prefix] = static_cast<std::uint8_t>(len - rootBits);
    }
  }
  unsigned next = rootSize;
  for (unsigned p = 0; p < rootSize; p++) {
    if (subBits[p] == 0) continue;
    unsigned size = 1u << subBits[p];
    if (next + size > capacity || next + size > 0xFFFF) return 2;
    table[p] = {static_cast<std::uint8_t>(kUnzipOpSubTable + subBits[p]), static_cast<std::uint8_t>(rootBits),
                static_cast<std::uint16_t>(next)};
    for (unsigned i = 0; i < size; i++) table[next + i] = invalid;
    next += size;
  }
  *used = next;

  for (unsigned s = 0; s < n; s++) {
    unsigned len = lengths[s];
    if (len == 0) continue;
    UnzipLeaf leaf = leaves ? leaves[s] : UnzipLeaf{0, static_cast<std::uint16_t>(s)};
    unsigned r = Reverse(codes[s], len);
    if (len <= rootBits) {
      for (unsigned i = r; i < rootSize; i += 1u << len) {
        if (table[i].op != kUnzipOpInvalid) return 1;  // collides with another code
        table[i] = {leaf.op, static_cast<std::uint8_t>(len), leaf.val};
      }
    } else {
      const UnzipCode link = table[r & (rootSize - 1)];
      if (link.op < kUnzipOpSubTable) return 1;
      unsigned sub = link.op - kUnzipOpSubTable;
      unsigned extra = len - rootBits;
      for (unsigned i = r >> rootBits; i < (1u << sub); i += 1u << extra) {
        UnzipCode& slot = table[link.val + i];
        if (slot.op != kUnzipOpInvalid) return 1;
        slot = {leaf.op, static_cast<std::uint8_t>(extra), leaf.val};
      }
    }
  }
  return 0;
}

namespace {

// Lengths 257..285 and distances 0..31 (30 and 31 only in Deflate64).
const std::uint16_t kLengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                       31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const std::uint16_t kDistBase[32] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                     49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                     2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
const std::uint8_t kDistExtra[32] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,  6,
                                     7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};
// Order of the code-length code lengths in a dynamic block header.
const std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

constexpr unsigned kLitCapacity = 2048;
constexpr unsigned kDistCapacity = 1024;
constexpr unsigned kDynLitBits = 9, kDynDistBits = 6, kFixedLitBits = 7, kFixedDistBits = 5;
constexpr unsigned kCodeLengthBits = 7;

struct LeafSets {
  UnzipLeaf lit[2][288];   // [deflate64]
  UnzipLeaf dist[2][32];
  LeafSets() {
    for (int d64 = 0; d64 < 2; d64++) {
      for (unsigned s = 0; s < 256; s++) lit[d64][s] = {kUnzipOpLiteral, static_cast<std::uint16_t>(s)};
      lit[d64][256] = {kUnzipOpEnd, 0};
      for (unsigned s = 257; s < 286; s++) lit[d64][s] = {kLengthExtra[s - 257], kLengthBase[s - 257]};
      lit[d64][286] = lit[d64][287] = {kUnzipOpInvalid, 0};
      for (unsigned s = 0; s < 32; s++) dist[d64][s] = {kDistExtra[s], kDistBase[s]};
    }
    // Deflate64: length code 285 is 3 plus 16 extra bits; distances 30 and 31 exist.
    lit[1][285] = {16, 3};
    dist[0][30] = dist[0][31] = {kUnzipOpInvalid, 0};
  }
};

const LeafSets& Leaves() {
  static const LeafSets sets;
  return sets;
}

struct FixedTables {
  UnzipCode lit[2][kLitCapacity];
  UnzipCode dist[2][kDistCapacity];
  FixedTables() {
    std::uint8_t lens[288];
    unsigned used;
    bool incomplete;
    for (int d64 = 0; d64 < 2; d64++) {
      for (unsigned s = 0; s < 288; s++) lens[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
      UnzipBuildDecodeTables(lens, 288, Leaves().lit[d64], nullptr, kFixedLitBits, lit[d64], kLitCapacity,
                             &used, &incomplete);
      for (unsigned s = 0; s < 32; s++) lens[s] = 5;
      UnzipBuildDecodeTables(lens, 32, Leaves().dist[d64], nullptr, kFixedDistBits, dist[d64], kDistCapacity,
                             &used, &incomplete);
    }
  }
};

// Built once for the process, on first use.
const FixedTables& Fixed() {
  static const FixedTables tables;
  return tables;
}

inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; i--) v = (v << 8) | p[i];
  return v;
}

class Inflater {
public:
  Inflater(std::uint8_t* window, bool deflate64, const UnzipInflateIo& io)
      : win_(window), d64_(deflate64), io_(io) {}

  UnzipInflateResult Run();

private:
  // Input. The bit buffer holds bitcnt_ valid bits; bits above them may hold copies of
  // the next input bytes (the wide refill loads eight bytes but counts only whole ones).
  bool Refill();
  bool RefillSlow();
  bool FetchInput();
  unsigned Bits(unsigned n) const { return static_cast<unsigned>(bitbuf_ & ((std::uint64_t(1) << n) - 1)); }
  void Drop(unsigned n) {
    bitbuf_ >>= n;
    bitcnt_ -= n;
  }
  bool Need(unsigned n) { return bitcnt_ >= n || Refill(); }
  bool PaddingConsumed() const { return padBits_ > bitcnt_; }

  // Output.
  bool Flush();
  bool Put(std::uint8_t b) {
    win_[pos_++] = b;
    return pos_ < kUnzipWindowSize || Flush();
  }
  bool CopyMatch(unsigned len, unsigned dist);

  int DecodeDeflateBlock(bool* last);
  int CopyStoredBlock();
  int DecodeDynamicBlock();
  int DecodeHuffmanData(const UnzipCode* tl, const UnzipCode* td, unsigned bl, unsigned bd);
  static constexpr int kFastMore = -1;
  int DecodeFast(const UnzipCode* tl, const UnzipCode* td, unsigned bl, unsigned bd);

  std::uint8_t* win_;
  bool d64_;
  const UnzipInflateIo& io_;
  std::uint64_t bitbuf_ = 0;
  unsigned bitcnt_ = 0;
  unsigned padBits_ = 0;  // zero bits added after the input ended (at the top of the buffer)
  const std::uint8_t* in_ = nullptr;
  const std::uint8_t* inEnd_ = nullptr;
  bool inputEnded_ = false;
  bool readFailed_ = false;
  std::uint64_t consumed_ = 0;  // bytes moved from the input into the bit buffer or out
  unsigned pos_ = 0;
  std::uint64_t flushed_ = 0;
  int outCode_ = 0;
  int incomplete_ = 0;
  UnzipCode lit_[kLitCapacity];
  UnzipCode dist_[kDistCapacity];
};

bool Inflater::FetchInput() {
  if (inputEnded_) return false;
  const std::uint8_t* data = nullptr;
  long n = io_.fill(io_.opaque, &data);
  if (n <= 0) {
    inputEnded_ = true;
    readFailed_ = n < 0;
    return false;
  }
  in_ = data;
  inEnd_ = data + n;
  return true;
}

// Brings the buffer to more than 56 valid bits. After the input has ended it adds zero
// bytes, which a decoder may look at but must not consume: once it has, the data ran
// past its end and no more are given.
bool Inflater::Refill() {
  if (inEnd_ - in_ >= 8) {
    bitbuf_ |= Load64(in_) << bitcnt_;
    unsigned take = (63 - bitcnt_) >> 3;
    in_ += take;
    consumed_ += take;
    bitcnt_ |= 56;
    return true;
  }
  return RefillSlow();
}

bool Inflater::RefillSlow() {
  while (bitcnt_ <= 56) {
    if (in_ == inEnd_ && !FetchInput()) {
      if (readFailed_ || PaddingConsumed()) return false;
      // Clear any stale bits first: nothing real follows.
      bitbuf_ &= bitcnt_ == 0 ? 0 : (~std::uint64_t(0) >> (64 - bitcnt_));
      padBits_ += 8;
      bitcnt_ += 8;
      continue;
    }
    if (inEnd_ - in_ >= 8 && bitcnt_ < 56) {
      return Refill();
    }
    bitbuf_ |= std::uint64_t(*in_++) << bitcnt_;
    consumed_++;
    bitcnt_ += 8;
  }
  return true;
}

bool Inflater::Flush() {
  if (pos_ == 0) return true;
  int code = io_.flush(io_.opaque, win_, pos_);
  flushed_ += pos_;
  pos_ = 0;
  if (code != 0) {
    outCode_ = code;
    return false;
  }
  return true;
}

// Copies len bytes from dist bytes back, across the window's end and flushing full
// windows. The distance has been checked against the bytes produced.
bool Inflater::CopyMatch(unsigned len, unsigned dist) {
  while (len > 0) {
    unsigned src = (pos_ + kUnzipWindowSize - dist) & (kUnzipWindowSize - 1);
    unsigned n = len;
    if (n > kUnzipWindowSize - pos_) n = static_cast<unsigned>(kUnzipWindowSize - pos_);
    if (n > kUnzipWindowSize - src) n = static_cast<unsigned>(kUnzipWindowSize - src);
    std::uint8_t* d = win_ + pos_;
    const std::uint8_t* s = win_ + src;
    if (src < pos_ && dist < n) {
      // Overlapping forward copy: each byte may repeat one written in this copy.
      if (dist >= 8) {
        unsigned i = 0;
        for (; i + 8 <= n; i += 8) std::memcpy(d + i, s + i, 8);
        for (; i < n; i++) d[i] = s[i];
      } else {
        for (unsigned i = 0; i < n; i++) d[i] = s[i];
      }
    } else if (s != d) {
      std::memmove(d, s, n);
    }
    pos_ += n;
    len -= n;
    if (pos_ == kUnzipWindowSize && !Flush()) return false;
  }
  return true;
}

int Inflater::CopyStoredBlock() {
  // To a byte boundary, then LEN and its complement.
  Drop(bitcnt_ & 7);
  if (!Need(32)) return 1;
  unsigned len = Bits(16);
  unsigned nlen = (Bits(32) >> 16) & 0xFFFF;
  Drop(32);
  if (len != (~nlen & 0xFFFF) || PaddingConsumed()) return 1;
  // Whole bytes still in the bit buffer come first.
  while (len > 0 && bitcnt_ >= 8) {
    if (PaddingConsumed() || bitcnt_ - 8 < padBits_) return 1;
    std::uint8_t b = static_cast<std::uint8_t>(Bits(8));
    Drop(8);
    len--;
    if (!Put(b)) return outCode_;
  }
  bitbuf_ = 0;
  bitcnt_ = 0;
  if (padBits_ != 0) {
    if (len > 0) return 1;
    padBits_ = 0;
  }
  while (len > 0) {
    if (in_ == inEnd_ && !FetchInput()) return 1;
    unsigned n = len;
    if (n > static_cast<unsigned>(inEnd_ - in_)) n = static_cast<unsigned>(inEnd_ - in_);
    if (n > kUnzipWindowSize - pos_) n = static_cast<unsigned>(kUnzipWindowSize - pos_);
    std::memcpy(win_ + pos_, in_, n);
    in_ += n;
    consumed_ += n;
    pos_ += n;
    len -= n;
    if (pos_ == kUnzipWindowSize && !Flush()) return outCode_;
  }
  return 0;
}

int Inflater::DecodeDynamicBlock() {
  if (!Need(14)) return 1;
  unsigned nlit = Bits(5) + 257;
  unsigned ndist = ((Bits(10) >> 5) & 31) + 1;
  unsigned ncode = ((Bits(14) >> 10) & 15) + 4;
  Drop(14);
  if (nlit > 286) return 1;  // codes 286 and 287 never occur

  std::uint8_t clen[19] = {};
  for (unsigned i = 0; i < ncode; i++) {
    if (!Need(3)) return 1;
    clen[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(Bits(3));
    Drop(3);
  }
  UnzipCode ct[1u << kCodeLengthBits];
  unsigned used;
  bool incomplete;
  if (UnzipBuildDecodeTables(clen, 19, nullptr, nullptr, kCodeLengthBits, ct, 1u << kCodeLengthBits, &used,
                             &incomplete) != 0)
    return 1;

  // The literal/length and distance code lengths, one run of symbols.
  std::uint8_t lens[286 + 32];
  const unsigned total = nlit + ndist;
  unsigned i = 0;
  while (i < total) {
    if (!Need(16)) return 1;
    UnzipCode c = ct[Bits(kCodeLengthBits)];
    if (c.op == kUnzipOpInvalid) return 1;
    Drop(c.bits);
    unsigned sym = c.val;
    if (sym < 16) {
      lens[i++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    unsigned repeat;
    std::uint8_t value = 0;
    if (sym == 16) {
      if (i == 0) return 1;  // nothing to repeat
      value = lens[i - 1];
      repeat = 3 + Bits(2);
      Drop(2);
    } else if (sym == 17) {
      repeat = 3 + Bits(3);
      Drop(3);
    } else {
      repeat = 11 + Bits(7);
      Drop(7);
    }
    if (repeat > total - i) return 1;  // past the end of the lengths
    while (repeat-- > 0) lens[i++] = value;
  }
  if (PaddingConsumed()) return 1;
  if (lens[256] == 0) return 1;  // a block without an end code cannot end

  const LeafSets& leaves = Leaves();
  int r = UnzipBuildDecodeTables(lens, nlit, leaves.lit[d64_], nullptr, kDynLitBits, lit_, kLitCapacity, &used,
                                 &incomplete);
  // An incomplete code is accepted only in its one legitimate form: a single code of one bit.
  auto single = [](const std::uint8_t* l, unsigned n) {
    unsigned codes = 0, ones = 0;
    for (unsigned k = 0; k < n; k++) {
      codes += l[k] != 0;
      ones += l[k] == 1;
    }
    return codes <= 1 && codes == ones;
  };
  if (r != 0 || (incomplete && !single(lens, nlit))) {
    if (r == 0) incomplete_ = 1;
    return 1;
  }
  r = UnzipBuildDecodeTables(lens + nlit, ndist, leaves.dist[d64_], nullptr, kDynDistBits, dist_, kDistCapacity,
                             &used, &incomplete);
  if (r != 0 || (incomplete && !single(lens + nlit, ndist))) {
    if (r == 0) incomplete_ = 2;
    return 1;
  }
  return DecodeHuffmanData(lit_, dist_, kDynLitBits, kDynDistBits);
}

// A match whose source and target both lie inside the window without wrapping.
inline void CopyWithin(std::uint8_t* out, unsigned len, unsigned dist) {
  const std::uint8_t* src = out - dist;
  if (dist >= 8) {
    // Eight bytes at a time: each piece reads only bytes written before it.
    unsigned i = 0;
    for (; i + 8 <= len; i += 8) std::memcpy(out + i, src + i, 8);
    for (; i < len; i++) out[i] = src[i];
  } else if (dist == 1) {
    std::memset(out, *src, len);
  } else {
    for (unsigned i = 0; i < len; i++) out[i] = src[i];
  }
}

// The inner loop while the input holds at least 16 more bytes and the window has room
// for the longest deflate match. The state lives in locals here: window writes may alias
// anything, and would otherwise force the bit buffer back to memory after every byte.
// Returns kFastMore when the slow loop must take over, or the block's result.
int Inflater::DecodeFast(const UnzipCode* tl, const UnzipCode* td, unsigned bl, unsigned bd) {
  const std::uint64_t lmask = (1u << bl) - 1, dmask = (1u << bd) - 1;
  std::uint64_t bb = bitbuf_;
  unsigned bc = bitcnt_;
  const std::uint8_t* in = in_;
  const std::uint8_t* const inLimit = inEnd_ - 16;
  std::uint8_t* const win = win_;
  unsigned pos = pos_;
  int result = kFastMore;
  auto refill = [&] {
    bb |= Load64(in) << bc;
    in += (63 - bc) >> 3;
    bc |= 56;
  };
  while (in <= inLimit && pos <= kUnzipWindowSize - 258) {
    if (bc < 32) refill();
    UnzipCode e = tl[bb & lmask];
    if (e.op >= kUnzipOpSubTable) {
      bb >>= e.bits;
      bc -= e.bits;
      e = tl[e.val + (bb & ((1u << (e.op - kUnzipOpSubTable)) - 1))];
    }
    bb >>= e.bits;
    bc -= e.bits;
    if (e.op == kUnzipOpLiteral) {
      win[pos++] = static_cast<std::uint8_t>(e.val);
      continue;
    }
    if (e.op > 16) {
      result = e.op == kUnzipOpEnd ? 0 : 1;
      break;
    }
    unsigned len = e.val + static_cast<unsigned>(bb & ((std::uint64_t(1) << e.op) - 1));
    bb >>= e.op;
    bc -= e.op;
    if (bc < 32) refill();
    UnzipCode d = td[bb & dmask];
    if (d.op >= kUnzipOpSubTable) {
      bb >>= d.bits;
      bc -= d.bits;
      d = td[d.val + (bb & ((1u << (d.op - kUnzipOpSubTable)) - 1))];
    }
    bb >>= d.bits;
    bc -= d.bits;
    if (d.op > 16) {
      result = 1;
      break;
    }
    unsigned dist = d.val + static_cast<unsigned>(bb & ((std::uint64_t(1) << d.op) - 1));
    bb >>= d.op;
    bc -= d.op;
    if (dist > flushed_ + pos) {  // before the first byte
      result = 1;
      break;
    }
    if (dist <= pos && len <= 258) {
      CopyWithin(win + pos, len, dist);
      pos += len;
      continue;
    }
    // Wrapping or a Deflate64 length: the general copy, which may flush.
    pos_ = pos;
    if (!CopyMatch(len, dist)) {
      result = outCode_;
      break;
    }
    pos = pos_;
  }
  consumed_ += static_cast<std::uint64_t>(in - in_);
  bitbuf_ = bb;
  bitcnt_ = bc;
  in_ = in;
  pos_ = pos;
  return result;
}

int Inflater::DecodeHuffmanData(const UnzipCode* tl, const UnzipCode* td, unsigned bl, unsigned bd) {
  const std::uint64_t lmask = (1u << bl) - 1, dmask = (1u << bd) - 1;
  for (;;) {
    if (inEnd_ - in_ >= 16 && pos_ <= kUnzipWindowSize - 258) {
      int r = DecodeFast(tl, td, bl, bd);
      if (r != kFastMore) return r;
      if (pos_ == kUnzipWindowSize && !Flush()) return outCode_;
    }
    // One symbol at a time near the ends of the input and of the window.
    if (bitcnt_ < 32 && !Refill()) return 1;
    UnzipCode e = tl[bitbuf_ & lmask];
    if (e.op >= kUnzipOpSubTable) {
      Drop(e.bits);
      e = tl[e.val + Bits(e.op - kUnzipOpSubTable)];
    }
    Drop(e.bits);
    if (e.op == kUnzipOpLiteral) {
      win_[pos_++] = static_cast<std::uint8_t>(e.val);
      if (pos_ == kUnzipWindowSize && !Flush()) return outCode_;
      continue;
    }
    if (e.op > 16) {
      if (e.op == kUnzipOpEnd) return PaddingConsumed() ? 1 : 0;
      return 1;
    }
    unsigned len = e.val + Bits(e.op);
    Drop(e.op);
    if (bitcnt_ < 32 && !Refill()) return 1;
    UnzipCode d = td[bitbuf_ & dmask];
    if (d.op >= kUnzipOpSubTable) {
      Drop(d.bits);
      d = td[d.val + Bits(d.op - kUnzipOpSubTable)];
    }
    Drop(d.bits);
    if (d.op > 16) return 1;
    unsigned dist = d.val + Bits(d.op);
    Drop(d.op);
    if (dist > flushed_ + pos_ || PaddingConsumed()) return 1;  // before the first byte
    if (dist <= pos_ && len <= kUnzipWindowSize - pos_) {
      CopyWithin(win_ + pos_, len, dist);
      pos_ += len;
      if (pos_ == kUnzipWindowSize && !Flush()) return outCode_;
    } else if (!CopyMatch(len, dist)) {
      return outCode_;
    }
  }
}

int Inflater::DecodeDeflateBlock(bool* last) {
  if (!Need(3)) return 1;
  *last = Bits(1) != 0;
  unsigned type = (Bits(3) >> 1) & 3;
  Drop(3);
  if (PaddingConsumed()) return 1;
  switch (type) {
    case 0:
      return CopyStoredBlock();
    case 1: {
      const FixedTables& f = Fixed();
      return DecodeHuffmanData(f.lit[d64_], f.dist[d64_], kFixedLitBits, kFixedDistBits);
    }
    case 2:
      return DecodeDynamicBlock();
    default:
      return 2;
  }
}

UnzipInflateResult Inflater::Run() {
  UnzipInflateResult result;
  bool last = false;
  int code = 0;
  do {
    code = DecodeDeflateBlock(&last);
  } while (code == 0 && !last);
  // What was decoded before invalid data still goes out.
  if ((code == 0 || code == 1 || code == 2) && !Flush() && code == 0) code = outCode_;
  if (readFailed_ && code == 0) code = 1;
  result.code = code;
  result.incompleteTree = code == 1 ? incomplete_ : 0;
  result.produced = flushed_ + pos_;
  // Bytes still whole in the bit buffer were read ahead and are not part of the stream.
  unsigned unusedBytes = bitcnt_ > padBits_ ? (bitcnt_ - padBits_) / 8 : 0;
  result.consumed = consumed_ - unusedBytes;
  return result;
}

}  // namespace

UnzipInflateResult UnzipInflate(std::uint8_t* window, bool deflate64, const UnzipInflateIo& io) {
  Inflater* inf = new (std::nothrow) Inflater(window, deflate64, io);
  if (inf == nullptr) {
    UnzipInflateResult r;
    r.code = 3;
    return r;
  }
  UnzipInflateResult r = inf->Run();
  delete inf;
  return r;
}

namespace {

struct BufferIo {
  const std::uint8_t* in;
  std::size_t inSize;
  bool given;
  std::uint8_t* out;
  std::size_t outSize;
  std::size_t outLen;
};

}  // namespace

long UnzipInflateBuffer(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize,
                        bool deflate64) {
  BufferIo b{in, inSize, false, out, outSize, 0};
  UnzipInflateIo io;
  io.opaque = &b;
  io.fill = [](void* o, const std::uint8_t** data) -> long {
    auto* s = static_cast<BufferIo*>(o);
    if (s->given || s->inSize == 0) return 0;
    s->given = true;
    *data = s->in;
    return static_cast<long>(s->inSize);
  };
  io.flush = [](void* o, const std::uint8_t* data, std::size_t len) -> int {
    auto* s = static_cast<BufferIo*>(o);
    if (len > s->outSize - s->outLen) return 1;
    std::memcpy(s->out + s->outLen, data, len);
    s->outLen += len;
    return 0;
  };
  std::uint8_t* window = new (std::nothrow) std::uint8_t[kUnzipWindowSize];
  if (window == nullptr) return -1;
  UnzipInflateResult r = UnzipInflate(window, deflate64, io);
  delete[] window;
  return r.code == 0 ? static_cast<long>(b.outLen) : -1;
}
