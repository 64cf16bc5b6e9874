#pragma once

#include "BenchClock.h"
#include "BenchStreams.h"

namespace bench {

// The time the codecs alone take for a stream's compressed blocks, as a decoder meets
// them: inflate with one persistent stream per Tight stream number, libjpeg-turbo
// decoding each image to 4-byte pixels (one decompressor for all), lzo1x_decompress_safe
// for each LZO block, ZSTD_decompressStream and lzma_code with one persistent stream each.
// Returns {-1, -1} when a block does not decode.
Times CodecTime(const Stream& s);

}  // namespace bench
