// Surface formats for Direct3D presentation and the locking rules for lost devices.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "display/DirectxSurface.h"

namespace {

using directx::DirectxDevice;
using directx::SurfaceFormat;

TEST(DirectxFormat, Layouts) {
  struct Case {
    SurfaceFormat format;
    int bpp;
    std::uint32_t r, g, b;
    int rs, gs, bs;
  } cases[] = {
      {SurfaceFormat::X8R8G8B8, 32, 0xFF0000, 0xFF00, 0xFF, 16, 8, 0},
      {SurfaceFormat::A8R8G8B8, 32, 0xFF0000, 0xFF00, 0xFF, 16, 8, 0},
      {SurfaceFormat::X1R5G5B5, 16, 0x7C00, 0x3E0, 0x1F, 10, 5, 0},
      {SurfaceFormat::A1R5G5B5, 16, 0x7C00, 0x3E0, 0x1F, 10, 5, 0},
      {SurfaceFormat::R5G6B5, 16, 0xF800, 0x7E0, 0x1F, 11, 5, 0},
      {SurfaceFormat::Unknown, 0, 0, 0, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const directx::SurfaceLayout l = directx::LayoutOf(c.format);
    EXPECT_EQ(l.bitsPerPixel, c.bpp);
    EXPECT_EQ(l.redMask, c.r);
    EXPECT_EQ(l.greenMask, c.g);
    EXPECT_EQ(l.blueMask, c.b);
    EXPECT_EQ(l.redShift, c.rs);
    EXPECT_EQ(l.greenShift, c.gs);
    EXPECT_EQ(l.blueShift, c.bs);
  }
}

TEST(DirectxFormat, SessionsThatCanUseDirect3D) {
  struct Case {
    int bpp, redShift;
    SurfaceFormat display, expected;
  } cases[] = {
      {32, 16, SurfaceFormat::X8R8G8B8, SurfaceFormat::X8R8G8B8},
      {32, 0, SurfaceFormat::X8R8G8B8, SurfaceFormat::X8R8G8B8},  // takes over the surface's shifts
      {32, 16, SurfaceFormat::R5G6B5, SurfaceFormat::R5G6B5},     // 16 bits: not adopted by a 32-bit session
      {16, 11, SurfaceFormat::X8R8G8B8, SurfaceFormat::R5G6B5},
      {16, 10, SurfaceFormat::X8R8G8B8, SurfaceFormat::X1R5G5B5},
      {16, 0, SurfaceFormat::X8R8G8B8, SurfaceFormat::Unknown},  // BGR 565
      {8, 0, SurfaceFormat::X8R8G8B8, SurfaceFormat::Unknown},
      {24, 16, SurfaceFormat::X8R8G8B8, SurfaceFormat::Unknown},
  };
  for (const Case& c : cases)
    EXPECT_EQ(directx::FormatForSession(c.bpp, c.redShift, c.display), c.expected) << c.bpp << "/" << c.redShift;
}

// A device that answers from a script and records what was done to it.
class ScriptedDevice : public DirectxDevice {
public:
  std::deque<Cooperation> levels;  // then Ok
  std::deque<bool> lockResults;    // then true
  bool resetOk = true, recreateOk = true, have = true;
  int paintingRounds = 0;
  std::vector<std::string> calls;
  int sleptMs = 0;
  char surface[64] = {};

  Cooperation TestCooperativeLevel() override {
    Cooperation c = Cooperation::Ok;
    if (!levels.empty()) {
      c = levels.front();
      levels.pop_front();
    }
    return c;
  }
  bool ResetDevice() override {
    calls.push_back("reset");
    return resetOk;
  }
  void* LockWholeSurface(int* pitch) override {
    bool ok = true;
    if (!lockResults.empty()) {
      ok = lockResults.front();
      lockResults.pop_front();
    }
    calls.push_back(ok ? "lock" : "lock failed");
    *pitch = 1280;
    return ok ? surface : nullptr;
  }
  bool HaveDeviceAndSurface() override { return have; }
  bool Recreate() override {
    calls.push_back("recreate");
    have = recreateOk;
    return recreateOk;
  }
  bool Painting() override { return paintingRounds > 0 && paintingRounds--; }
  void Sleep(int ms) override { sleptMs += ms; }
};

TEST(DirectxLock, CooperativeLevels) {
  struct Case {
    DirectxDevice::Cooperation level;
    bool resetOk;
    bool locks;
    int slept;
    std::vector<std::string> calls;
  } cases[] = {
      {DirectxDevice::Cooperation::Ok, true, true, 0, {"lock"}},
      {DirectxDevice::Cooperation::Lost, true, false, 250, {}},
      {DirectxDevice::Cooperation::DriverError, true, false, 0, {}},
      {DirectxDevice::Cooperation::NotReset, true, true, 0, {"reset", "lock"}},
      {DirectxDevice::Cooperation::NotReset, false, false, 0, {"reset"}},
  };
  for (const Case& c : cases) {
    ScriptedDevice d;
    d.levels = {c.level};
    d.resetOk = c.resetOk;
    directx::SurfaceState s;
    s.deviceLost = !c.locks;
    void* bits = directx::LockSurface(d, s);
    EXPECT_EQ(bits != nullptr, c.locks);
    EXPECT_EQ(s.surfaceLocked, c.locks);
    EXPECT_EQ(s.deviceLost, !c.locks);
    EXPECT_EQ(d.sleptMs, c.slept);
    EXPECT_EQ(d.calls, c.calls);
    if (c.locks) EXPECT_EQ(s.pitch, 1280);
  }
}

TEST(DirectxLock, LockedSurfaceIsKeptUntilPresented) {
  ScriptedDevice d;
  directx::SurfaceState s;
  void* bits = directx::LockForUpdate(d, s, nullptr);
  ASSERT_EQ(bits, d.surface);
  EXPECT_EQ(directx::LockForUpdate(d, s, bits), bits);
  EXPECT_EQ(d.calls, std::vector<std::string>{"lock"});
  EXPECT_FALSE(s.recreated);
}

TEST(DirectxLock, WaitsForPaintingAtMost600ms) {
  ScriptedDevice d;
  d.paintingRounds = 5;
  directx::SurfaceState s;
  EXPECT_NE(directx::LockForUpdate(d, s, nullptr), nullptr);
  EXPECT_EQ(d.sleptMs, 10);

  ScriptedDevice busy;
  busy.paintingRounds = 100000;
  directx::SurfaceState s2;
  EXPECT_NE(directx::LockForUpdate(busy, s2, nullptr), nullptr);
  EXPECT_EQ(busy.sleptMs, 600);
}

TEST(DirectxLock, LostDeviceIsMadeAgainAndTheUpdateAfterUsesIt) {
  // 21 lost answers: the update gets nothing, device and surface are made again, and the
  // next update locks the new surface (which the caller must fill completely again).
  ScriptedDevice d;
  d.levels.assign(21, DirectxDevice::Cooperation::Lost);
  directx::SurfaceState s;
  EXPECT_EQ(directx::LockForUpdate(d, s, nullptr), nullptr);
  EXPECT_EQ(d.sleptMs, 21 * 250 + 1500);
  EXPECT_EQ(d.calls, std::vector<std::string>{"recreate"});
  EXPECT_TRUE(s.recreated);
  EXPECT_NE(directx::LockForUpdate(d, s, nullptr), nullptr);
  EXPECT_TRUE(s.surfaceLocked);
  EXPECT_FALSE(s.deviceLost);
}

TEST(DirectxLock, LockFailuresBelowTheLimitAreRetried) {
  ScriptedDevice d;
  d.lockResults.assign(20, false);
  directx::SurfaceState s;
  EXPECT_NE(directx::LockForUpdate(d, s, nullptr), nullptr);
  EXPECT_EQ(d.calls.size(), 21u);
  EXPECT_FALSE(s.recreated);
}

TEST(DirectxLock, MissingDeviceIsMadeBeforeLocking) {
  ScriptedDevice d;
  d.have = false;
  directx::SurfaceState s;
  s.surfaceLocked = true;  // as a release leaves it
  s.bits = reinterpret_cast<void*>(0x10);  // the released surface's bits are never handed out
  EXPECT_EQ(directx::LockForUpdate(d, s, s.bits), d.surface);
  EXPECT_EQ(d.calls, (std::vector<std::string>{"recreate", "lock"}));
  EXPECT_TRUE(s.recreated);

  ScriptedDevice broken;
  broken.have = false;
  broken.recreateOk = false;
  directx::SurfaceState s2;
  EXPECT_EQ(directx::LockForUpdate(broken, s2, nullptr), nullptr);
  EXPECT_EQ(broken.calls, std::vector<std::string>{"recreate"});
}

// ---- The session format that goes with a surface ----

TEST(DirectxFormat, SessionFollowsTheSurfaceInEveryShiftAndSize) {
  PixelFormat bgr;  // the viewer's default: red in the low byte
  const PixelFormat x8 = directx::FormatOfSurface(bgr, directx::LayoutOf(SurfaceFormat::X8R8G8B8));
  EXPECT_EQ(x8.redShift, 16);
  EXPECT_EQ(x8.greenShift, 8);
  EXPECT_EQ(x8.blueShift, 0);
  EXPECT_EQ(x8.redMax, 255);
  EXPECT_FALSE(directx::SamePixelMeaning(bgr, x8));

  PixelFormat rgb = bgr;
  rgb.redShift = 16;
  rgb.blueShift = 0;
  EXPECT_TRUE(directx::SamePixelMeaning(rgb, x8));
  rgb.depth = 32;  // depth alone changes no colour
  EXPECT_TRUE(directx::SamePixelMeaning(rgb, x8));
  rgb.bigEndian = 1;  // the same shifts read the other way round
  EXPECT_FALSE(directx::SamePixelMeaning(rgb, x8));

  PixelFormat s565;
  s565.bitsPerPixel = 16;
  s565.depth = 16;
  s565.redMax = 31;
  s565.greenMax = 63;
  s565.blueMax = 31;
  s565.redShift = 11;
  s565.greenShift = 5;
  s565.blueShift = 0;
  const PixelFormat r565 = directx::FormatOfSurface(s565, directx::LayoutOf(SurfaceFormat::R5G6B5));
  EXPECT_TRUE(directx::SamePixelMeaning(s565, r565));
  // Red at 11 but 5-5-5 channel sizes: the size differs, so the meaning does.
  const PixelFormat x555 = directx::FormatOfSurface(s565, directx::LayoutOf(SurfaceFormat::X1R5G5B5));
  EXPECT_EQ(x555.greenMax, 31);
  EXPECT_EQ(x555.redShift, 10);
  EXPECT_FALSE(directx::SamePixelMeaning(s565, x555));
}

// ---- Whether the window shows the surface ----

struct Picture {
  int w, h;
  std::vector<std::uint8_t> bgrx;  // what a window shows, 4 bytes a pixel
  std::uint8_t* At(int x, int y) { return &bgrx[(static_cast<std::size_t>(y) * w + x) * 4]; }
  directx::ShownImage Shown() const { return {bgrx.data(), w, h, static_cast<std::size_t>(w) * 4}; }
};

Picture Blank(int w, int h, std::uint8_t r, std::uint8_t g, std::uint8_t b) {
  Picture p{w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w) * h * 4)};
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      std::uint8_t* q = p.At(x, y);
      q[0] = b, q[1] = g, q[2] = r;
    }
  return p;
}

