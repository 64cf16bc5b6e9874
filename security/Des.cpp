// DES from its standard tables: the initial permutation and its inverse, PC-1, PC-2, the
// rotation schedule, the eight S-boxes and P. The S-boxes and P are merged into eight
// 64-entry tables at compile time, so a round is eight look-ups and XORs.
#include "security/Des.h"

#include <mutex>

#include "security/Secret.h"

namespace {

// Bit positions count from 1 at the most significant bit, as the standard writes them.
constexpr std::uint8_t kInitialPermutation[64] = {
    58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
    62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
    57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
    61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};

constexpr std::uint8_t kPermutedChoice1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43, 35, 27,
    19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
    14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};

constexpr std::uint8_t kPermutedChoice2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};

constexpr std::uint8_t kRotations[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

constexpr std::uint8_t kP[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                                 2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};

// S-boxes: four rows of sixteen; the row is the outer two bits of the 6-bit input, the
// column the inner four.
constexpr std::uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8,  3,  10, 6,  12, 5,  9,  0, 7,  0, 15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5,  3,  8,  4,  1,  14, 8,  13, 6, 2, 11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2,  4,  9,  1,  7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4,  9,  7, 2,  13, 12, 0, 5,  10, 3,  13, 4,  7,  15, 2,
     8,  14, 12, 0,  1,  10, 6,  9,  11, 5, 0,  14, 7,  11, 10, 4,  13, 1,  5,  8,  12, 6,
     9,  3,  2,  15, 13, 8,  10, 1,  3,  15, 4,  2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7,  11, 4,  2,  8,  13, 7,  0,  9,  3,  4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6,  4,  9,  8,  15, 3,  0,  11, 1,  2,  12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7,  4,  15, 14, 3,  11, 5,  2,  12},
    {7,  13, 14, 3, 0,  6,  9,  10, 1,  2, 8, 5,  11, 12, 4,  15, 13, 8,  11, 5,  6,  15,
     0,  3,  4,  7, 2,  12, 1,  10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1,  3,  14,
     5,  2,  8,  4, 3,  15, 0,  6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4,  1,  7,  10, 11, 6,  8,  5, 3,  15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5,  0,  15, 10, 3,  9,  8,  6, 4,  2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0,  14, 11, 8,  12, 7,  1,  14, 2,  13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9, 2,  6,  8,  0,  13, 3,  4,  14, 7,  5,  11, 10, 15, 4,  2,  7,  12,
     9,  5,  6,  1,  13, 14, 0, 11, 3,  8,  9,  14, 15, 5,  2,  8,  12, 3,  7,  0,  4,  10,
     1,  13, 11, 6,  4,  3,  2,  12, 9,  5,  15, 10, 11, 14, 1,  7,  6,  0,  8,  13},
    {4,  11, 2,  14, 15, 0, 8,  13, 3,  12, 9,  7,  5,  10, 6,  1,  13, 0,  11, 7,  4,  9,
     1,  10, 14, 3,  5,  12, 2, 15, 8,  6,  1,  4,  11, 13, 12, 3,  7,  14, 10, 15, 6,  8,
     0,  5,  9,  2,  6,  11, 13, 8, 1,  4,  10, 7,  9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2,  8,  4, 6,  15, 11, 1,  10, 9,  3,  14, 5,  0,  12, 7,  1,  15, 13, 8,  10, 3,
     7,  4,  12, 5, 6,  11, 0,  14, 9,  2,  7,  11, 4,  1,  9,  12, 14, 2,  0,  6,  10, 13,
     15, 3,  5,  8, 2,  1,  14, 7,  4,  10, 8,  13, 15, 12, 9,  0,  3,  5,  6,  11}};

struct SpTables {
  std::uint32_t t[8][64];
};

// S-box i followed by P, for every 6-bit input of box i.
constexpr SpTables MakeSpTables() {
  SpTables sp{};
  for (int box = 0; box < 8; box++) {
    for (int x = 0; x < 64; x++) {
      int row = ((x >> 4) & 2) | (x & 1);
      int col = (x >> 1) & 0xF;
      std::uint32_t s = kSBoxes[box][row * 16 + col];
      std::uint32_t beforeP = s << (28 - 4 * box);
      std::uint32_t out = 0;
      for (int j = 0; j < 32; j++)
        if ((beforeP >> (32 - kP[j])) & 1) out |= 1u << (31 - j);
      sp.t[box][x] = out;
    }
  }
  return sp;
}

constexpr SpTables kSp = MakeSpTables();

struct FinalPermutation {
  std::uint8_t t[64];
};

// The final permutation is the inverse of the initial one.
constexpr FinalPermutation MakeFinalPermutation() {
  FinalPermutation fp{};
  for (int i = 0; i < 64; i++) fp.t[kInitialPermutation[i] - 1] = static_cast<std::uint8_t>(i + 1);
  return fp;
}

constexpr FinalPermutation kFinalPermutation = MakeFinalPermutation();

