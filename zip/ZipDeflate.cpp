#include "zip/ZipDeflate.h"

#include <cstring>

#include "zip/ZipCrc32.h"

namespace {

constexpr unsigned kWindowSize = 32768;
constexpr unsigned kWindowMask = kWindowSize - 1;
constexpr unsigned kHashSize = 32768;
constexpr unsigned kHashMask = kHashSize - 1;
constexpr unsigned kHashShift = 5;
constexpr unsigned kMinMatch = 3;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinLookahead = kMaxMatch + kMinMatch + 1;
// Matches this far back are not searched, so that the window can slide with a whole
// maximal match still ahead.
constexpr unsigned kMaxDistance = kWindowSize - kMinLookahead;
// A match of the minimum length this far back costs more than three literals.
constexpr unsigned kTooFar = 4096;
constexpr unsigned kSymbolLimit = 32767;  // symbols (literals and matches) per block
constexpr unsigned kLiteralCodes = 286;   // 256 literals, end of block, 29 lengths
constexpr unsigned kDistanceCodes = 30;
constexpr unsigned kLengthCodes = 19;     // the code-length alphabet
constexpr unsigned kEndOfBlock = 256;
constexpr unsigned kMaxCodeBits = 15;
constexpr unsigned kMaxLengthCodeBits = 7;
constexpr std::size_t kOutputSize = 16384;
constexpr std::size_t kOutputSlack = 2048;  // room for a block header or a symbol past the mark
// Match comparisons read whole words and may pass the end of the data by this much.
constexpr std::size_t kWindowSlack = kMaxMatch + 16;

struct LevelConfig {
  unsigned good;   // a previous match this long makes the search four times shorter
  unsigned lazy;   // levels 4-9: no search at all after a match this long;
                   // levels 1-3: the longest match whose strings are hashed
  unsigned nice;   // a match this long ends the search
  unsigned chain;  // at most this many chain links are followed
};
const LevelConfig kLevels[10] = {
    {0, 0, 0, 0},       {4, 4, 8, 4},       {4, 5, 16, 8},       {4, 6, 32, 32},      {4, 4, 16, 16},
    {8, 16, 32, 32},    {8, 16, 128, 128},  {8, 32, 128, 256},   {32, 128, 258, 1024}, {32, 258, 258, 4096},
};

const std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                       2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                         6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
// Order in which the code-length code lengths are sent.
const std::uint8_t kLengthOrder[kLengthCodes] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

std::uint16_t ReverseBits(unsigned code, unsigned length) {
  unsigned r = 0;
  for (unsigned i = 0; i < length; i++) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return static_cast<std::uint16_t>(r);
}

// Canonical codes for the lengths, bit-reversed for the LSB-first bit writer.
void AssignCodes(const std::uint8_t* lengths, std::uint16_t* codes, unsigned count) {
  unsigned lengthCount[kMaxCodeBits + 1] = {};
  for (unsigned i = 0; i < count; i++) lengthCount[lengths[i]]++;
  lengthCount[0] = 0;
  unsigned next[kMaxCodeBits + 1];
  unsigned code = 0;
  for (unsigned bits = 1; bits <= kMaxCodeBits; bits++) {
    code = (code + lengthCount[bits - 1]) << 1;
    next[bits] = code;
  }
  for (unsigned i = 0; i < count; i++)
    codes[i] = lengths[i] ? ReverseBits(next[lengths[i]]++, lengths[i]) : 0;
}

struct Tables {
  std::uint8_t lengthCode[256];  // match length - 3 -> length code 0..28
  std::uint16_t lengthBase[29];  // first length - 3 of each code
  std::uint8_t distanceCode[512];  // see DistanceCode()
  std::uint16_t distanceBase[30];  // first distance - 1 of each code
  std::uint8_t fixedLiteralLength[288];
  std::uint16_t fixedLiteralCode[288];
  std::uint8_t fixedDistanceLength[kDistanceCodes];
  std::uint16_t fixedDistanceCode[kDistanceCodes];

