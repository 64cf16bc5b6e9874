// Direct3D presentation on the system the tests run on. Whether a device can be made
// depends on the display (Wine on Xvfb may have none): either the surface works as the
// framebuffer, or every operation fails cleanly and the viewer keeps its GDI bitmap.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
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
  // Presented: locked again for the next update.
  EXPECT_NE(dx.LockForUpdate(nullptr), nullptr);
  // Released (a new format, a lost device): the next update makes device and surface again.
  dx.ReleaseDevice();
  EXPECT_EQ(dx.Layout().bitsPerPixel, 0);
  EXPECT_NE(dx.LockForUpdate(nullptr), nullptr);
  EXPECT_EQ(dx.Layout().bitsPerPixel, 32);
  dx.Present();
}

}  // namespace
