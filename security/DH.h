// Diffie-Hellman key agreement on values below 2^31, in unsigned 64-bit arithmetic, as
// the logon scheme with a user name uses it: the server chooses generator and modulus
// and sends its public value; both sides end with the same 64-bit key.
//
// The values come from the server. Besides the bounds every peer keeps (nothing above
// 2^31, the generator not above the modulus), values that would give a key anyone can
// guess are refused: a modulus below 3, a generator outside 2 .. modulus - 2, a server
// value outside 2 .. modulus - 2, and a public value or key of 0 or 1 (possible with a
// modulus that is not prime).
#pragma once

#include <cstdint>
#include <string>

// A failure of the key agreement, with its text.
class Except {
public:
  explicit Except(const char* message) : m_message(message ? message : "") {}
  const char* Message() const { return m_message.c_str(); }

private:
  std::string m_message;
};

class DH {
public:
  static constexpr std::uint64_t maxNum = 0x80000000ull;  // 2^31

  // Throws Except for values out of range.
  DH(std::uint64_t generator, std::uint64_t modulus);
  ~DH();
  DH(const DH&) = delete;
  DH& operator=(const DH&) = delete;

  // Draws the private value and returns the public value, generator ^ private mod modulus.
  std::uint64_t CreateInterKey();
  // The key, interKey ^ private mod modulus, from the peer's public value. Call after
  // CreateInterKey.
  std::uint64_t ComputeSharedKey(std::uint64_t interKey);

private:
  std::uint64_t m_generator;
  std::uint64_t m_modulus;
  std::uint64_t m_private = 0;
  std::uint64_t m_public = 0;
  std::uint64_t m_key = 0;
};

// base ^ exponent mod modulus by left-to-right square-and-multiply over all 64 bits of the
// exponent. modulus must be 1 .. 2^32, so that no product of two residues overflows.
std::uint64_t PowMod(std::uint64_t base, std::uint64_t exponent, std::uint64_t modulus);

// Big-endian conversion of the 8-byte values on the wire.
std::uint64_t BytesToInt64(const std::uint8_t bytes[8]);
void Int64ToBytes(std::uint64_t value, std::uint8_t bytes[8]);
