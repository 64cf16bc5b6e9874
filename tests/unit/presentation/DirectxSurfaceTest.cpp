// Surface formats for Direct3D presentation and the locking rules for lost devices.
#include <gtest/gtest.h>

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

}  // namespace
