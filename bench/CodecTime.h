#pragma once

#include "BenchClock.h"
#include "BenchStreams.h"

namespace bench {

// The compressed blocks of a recorded stream in order (Zlib, ZRLE, ZYWRLE: one zlib stream;
// Tight: its four zlib streams with their resets, and its JPEG images; Opalo: LZO blocks),
// found by walking the rectangles. Empty for the encodings without a codec. Exits on a
// rectangle it cannot walk.
std::vector<Block> CodecBlocks(const Stream& s);

// The time the codecs alone take for a stream's blocks, as a decoder meets them: the
// inflate library the decoders use (ISA-L), one persistent stream per stream number; libjpeg-turbo
// decoding each image to 4-byte pixels (one decompressor for all); lzo1x_decompress_safe.
// Output goes to a
// buffer already written once. Returns {-1, -1} when a block does not decode.
Times CodecTime(const Stream& s);

}  // namespace bench