// An X8R8G8B8 surface with a padded pitch; colour(x, y) gives its pixels as 0xRRGGBB.
struct Surface {
  int w, h;
  std::size_t pitch;
  std::vector<std::uint8_t> bits;
  template <typename Colour>
  Surface(int width, int height, Colour colour) : w(width), h(height), pitch(width * 4 + 12), bits(pitch * height) {
    for (int y = 0; y < h; y++)
      for (int x = 0; x < w; x++) {
        const std::uint32_t v = colour(x, y);
        std::memcpy(&bits[y * pitch + x * 4], &v, 4);
      }
  }
  std::uint32_t Pixel(int x, int y) const {
    std::uint32_t v;
    std::memcpy(&v, &bits[y * pitch + x * 4], 4);
    return v;
  }
  directx::SurfaceImage Image() const {
    return {bits.data(), w, h, pitch, directx::LayoutOf(SurfaceFormat::X8R8G8B8)};
  }
  // The surface stretched over w x h window pixels, nearest or bilinear.
  Picture Stretched(int cw, int ch, bool bilinear) const {
    Picture p = Blank(cw, ch, 0, 0, 0);
    for (int y = 0; y < ch; y++)
      for (int x = 0; x < cw; x++) {
        const double fx = (x + 0.5) * w / cw - 0.5, fy = (y + 0.5) * h / ch - 0.5;
        double c[3] = {0, 0, 0};
        if (!bilinear) {
          const std::uint32_t v = Pixel(std::clamp(int(fx + 0.5), 0, w - 1), std::clamp(int(fy + 0.5), 0, h - 1));
          for (int k = 0; k < 3; k++) c[k] = (v >> (8 * k)) & 0xFF;
        } else {
          const int x0 = std::clamp(int(std::floor(fx)), 0, w - 1), y0 = std::clamp(int(std::floor(fy)), 0, h - 1);
          const int x1 = std::min(x0 + 1, w - 1), y1 = std::min(y0 + 1, h - 1);
          const double ax = std::clamp(fx - x0, 0.0, 1.0), ay = std::clamp(fy - y0, 0.0, 1.0);
          for (int k = 0; k < 3; k++) {
            auto ch8 = [&](int xx, int yy) { return double((Pixel(xx, yy) >> (8 * k)) & 0xFF); };
            c[k] = (1 - ay) * ((1 - ax) * ch8(x0, y0) + ax * ch8(x1, y0)) + ay * ((1 - ax) * ch8(x0, y1) + ax * ch8(x1, y1));
          }
        }
        std::uint8_t* q = p.At(x, y);
        for (int k = 0; k < 3; k++) q[k] = static_cast<std::uint8_t>(c[k] + 0.5);
      }
    return p;
  }
};

