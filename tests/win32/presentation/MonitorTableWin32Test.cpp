// The monitor table of the system the tests run on (Wine on Xvfb: one screen).
#include <windows.h>

#include <gtest/gtest.h>

#include "display/MonitorTable.h"

namespace {

LRESULT CALLBACK PlainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  return DefWindowProcA(hwnd, msg, wParam, lParam);
}

TEST(MonitorTableWin32, OneScreenAndItsWindows) {
  WNDCLASSA wc = {};
  wc.lpfnWndProc = PlainWndProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "MonitorTableTestWindow";
  RegisterClassA(&wc);
  HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "monitors", WS_OVERLAPPEDWINDOW, 10, 10, 200, 100, nullptr, nullptr,
                              wc.hInstance, nullptr);
  if (!hwnd) GTEST_SKIP() << "needs a display (Xvfb)";

  MonitorTable table;
  ASSERT_GE(table.Count(), 1);
  const monitors::Entry& primary = table.Entry(1);
  EXPECT_EQ(primary.width, GetSystemMetrics(SM_CXSCREEN));
  EXPECT_EQ(primary.height, GetSystemMetrics(SM_CYSCREEN));
  EXPECT_EQ(primary.x, 0);
  EXPECT_EQ(primary.y, 0);
  EXPECT_EQ(primary.monitor, MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY));
  char expected[128];
  wsprintfA(expected, "1. %d x %d @ 0,0 - %d-bit - %d Hz", primary.width, primary.height, primary.depth,
            primary.frequency);
  EXPECT_STREQ(primary.description, expected);
  EXPECT_GT(primary.depth, 0);

  const monitors::Entry& all = table.Entry(0);
  EXPECT_STREQ(all.deviceName, "All displays");
  EXPECT_EQ(all.width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
  EXPECT_EQ(all.height, GetSystemMetrics(SM_CYVIRTUALSCREEN));
  EXPECT_EQ(all.depth, primary.depth);

  EXPECT_EQ(table.IndexOfWindow(hwnd, false), 1);
  EXPECT_EQ(table.IndexOfWindow(hwnd, true), 0);
  table.Refresh();
  EXPECT_EQ(table.IndexOfWindow(hwnd, false), 1);
  DestroyWindow(hwnd);
}

}  // namespace
