// Full screen's arithmetic: the title bar's metrics and button places at several DPIs, its
// slide and auto-hide, the rectangle the frame covers and the edge scrolling.
#include <gtest/gtest.h>

#include <climits>

#include "display/TitleBarLayout.h"

namespace {

struct ButtonCase {
  int dpi, id, x;
};
const ButtonCase kButtons[] = {
    {96, titlebar::kClose, 664},  {96, titlebar::kMaximize, 647}, {96, titlebar::kMinimize, 630},
    {96, titlebar::kPin, 20},     {96, titlebar::kScreen, 37},    {96, titlebar::kPhoto, 54},
    {96, titlebar::kSwitchMonitor, 71}, {96, titlebar::kChat, 88}, {96, titlebar::kFileTransfer, 105},
    // 144 DPI: 1050 wide, 24-pixel buttons, 30-pixel margins, 1-pixel gap.
    {144, titlebar::kClose, 996}, {144, titlebar::kMinimize, 946}, {144, titlebar::kFileTransfer, 155},
    // Not a button.
    {96, 55, -1},
};

TEST(TitleBar, ButtonPlaces) {
  for (const ButtonCase& c : kButtons)
    EXPECT_EQ(titlebar::ButtonX(titlebar::ScaledMetrics(c.dpi), c.id), c.x) << "dpi " << c.dpi << " id " << c.id;
}

TEST(TitleBar, ButtonsInsideTheBarWithoutOverlap) {
  for (int dpi : {96, 120, 144, 192, 288}) {
    const titlebar::Metrics m = titlebar::ScaledMetrics(dpi);
    for (int a : titlebar::kButtons) {
      const int xa = titlebar::ButtonX(m, a);
      EXPECT_GE(xa, 10) << dpi;
      EXPECT_LE(xa + m.buttonWidth, m.width - 10) << dpi;
      for (int b : titlebar::kButtons)
        if (a != b) {
          const int xb = titlebar::ButtonX(m, b);
          EXPECT_TRUE(xa + m.buttonWidth <= xb || xb + m.buttonWidth <= xa) << dpi << " " << a << " " << b;
        }
    }
    const titlebar::Span s = titlebar::TextSpan(m);
    EXPECT_GT(s.right, s.left);
    EXPECT_GT(s.left, titlebar::ButtonX(m, titlebar::kFileTransfer) + m.buttonWidth - 1);
    EXPECT_LT(s.right, titlebar::ButtonX(m, titlebar::kMinimize));
  }
}

TEST(TitleBar, MetricsForOddDpis) {
  // No DPI (or a broken one) counts as 96; an absurd one is bounded.
  for (int dpi : {0, -5}) EXPECT_EQ(titlebar::ScaledMetrics(dpi).width, 700);
  EXPECT_EQ(titlebar::ScaledMetrics(192).height, 40);
  EXPECT_GT(titlebar::ScaledMetrics(INT_MAX).width, 0);
  const auto t = titlebar::Trapezoid(titlebar::ScaledMetrics(96));
  EXPECT_EQ(t[0].x, 0);
  EXPECT_EQ(t[1].y, 20);
  EXPECT_EQ(t[2].x, 690);
  EXPECT_EQ(t[3].x, 700);
}

TEST(TitleBar, CentredAndGradient) {
  EXPECT_EQ(titlebar::CentredLeft(0, 1024, 700), 162);
  EXPECT_EQ(titlebar::CentredLeft(1920, 1280, 700), 2210);
  // A monitor narrower than the bar: the bar reaches past both sides equally.
  EXPECT_EQ(titlebar::CentredLeft(0, 600, 700), -50);
  const int rows[][3] = {{0, 20, 64}, {10, 20, 48}, {19, 20, 34}, {20, 20, 32}, {-3, 20, 64}, {5, 0, 64}};
  for (const auto& r : rows) EXPECT_EQ(titlebar::GradientLevel(r[0], r[1]), r[2]) << r[0] << "/" << r[1];
}

TEST(TitleBar, SlideStopsAtBothEnds) {
  // Monitor top 0, bar 20 high: hidden at -19 (one row left), shown at 0.
  int top = -19, moves = 0;
  bool done = false;
  while (!done && moves < 100) {
    top = titlebar::SlideStep(top, 0, 20, true, &done);
    ++moves;
  }
  EXPECT_EQ(top, 0);
  EXPECT_EQ(moves, 19);
  EXPECT_EQ(titlebar::SlideStep(0, 0, 20, true, &done), 0);
  EXPECT_TRUE(done);
  moves = 0;
  done = false;
  while (!done && moves < 100) {
    top = titlebar::SlideStep(top, 0, 20, false, &done);
    ++moves;
  }
  EXPECT_EQ(top, -19);
  EXPECT_EQ(moves, 19);
  // A monitor below another: its own top counts; a bar found past the end is put back.
  EXPECT_EQ(titlebar::SlideStep(1070, 1080, 20, true, &done), 1071);
  EXPECT_FALSE(done);
  EXPECT_EQ(titlebar::SlideStep(-40, 0, 20, false, &done), -19);
  EXPECT_TRUE(done);
}

TEST(TitleBar, HidesOnTheTenthTickOutside) {
  int counter = 0;
  for (int i = 1; i <= 9; ++i) EXPECT_FALSE(titlebar::HideTick(counter, false)) << i;
  // The pointer comes back: counting starts again.
  EXPECT_FALSE(titlebar::HideTick(counter, true));
  for (int i = 1; i <= 9; ++i) EXPECT_FALSE(titlebar::HideTick(counter, false)) << i;
  EXPECT_TRUE(titlebar::HideTick(counter, false));
  // Once only, and the count never wraps.
  EXPECT_FALSE(titlebar::HideTick(counter, false));
  counter = INT_MAX;
  EXPECT_FALSE(titlebar::HideTick(counter, false));
  EXPECT_EQ(counter, INT_MAX);
}

TEST(FullScreen, CoverRect) {
  const fullscreen::Rect monitor{1920, 0, 3200, 1024}, virt{-1280, 0, 3200, 1080};
  struct {
    bool spanning, extend;
    fullscreen::Rect want;
  } cases[] = {
      {false, false, monitor},
      {false, true, monitor},
      {true, true, monitor},
      // The virtual screen where it lies, a monitor left of the primary one included.
      {true, false, virt},
  };
  for (const auto& c : cases) {
    const fullscreen::Rect r = fullscreen::CoverRect(monitor, virt, c.spanning, c.extend);
    EXPECT_EQ(r.left, c.want.left);
    EXPECT_EQ(r.top, c.want.top);
    EXPECT_EQ(r.right, c.want.right);
    EXPECT_EQ(r.bottom, c.want.bottom);
  }
}

TEST(FullScreen, EdgeScrollStep) {
  struct {
    int x, y, toolbar, dx, dy;
  } cases[] = {
      {500, 300, 0, 0, 0},   {7, 300, 0, -32, 0},   {8, 300, 0, 0, 0},    {1016, 300, 0, 32, 0},
      {1015, 300, 0, 0, 0},  {500, 7, 0, 0, -8},    {500, 760, 0, 0, 8},  {500, 759, 0, 0, 0},
      {0, 0, 0, -32, -8},    {1023, 767, 0, 32, 8},
      // The toolbar at the top takes its height off the bottom edge's place.
      {500, 732, 28, 0, 8},  {500, 731, 28, 0, 0},
      // Outside the screen (a second monitor) still counts as an edge.
      {-50, 300, 0, -32, 0},
  };
  for (const auto& c : cases) {
    const fullscreen::Step s = fullscreen::EdgeScrollStep(c.x, c.y, 1024, 768, c.toolbar);
    EXPECT_EQ(s.dx, c.dx) << c.x << "," << c.y;
    EXPECT_EQ(s.dy, c.dy) << c.x << "," << c.y;
  }
}

}  // namespace