// Ramps and blocks: a picture with many colours and smooth parts, red unlike blue.
std::uint32_t Desktop(int x, int y) {
  const std::uint32_t r = (x * 4) & 0xFF, g = ((x + y) * 2) & 0xFF, b = (x / 16 + y / 16) % 2 ? 200 : 40;
  return r << 16 | g << 8 | b;
}

TEST(DirectxPresentationCheck, StretchedPresentationsMatch) {
  const Surface s(64, 48, Desktop);
  for (bool bilinear : {false, true})
    for (auto size : {std::pair<int, int>{64, 48}, {100, 70}, {200, 150}, {40, 30}}) {
      const Picture shown = s.Stretched(size.first, size.second, bilinear);
      const directx::PresentationCheck c = directx::ComparePresentation(s.Image(), shown.Shown());
      EXPECT_EQ(c.verdict, directx::Verdict::Matches)
          << size.first << "x" << size.second << (bilinear ? " bilinear " : " nearest ") << c.matching << "/" << c.samples;
    }
}

TEST(DirectxPresentationCheck, WrongPicturesDiffer) {
  const Surface s(64, 48, Desktop);
  const Picture right = s.Stretched(100, 70, true);
  struct Case {
    const char* what;
    Picture shown;
  } cases[] = {
      {"nothing presented (black)", Blank(100, 70, 0, 0, 0)},
      {"nothing presented (white)", Blank(100, 70, 255, 255, 255)},
      {"red and blue swapped", right},
      {"shifted by 12 pixels", right},
      {"drawn 1:1 from the top-left, not fitted", Blank(100, 70, 0, 0, 0)},
  };
  for (int y = 0; y < 70; y++)
    for (int x = 0; x < 100; x++) {
      std::swap(cases[2].shown.At(x, y)[0], cases[2].shown.At(x, y)[2]);
      std::memcpy(cases[3].shown.At(x, y), right.bgrx.data() + (y * 100 + std::max(0, x - 12)) * 4, 4);
      const std::uint32_t v = s.Pixel(std::min(x, 63), std::min(y, 47));
      std::memcpy(cases[4].shown.At(x, y), &v, 4);
    }
  for (const Case& c : cases) {
    const directx::PresentationCheck r = directx::ComparePresentation(s.Image(), c.shown.Shown());
    EXPECT_EQ(r.verdict, directx::Verdict::Differs) << c.what << ": " << r.matching << "/" << r.samples;
  }
}