  Tables() {
    unsigned length = 0;
    for (unsigned code = 0; code < 28; code++) {
      lengthBase[code] = static_cast<std::uint16_t>(length);
      for (unsigned n = 0; n < (1u << kLengthExtra[code]); n++) lengthCode[length++] = static_cast<std::uint8_t>(code);
    }
    // Length 258 has a code of its own rather than code 27 with all extra bits set.
    lengthCode[255] = 28;
    lengthBase[28] = 255;
    unsigned distance = 0;
    for (unsigned code = 0; code < 16; code++) {
      distanceBase[code] = static_cast<std::uint16_t>(distance);
      for (unsigned n = 0; n < (1u << kDistanceExtra[code]); n++)
        distanceCode[distance++] = static_cast<std::uint8_t>(code);
    }
    distance >>= 7;
    for (unsigned code = 16; code < kDistanceCodes; code++) {
      distanceBase[code] = static_cast<std::uint16_t>(distance << 7);
      for (unsigned n = 0; n < (1u << (kDistanceExtra[code] - 7)); n++)
        distanceCode[256 + distance++] = static_cast<std::uint8_t>(code);
    }
    for (unsigned i = 0; i < 288; i++)
      fixedLiteralLength[i] = static_cast<std::uint8_t>(i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8);
    AssignCodes(fixedLiteralLength, fixedLiteralCode, 288);
    for (unsigned i = 0; i < kDistanceCodes; i++) {
      fixedDistanceLength[i] = 5;
      fixedDistanceCode[i] = ReverseBits(i, 5);
    }
  }
};

const Tables& T() {
  static const Tables tables;
  return tables;
}

inline unsigned DistanceCode(const Tables& t, unsigned distanceMinusOne) {
  return distanceMinusOne < 256 ? t.distanceCode[distanceMinusOne] : t.distanceCode[256 + (distanceMinusOne >> 7)];
}

inline std::uint16_t Load16(const std::uint8_t* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline std::uint64_t Load64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Number of equal bytes at a and b, at most limit.
inline unsigned CommonLength(const std::uint8_t* a, const std::uint8_t* b, unsigned limit) {
  unsigned n = 0;
  while (n + 8 <= limit) {
    std::uint64_t x = Load64(a + n) ^ Load64(b + n);
    if (x != 0) {
      // The first differing byte is the lowest non-zero one (the targets are little-endian).
      n += static_cast<unsigned>(__builtin_ctzll(x)) >> 3;
      return n < limit ? n : limit;
    }
    n += 8;
  }
  while (n < limit && a[n] == b[n]) n++;
  return n;
}

}  // namespace

struct ZipDeflateState {
  std::uint8_t window[2 * kWindowSize + kWindowSlack];
  std::uint16_t prev[kWindowSize];
  std::uint16_t head[kHashSize];

  // The block being collected: per symbol the literal or the match length - 3, and the
  // distance (0 for a literal).
  std::uint8_t symbolByte[kSymbolLimit + 1];
  std::uint16_t symbolDistance[kSymbolLimit + 1];
  unsigned symbols = 0;
  unsigned matches = 0;
  std::uint32_t literalFreq[kLiteralCodes];
  std::uint32_t distanceFreq[kDistanceCodes];
  std::uint32_t lengthFreq[kLengthCodes];
  std::uint8_t literalLength[kLiteralCodes];
  std::uint16_t literalCode[kLiteralCodes];
  std::uint8_t distanceLength[kDistanceCodes];
  std::uint16_t distanceCode[kDistanceCodes];
  std::uint8_t lengthLength[kLengthCodes];
  std::uint16_t lengthCode[kLengthCodes];

  // Matching.
  LevelConfig config;
  int level = 0;
  unsigned strStart = 0;   // position being coded
  unsigned lookahead = 0;  // valid bytes from strStart on
  unsigned matchStart = 0;
  unsigned prevLength = 0;
  unsigned hash = 0;
  long blockStart = 0;  // window position where the block began; negative once slid out
  ZipDeflateSource* source = nullptr;
  bool inputEnded = false;
  bool readError = false;
  std::uint64_t bytesIn = 0;

