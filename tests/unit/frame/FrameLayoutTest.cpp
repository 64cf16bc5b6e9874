// The frame window's arithmetic: automatic scale, which scroll bars a view needs and how
// far it scrolls, and the commands' key sequences and texts.
#include <gtest/gtest.h>

#include <string>

#include "display/FrameCommands.h"
#include "display/FrameLayout.h"

using namespace framelayout;

namespace {

struct AutoScaleCase {
  const char* name;
  long long widthRatio, heightRatio;
  int dpi;
  bool even, limit, fullScreen;
  int want;
};

const AutoScaleCase kAutoScale[] = {
    {"smaller ratio wins", 180, 140, 96, false, false, false, 140},
    {"even: small ratios at 96 dpi give 100", 185, 160, 96, true, false, false, 100},
    {"even: 250 and 240 give 200", 250, 240, 96, true, false, false, 200},
    {"even: 320 gives 300", 330, 320, 96, true, false, false, 300},
    {"even: tall ratio at high dpi gives 200", 185, 175, 192, true, false, false, 200},
    {"even: low dpi gives 100 for any ratio below 200", 199, 199, 120, true, false, false, 100},
    {"even: full screen gives 100 below 200", 199, 199, 192, true, false, true, 100},
    {"limit: not above the monitor's dpi scale", 300, 280, 144, false, true, false, 150},
    {"limit: a smaller ratio stays", 120, 130, 192, false, true, false, 120},
    // An area smaller than the window's borders: still a scale that draws something.
    {"area below the borders", -40, 50, 96, false, false, false, 1},
    {"zero ratio", 0, 0, 96, false, false, false, 1},
};

TEST(FrameLayout, AutoScalePercent) {
  for (const AutoScaleCase& c : kAutoScale) {
    AutoScaleInput in;
    in.widthRatio = c.widthRatio;
    in.heightRatio = c.heightRatio;
    in.dpi = c.dpi;
    in.even = c.even;
    in.limit = c.limit;
    in.fullScreen = c.fullScreen;
    EXPECT_EQ(AutoScalePercent(in), c.want) << c.name;
  }
}

TEST(FrameLayout, FitRatioTakesTheBordersOffAndSurvivesAnEmptyFramebuffer) {
  EXPECT_EQ(FitRatio(1920, 16, 800), (1920 - 16) * 100 / 800);
  EXPECT_EQ(FitRatio(1080, 39, 1040), 100);
  EXPECT_EQ(FitRatio(1080, 39, 0), 100);
  EXPECT_LT(FitRatio(10, 39, 100), 0);
}

TEST(FrameLayout, ScaledSide) {
  EXPECT_EQ(ScaledSide(640, false, 50, 100), 640);
  EXPECT_EQ(ScaledSide(640, true, 50, 100), 320);
  EXPECT_EQ(ScaledSide(641, true, 3, 2), 961);
  // Settings that would divide by zero or vanish the view leave a drawable side.
  EXPECT_EQ(ScaledSide(640, true, 0, 100), 640);
  EXPECT_EQ(ScaledSide(640, true, 1, 0), 640);
  EXPECT_EQ(ScaledSide(1, true, 1, 100), 1);
  // 65535 x a large numerator does not wrap.
  EXPECT_EQ(ScaledSide(65535, true, 100000, 1), 0x7FFFFFFF);
}

struct FitCase {
  const char* name;
  int clientW, clientH, scaledW, scaledH, scrollX, scrollY;
  ViewFit want;
};

// Scroll bars 17 wide (vertical) and 15 high (horizontal).
const FitCase kFits[] = {
    {"fits exactly", 640, 480, 640, 480, 0, 0, {640, 480, false, false, 0, 0}},
    {"smaller than the client", 800, 600, 640, 480, 30, 40, {640, 480, false, false, 0, 0}},
    {"too high: only the vertical bar", 800, 400, 640, 480, 0, 10, {640, 400, false, true, 0, 10}},
    {"too wide: the horizontal bar then makes it too high", 600, 480, 640, 480, 0, 0, {583, 465, true, true, 0, 0}},
    {"too wide, room left below the bar", 600, 500, 640, 480, 5, 0, {600, 480, true, false, 5, 0}},
    {"the vertical bar makes it too wide", 650, 400, 640, 480, 0, 0, {633, 385, true, true, 0, 0}},
    {"offsets clamped to the end", 320, 240, 640, 480, 1000, 1000, {303, 225, true, true, 337, 255}},
    {"negative offsets clamped to 0", 320, 240, 640, 480, -5, -7, {303, 225, true, true, 0, 0}},
    {"a client of no size", 0, 0, 640, 480, 10, 10, {0, 0, true, true, 10, 10}},
    {"a negative client", -20, -30, 640, 480, 0, 0, {0, 0, true, true, 0, 0}},
};

TEST(FrameLayout, FitView) {
  for (const FitCase& c : kFits) {
    const ViewFit f = FitView(c.clientW, c.clientH, c.scaledW, c.scaledH, 17, 15, c.scrollX, c.scrollY);
    EXPECT_EQ(f.visibleWidth, c.want.visibleWidth) << c.name;
    EXPECT_EQ(f.visibleHeight, c.want.visibleHeight) << c.name;
    EXPECT_EQ(f.hScroll, c.want.hScroll) << c.name;
    EXPECT_EQ(f.vScroll, c.want.vScroll) << c.name;
    EXPECT_EQ(f.scrollX, c.want.scrollX) << c.name;
    EXPECT_EQ(f.scrollY, c.want.scrollY) << c.name;
  }
}

TEST(FrameLayout, ScrollRequests) {
  struct {
    int request, offset, visible, thumb;
    long long want;
  } cases[] = {
      {kLineBack, 10, 400, 0, 8},        {kLineForward, 10, 400, 0, 12},  {kPageBack, 200, 400, 0, 100},
      {kPageForward, 200, 400, 0, 300},  {kThumbPosition, 5, 400, 77, 77}, {kThumbTrack, 5, 400, 99, 99},
      {8 /* end scroll */, 42, 400, 7, 42},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ScrollTarget(c.request, c.offset, c.visible, c.thumb), c.want) << "request " << c.request;
  // What a request asks for is then kept inside the framebuffer.
  EXPECT_EQ(ClampScroll(ScrollTarget(kLineBack, 1, 400, 0), 640, 400), 0);
  EXPECT_EQ(ClampScroll(ScrollTarget(kPageForward, 200, 400, 0), 640, 400), 240);
  EXPECT_EQ(ClampScroll(ScrollTarget(kThumbTrack, 0, 400, 100000), 640, 400), 240);
  EXPECT_EQ(ClampScroll(50, 300, 400), 0);  // nothing to scroll
}

// --- Commands ----------------------------------------------------------------------------

using framecmd::KeyCommandSteps;
using framecmd::KeyStep;

TEST(FrameCommands, KeySequences) {
  const std::uint32_t ctrl = 0xFFE3, alt = 0xFFE9, del = 0xFFFF, esc = 0xFF1B;
  struct {
    int command;
    std::vector<KeyStep> want;
  } cases[] = {
      {110, {{ctrl, true}, {alt, true}, {del, true}, {del, false}, {alt, false}, {ctrl, false}}},
      {143, {{ctrl, true}, {esc, true}, {ctrl, false}, {esc, false}}},
      {104, {{ctrl, true}}},
      {105, {{ctrl, false}}},
      {107, {{alt, true}}},
      {108, {{alt, false}}},
      {605, {{0xFFEB, true}}},
      {606, {{0xFFEC, true}}},
      {607, {{0xFF67, true}}},
      {608, {{0xFFEB, false}}},
      {609, {{0xFFEC, false}}},
      {610, {{0xFF67, false}}},
      {114, {}},
      {0, {}},
  };
  for (const auto& c : cases) EXPECT_EQ(KeyCommandSteps(c.command), c.want) << "command " << c.command;
}

TEST(FrameCommands, ConnectionInfoText) {
  framecmd::ConnectionInfo i;
  i.desktopName = "desk";
  i.host = "10.0.0.2";
  i.port = 5901;
  i.width = 1024;
  i.height = 768;
  i.serverDepth = 24;
  i.sessionDepth = 16;
  i.kbitsPerSecond = 5000;
  i.majorVersion = 3;
  i.minorVersion = 8;
  i.keyboardName = "00000409";
  EXPECT_EQ(framecmd::FormatConnectionInfo(i),
            "Connected to: desk\n\r\n\rHost: 10.0.0.2  Port: 5901\n\r   \n\r\n\rDesktop geometry: 1024 x 768 x 24\n\r"
            "Using depth: 16\n\rLine speed estimate: 5000 kbit/s\nCurrent protocol version: 3.8\n\r\n\r"
            "Current keyboard name: 00000409\n\r\n\rUsing Plugin :  - \n\r\n\r");
  i.proxyHost = "repeater";
  i.proxyPort = 5500;
  i.pluginName = "AES";
  i.pluginVersion = "1.2";
  const std::string t = framecmd::FormatConnectionInfo(i);
  EXPECT_NE(t.find("\n\rrepeater Port  5500\n\r"), std::string::npos) << t;
  EXPECT_NE(t.find("Using Plugin : AES - 1.2\n\r"), std::string::npos) << t;
  // A desktop name from the server of any length gives at most 2047 characters.
  i.desktopName.assign(5000, 'x');
  const std::string longText = framecmd::FormatConnectionInfo(i);
  EXPECT_EQ(longText.size(), 2047u);
  EXPECT_EQ(longText.compare(0, 14, "Connected to: "), 0);
}

TEST(FrameCommands, ReconnectTitle) {
  EXPECT_EQ(framecmd::ReconnectTitle(3), "Quillmar Remote - Connection dropped, trying to reconnect (3)");
  EXPECT_EQ(framecmd::ReconnectTitle(0), "Quillmar Remote - Connection dropped, trying to reconnect (0)");
}

}  // namespace
