// The arithmetic of full screen without the Windows API: the title bar's metrics for a DPI,
// where its buttons sit, its trapezoid outline, how it slides in and out and when it hides
// itself; which rectangle the frame covers, and how far the view scrolls when the pointer
// touches an edge of the screen.
#pragma once

#include <array>

namespace titlebar {

// The bar's sizes at a DPI (96 DPI: a 700 x 20 bar, 16 x 14 buttons 3 pixels from its top,
// 20 pixels from either end, 1 pixel apart). A DPI of 0 or less counts as 96.
struct Metrics {
  int width = 700, height = 20;
  int buttonWidth = 16, buttonHeight = 14;
  int topMargin = 3, leftMargin = 20, rightMargin = 20, gap = 1;
};
Metrics ScaledMetrics(int dpi);

// The controls of the bar (their ids).
enum Button : int {
  kClose = 10,
  kMaximize = 20,
  kMinimize = 30,
  kPin = 40,
  kScreen = 50,
  kPhoto = 60,
  kSwitchMonitor = 70,
  kChat = 80,
  kFileTransfer = 90,
};
constexpr int kButtons[] = {kClose, kMaximize, kMinimize, kPin, kScreen, kPhoto, kSwitchMonitor, kChat, kFileTransfer};

// A button's left edge in the bar: close, maximize and minimize from the right end, the
// others from the left end; -1 for an id that is not a button.
int ButtonX(const Metrics& m, int id);

struct Point {
  int x = 0, y = 0;
};
// The bar's outline: (0, 0), (10, height), (width - 10, height), (width, 0).
std::array<Point, 4> Trapezoid(const Metrics& m);

// The room of the title text: between the left and the right button groups.
struct Span {
  int left = 0, right = 0;
};
Span TextSpan(const Metrics& m);

// The bar's left edge, centred over a monitor.
int CentredLeft(int monitorLeft, int monitorWidth, int barWidth);

// The grey level of a row of the bar: 64 at the top falling towards 32 at the bottom.
int GradientLevel(int row, int height);

// One step of the slide: the bar's next top, a pixel down while showing until its top
// reaches the monitor's top, a pixel up while hiding until one pixel row is left (top =
// monitorTop + 1 - height). done tells that the step reached the end (no more moves).
int SlideStep(int top, int monitorTop, int height, bool showing, bool* done);

// The auto-hide count of the 100 ms tick: reset while the pointer is inside the bar,
// counted otherwise; true on the tenth tick outside (time to hide).
bool HideTick(int& counter, bool inside);

}  // namespace titlebar

namespace fullscreen {

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

// What the full-screen frame covers: its nearest monitor, or the virtual screen where it
// lies (negative coordinates for monitors left of or above the primary one) with monitor
// spanning on and the extended view off.
Rect CoverRect(const Rect& monitor, const Rect& virtualScreen, bool spanning, bool showExtend);

// How far the view scrolls for a pointer at (x, y) of a screen w x h in full screen: 32
// pixels left or right within 8 pixels of a side, 8 pixels up or down within 8 pixels of
// the top or of the bottom above the toolbar. Both may combine.
struct Step {
  int dx = 0, dy = 0;
};
Step EdgeScrollStep(int x, int y, int width, int height, int toolbarHeight);

}  // namespace fullscreen