// Where other windows lie over the window (or it is off the screen) what shows is theirs:
// those parts are not judged, and the rest decides.
TEST(DirectxPresentationCheck, HiddenPartsAreNotJudged) {
  const Surface s(64, 48, Desktop);
  Picture shown = s.Stretched(100, 70, true);
  // Another window over the right 60 % of the picture.
  for (int y = 0; y < 70; y++)
    for (int x = 40; x < 100; x++) std::memset(shown.At(x, y), 255, 4);
  const directx::Area other[] = {{40, 0, 100, 70}};
  struct Case {
    const char* what;
    const directx::Area* hidden;
    int count;
    directx::Verdict verdict;
  } cases[] = {
      {"judged whole", nullptr, 0, directx::Verdict::Differs},
      {"the other window left out", other, 1, directx::Verdict::Matches},
  };
  for (const Case& c : cases) {
    const directx::PresentationCheck r = directx::ComparePresentation(s.Image(), shown.Shown(), c.hidden, c.count);
    EXPECT_EQ(r.verdict, c.verdict) << c.what << ": " << r.matching << "/" << r.samples;
  }
  // The right picture under the other window, and a wrong one beside it: still wrong.
  Picture wrong = Blank(100, 70, 0, 0, 0);
  EXPECT_EQ(directx::ComparePresentation(s.Image(), wrong.Shown(), other, 1).verdict, directx::Verdict::Differs);
}

