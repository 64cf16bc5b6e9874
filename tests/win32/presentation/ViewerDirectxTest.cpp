// Direct3D presentation on the system the tests run on. Whether a device can be made
// depends on the display (Wine on Xvfb may have none): either the surface works as the
// framebuffer, or every operation fails cleanly and the viewer keeps its GDI bitmap.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "display/ViewerDirectx.h"

namespace {

LRESULT CALLBACK PlainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

class ViewerDirectxTest : public ::testing::Test {
protected:
  void SetUp() override {
    WNDCLASSA wc = {};
    wc.lpfnWndProc = PlainWndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ViewerDirectxTestWindow";
    RegisterClassA(&wc);
    hwnd_ = CreateWindowExA(0, wc.lpszClassName, "direct3d", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 150,
                            nullptr, nullptr, wc.hInstance, nullptr);
    if (!hwnd_) GTEST_SKIP() << "needs a display (Xvfb)";
  }
  void TearDown() override {
    if (hwnd_) DestroyWindow(hwnd_);
  }
  HWND hwnd_ = nullptr;
};

TEST_F(ViewerDirectxTest, SessionsThatNeverUseDirect3D) {
  // 24 and 8 bits per pixel, and a 16-bit format of neither surface layout (BGR 565).
  struct Case {
    int bpp, redShift;
  } cases[] = {{24, 16}, {8, 0}, {16, 0}, {16, 5}};
  for (const Case& c : cases) {
    ViewerDirectxClass dx;
    EXPECT_EQ(dx.CreateSurface(hwnd_, hwnd_, 64, 48, false, c.bpp, c.redShift), E_FAIL) << c.bpp << "/" << c.redShift;
    EXPECT_EQ(dx.Layout().bitsPerPixel, 0);
    // Nothing to write into: the next update tries again and gets nothing.
    EXPECT_EQ(dx.LockForUpdate(nullptr), nullptr);
    EXPECT_EQ(dx.LockSurface(), nullptr);
    dx.Present();  // paints the window black, no crash
    dx.ReleaseDevice();
  }
}

TEST_F(ViewerDirectxTest, ThirtyTwoBitSurfaceOrCleanFailure) {
  ViewerDirectxClass dx;
  const HRESULT made = dx.CreateSurface(hwnd_, hwnd_, 64, 48, false, 32, 16);
  RecordProperty("direct3d", made == S_OK ? "device" : "none");
  if (made != S_OK) {
    EXPECT_EQ(made, E_FAIL);
    EXPECT_EQ(dx.Layout().bitsPerPixel, 0);
    EXPECT_EQ(dx.LockForUpdate(nullptr), nullptr);
    dx.Present();
    return;
  }
  const directx::SurfaceLayout layout = dx.Layout();
  EXPECT_EQ(layout.bitsPerPixel, 32);
  EXPECT_EQ(layout.redShift, 16);
  EXPECT_EQ(layout.greenShift, 8);
  EXPECT_EQ(layout.blueShift, 0);

  auto* bits = static_cast<std::uint8_t*>(dx.LockForUpdate(nullptr));
  ASSERT_NE(bits, nullptr);
  ASSERT_GE(dx.Pitch(), 64 * 4);
  for (int y = 0; y < 48; y++) std::memset(bits + y * dx.Pitch(), 0x40, 64 * 4);
  // Locked until presented: the next update writes into the same bits.
  EXPECT_EQ(dx.LockForUpdate(bits), bits);
  dx.Present();
  // Presented: locked again for the next update, which writes only what changed: what was
  // written before is still there (the surface is never locked with a discard flag).
  auto* again = static_cast<std::uint8_t*>(dx.LockForUpdate(nullptr));
  ASSERT_NE(again, nullptr);
  for (int y = 0; y < 48; y += 47)
    for (int x = 0; x < 64 * 4; x++) ASSERT_EQ(again[y * dx.Pitch() + x], 0x40) << x << "," << y;
  // Released (a new format, a lost device): the next update makes device and surface again.
  dx.ReleaseDevice();
  EXPECT_EQ(dx.Layout().bitsPerPixel, 0);
  EXPECT_NE(dx.LockForUpdate(nullptr), nullptr);
  EXPECT_EQ(dx.Layout().bitsPerPixel, 32);
  dx.Present();
}

// Writes the surface with a picture of four quadrants and presents it; true when a device
// could be made at all.
bool PresentQuadrants(ViewerDirectxClass& dx, HWND window, int w, int h) {
  if (dx.CreateSurface(window, window, w, h, false, 32, 16) != S_OK) return false;
  auto* bits = static_cast<std::uint8_t*>(dx.LockForUpdate(nullptr));
  if (!bits) return false;
  static const std::uint32_t colours[4] = {0xC03020, 0x20C040, 0x3040C0, 0xE0E0E0};
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      const std::uint32_t v = colours[(y >= h / 2) * 2 + (x >= w / 2)];
      std::memcpy(bits + y * dx.Pitch() + x * 4, &v, 4);
    }
  dx.Present();
  return true;
}

