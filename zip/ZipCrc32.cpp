#include "zip/ZipCrc32.h"

namespace {

// Eight tables: the first is the byte-wise table; table k gives the effect of a byte
// followed by k zero bytes, so that eight bytes are folded in one pass.
struct CrcTables {
  std::uint32_t t[8][256];
  CrcTables() {
    for (std::uint32_t i = 0; i < 256; i++) {
      std::uint32_t c = i;
      for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
      t[0][i] = c;
    }
    for (std::uint32_t i = 0; i < 256; i++)
      for (int k = 1; k < 8; k++) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
};

const CrcTables& Tables() {
  static const CrcTables tables;  // built once, thread-safe
  return tables;
}

}  // namespace

const std::uint32_t* ZipLazyCrcTable() { return Tables().t[0]; }

std::uint32_t ZipUpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t len) {
  if (data == nullptr) return 0;
  const CrcTables& tb = Tables();
  crc = ~crc;
  while (len >= 8) {
    std::uint32_t lo = crc ^ (std::uint32_t(data[0]) | std::uint32_t(data[1]) << 8 |
                              std::uint32_t(data[2]) << 16 | std::uint32_t(data[3]) << 24);
    crc = tb.t[7][lo & 0xFF] ^ tb.t[6][(lo >> 8) & 0xFF] ^ tb.t[5][(lo >> 16) & 0xFF] ^
          tb.t[4][lo >> 24] ^ tb.t[3][data[4]] ^ tb.t[2][data[5]] ^ tb.t[1][data[6]] ^
          tb.t[0][data[7]];
    data += 8;
    len -= 8;
  }
  while (len-- > 0) crc = tb.t[0][(crc ^ *data++) & 0xFF] ^ (crc >> 8);
  return ~crc;
}
