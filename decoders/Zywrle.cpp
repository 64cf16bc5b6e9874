#include "decoders/Zywrle.h"

#include <cstring>

namespace dec {

namespace {

// The three coefficient bytes a pixel carries, and the pixel a synthesised cell gives.
struct Wave555 {
  using P = std::uint16_t;
  static void Split(P v, std::uint8_t* c) {
    c[0] = static_cast<std::uint8_t>((v & 31) << 3);
    c[1] = static_cast<std::uint8_t>(((v >> 5) & 31) << 3);
    c[2] = static_cast<std::uint8_t>(((v >> 10) & 31) << 3);
  }
  static P Join(unsigned b0, unsigned b1, unsigned b2) { return static_cast<P>((b2 >> 3) << 10 | (b1 >> 3) << 5 | b0 >> 3); }
};

struct Wave565 {
  using P = std::uint16_t;
  static void Split(P v, std::uint8_t* c) {
    c[0] = static_cast<std::uint8_t>((v & 31) << 3);
    c[1] = static_cast<std::uint8_t>(((v >> 5) & 63) << 2);
    c[2] = static_cast<std::uint8_t>(((v >> 11) & 31) << 3);
  }
  static P Join(unsigned b0, unsigned b1, unsigned b2) { return static_cast<P>((b2 >> 3) << 11 | (b1 >> 2) << 5 | b0 >> 3); }
};

struct Wave888 {
  using P = std::uint32_t;
  static void Split(P v, std::uint8_t* c) {
    c[0] = static_cast<std::uint8_t>(v);
    c[1] = static_cast<std::uint8_t>(v >> 8);
    c[2] = static_cast<std::uint8_t>(v >> 16);
  }
  static P Join(unsigned b0, unsigned b1, unsigned b2) { return b0 | b1 << 8 | b2 << 16; }
};

// Byte-wise arithmetic on the four bytes of a cell at once (each byte wraps on its own).
constexpr std::uint32_t kHigh = 0x80808080u, kLow = 0x7F7F7F7Fu;
inline std::uint32_t ByteAdd(std::uint32_t a, std::uint32_t b) { return ((a & kLow) + (b & kLow)) ^ ((a ^ b) & kHigh); }
inline std::uint32_t ByteSub(std::uint32_t a, std::uint32_t b) { return ((a | kHigh) - (b & kLow)) ^ ((a ^ ~b) & kHigh); }
// 0xFF in each byte whose bit 7 is set in `signs` (which holds nothing but those bits).
inline std::uint32_t Spread(std::uint32_t signs) { return (signs >> 7) * 0xFFu; }
inline std::uint32_t Select(std::uint32_t mask, std::uint32_t yes, std::uint32_t no) { return (yes & mask) | (no & ~mask); }

// One pair of cells, each byte (a = first, b = second) on its own: with different signs
// first = a + b and second = a when a + b and b differ in sign, else -b; with the same
// sign second = a - b and first = b when a - b and a differ in sign, else a.
inline void InversePair(std::uint8_t* first, std::uint8_t* second) {
  std::uint32_t a, b;
  std::memcpy(&a, first, 4);
  std::memcpy(&b, second, 4);
  const std::uint32_t sum = ByteAdd(a, b), diff = ByteSub(a, b), negB = ByteSub(0, b);
  const std::uint32_t differ = Spread((a ^ b) & kHigh);
  const std::uint32_t f = Select(differ, sum, Select(Spread((diff ^ a) & kHigh), b, a));
  const std::uint32_t s = Select(differ, Select(Spread((sum ^ b) & kHigh), a, negB), diff);
  std::memcpy(first, &f, 4);
  std::memcpy(second, &s, 4);
}

inline unsigned Clamp(int v) { return v < 0 ? 0u : v > 255 ? 255u : static_cast<unsigned>(v); }

template <class Wave>
void Synthesize(typename Wave::P* out, const typename Wave::P* in, int w, int h, int rowLength, int level,
                std::uint8_t* work) {
  using P = typename Wave::P;
  const int unit = 1 << level;
  const int W = w & ~(unit - 1), H = h & ~(unit - 1);
  if (W == 0 || H == 0) {
    if (out != in)
      for (int y = 0; y < h; y++) std::memmove(out + y * rowLength, in + y * w, static_cast<std::size_t>(w) * sizeof(P));
    return;
  }
  auto cell = [work, W](int x, int y) { return work + (static_cast<std::size_t>(y) * W + x) * 4; };

  // The coefficients arrive band by band: per level the three detail bands, then the
  // remaining low band.
  const P* src = in;
  for (int i = 0; i < level; i++) {
    const int s = 1 << i, step = 2 * s;
    for (int y = s; y < H; y += step)
      for (int x = s; x < W; x += step) Wave::Split(*src++, cell(x, y));
    for (int y = s; y < H; y += step)
      for (int x = 0; x < W; x += step) Wave::Split(*src++, cell(x, y));
    for (int y = 0; y < H; y += step)
      for (int x = s; x < W; x += step) Wave::Split(*src++, cell(x, y));
  }
  for (int y = 0; y < H; y += unit)
    for (int x = 0; x < W; x += unit) Wave::Split(*src++, cell(x, y));
  // The edge pixels follow; keep them behind the cells, as out may overwrite in.
  const int edges = w * h - W * H;
  P* edge = reinterpret_cast<P*>(work + static_cast<std::size_t>(W) * H * 4);
  std::memcpy(edge, src, static_cast<std::size_t>(edges) * sizeof(P));

  ZywrleInverseWavelet(work, W, H, level);

  for (int y = 0; y < H; y++) {
    P* row = out + y * rowLength;
    const std::uint8_t* c = cell(0, y);
    for (int x = 0; x < W; x++, c += 4) {
      const int d0 = static_cast<std::int8_t>(c[0]), y1 = static_cast<std::int8_t>(c[1]),
                d2 = static_cast<std::int8_t>(c[2]);
      const int g = y1 - ((2 * d0 + 2 * d2) >> 2);
      row[x] = Wave::Join(Clamp(g + 128 + 2 * d0), Clamp(g + 128), Clamp(g + 128 + 2 * d2));
    }
  }
  for (int y = 0; y < H; y++)
    for (int x = W; x < w; x++) out[y * rowLength + x] = *edge++;
  for (int y = H; y < h; y++)
    for (int x = 0; x < W; x++) out[y * rowLength + x] = *edge++;
  for (int y = H; y < h; y++)
    for (int x = W; x < w; x++) out[y * rowLength + x] = *edge++;
}

}  // namespace

void ZywrleInverseWavelet(std::uint8_t* cells, int w, int h, int level) {
  for (int i = level - 1; i >= 0; i--) {
    const int s = 1 << i, step = 2 * s;
    for (int x = 0; x < w; x += s)
      for (int y = 0; y + s < h; y += step)
        InversePair(cells + (static_cast<std::size_t>(y) * w + x) * 4, cells + (static_cast<std::size_t>(y + s) * w + x) * 4);
    for (int y = 0; y < h; y += s)
      for (int x = 0; x + s < w; x += step)
        InversePair(cells + (static_cast<std::size_t>(y) * w + x) * 4, cells + (static_cast<std::size_t>(y) * w + x + s) * 4);
  }
}

void ZywrleSynthesize15(std::uint16_t* out, const std::uint16_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work) {
  Synthesize<Wave555>(out, in, w, h, rowLength, level, work);
}

void ZywrleSynthesize16(std::uint16_t* out, const std::uint16_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work) {
  Synthesize<Wave565>(out, in, w, h, rowLength, level, work);
}

void ZywrleSynthesize32(std::uint32_t* out, const std::uint32_t* in, int w, int h, int rowLength, int level,
                        std::uint8_t* work) {
  Synthesize<Wave888>(out, in, w, h, rowLength, level, work);
}

}  // namespace dec
