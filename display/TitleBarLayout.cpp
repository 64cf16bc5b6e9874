#include "display/TitleBarLayout.h"

#include <climits>

namespace titlebar {

namespace {
int Scale(int v, int dpi) { return static_cast<int>(static_cast<long long>(v) * dpi / 96); }
}  // namespace

Metrics ScaledMetrics(int dpi) {
  // Beyond 8 x 96 DPI nothing real exists; the bound keeps the sizes far from overflow.
  if (dpi <= 0) dpi = 96;
  if (dpi > 768) dpi = 768;
  Metrics m;
  m.width = Scale(700, dpi);
  m.height = Scale(20, dpi);
  m.buttonWidth = Scale(16, dpi);
  m.buttonHeight = Scale(14, dpi);
  m.topMargin = Scale(3, dpi);
  m.leftMargin = Scale(20, dpi);
  m.rightMargin = Scale(20, dpi);
  m.gap = Scale(1, dpi);
  return m;
}

int ButtonX(const Metrics& m, int id) {
  const int step = m.buttonWidth + m.gap;
  switch (id) {
    case kClose: return m.width - m.buttonWidth - m.rightMargin;
    case kMaximize: return m.width - 2 * m.buttonWidth - m.gap - m.rightMargin;
    case kMinimize: return m.width - 3 * m.buttonWidth - 2 * m.gap - m.rightMargin;
    case kPin: return m.leftMargin;
    case kScreen: return m.leftMargin + step;
    case kPhoto: return m.leftMargin + 2 * step;
    case kSwitchMonitor: return m.leftMargin + 3 * step;
    case kChat: return m.leftMargin + 4 * step;
    case kFileTransfer: return m.leftMargin + 5 * step;
    default: return -1;
  }
}

std::array<Point, 4> Trapezoid(const Metrics& m) {
  return {Point{0, 0}, Point{10, m.height}, Point{m.width - 10, m.height}, Point{m.width, 0}};
}

Span TextSpan(const Metrics& m) {
  Span s;
  s.left = ButtonX(m, kFileTransfer) + m.buttonWidth + m.gap;
  s.right = ButtonX(m, kMinimize) - m.gap;
  if (s.right < s.left) s.right = s.left;
  return s;
}

int CentredLeft(int monitorLeft, int monitorWidth, int barWidth) {
  return static_cast<int>(monitorLeft + (static_cast<long long>(monitorWidth) - barWidth) / 2);
}

int GradientLevel(int row, int height) {
  if (height <= 0) return 64;
  if (row < 0) row = 0;
  if (row > height) row = height;
  return 64 - 32 * row / height;
}

int SlideStep(int top, int monitorTop, int height, bool showing, bool* done) {
  const int shown = monitorTop, hidden = monitorTop + 1 - height;
  int next = top;
  if (showing) {
    next = top < shown ? top + 1 : shown;
    if (done) *done = next >= shown;
  } else {
    next = top > hidden ? top - 1 : hidden;
    if (done) *done = next <= hidden;
  }
  return next;
}

bool HideTick(int& counter, bool inside) {
  if (inside) {
    counter = 0;
    return false;
  }
  if (counter < INT_MAX) ++counter;
  return counter == 10;
}

}  // namespace titlebar

namespace fullscreen {

Rect CoverRect(const Rect& monitor, const Rect& virtualScreen, bool spanning, bool showExtend) {
  if (!spanning || showExtend) return monitor;
  // At the virtual screen's own corner: a monitor left of or above the primary one lies at
  // negative coordinates, and the frame covers it too.
  return virtualScreen;
}

Step EdgeScrollStep(int x, int y, int width, int height, int toolbarHeight) {
  Step s;
  if (x <= 7) s.dx = -32;
  else if (x >= width - 8) s.dx = 32;
  if (y <= 7) s.dy = -8;
  else if (y >= height - toolbarHeight - 8) s.dy = 8;
  return s;
}

}  // namespace fullscreen
