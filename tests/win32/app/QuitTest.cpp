#include <gtest/gtest.h>
#include <windows.h>

#include <thread>

#include "app/KEBviewerApp.h"

namespace {

// Runs a message loop on this thread until WM_QUIT or the time-out; returns the code or -1.
int LoopUntilQuit(DWORD timeoutMs) {
  UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, nullptr);
  MSG msg;
  int code = -1;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    if (msg.message == WM_TIMER && msg.wParam == timer) break;
    DispatchMessageA(&msg);
  }
  if (msg.message == WM_QUIT) code = static_cast<int>(msg.wParam);
  KillTimer(nullptr, timer);
  return code;
}

TEST(QuitMessageLoop, FromAConnectionThreadEndsTheGuiThreadsLoop) {
  g_guiThreadId = GetCurrentThreadId();
  std::thread worker([] { QuitMessageLoop(7); });
  int code = LoopUntilQuit(5000);
  worker.join();
  EXPECT_EQ(code, 7);
}

TEST(QuitMessageLoop, OnTheGuiThreadItself) {
  g_guiThreadId = GetCurrentThreadId();
  QuitMessageLoop(3);
  EXPECT_EQ(LoopUntilQuit(5000), 3);
}

}  // namespace