  // Output.
  ZipDeflateSink* sink = nullptr;
  bool writeError = false;
  bool mayStoreWhole = false;
  bool blockWritten = false;
  bool classified = false;
  bool text = false;
  bool storedWhole = false;
  std::uint64_t bitBuffer = 0;
  unsigned bitCount = 0;
  std::size_t outPos = 0;
  std::uint64_t bytesOut = 0;
  std::uint8_t out[kOutputSize + kOutputSlack];
};

namespace {

using State = ZipDeflateState;

void FlushOutput(State& s) {
  if (s.outPos == 0) return;
  if (!s.writeError && !s.sink->Write(s.out, s.outPos)) s.writeError = true;
  s.bytesOut += s.outPos;
  s.outPos = 0;
}

inline void PutBits(State& s, std::uint32_t value, unsigned count) {
  s.bitBuffer |= static_cast<std::uint64_t>(value) << s.bitCount;
  s.bitCount += count;
  if (s.bitCount >= 32) {
    StoreLe32(s.out + s.outPos, static_cast<std::uint32_t>(s.bitBuffer));
    s.outPos += 4;
    s.bitBuffer >>= 32;
    s.bitCount -= 32;
  }
}

void AlignToByte(State& s) {
  while (s.bitCount > 0) {
    s.out[s.outPos++] = static_cast<std::uint8_t>(s.bitBuffer);
    s.bitBuffer >>= 8;
    s.bitCount = s.bitCount > 8 ? s.bitCount - 8 : 0;
  }
  s.bitBuffer = 0;
}

void AppendBytes(State& s, const std::uint8_t* data, std::size_t len) {
  while (len > 0) {
    std::size_t n = kOutputSize - s.outPos < len ? kOutputSize - s.outPos : len;
    std::memcpy(s.out + s.outPos, data, n);
    s.outPos += n;
    data += n;
    len -= n;
    if (s.outPos >= kOutputSize) FlushOutput(s);
  }
}

void ResetBlock(State& s) {
  std::memset(s.literalFreq, 0, sizeof s.literalFreq);
  std::memset(s.distanceFreq, 0, sizeof s.distanceFreq);
  s.literalFreq[kEndOfBlock] = 1;
  s.symbols = 0;
  s.matches = 0;
}

// Huffman code lengths for count symbols, none longer than maxBits; returns the highest
// symbol with a length. At least two symbols get a code, so that every decoder accepts
// the tree.
int BuildLengths(const std::uint32_t* freq, unsigned count, unsigned maxBits, std::uint8_t* lengths) {
  constexpr unsigned kMaxNodes = 2 * kLiteralCodes;
  std::uint32_t weight[kMaxNodes];
  std::uint8_t depth[kMaxNodes];
  std::uint16_t parent[kMaxNodes];
  std::uint16_t heap[kMaxNodes + 1];
  std::uint16_t leavesInOrder[kLiteralCodes];  // leaves as they leave the heap: rising weight
  unsigned heapLen = 0, leafCount = 0;
  int maxCode = -1;

  for (unsigned i = 0; i < count; i++) {
    lengths[i] = 0;
    if (freq[i] != 0) {
      heap[++heapLen] = static_cast<std::uint16_t>(i);
      weight[i] = freq[i];
      depth[i] = 0;
      maxCode = static_cast<int>(i);
    }
  }
  while (heapLen < 2) {
    unsigned node = maxCode < 2 ? static_cast<unsigned>(++maxCode) : 0;
    heap[++heapLen] = static_cast<std::uint16_t>(node);
    weight[node] = 1;
    depth[node] = 0;
  }

  auto less = [&](unsigned a, unsigned b) {
    return weight[a] < weight[b] || (weight[a] == weight[b] && depth[a] <= depth[b]);
  };
  auto siftDown = [&](unsigned k) {
    unsigned v = heap[k];
    for (unsigned j = k * 2; j <= heapLen; j = k * 2) {
      if (j < heapLen && less(heap[j + 1], heap[j])) j++;
      if (less(v, heap[j])) break;
      heap[k] = heap[j];
      k = j;
    }
    heap[k] = static_cast<std::uint16_t>(v);
  };
  for (unsigned k = heapLen / 2; k >= 1; k--) siftDown(k);

  unsigned next = count;  // internal nodes follow the symbols
  while (heapLen >= 2) {
    unsigned a = heap[1];
    heap[1] = heap[heapLen--];
    siftDown(1);
    unsigned b = heap[1];
    if (a < count) leavesInOrder[leafCount++] = static_cast<std::uint16_t>(a);
    if (b < count) leavesInOrder[leafCount++] = static_cast<std::uint16_t>(b);
    weight[next] = weight[a] + weight[b];
    depth[next] = static_cast<std::uint8_t>((depth[a] > depth[b] ? depth[a] : depth[b]) + 1);
    parent[a] = parent[b] = static_cast<std::uint16_t>(next);
    heap[1] = static_cast<std::uint16_t>(next);
    siftDown(1);
    next++;
  }

  // Depths from the root down: a parent is always made after its children.
  std::uint8_t bits[kMaxNodes];
  unsigned root = next - 1;
  bits[root] = 0;
  for (unsigned n = root; n-- > count;) bits[n] = static_cast<std::uint8_t>(bits[parent[n]] + 1);
  unsigned lengthCount[kMaxCodeBits + 2] = {};
  bool overflow = false;
  for (unsigned i = 0; i < leafCount; i++) {
    unsigned leaf = leavesInOrder[i];
    unsigned b = static_cast<unsigned>(bits[parent[leaf]]) + 1;
    if (b > maxBits) {
      b = maxBits;
      overflow = true;
    }
    lengths[leaf] = static_cast<std::uint8_t>(b);
    lengthCount[b]++;
  }
  if (overflow) {
    // Capping made the code over-full. Each step hangs a capped leaf beside the deepest
    // leaf that is not capped, which takes exactly one unit of 2^-maxBits off the sum.
    std::uint64_t units = 0;
    for (unsigned b = 1; b <= maxBits; b++) units += std::uint64_t(lengthCount[b]) << (maxBits - b);
    while (units > (std::uint64_t(1) << maxBits)) {
      unsigned b = maxBits - 1;
      while (lengthCount[b] == 0) b--;
      lengthCount[b]--;
      lengthCount[b + 1] += 2;
      lengthCount[maxBits]--;
      units--;
    }
    // The longest codes go to the rarest symbols.
    unsigned i = 0;
    for (unsigned b = maxBits; b >= 1; b--)
      for (unsigned n = lengthCount[b]; n > 0; n--) lengths[leavesInOrder[i++]] = static_cast<std::uint8_t>(b);
  }
  return maxCode;
}

// Walks a code-length list in its run-length coded form: counts the code-length
// symbols (kSend false) or sends them (kSend true).
template <bool kSend>
void WalkLengths(State& s, const std::uint8_t* lengths, int maxCode) {
  auto emit = [&](unsigned symbol) {
    if (kSend)
      PutBits(s, s.lengthCode[symbol], s.lengthLength[symbol]);
    else
      s.lengthFreq[symbol]++;
  };
  int prevLen = -1;
  int nextLen = lengths[0];
  unsigned count = 0, maxCount = 7, minCount = 4;
  if (nextLen == 0) {
    maxCount = 138;
    minCount = 3;
  }
  for (int n = 0; n <= maxCode; n++) {
    int curLen = nextLen;
    nextLen = n + 1 <= maxCode ? lengths[n + 1] : -1;
    if (++count < maxCount && curLen == nextLen) continue;
    if (count < minCount) {
      for (; count > 0; count--) emit(static_cast<unsigned>(curLen));
    } else if (curLen != 0) {
      if (curLen != prevLen) {
        emit(static_cast<unsigned>(curLen));
        count--;
      }
      emit(16);
      if (kSend) PutBits(s, count - 3, 2);
    } else if (count <= 10) {
      emit(17);
      if (kSend) PutBits(s, count - 3, 3);
    } else {
      emit(18);
      if (kSend) PutBits(s, count - 11, 7);
    }
    count = 0;
    prevLen = curLen;
    if (nextLen == 0) {
      maxCount = 138;
      minCount = 3;
    } else if (curLen == nextLen) {
      maxCount = 6;
      minCount = 3;
    } else {
      maxCount = 7;
      minCount = 4;
    }
  }
}

void SendSymbols(State& s, const std::uint16_t* litCode, const std::uint8_t* litLen, const std::uint16_t* distCode,
                 const std::uint8_t* distLen) {
  const Tables& t = T();
  for (unsigned i = 0; i < s.symbols; i++) {
    unsigned distance = s.symbolDistance[i];
    unsigned c = s.symbolByte[i];
    if (distance == 0) {
      PutBits(s, litCode[c], litLen[c]);
    } else {
      unsigned code = t.lengthCode[c];
      unsigned n = litLen[code + 257];
      std::uint32_t bits = litCode[code + 257] | ((c - t.lengthBase[code]) << n);
      PutBits(s, bits, n + kLengthExtra[code]);
      distance--;
      code = DistanceCode(t, distance);
      n = distLen[code];
      bits = distCode[code] | ((distance - t.distanceBase[code]) << n);
      PutBits(s, bits, n + kDistanceExtra[code]);
    }
    if (s.outPos >= kOutputSize) FlushOutput(s);
  }
  PutBits(s, litCode[kEndOfBlock], litLen[kEndOfBlock]);
}

void SendStoredBlocks(State& s, const std::uint8_t* data, std::size_t len, bool last) {
  do {
    std::size_t n = len > 65535 ? 65535 : len;
    PutBits(s, (last && n == len) ? 1u : 0u, 3);
    AlignToByte(s);
    std::uint8_t header[4] = {static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
                              static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)};
    AppendBytes(s, header, 4);
    AppendBytes(s, data, n);
    data += n;
    len -= n;
  } while (len > 0);
}

void ClassifyData(State& s) {
  auto any = [&](unsigned from, unsigned to) {
    for (unsigned i = from; i <= to; i++)
      if (s.literalFreq[i] != 0) return true;
    return false;
  };
  if (any(0, 6) || any(14, 25) || any(28, 31))
    s.text = false;
  else
    s.text = any(9, 10) || any(13, 13) || any(32, 255);
  s.classified = true;
}

}  // namespace