// Output bit j (from 1 at the top of an outBits-wide result) is input bit table[j-1]
// (from 1 at the top of an inBits-wide input).
std::uint64_t Permute(std::uint64_t in, int inBits, const std::uint8_t* table, int outBits) {
  std::uint64_t out = 0;
  for (int j = 0; j < outBits; j++) out = (out << 1) | ((in >> (inBits - table[j])) & 1);
  return out;
}

std::uint8_t ReverseBits(std::uint8_t b) {
  b = static_cast<std::uint8_t>((b & 0xF0) >> 4 | (b & 0x0F) << 4);
  b = static_cast<std::uint8_t>((b & 0xCC) >> 2 | (b & 0x33) << 2);
  return static_cast<std::uint8_t>((b & 0xAA) >> 1 | (b & 0x55) << 1);
}

std::uint32_t Rotate28(std::uint32_t v, int n) { return ((v << n) | (v >> (28 - n))) & 0x0FFFFFFF; }

std::uint32_t F(std::uint32_t r, const std::uint8_t k[8]) {
  // E: group i takes bits 4i .. 4i+5 of R (from 1 at the top, wrapping 0 to 32 and 33
  // to 1). With R's last bit put above it and its first bit below, group i is six
  // consecutive bits of this 34-bit value.
  std::uint64_t v = (std::uint64_t(r & 1) << 33) | (std::uint64_t(r) << 1) | (r >> 31);
  std::uint32_t out = 0;
  for (int i = 0; i < 8; i++) out ^= kSp.t[i][((v >> (28 - 4 * i)) & 0x3F) ^ k[i]];
  return out;
}

std::mutex scheduleLock;
DesKeySchedule processSchedule;

}  // namespace

void DesMakeSchedule(const std::uint8_t key[8], DesMode mode, DesKeySchedule* schedule) {
  std::uint64_t k = 0;
  for (int i = 0; i < 8; i++) k = (k << 8) | ReverseBits(key[i]);
  std::uint64_t cd = Permute(k, 64, kPermutedChoice1, 56);
  std::uint32_t c = static_cast<std::uint32_t>(cd >> 28) & 0x0FFFFFFF;
  std::uint32_t d = static_cast<std::uint32_t>(cd) & 0x0FFFFFFF;
  for (int round = 0; round < 16; round++) {
    c = Rotate28(c, kRotations[round]);
    d = Rotate28(d, kRotations[round]);
    std::uint64_t sub = Permute((std::uint64_t(c) << 28) | d, 56, kPermutedChoice2, 48);
    int slot = mode == kDesEncipher ? round : 15 - round;
    for (int i = 0; i < 8; i++) schedule->round[slot][i] = static_cast<std::uint8_t>((sub >> (42 - 6 * i)) & 0x3F);
  }
  SecureWipe(&k, sizeof k);
  SecureWipe(&cd, sizeof cd);
}

void DesRounds(std::uint32_t block[2], const DesKeySchedule& schedule) {
  std::uint64_t b = Permute((std::uint64_t(block[0]) << 32) | block[1], 64, kInitialPermutation, 64);
  std::uint32_t l = static_cast<std::uint32_t>(b >> 32), r = static_cast<std::uint32_t>(b);
  for (int round = 0; round < 16; round++) {
    std::uint32_t next = l ^ F(r, schedule.round[round]);
    l = r;
    r = next;
  }
  // The halves are not swapped after the last round.
  b = Permute((std::uint64_t(r) << 32) | l, 64, kFinalPermutation.t, 64);
  block[0] = static_cast<std::uint32_t>(b >> 32);
  block[1] = static_cast<std::uint32_t>(b);
}

DesScheduleLock::DesScheduleLock() { scheduleLock.lock(); }

DesScheduleLock::~DesScheduleLock() {
  SecureWipe(&processSchedule, sizeof processSchedule);
  scheduleLock.unlock();
}

void DesSetKey(const DesScheduleLock&, const std::uint8_t key[8], DesMode mode) {
  DesMakeSchedule(key, mode, &processSchedule);
}

void DesBlock(const DesScheduleLock&, const std::uint8_t in[8], std::uint8_t out[8]) {
  std::uint32_t w[2];
  for (int i = 0; i < 2; i++)
    w[i] = (std::uint32_t(in[4 * i]) << 24) | (std::uint32_t(in[4 * i + 1]) << 16) |
           (std::uint32_t(in[4 * i + 2]) << 8) | in[4 * i + 3];
  DesRounds(w, processSchedule);
  for (int i = 0; i < 2; i++) {
    out[4 * i] = static_cast<std::uint8_t>(w[i] >> 24);
    out[4 * i + 1] = static_cast<std::uint8_t>(w[i] >> 16);
    out[4 * i + 2] = static_cast<std::uint8_t>(w[i] >> 8);
    out[4 * i + 3] = static_cast<std::uint8_t>(w[i]);
  }
  SecureWipe(w, sizeof w);
}
