// Streams recorded from a real server for the decoder benchmark: Debian's libvncserver
// (bench_vncserver_recorder) serves the benchmark's screens and this client records the
// Zlib, ZRLE and ZYWRLE updates it sends. The same updates, recompressed, give the encodings
// no Debian server sends: ZSTD from Zlib, ZSTDRLE / ZSTDYWRLE and XZ / XZYW from ZRLE / ZYWRLE.
#pragma once

#include <string>
#include <vector>

#include "BenchStreams.h"

namespace bench {

// The screens through libvncserver in the given encoding (6, 16 or 17) and session pixel
// format, with the quality level announced (-1: none), one update per screen. Blocks hold
// each rectangle's compressed data (one persistent zlib stream). Exits on failure.
Stream RecordFromLibVncServer(const std::vector<Image>& screens, const std::string& name, int encoding, int quality,
                              int bytesPerPixel);

// The same rectangles with their compressed data decompressed and compressed again: as ZSTD
// (25) from Zlib, as ZSTDRLE / ZSTDYWRLE (28 / 29) from ZRLE / ZYWRLE, or, with `xz`, as XZ
// / XZYW (18 / 19, one sub-rectangle each) from ZRLE / ZYWRLE.
Stream Recompress(const Stream& recorded, const std::string& name, bool xz);

}  // namespace bench