// Ends the block [blockStart, strStart): chooses the cheapest form and writes it.
void ZipEmitDeflateBlock(ZipDeflateState& s, bool last) {
  const Tables& t = T();
  if (!s.classified) ClassifyData(s);

  int literalMax = BuildLengths(s.literalFreq, kLiteralCodes, kMaxCodeBits, s.literalLength);
  int distanceMax = BuildLengths(s.distanceFreq, kDistanceCodes, kMaxCodeBits, s.distanceLength);
  std::memset(s.lengthFreq, 0, sizeof s.lengthFreq);
  WalkLengths<false>(s, s.literalLength, literalMax);
  WalkLengths<false>(s, s.distanceLength, distanceMax);
  BuildLengths(s.lengthFreq, kLengthCodes, kMaxLengthCodeBits, s.lengthLength);
  int lengthMax = kLengthCodes - 1;
  while (lengthMax >= 3 && s.lengthLength[kLengthOrder[lengthMax]] == 0) lengthMax--;

  // Costs in bits: dynamic (trees and data) and fixed (data only).
  std::uint64_t dynamicBits = 5 + 5 + 4 + 3 * static_cast<std::uint64_t>(lengthMax + 1);
  for (unsigned i = 0; i < kLengthCodes; i++) dynamicBits += std::uint64_t(s.lengthFreq[i]) * s.lengthLength[i];
  dynamicBits += 2ull * s.lengthFreq[16] + 3ull * s.lengthFreq[17] + 7ull * s.lengthFreq[18];
  std::uint64_t fixedBits = 0;
  for (unsigned i = 0; i < kLiteralCodes; i++) {
    std::uint64_t f = s.literalFreq[i];
    if (f == 0) continue;
    unsigned extra = i > kEndOfBlock ? kLengthExtra[i - 257] : 0;
    dynamicBits += f * (s.literalLength[i] + extra);
    fixedBits += f * (t.fixedLiteralLength[i] + extra);
  }
  for (unsigned i = 0; i < kDistanceCodes; i++) {
    std::uint64_t f = s.distanceFreq[i];
    dynamicBits += f * (s.distanceLength[i] + kDistanceExtra[i]);
    fixedBits += f * (5u + kDistanceExtra[i]);
  }
  std::uint64_t dynamicBytes = (dynamicBits + 3 + 7) >> 3;
  std::uint64_t fixedBytes = (fixedBits + 3 + 7) >> 3;
  std::uint64_t bestBytes = fixedBytes <= dynamicBytes ? fixedBytes : dynamicBytes;
  std::uint64_t storedBytes = static_cast<std::uint64_t>(static_cast<long>(s.strStart) - s.blockStart);
  const bool inWindow = s.blockStart >= 0;

  if (last && !s.blockWritten && s.mayStoreWhole && inWindow && storedBytes <= bestBytes) {
    // All of the data is this one block and it does not shrink: it goes out as it is.
    AppendBytes(s, s.window + s.blockStart, static_cast<std::size_t>(storedBytes));
    s.storedWhole = true;
  } else if (inWindow && storedBytes + 4 <= bestBytes) {
    SendStoredBlocks(s, s.window + s.blockStart, static_cast<std::size_t>(storedBytes), last);
  } else if (fixedBytes <= dynamicBytes) {
    PutBits(s, (1u << 1) | (last ? 1u : 0u), 3);
    SendSymbols(s, t.fixedLiteralCode, t.fixedLiteralLength, t.fixedDistanceCode, t.fixedDistanceLength);
  } else {
    AssignCodes(s.literalLength, s.literalCode, kLiteralCodes);
    AssignCodes(s.distanceLength, s.distanceCode, kDistanceCodes);
    AssignCodes(s.lengthLength, s.lengthCode, kLengthCodes);
    PutBits(s, (2u << 1) | (last ? 1u : 0u), 3);
    PutBits(s, static_cast<unsigned>(literalMax + 1 - 257), 5);
    PutBits(s, static_cast<unsigned>(distanceMax + 1 - 1), 5);
    PutBits(s, static_cast<unsigned>(lengthMax + 1 - 4), 4);
    for (int i = 0; i <= lengthMax; i++) PutBits(s, s.lengthLength[kLengthOrder[i]], 3);
    WalkLengths<true>(s, s.literalLength, literalMax);
    WalkLengths<true>(s, s.distanceLength, distanceMax);
    if (s.outPos >= kOutputSize) FlushOutput(s);
    SendSymbols(s, s.literalCode, s.literalLength, s.distanceCode, s.distanceLength);
  }
  s.blockWritten = true;
  ResetBlock(s);
  s.blockStart = static_cast<long>(s.strStart);
  if (last) {
    AlignToByte(s);
    FlushOutput(s);
  } else if (s.outPos >= kOutputSize) {
    FlushOutput(s);
  }
}