void Pump(int ms) {
  const DWORD end = GetTickCount() + static_cast<DWORD>(ms);
  while (GetTickCount() < end) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(10);
  }
}

// What the window shows, compared with the surface, presented again until the verdict is
// `until` (or any but Inconclusive when it is Inconclusive), at most 30 s.
directx::PresentationCheck Shown(ViewerDirectxClass& dx, directx::Verdict until) {
  directx::PresentationCheck c;
  const DWORD end = GetTickCount() + 30000;
  do {
    Pump(20);
    dx.Present();
    c = dx.CheckPresentation();
    if (until == directx::Verdict::Inconclusive ? c.verdict != until : c.verdict == until) break;
  } while (static_cast<LONG>(GetTickCount() - end) < 0);
  return c;
}

const char* Name(directx::Verdict v) {
  switch (v) {
    case directx::Verdict::Matches: return "matches";
    case directx::Verdict::Differs: return "differs";
    case directx::Verdict::Inconclusive: break;
  }
  return "inconclusive";
}

// The check reads back the real window: a presentation that reached it matches, and the
// same window painted over afterwards (a stand-in that shows the wrong picture) does not.
TEST_F(ViewerDirectxTest, PresentationCheckReadsTheWindowBack) {
  ViewerDirectxClass dx;
  if (!PresentQuadrants(dx, hwnd_, 96, 72)) GTEST_SKIP() << "no Direct3D device here";
  const directx::PresentationCheck shown = Shown(dx, directx::Verdict::Matches);
  RecordProperty("top-level window", Name(shown.verdict));
  EXPECT_EQ(shown.verdict, directx::Verdict::Matches) << shown.matching << " of " << shown.samples;

  HDC dc = GetDC(hwnd_);
  RECT r;
  GetClientRect(hwnd_, &r);
  FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  ReleaseDC(hwnd_, dc);
  GdiFlush();
  const directx::PresentationCheck painted = dx.CheckPresentation();
  EXPECT_EQ(painted.verdict, directx::Verdict::Differs) << painted.matching << " of " << painted.samples;
}

// A child device window is never read back: under Wine its presentation never reaches
// the screen, and reading it right after a presentation can hang inside the platform
// (the display test runs this in a process of its own and fails on a hang). The check
// says at once that it cannot vouch for it.
TEST_F(ViewerDirectxTest, PresentationToAChildWindowIsJudged) {
  HWND child = CreateWindowExA(0, "ViewerDirectxTestWindow", "child", WS_CHILD | WS_VISIBLE, 0, 0, 180, 120, hwnd_,
                               nullptr, GetModuleHandleA(nullptr), nullptr);
  ASSERT_NE(child, nullptr);
  ViewerDirectxClass dx;
  if (!PresentQuadrants(dx, child, 96, 72)) GTEST_SKIP() << "no Direct3D device here";
  for (int i = 0; i < 20; i++) {
    Pump(20);
    dx.Present();
    const directx::PresentationCheck c = dx.CheckPresentation();
    ASSERT_EQ(c.verdict, directx::Verdict::Differs);
    ASSERT_TRUE(c.unreadable);
    ASSERT_EQ(c.samples, 0);
  }
  std::printf("presentation to a child window: not read back\n");
  DestroyWindow(child);
}

