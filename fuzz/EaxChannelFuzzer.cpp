// The AES-EAX channel's receive side on any bytes. Byte 0 chooses the form:
// - even: the rest is the wire as a server might send it, read in pieces whose sizes come
//   from the input itself; nothing is read beyond the wire and every failure is a refusal;
// - odd: the rest is cut into plain chunks (a length byte, then that many bytes) that a
//   sender seals into records; byte 1 names a byte of the wire to flip (0: none). Read back
//   in pieces, the plain bytes come out unchanged, or, with a flipped byte, the record that
//   holds it is refused.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "security/AESEAXPlugin.h"
#include "tests/unit/security/TestAes.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

const std::uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

// Reads `want` plain bytes through the receive contract; false when the channel refuses
// or the wire runs out.
bool Read(AESEAXPlugin& p, const std::vector<std::uint8_t>& wire, std::size_t& at, std::uint8_t* out, int want) {
  for (int round = 0; round < 100000; round++) {
    int raw = -1, got = 0;
    std::uint8_t* room = p.Decrypt(nullptr, want, &raw);
    if (!room) return false;
    Require(raw >= 0 && raw <= 0xFFFF + 18);
    if (at + static_cast<std::size_t>(raw) > wire.size()) return false;
    if (raw > 0) std::memcpy(room, wire.data() + at, static_cast<std::size_t>(raw));
    at += static_cast<std::size_t>(raw);
    if (!p.Decrypt(out, want, &got)) return false;
    if (got == want) return true;
    Require(got < 0);
    Require(raw > 0);  // asking again must follow a read
  }
  Require(false);
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  static testaes::Factory aes;
  AESEAXPlugin receiver(aes, kKey, kKey, 16);
  std::vector<std::uint8_t> wire, plain;
  if (data[0] % 2 == 0) {
    wire.assign(data + 1, data + size);
  } else {
    AESEAXPlugin sender(aes, kKey, kKey, 16);
    for (std::size_t i = 2; i < size;) {
      const std::size_t n = std::min<std::size_t>(data[i], size - i - 1);
      int len = 0;
      const std::uint8_t* rec = sender.Encrypt(data + i + 1, static_cast<int>(n), &len);
      Require(rec && len == static_cast<int>(n) + 18);
      wire.insert(wire.end(), rec, rec + len);
      plain.insert(plain.end(), data + i + 1, data + i + 1 + n);
      i += 1 + n;
    }
    if (data[1] && data[1] <= wire.size()) wire[data[1] - 1] ^= 0x40;
  }
  std::vector<std::uint8_t> got;
  std::size_t at = 0;
  for (std::size_t step = 0; at < wire.size() || got.size() < plain.size(); step++) {
    int want = 1 + static_cast<int>(data[step % size] % 97);
    if (data[0] % 2 == 1 && got.size() < plain.size())
      want = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(want), plain.size() - got.size()));
    std::uint8_t buf[97];
    if (!Read(receiver, wire, at, buf, want)) break;
    got.insert(got.end(), buf, buf + want);
  }
  if (data[0] % 2 == 1) {
    // Whatever came out is a prefix of what went in; all of it unless a byte was flipped.
    Require(got.size() <= plain.size() + 97);
    const std::size_t n = std::min(got.size(), plain.size());
    Require(n == 0 || std::memcmp(got.data(), plain.data(), n) == 0);
    if (!data[1] || data[1] > wire.size()) Require(got.size() >= plain.size());
  }
  return 0;
}
