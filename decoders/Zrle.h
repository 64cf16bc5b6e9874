// Per-connection state of the ZRLE family (ZRLE, ZYWRLE, ZSTDRLE, ZSTDYWRLE, XZ, XZYW):
// the three decompressing in-streams that carry the server's persistent streams from
// rectangle to rectangle, and the tile and wavelet work areas.
#pragma once

#include <cstdint>

#include "decoders/InflatingInStream.h"
#include "decoders/Zywrle.h"
#include "rdr/ZstdInStream.h"
#include "rdr/xzInStream.h"

struct ZrleState {
  static constexpr int kTileSize = 64;

  dec::InflatingInStream zlib;
  rdr::ZstdInStream zstd;
  rdr::xzInStream xz;

  // One tile as packed pixels (1, 2 or 4 bytes each), and the wavelet cells.
  alignas(8) std::uint8_t tile[kTileSize * kTileSize * 4];
  alignas(8) std::uint8_t wavelet[dec::kZywrleMaxCells * 4];

  // A new session: every stream starts afresh, with nothing attached.
  void Reset() {
    zlib.ResetDecompressor();
    zstd.ResetDecompressor();
    xz.ResetDecompressor();
  }
};