// Other windows over the device window: what shows there proves nothing. A small part is
// left out of the judgement and the rest is judged; a window mostly hidden, partly off
// the screen or minimised is not read at all. Uncovered again, it is read and
// matches.
TEST_F(ViewerDirectxTest, ACoveredPresentationIsNotJudged) {
  ViewerDirectxClass dx;
  if (!PresentQuadrants(dx, hwnd_, 96, 72)) GTEST_SKIP() << "no Direct3D device here";
  ASSERT_EQ(Shown(dx, directx::Verdict::Matches).verdict, directx::Verdict::Matches);

  RECT r;
  GetWindowRect(hwnd_, &r);
  // Windows of another class (and so, as far as the check can tell, of any program),
  // painted white where the picture has no white: over one corner, then over all of it.
  struct Case {
    const char* what;
    RECT cover;
    bool covered;
    directx::Verdict verdict;
  } cases[] = {
      {"a corner", {r.right - 50, r.bottom - 40, r.right + 10, r.bottom + 10}, false, directx::Verdict::Matches},
      {"all of it", {r.left - 5, r.top - 5, r.right + 5, r.bottom + 5}, true, directx::Verdict::Inconclusive},
  };
  for (const Case& c : cases) {
    HWND cover = CreateWindowExA(0, "ViewerDirectxTestWindow", "cover", WS_POPUP | WS_VISIBLE, c.cover.left,
                                 c.cover.top, c.cover.right - c.cover.left, c.cover.bottom - c.cover.top, nullptr,
                                 nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(cover, nullptr);
    SetWindowPos(cover, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    HDC dc = GetDC(cover);
    RECT all = {0, 0, c.cover.right - c.cover.left, c.cover.bottom - c.cover.top};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    ReleaseDC(cover, dc);
    Pump(50);
    EXPECT_EQ(dx.DeviceWindowCovered(), c.covered) << c.what;
    const directx::PresentationCheck checked = dx.CheckPresentation();
    EXPECT_EQ(checked.covered, c.covered) << c.what;
    EXPECT_EQ(checked.verdict, c.verdict) << c.what << ": " << checked.matching << " of " << checked.samples;
    if (c.covered) EXPECT_EQ(checked.samples, 0) << c.what;
    DestroyWindow(cover);
  }
  EXPECT_FALSE(dx.DeviceWindowCovered());
  EXPECT_EQ(Shown(dx, directx::Verdict::Matches).verdict, directx::Verdict::Matches);

  // Partly off the screen (such a window cannot be read back at all), and minimised.
  const int left = GetSystemMetrics(SM_XVIRTUALSCREEN);
  SetWindowPos(hwnd_, nullptr, left - 40, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Pump(50);
  EXPECT_TRUE(dx.CheckPresentation().covered);
  SetWindowPos(hwnd_, nullptr, 10, 10, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  ShowWindow(hwnd_, SW_MINIMIZE);
  Pump(50);
  EXPECT_TRUE(dx.CheckPresentation().covered);
  ShowWindow(hwnd_, SW_RESTORE);
}

// A device made again (a lost one) counts as new, so the viewer checks its picture anew;
// once given up, d3d9 is freed and nothing of Direct3D works again.
TEST_F(ViewerDirectxTest, NewDevicesAreCountedAndUnloadFreesD3d9) {
  ViewerDirectxClass dx;
  if (!PresentQuadrants(dx, hwnd_, 64, 48)) GTEST_SKIP() << "no Direct3D device here";
  const unsigned first = dx.Generation();
  EXPECT_GT(first, 0u);
  dx.Present();
  EXPECT_EQ(dx.Generation(), first);  // presenting makes nothing anew
  dx.ReleaseDevice();
  ASSERT_NE(dx.LockForUpdate(nullptr), nullptr);  // made again, as after a lost device
  EXPECT_TRUE(dx.TakeRecreated());
  EXPECT_GT(dx.Generation(), first);

  ASSERT_NE(GetModuleHandleA("d3d9"), nullptr);
  dx.Unload();
  EXPECT_EQ(GetModuleHandleA("d3d9"), nullptr);
  EXPECT_FALSE(dx.Loaded());
  EXPECT_EQ(dx.LockForUpdate(nullptr), nullptr);
  EXPECT_EQ(dx.CreateSurface(hwnd_, hwnd_, 64, 48, false, 32, 16), E_FAIL);
  EXPECT_EQ(GetModuleHandleA("d3d9"), nullptr);
}

}  // namespace
