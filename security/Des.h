// DES on 8-byte blocks, with the key read the way RFB reads it: in every key byte the
// bits are taken least significant first (equivalently, each key byte bit-reversed and
// then standard DES). Parity bits are ignored.
//
// The key schedule is process-wide. Setting a key and the block operations that use it
// form one unit that must not interleave with another thread's: a DesScheduleLock holds
// the schedule for the length of one unit, and DesSetKey/DesBlock take it as proof.
#pragma once

#include <cstddef>
#include <cstdint>

enum DesMode { kDesEncipher = 0, kDesDecipher = 1 };

// Sixteen round keys, each as eight 6-bit groups (one per S-box), in the order in which
// the rounds use them.
struct DesKeySchedule {
  std::uint8_t round[16][8];
};

// Exclusive use of the process-wide key schedule; the schedule is wiped when released.
class DesScheduleLock {
public:
  DesScheduleLock();
  ~DesScheduleLock();
  DesScheduleLock(const DesScheduleLock&) = delete;
  DesScheduleLock& operator=(const DesScheduleLock&) = delete;
};

// Builds the process-wide schedule from an 8-byte key for one direction.
void DesSetKey(const DesScheduleLock& held, const std::uint8_t key[8], DesMode mode);
// One block through the current schedule; in and out may be the same buffer.
void DesBlock(const DesScheduleLock& held, const std::uint8_t in[8], std::uint8_t out[8]);

// The schedule of a key, for callers that keep their own.
void DesMakeSchedule(const std::uint8_t key[8], DesMode mode, DesKeySchedule* schedule);
// Initial permutation, sixteen rounds and final permutation of one block held as two
// big-endian words (word[0] = bytes 0-3).
void DesRounds(std::uint32_t block[2], const DesKeySchedule& schedule);
