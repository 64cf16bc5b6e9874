// The fitted GDI view's paint cost by the size and spread of what changed (MinGW build,
// run under Wine on an X display): a 1600 x 1200 framebuffer fitted into a 1272 x 997
// window (no common divisor of the heights: the view's cells are whole columns) and into
// a 1200 x 900 one (cells of 3 x 3 pixels) with HALFTONE, painted from WM_PAINT as the
// viewer does. Each row is the median
// of the paints of the same invalidation; "per rectangle" is the viewer's painting
// (PaintFittedView), "clipped whole view" the earlier painting, for comparison: one
// stretch of the whole framebuffer left to the paint's clipping, which costs the box
// around everything changed and, under Wine, takes other source pixels than the whole
// view's for a part. Two small changes far apart should cost about twice one, not a
// whole view.
//
//   bench_fitted_paint [rounds]     (default 15)
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstdint>
#include <random>
#include <vector>

#include "display/FramebufferDib.h"

namespace {

constexpr int kFbWidth = 1600, kFbHeight = 1200;
int kViewWidth = 1272, kViewHeight = 997;

struct Bench {
  HDC source = nullptr;
  PointerView view;
  bool perRectangle = true;
  double lastMs = 0;
};
Bench g_bench;

double NowMs() {
  LARGE_INTEGER f, t;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != WM_PAINT) return DefWindowProcA(hwnd, msg, wParam, lParam);
  const double start = NowMs();
  HRGN update = CreateRectRgn(0, 0, 0, 0);
  GetUpdateRgn(hwnd, update, FALSE);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  if (g_bench.perRectangle) {
    PaintFittedView(dc, update, g_bench.source, g_bench.view);
  } else {
    SetStretchBltMode(dc, HALFTONE);
    SetBrushOrgEx(dc, 0, 0, nullptr);
    StretchBlt(dc, 0, 0, kViewWidth, kViewHeight, g_bench.source, 0, 0, kFbWidth, kFbHeight, SRCCOPY);
  }
  EndPaint(hwnd, &ps);
  DeleteObject(update);
  g_bench.lastMs = NowMs() - start;
  return 0;
}

double MedianPaintMs(HWND hwnd, const std::vector<RECT>& rects, int rounds) {
  std::vector<double> times;
  for (int i = 0; i < rounds; i++) {
    for (const RECT& r : rects) InvalidateRect(hwnd, &r, FALSE);
    g_bench.lastMs = -1;
    UpdateWindow(hwnd);
    if (g_bench.lastMs >= 0) times.push_back(g_bench.lastMs);
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }
  if (times.empty()) return -1;
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  void* bits = nullptr;
  HDC source = CreateCompatibleDC(nullptr);
  HBITMAP dib = CreateFramebufferDib(source, PixelFormat(), kFbWidth, kFbHeight, &bits);
  if (!dib) {
    std::fprintf(stderr, "no DIB section\n");
    return 1;
  }
  SelectObject(source, dib);
  std::mt19937 rng(3);
  auto* px = static_cast<std::uint32_t*>(bits);
  for (int i = 0; i < kFbWidth * kFbHeight; i++) px[i] = rng() & 0xFFFFFF;
  g_bench.source = source;
  g_bench.view.fitted = true;
  g_bench.view.fitWidth = kViewWidth;
  g_bench.view.fitHeight = kViewHeight;
  g_bench.view.framebufferWidth = kFbWidth;
  g_bench.view.framebufferHeight = kFbHeight;

  WNDCLASSA wc = {};
  wc.lpfnWndProc = Proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = "FittedPaintBench";
  RegisterClassA(&wc);
  const int views[][2] = {{1272, 997}, {1200, 900}};
  for (const auto& v : views) {
    kViewWidth = v[0];
    kViewHeight = v[1];
    g_bench.view.fitWidth = kViewWidth;
    g_bench.view.fitHeight = kViewHeight;
    RECT frame = {0, 0, kViewWidth, kViewHeight};
    AdjustWindowRect(&frame, WS_POPUP, FALSE);
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "fitted paint", WS_POPUP | WS_VISIBLE, 0, 0,
                                frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, wc.hInstance,
                                nullptr);
    if (!hwnd) {
      std::fprintf(stderr, "no window (is there a display?)\n");
      return 1;
    }
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);

    struct Row {
      const char* what;
      std::vector<RECT> rects;
    } rows[] = {
        {"whole view", {{0, 0, kViewWidth, kViewHeight}}},
        {"one 32x32 patch", {{620, 480, 652, 512}}},
        {"two 32x32 patches, opposite corners", {{0, 0, 32, 32}, {kViewWidth - 32, kViewHeight - 32, kViewWidth, kViewHeight}}},
        {"two 32x32 patches, same corner", {{0, 0, 32, 32}, {40, 40, 72, 72}}},
        {"64 scattered 8x8 patches", {}},
    };
    for (int i = 0; i < 64; i++) {
      const int x = (i % 8) * (kViewWidth - 8) / 7, y = (i / 8) * (kViewHeight - 8) / 7;
      rows[4].rects.push_back(RECT{x, y, x + 8, y + 8});
    }
    std::printf("%dx%d fitted to %dx%d, HALFTONE, median of %d paints (ms)\n", kFbWidth, kFbHeight, kViewWidth,
                kViewHeight, rounds);
    std::printf("%-40s %14s %20s\n", "changed", "per rectangle", "clipped whole view");
    for (const Row& row : rows) {
      g_bench.perRectangle = true;
      const double own = MedianPaintMs(hwnd, row.rects, rounds);
      g_bench.perRectangle = false;
      const double whole = MedianPaintMs(hwnd, row.rects, rounds);
      std::printf("%-40s %14.3f %20.3f\n", row.what, own, whole);
    }
    DestroyWindow(hwnd);
  }
  DeleteDC(source);
  DeleteObject(dib);
  return 0;
}