namespace {

// Whether the block should end after this symbol: the buffers are full, or (levels 3-9,
// checked every 4096 symbols) mostly literals that already code well.
inline bool BlockFull(State& s) {
  if (s.level > 2 && (s.symbols & 0xFFF) == 0) {
    std::uint64_t estimate = std::uint64_t(s.symbols) * 8;
    for (unsigned d = 0; d < kDistanceCodes; d++) estimate += std::uint64_t(s.distanceFreq[d]) * (5 + kDistanceExtra[d]);
    estimate >>= 3;
    std::uint64_t covered = static_cast<std::uint64_t>(static_cast<long>(s.strStart) - s.blockStart);
    if (s.matches < s.symbols / 2 && estimate < covered / 2) return true;
  }
  return s.symbols == kSymbolLimit;
}

// Records a literal or a match (ZipRecordLiteralOrMatch); true when the block must end.
inline bool RecordLiteral(State& s, unsigned c) {
  s.symbolDistance[s.symbols] = 0;
  s.symbolByte[s.symbols++] = static_cast<std::uint8_t>(c);
  s.literalFreq[c]++;
  return BlockFull(s);
}

inline bool RecordMatch(State& s, unsigned distance, unsigned lengthMinus3) {
  const Tables& t = T();
  s.symbolDistance[s.symbols] = static_cast<std::uint16_t>(distance);
  s.symbolByte[s.symbols++] = static_cast<std::uint8_t>(lengthMinus3);
  s.matches++;
  s.literalFreq[t.lengthCode[lengthMinus3] + 257]++;
  s.distanceFreq[DistanceCode(t, distance - 1)]++;
  return BlockFull(s);
}

void FillWindow(State& s) {
  do {
    unsigned more = 2 * kWindowSize - s.lookahead - s.strStart;
    if (s.strStart >= kWindowSize + kMaxDistance) {
      std::memcpy(s.window, s.window + kWindowSize, kWindowSize);
      s.matchStart -= kWindowSize;
      s.strStart -= kWindowSize;
      s.blockStart -= static_cast<long>(kWindowSize);
      for (unsigned i = 0; i < kHashSize; i++) s.head[i] = static_cast<std::uint16_t>(s.head[i] >= kWindowSize ? s.head[i] - kWindowSize : 0);
      for (unsigned i = 0; i < kWindowSize; i++) s.prev[i] = static_cast<std::uint16_t>(s.prev[i] >= kWindowSize ? s.prev[i] - kWindowSize : 0);
      more += kWindowSize;
    }
    if (s.inputEnded || more == 0) break;
    long n = s.source->Read(s.window + s.strStart + s.lookahead, more);
    if (n <= 0) {
      s.inputEnded = true;
      s.readError = n < 0;
      break;
    }
    s.lookahead += static_cast<unsigned>(n);
    s.bytesIn += static_cast<std::uint64_t>(n);
  } while (s.lookahead < kMinLookahead);
  // Bytes behind the data are compared (never used) by the match search: keep them
  // defined, so that the output depends on the input alone.
  std::memset(s.window + s.strStart + s.lookahead, 0, kWindowSlack);
}

inline unsigned InsertString(State& s, unsigned pos) {
  s.hash = ((s.hash << kHashShift) ^ s.window[pos + kMinMatch - 1]) & kHashMask;
  unsigned h = s.head[s.hash];
  s.prev[pos & kWindowMask] = static_cast<std::uint16_t>(h);
  s.head[s.hash] = static_cast<std::uint16_t>(pos);
  return h;
}

inline void StartHash(State& s, unsigned pos) {
  s.hash = s.window[pos];
  s.hash = ((s.hash << kHashShift) ^ s.window[pos + 1]) & kHashMask;
}

// The longest match at strStart along the chain from cur that is longer than
// prevLength; sets matchStart when one is found. The result never passes the data.
unsigned LongestMatch(State& s, unsigned cur) {
  unsigned chain = s.config.chain;
  const std::uint8_t* scan = s.window + s.strStart;
  unsigned best = s.prevLength;
  unsigned nice = s.config.nice < s.lookahead ? s.config.nice : s.lookahead;
  const unsigned limit = s.strStart > kMaxDistance ? s.strStart - kMaxDistance : 0;
  if (s.prevLength >= s.config.good) chain >>= 2;
  const std::uint16_t scanStart = Load16(scan);
  std::uint16_t scanEnd = Load16(scan + best - 1);
  const std::uint16_t* prev = s.prev;
  const std::uint8_t* window = s.window;
  do {
    const std::uint8_t* match = window + cur;
    if (Load16(match + best - 1) != scanEnd || Load16(match) != scanStart) continue;
    unsigned len = 2 + CommonLength(scan + 2, match + 2, kMaxMatch - 2);
    if (len > best) {
      s.matchStart = cur;
      best = len;
      if (len >= nice) break;
      scanEnd = Load16(scan + best - 1);
    }
  } while ((cur = prev[cur & kWindowMask]) > limit && --chain != 0);
  return best <= s.lookahead ? best : s.lookahead;
}

// Levels 1-3: take the longest match at each position.
void DeflateGreedy(State& s) {
  for (;;) {
    if (s.lookahead < kMinLookahead) {
      FillWindow(s);
      if (s.lookahead == 0) break;
    }
    unsigned hashHead = 0;
    if (s.lookahead >= kMinMatch) hashHead = InsertString(s, s.strStart);
    unsigned matchLength = 0;
    if (hashHead != 0 && s.strStart - hashHead <= kMaxDistance) matchLength = LongestMatch(s, hashHead);
    bool full;
    if (matchLength >= kMinMatch) {
      full = RecordMatch(s, s.strStart - s.matchStart, matchLength - kMinMatch);
      s.lookahead -= matchLength;
      if (matchLength <= s.config.lazy && s.lookahead >= kMinMatch) {
        matchLength--;
        do {
          s.strStart++;
          InsertString(s, s.strStart);
        } while (--matchLength != 0);
        s.strStart++;
      } else {
        s.strStart += matchLength;
        StartHash(s, s.strStart);
      }
    } else {
      full = RecordLiteral(s, s.window[s.strStart]);
      s.lookahead--;
      s.strStart++;
    }
    if (full) ZipEmitDeflateBlock(s, false);
  }
  ZipEmitDeflateBlock(s, true);
}

// Levels 4-9: a match is taken only when the match at the next position is not longer.
void DeflateLazy(State& s) {
  unsigned matchLength = kMinMatch - 1;
  bool matchAvailable = false;
  for (;;) {
    if (s.lookahead < kMinLookahead) {
      FillWindow(s);
      if (s.lookahead == 0) break;
    }
    unsigned hashHead = 0;
    if (s.lookahead >= kMinMatch) hashHead = InsertString(s, s.strStart);
    unsigned prevLength = matchLength;
    unsigned prevMatch = s.matchStart;
    matchLength = kMinMatch - 1;
    if (hashHead != 0 && prevLength < s.config.lazy && s.strStart - hashHead <= kMaxDistance) {
      s.prevLength = prevLength;
      matchLength = LongestMatch(s, hashHead);
      if (matchLength == kMinMatch && s.strStart - s.matchStart > kTooFar) matchLength = kMinMatch - 1;
    }
    if (prevLength >= kMinMatch && matchLength <= prevLength) {
      unsigned maxInsert = s.strStart + s.lookahead - kMinMatch;
      bool full = RecordMatch(s, s.strStart - 1 - prevMatch, prevLength - kMinMatch);
      s.lookahead -= prevLength - 1;
      prevLength -= 2;
      do {
        if (++s.strStart <= maxInsert) InsertString(s, s.strStart);
      } while (--prevLength != 0);
      matchAvailable = false;
      matchLength = kMinMatch - 1;
      s.strStart++;
      if (full) ZipEmitDeflateBlock(s, false);
    } else if (matchAvailable) {
      if (RecordLiteral(s, s.window[s.strStart - 1])) ZipEmitDeflateBlock(s, false);
      s.strStart++;
      s.lookahead--;
    } else {
      matchAvailable = true;
      s.strStart++;
      s.lookahead--;
    }
  }
  if (matchAvailable) RecordLiteral(s, s.window[s.strStart - 1]);
  ZipEmitDeflateBlock(s, true);
}

}  // namespace