TEST(DirectxPresentationCheck, TheFirstGreyAndSixteenBitSurfaces) {
  // A new surface is mid grey (every byte 128): uniform, so any presentation of it tells.
  std::vector<std::uint8_t> bits(32 * 2 * 20, 128);
  const directx::SurfaceImage grey16{bits.data(), 32, 20, 64, directx::LayoutOf(SurfaceFormat::R5G6B5)};
  // 0x8080 in 5-6-5 is red 16, green 4, blue 0.
  const int r = (16 * 255 + 15) / 31, g = (4 * 255 + 31) / 63;
  EXPECT_EQ(directx::ComparePresentation(grey16, Blank(80, 60, r, g, 0).Shown()).verdict, directx::Verdict::Matches);
  EXPECT_EQ(directx::ComparePresentation(grey16, Blank(80, 60, 128, 128, 128).Shown()).verdict,
            directx::Verdict::Differs);
  const Surface grey32(32, 20, [](int, int) { return 0x808080u; });
  EXPECT_EQ(directx::ComparePresentation(grey32.Image(), Blank(80, 60, 129, 127, 128).Shown()).verdict,
            directx::Verdict::Matches);
  EXPECT_EQ(directx::ComparePresentation(grey32.Image(), Blank(80, 60, 0, 0, 0).Shown()).verdict,
            directx::Verdict::Differs);
}

TEST(DirectxPresentationCheck, NoiseTellsNothing) {
  std::uint32_t seed = 12345;
  const Surface noise(64, 48, [&](int, int) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) & 0xFFFFFF;
  });
  const directx::PresentationCheck c = directx::ComparePresentation(noise.Image(), Blank(64, 48, 0, 0, 0).Shown());
  EXPECT_EQ(c.verdict, directx::Verdict::Inconclusive) << c.samples;
  // Nor does an empty window or surface.
  EXPECT_EQ(directx::ComparePresentation(directx::SurfaceImage(), Blank(4, 4, 0, 0, 0).Shown()).verdict,
            directx::Verdict::Inconclusive);
}

}  // namespace
