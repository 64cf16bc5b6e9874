// ZYWRLE: the wavelet layer inside ZRLE tiles. A wavelet-coded tile carries, in place of
// its pixels, the tile's wavelet coefficients (three bytes per cell, packed as pixels)
// followed by the pixels of the edge strips that the transform does not cover. The
// synthesis turns them back into pixels.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dec {

// Cells of the work buffer: one per pixel of the largest tile.
constexpr int kZywrleMaxCells = 64 * 64;

// The inverse transform in place over w x h cells of 4 bytes (bytes 0-2 used), level
// levels deep. w and h must be multiples of 2^level.
void ZywrleInverseWavelet(std::uint8_t* cells, int w, int h, int level);

// Synthesise a w x h tile (at most 64 x 64) at the given level (1-3). `in` holds the
// tile's w * h values as decoded, packed; `out` receives the pixels, rowLength pixels
// from one row to the next (out may be in). work: kZywrleMaxCells cells of 4 bytes.
// 15: 5-5-5 pixels, 16: 5-6-5 pixels, 32: pixels whose colour bytes are bytes 0-2.
void ZywrleSynthesize15(std::uint16_t* out, const std::uint16_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work);
void ZywrleSynthesize16(std::uint16_t* out, const std::uint16_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work);
void ZywrleSynthesize32(std::uint32_t* out, const std::uint32_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work);

}  // namespace dec