ZipDeflater::ZipDeflater() : s_(new ZipDeflateState) {}
ZipDeflater::~ZipDeflater() = default;

ZipDeflateStatus ZipDeflater::Deflate(int level, ZipDeflateSource* source, ZipDeflateSink* sink, bool mayStoreWhole,
                                      ZipDeflateOutcome* outcome) {
  if (level < 1 || level > 9) return ZipDeflateStatus::kBadLevel;
  State& s = *s_;
  s.config = kLevels[level];
  s.level = level;
  std::memset(s.head, 0, sizeof s.head);
  ResetBlock(s);
  s.strStart = s.lookahead = s.matchStart = 0;
  s.prevLength = kMinMatch - 1;
  s.blockStart = 0;
  s.source = source;
  s.inputEnded = s.readError = false;
  s.bytesIn = 0;
  s.sink = sink;
  s.writeError = false;
  s.mayStoreWhole = mayStoreWhole;
  s.blockWritten = s.classified = s.text = s.storedWhole = false;
  s.bitBuffer = 0;
  s.bitCount = 0;
  s.outPos = 0;
  s.bytesOut = 0;

  FillWindow(s);
  StartHash(s, 0);
  if (level <= 3)
    DeflateGreedy(s);
  else
    DeflateLazy(s);

  outcome->storedWhole = s.storedWhole;
  outcome->text = s.text;
  outcome->bytesIn = s.bytesIn;
  outcome->bytesOut = s.bytesOut;
  if (s.readError) return ZipDeflateStatus::kReadError;
  if (s.writeError) return ZipDeflateStatus::kWriteError;
  return ZipDeflateStatus::kOk;
}

