#include "security/DH.h"

#include <exception>
#include <random>

#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Secret.h"

namespace {

// Attempts at a private value that gives a public value other than 0 and 1.
constexpr int kPrivateDraws = 16;

// A private value: the product of three 15-bit random numbers mod 2^31. The numbers come
// from the system's random source: a generator seeded with the time would make the
// private value, and so the key, guessable from when the connection was made.
std::uint64_t DrawPrivateValue(std::random_device& source) {
  std::uint64_t r1 = source() & 0x7FFF, r2 = source() & 0x7FFF, r3 = source() & 0x7FFF;
  return (r1 * r2 * r3) % DH::maxNum;
}

}  // namespace

std::uint64_t PowMod(std::uint64_t base, std::uint64_t exponent, std::uint64_t modulus) {
  base %= modulus;
  std::uint64_t result = 1 % modulus;
  for (int bit = 63; bit >= 0; bit--) {
    result = (result * result) % modulus;
    if ((exponent >> bit) & 1) result = (result * base) % modulus;
  }
  return result;
}

std::uint64_t BytesToInt64(const std::uint8_t bytes[8]) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; i++) v = (v << 8) | bytes[i];
  return v;
}

void Int64ToBytes(std::uint64_t value, std::uint8_t bytes[8]) {
  for (int i = 7; i >= 0; i--) {
    bytes[i] = static_cast<std::uint8_t>(value);
    value >>= 8;
  }
}

DH::DH(std::uint64_t generator, std::uint64_t modulus) : m_generator(generator), m_modulus(modulus) {
  if (generator > maxNum || modulus > maxNum) throw Except(UiText(IDS_DH_INPUT_EXCEEDS_MAXNUM));
  if (modulus < generator) throw Except(UiText(IDS_DH_GENERATOR_ABOVE_MODULUS));
  // Modulus 0 cannot be reduced by, 1 and 2 leave only the keys 0 and 1.
  if (modulus < 3) throw Except(UiText(IDS_DH_MODULUS_TOO_SMALL));
  // Generators 0 and 1 give the public values 0 and 1; modulus - 1 gives only 1 and
  // modulus - 1; the modulus itself gives 0.
  if (generator < 2 || generator > modulus - 2) throw Except(UiText(IDS_DH_GENERATOR_OUT_OF_RANGE));
}

DH::~DH() {
  SecureWipe(&m_generator, sizeof m_generator);
  SecureWipe(&m_modulus, sizeof m_modulus);
  SecureWipe(&m_private, sizeof m_private);
  SecureWipe(&m_public, sizeof m_public);
  SecureWipe(&m_key, sizeof m_key);
}

std::uint64_t DH::CreateInterKey() {
  // A private value of 0, or one that is a multiple of the generator's order, gives the
  // public value 1 (with a modulus that is no prime also 0): such draws are drawn again.
  try {
    std::random_device source;
    for (int i = 0; i < kPrivateDraws; i++) {
      m_private = DrawPrivateValue(source);
      m_public = PowMod(m_generator, m_private, m_modulus);
      if (m_public >= 2) return m_public;
    }
  } catch (const std::exception&) {
    throw Except(UiText(IDS_DH_NO_RANDOM));
  }
  m_private = 0;
  throw Except(UiText(IDS_DH_WEAK_KEY));
}

std::uint64_t DH::ComputeSharedKey(std::uint64_t interKey) {
  if (interKey >= maxNum) throw Except(UiText(IDS_DH_INTERKEY_ABOVE_MAXNUM));
  // A server value of 0, 1, modulus - 1 or above gives a key of 0, 1 or modulus - 1.
  if (interKey < 2 || interKey > m_modulus - 2) throw Except(UiText(IDS_DH_INTERKEY_OUT_OF_RANGE));
  if (m_private == 0) throw Except(UiText(IDS_DH_WEAK_KEY));
  m_key = PowMod(interKey, m_private, m_modulus);
  if (m_key < 2) throw Except(UiText(IDS_DH_WEAK_KEY));
  return m_key;
}
