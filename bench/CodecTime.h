#pragma once

#include "BenchClock.h"
#include "BenchStreams.h"

namespace bench {

// The compressed blocks of a recorded stream in order (Zlib, ZRLE, ZYWRLE: one zlib stream;
// Tight: its four zlib streams with their resets, and its JPEG images; Opalo: LZO blocks),
// found by walking the rectangles. Empty for the encodings without a codec. Exits on a
// rectangle it cannot walk.
// With `writes`, also the rectangles whose pixels the decoder writes itself (see
// Stream::writes), for the same encodings.
std::vector<Block> CodecBlocks(const Stream& s, std::vector<PixelRect>* writes = nullptr);

// The time the pixel writes alone take: every rectangle of `s.writes`, row by row from a
// row of pixels already in the cache into the framebuffer `fb` (the bitmap the decoder
// writes, with its stride), as a decoder that did nothing else would write them.
Times WriteTime(const Stream& s, std::uint8_t* fb, std::size_t stride);

// The time the codecs alone take for a stream's blocks, as a decoder meets them: the
// inflate library the decoders use (ISA-L), one persistent stream per stream number; libjpeg-turbo
// decoding each image to 4-byte pixels (one decompressor for all); lzo1x_decompress_safe.
// Output goes to a
// buffer already written once. Returns {-1, -1} when a block does not decode.
Times CodecTime(const Stream& s);

}  // namespace bench