namespace {

class MemorySource : public ZipDeflateSource {
public:
  MemorySource(const std::uint8_t* data, std::size_t len) : data_(data), left_(len) {}
  long Read(std::uint8_t* buf, std::size_t len) override {
    std::size_t n = len < left_ ? len : left_;
    if (n > 0) std::memcpy(buf, data_, n);
    data_ += n;
    left_ -= n;
    return static_cast<long>(n);
  }

private:
  const std::uint8_t* data_;
  std::size_t left_;
};

class MemorySink : public ZipDeflateSink {
public:
  MemorySink(std::uint8_t* target, std::size_t size) : target_(target), room_(size) {}
  bool Write(const std::uint8_t* data, std::size_t len) override {
    if (len > room_) return false;
    std::memcpy(target_, data, len);
    target_ += len;
    room_ -= len;
    return true;
  }

private:
  std::uint8_t* target_;
  std::size_t room_;
};

}  // namespace

const char* ZipDeflateToBuffer(ZipDeflater* deflater, int level, const std::uint8_t* source, std::size_t length,
                               std::uint8_t* target, std::size_t targetSize, std::size_t* written) {
  if (targetSize < 7) return "target buffer too small";
  MemorySource in(source, length);
  MemorySink out(target + 6, targetSize - 6);
  ZipDeflateOutcome outcome;
  ZipDeflateStatus status = deflater->Deflate(level, &in, &out, false, &outcome);
  if (status == ZipDeflateStatus::kBadLevel) return "bad pack level";
  if (status != ZipDeflateStatus::kOk) return "output buffer too small for in-memory compression";
  std::uint32_t crc = ZipUpdateCrc32(0, source, length);
  target[0] = 8;
  target[1] = 0;
  StoreLe32(target + 2, crc);
  *written = 6 + static_cast<std::size_t>(outcome.bytesOut);
  return nullptr;
}
