// Mouse messages to PointerEvents: three-button emulation, throttling, button masks,
// wheel and coordinates, over a fake clock and fake window timers.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "display/PointerInput.h"

namespace {

using namespace mouse;

struct Event {
  int x, y, mask;
  bool operator==(const Event& o) const { return x == o.x && y == o.y && mask == o.mask; }
};
std::ostream& operator<<(std::ostream& os, const Event& e) {
  return os << "(" << e.x << "," << e.y << " mask " << e.mask << ")";
}

class FakeHost : public PointerInputHost {
public:
  std::uint32_t now = 5000;
  std::map<unsigned, unsigned> timers;  // running timers and their periods
  bool timersFail = false;
  bool throwOnSend = false;
  PointerView view;
  std::vector<Event> sent;
  std::vector<std::string> failures;
  int emulationTimerFailures = 0;

  std::uint32_t TickMs() override { return now; }
  bool StartTimer(unsigned id, unsigned ms) override {
    if (timersFail) return false;
    timers[id] = ms;
    return true;
  }
  void StopTimer(unsigned id) override { timers.erase(id); }
  PointerView CurrentView() override { return view; }
  void SendPointerEvent(int x, int y, std::uint8_t mask) override {
    if (throwOnSend) throw WarningException("plug-in failed");
    sent.push_back({x, y, mask});
  }
  void PointerSendFailed(const Exception& e) override { failures.push_back(e.Message()); }
  void EmulationTimerFailed() override { emulationTimerFailures++; }
  bool Running(unsigned id) const { return timers.count(id) != 0; }
};

// One step of a script: a mouse message, the clock moving on, or a timer firing.
struct Step {
  enum Kind { Msg, Advance, Fire } kind;
  std::uint32_t message = 0;
  int x = 0, y = 0;
  std::uint32_t flags = 0;
  unsigned value = 0;  // ms to advance, or the timer id
};
Step M(std::uint32_t message, int x, int y, std::uint32_t flags) { return {Step::Msg, message, x, y, flags, 0}; }
Step Wait(unsigned ms) { return {Step::Advance, 0, 0, 0, 0, ms}; }
Step Timer(unsigned id) { return {Step::Fire, 0, 0, 0, 0, id}; }

class Pointer : public ::testing::Test {
protected:
  KEBOptions opts;
  FakeHost host;
  PointerInput input{opts, host};

  Pointer() {
    opts.m_emulate3 = false;
    opts.m_emulate3timeout = 100;
    opts.m_emulate3fuzz = 4;
    opts.m_ThrottleMouse = 0;
    opts.m_BlockSameMouse = false;
    opts.m_swapmouse = false;
  }

  // Runs a script; every message that reports a send is counted.
  int Run(const std::vector<Step>& steps) {
    int reported = 0;
    for (const Step& s : steps) {
      switch (s.kind) {
        case Step::Msg:
          if (input.ThrottlePointerEvent(s.x, s.y, s.flags, s.message)) reported++;
          break;
        case Step::Advance: host.now += s.value; break;
        case Step::Fire:
          EXPECT_TRUE(host.Running(s.value)) << "timer " << s.value << " fired while stopped";
          if (s.value == kEmulate3Timer && input.Emulate3ButtonsTimer()) reported++;
          if (s.value == kThrottleTimer && input.SendPendingPointerEvent()) reported++;
          break;
      }
    }
    return reported;
  }
};

struct EmulationCase {
  const char* name;
  std::vector<Step> steps;
  std::vector<Event> expected;
};

TEST_F(Pointer, ThreeButtonEmulation) {
  const EmulationCase cases[] = {
      {"left then right within the time-out is the middle button; releasing both ends it",
       {M(kLButtonDown, 10, 10, kLeft), Wait(50), M(kRButtonDown, 10, 10, kLeft | kRight),
        M(kMouseMove, 30, 10, kLeft | kRight), M(kLButtonUp, 30, 10, kRight), M(kRButtonUp, 30, 10, 0),
        M(kMouseMove, 31, 10, 0)},
       {{10, 10, 2}, {30, 10, 2}, {30, 10, 2}, {30, 10, 0}, {31, 10, 0}}},
      {"right then left likewise, with shift kept",
       {M(kRButtonDown, 5, 5, kRight | kShift), M(kLButtonDown, 5, 5, kLeft | kRight | kShift),
        M(kRButtonUp, 5, 5, kLeft), M(kLButtonUp, 5, 5, 0)},
       {{5, 5, 2}, {5, 5, 2}, {5, 5, 0}}},
      {"a left press alone goes out when the time-out expires",
       {M(kLButtonDown, 10, 10, kLeft), Wait(100), Timer(kEmulate3Timer), M(kLButtonUp, 10, 10, 0)},
       {{10, 10, 1}, {10, 10, 0}}},
      {"a right press alone likewise",
       {M(kRButtonDown, 7, 8, kRight), Timer(kEmulate3Timer), M(kRButtonUp, 7, 8, 0)},
       {{7, 8, 4}, {7, 8, 0}}},
      {"a quick click goes out at the release, press first",
       {M(kLButtonDown, 10, 10, kLeft), M(kLButtonUp, 10, 10, 0)},
       {{10, 10, 1}, {10, 10, 0}}},
      {"moving farther than the fuzz sends the press, then the move",
       {M(kLButtonDown, 10, 10, kLeft), M(kMouseMove, 15, 10, kLeft)},
       {{10, 10, 1}, {15, 10, 1}}},
      {"moves within the fuzz go out without the held button, and the wait goes on",
       {M(kLButtonDown, 10, 10, kLeft), M(kMouseMove, 14, 6, kLeft), M(kRButtonDown, 14, 6, kLeft | kRight)},
       {{14, 6, 0}, {14, 6, 2}}},
      {"the middle button itself is never held",
       {M(kMButtonDown, 1, 2, kMiddle), M(kMButtonUp, 1, 2, 0)},
       {{1, 2, 2}, {1, 2, 0}}},
      {"a right press while left is already out is not held",
       {M(kLButtonDown, 0, 0, kLeft), Timer(kEmulate3Timer), M(kRButtonDown, 0, 0, kLeft | kRight)},
       {{0, 0, 1}, {0, 0, 5}}},
  };
  for (const EmulationCase& c : cases) {
    SCOPED_TRACE(c.name);
    KEBOptions o = opts;
    o.m_emulate3 = true;
    FakeHost h;
    PointerInput in(o, h);
    for (const Step& s : c.steps) {
      if (s.kind == Step::Msg) in.ThrottlePointerEvent(s.x, s.y, s.flags, s.message);
      if (s.kind == Step::Advance) h.now += s.value;
      if (s.kind == Step::Fire) {
        ASSERT_TRUE(h.Running(s.value));
        in.Emulate3ButtonsTimer();
      }
    }
    EXPECT_EQ(h.sent, c.expected);
    EXPECT_FALSE(in.Emulate3Waiting());
    EXPECT_FALSE(h.Running(kEmulate3Timer));
  }
}

TEST_F(Pointer, HeldPressStartsTheTimerWithTheTimeOut) {
  opts.m_emulate3 = true;
  opts.m_emulate3timeout = 250;
  EXPECT_FALSE(input.ThrottlePointerEvent(3, 3, kLeft, kLButtonDown));
  EXPECT_TRUE(input.Emulate3Waiting());
  EXPECT_EQ(host.timers[kEmulate3Timer], 250u);
  EXPECT_TRUE(host.sent.empty());
  // A stray expiry after the press went out sends nothing more.
  EXPECT_TRUE(input.ThrottlePointerEvent(3, 3, 0, kLButtonUp));
  EXPECT_FALSE(input.Emulate3ButtonsTimer());
  EXPECT_EQ(host.sent.size(), 2u);
}

TEST_F(Pointer, WithoutEmulationPressesGoOutAtOnce) {
  EXPECT_EQ(Run({M(kLButtonDown, 1, 1, kLeft), M(kRButtonDown, 1, 1, kLeft | kRight)}), 2);
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 1}, {1, 1, 5}}));
  EXPECT_TRUE(host.timers.empty());
}

TEST_F(Pointer, EmulationTimerThatCannotStartClosesAndSendsThePress) {
  opts.m_emulate3 = true;
  host.timersFail = true;
  EXPECT_TRUE(input.ThrottlePointerEvent(4, 4, kLeft, kLButtonDown));
  EXPECT_EQ(host.emulationTimerFailures, 1);
  EXPECT_FALSE(input.Emulate3Waiting());
  EXPECT_EQ(host.sent, (std::vector<Event>{{4, 4, 1}}));
}

TEST_F(Pointer, ButtonMasks) {
  struct {
    std::uint32_t flags;
    bool swap;
    int mask;
  } cases[] = {
      {kLeft, false, 1}, {kMiddle, false, 2}, {kRight, false, 4}, {kLeft | kMiddle | kRight, false, 7},
      {kLeft, true, 1},  {kMiddle, true, 4},  {kRight, true, 2},  {kShift | kControl | kX1 | kX2, false, 0},
  };
  for (const auto& c : cases) EXPECT_EQ(PointerButtonMask(c.flags, c.swap), c.mask) << c.flags << " " << c.swap;
  opts.m_swapmouse = true;
  input.ProcessPointerEvent(0, 0, kRight);
  EXPECT_EQ(host.sent.back().mask, 2);
}

TEST_F(Pointer, WheelDeltaInTheFlagsIsAPressAndARelease) {
  input.ProcessPointerEvent(9, 9, (120u << 16) | kLeft);
  input.ProcessPointerEvent(9, 9, (static_cast<std::uint32_t>(-240) << 16));
  input.ProcessPointerEvent(9, 9, (static_cast<std::uint32_t>(-120) << 16) | kRight);
  // Buttons still held stay held in the release.
  EXPECT_EQ(host.sent, (std::vector<Event>{{9, 9, 9}, {9, 9, 1}, {9, 9, 16}, {9, 9, 0}, {9, 9, 20}, {9, 9, 4}}));
}

TEST_F(Pointer, FrameWheelSendsOnePairPerNotchRoundedUp) {
  input.ProcessPointerEvent(5, 6, kLeft);
  host.sent.clear();
  EXPECT_TRUE(input.SendWheel(240));
  EXPECT_EQ(host.sent, (std::vector<Event>{{5, 6, 9}, {5, 6, 1}, {5, 6, 9}, {5, 6, 1}}));
  host.sent.clear();
  EXPECT_TRUE(input.SendWheel(-121));
  EXPECT_EQ(host.sent, (std::vector<Event>{{5, 6, 17}, {5, 6, 1}, {5, 6, 17}, {5, 6, 1}}));
  host.sent.clear();
  EXPECT_FALSE(input.SendWheel(0));
  EXPECT_TRUE(input.SendWheel(1 << 30));  // bounded: no longer than a 16-bit delta gives
  EXPECT_EQ(host.sent.size(), 2u * 274);
}

TEST_F(Pointer, WriterExceptionsAreReportedNotThrown) {
  host.throwOnSend = true;
  EXPECT_NO_THROW(input.ThrottlePointerEvent(1, 1, 0, kMouseMove));
  EXPECT_NO_THROW(input.SendWheel(120));
  EXPECT_EQ(host.failures, (std::vector<std::string>{"plug-in failed", "plug-in failed"}));
}

TEST_F(Pointer, ThrottleZeroNeverHoldsAMove) {
  std::vector<Step> steps;
  for (int i = 0; i < 20; i++) steps.push_back(M(kMouseMove, i, i, 0));
  EXPECT_EQ(Run(steps), 20);
  EXPECT_EQ(host.sent.size(), 20u);
  EXPECT_TRUE(host.timers.empty());
}

TEST_F(Pointer, ThrottleHoldsMovesWithinTheInterval) {
  opts.m_ThrottleMouse = 100;
  EXPECT_EQ(Run({M(kMouseMove, 1, 1, 0), Wait(10), M(kMouseMove, 2, 2, 0), Wait(10), M(kMouseMove, 3, 3, 0)}), 1);
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 0}}));
  EXPECT_EQ(host.timers[kThrottleTimer], 100u);
  EXPECT_TRUE(input.MovePending());
  // The timer sends the latest held move only.
  EXPECT_EQ(Run({Wait(100), Timer(kThrottleTimer)}), 1);
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 0}, {3, 3, 0}}));
  EXPECT_FALSE(host.Running(kThrottleTimer));
  // The interval counts from that send.
  EXPECT_EQ(Run({Wait(99), M(kMouseMove, 4, 4, 0), Wait(1), M(kMouseMove, 5, 5, 0)}), 1);
  EXPECT_EQ(host.sent.back(), (Event{5, 5, 0}));
  EXPECT_FALSE(input.MovePending());
}

TEST_F(Pointer, ThrottleHalvesTheIntervalWhileAButtonIsHeld) {
  opts.m_ThrottleMouse = 100;
  Run({M(kMouseMove, 1, 1, kLeft), Wait(49), M(kMouseMove, 2, 2, kLeft)});
  EXPECT_EQ(host.sent.size(), 1u);
  EXPECT_EQ(host.timers[kThrottleTimer], 100u);  // started with the full interval
  Run({Wait(1), M(kMouseMove, 3, 3, kLeft)});
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 1}, {3, 3, 1}}));
  Run({Wait(50), M(kMouseMove, 4, 4, kX1)});  // the X buttons count as held
  EXPECT_EQ(host.sent.size(), 3u);
}

TEST_F(Pointer, ThrottleSurvivesTheTickWrapping) {
  opts.m_ThrottleMouse = 100;
  host.now = 0xFFFFFFF0u;
  Run({M(kMouseMove, 1, 1, 0), Wait(0x20), M(kMouseMove, 2, 2, 0), Wait(100), M(kMouseMove, 3, 3, 0)});
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 0}, {3, 3, 0}}));
}

TEST_F(Pointer, AnyOtherMessageSendsTheHeldMoveFirst) {
  opts.m_ThrottleMouse = 100;
  EXPECT_EQ(Run({M(kMouseMove, 1, 1, 0), Wait(5), M(kMouseMove, 8, 9, 0), M(kLButtonDown, 8, 9, kLeft)}), 2);
  EXPECT_EQ(host.sent, (std::vector<Event>{{1, 1, 0}, {8, 9, 0}, {8, 9, 1}}));
  EXPECT_FALSE(host.Running(kThrottleTimer));
  EXPECT_FALSE(input.MovePending());
}

TEST_F(Pointer, SameMoveTwice) {
  Run({M(kMouseMove, 1, 1, 0), M(kMouseMove, 1, 1, 0), M(kMouseMove, 1, 1, kShift)});
  EXPECT_EQ(host.sent.size(), 3u);
  host.sent.clear();
  opts.m_BlockSameMouse = true;
  EXPECT_EQ(Run({M(kMouseMove, 1, 1, kShift), M(kMouseMove, 2, 1, kShift), M(kMouseMove, 2, 1, kShift)}), 1);
  EXPECT_EQ(host.sent, (std::vector<Event>{{2, 1, 0}}));
}

TEST_F(Pointer, ThrottledMoveDuringTheEmulationWaitDoesNotLeakTheHeldButton) {
  opts.m_ThrottleMouse = 100;
  opts.m_emulate3 = true;
  Run({M(kMouseMove, 10, 10, 0), Wait(10), M(kLButtonDown, 10, 10, kLeft), Wait(5), M(kMouseMove, 12, 10, kLeft)});
  ASSERT_TRUE(input.MovePending());
  ASSERT_TRUE(input.Emulate3Waiting());
  Run({Timer(kThrottleTimer), M(kRButtonDown, 12, 10, kLeft | kRight)});
  EXPECT_EQ(host.sent, (std::vector<Event>{{10, 10, 0}, {12, 10, 0}, {12, 10, 2}}));
  // While left and right stand for the middle button, held moves say middle too.
  Run({Wait(5), M(kMouseMove, 13, 10, kLeft | kRight), Wait(5), M(kMouseMove, 14, 10, kLeft | kRight),
       Timer(kThrottleTimer)});
  EXPECT_EQ(host.sent.back(), (Event{14, 10, 2}));
}

TEST_F(Pointer, StopTimersForgetsWhatIsHeld) {
  opts.m_emulate3 = true;
  opts.m_ThrottleMouse = 100;
  Run({M(kMouseMove, 1, 1, 0), M(kLButtonDown, 1, 1, kLeft), M(kMouseMove, 2, 1, kLeft)});
  ASSERT_TRUE(host.Running(kEmulate3Timer));
  input.StopTimers();
  EXPECT_TRUE(host.timers.empty());
  EXPECT_FALSE(input.Emulate3Waiting());
  EXPECT_FALSE(input.MovePending());
}

TEST(PointerView, Coordinates) {
  struct {
    const char* name;
    PointerView view;
    int x, y;
    long long fx, fy;
  } cases[] = {
      {"one to one", {false, 0, 0, 800, 600, 0, 0, 1, 1}, 10, 20, 10, 20},
      {"scroll offsets", {false, 0, 0, 800, 600, 30, 40, 1, 1}, 10, 20, 40, 60},
      {"scaled to half, scrolled", {false, 0, 0, 800, 600, 10, 10, 1, 2}, 20, 30, 60, 80},
      {"scaled up 3/2, truncated", {false, 0, 0, 800, 600, 0, 0, 3, 2}, 10, 11, 6, 7},
      {"fitted", {true, 400, 300, 800, 600, 99, 99, 5, 7}, 100, 50, 200, 100},
      {"fitted over nothing leaves the point", {true, 0, 0, 800, 600, 0, 0, 1, 1}, 7, 8, 7, 8},
      {"no divide by a zero scale", {false, 0, 0, 800, 600, 0, 0, 0, 0}, 7, 8, 7, 8},
      {"window left of the view", {false, 0, 0, 800, 600, 0, 0, 1, 1}, -5, 3, -5, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FramebufferPoint p = ViewToFramebuffer(c.view, c.x, c.y);
    EXPECT_EQ(p.x, c.fx);
    EXPECT_EQ(p.y, c.fy);
  }
}

TEST(PointerView, FromTheOptions) {
  KEBOptions o;
  o.m_directx = false;
  o.m_Scaling = false;
  o.m_scale_num = 3;
  o.m_scale_den = 2;
  // Painting is one to one with "Scaling" off, whatever fraction is stored.
  PointerView v = MakePointerView(o, 800, 600, 5, 6, 1000, 700, 30);
  EXPECT_FALSE(v.fitted);
  EXPECT_EQ(v.scaleNum, 1);
  EXPECT_EQ(v.scaleDen, 1);
  EXPECT_EQ(v.scrollX, 5);
  EXPECT_EQ(v.scrollY, 6);
  o.m_Scaling = true;
  v = MakePointerView(o, 800, 600, 5, 6, 1000, 700, 30);
  EXPECT_EQ(v.scaleNum, 3);
  EXPECT_EQ(v.scaleDen, 2);
  o.m_directx = true;
  o.m_showExtend = false;
  o.m_showtoolbar = true;
  v = MakePointerView(o, 800, 600, 5, 6, 1000, 700, 30);
  EXPECT_TRUE(v.fitted);
  EXPECT_EQ(v.fitWidth, 1000);
  EXPECT_EQ(v.fitHeight, 670);
  o.m_showtoolbar = false;
  EXPECT_EQ(MakePointerView(o, 800, 600, 5, 6, 1000, 700, 30).fitHeight, 700);
  o.m_showExtend = true;
  EXPECT_FALSE(MakePointerView(o, 800, 600, 5, 6, 1000, 700, 30).fitted);
}

TEST_F(Pointer, SentCoordinatesStayOnTheWire) {
  host.view = {false, 0, 0, 800, 600, 0, 0, 1, 100};  // a view scaled down a hundredfold
  input.ProcessPointerEvent(1000, -3, 0);
  EXPECT_EQ(host.sent.back(), (Event{65535, 0, 0}));
  host.view = {false, 0, 0, 800, 600, 10, 20, 2, 1};
  input.ProcessPointerEvent(30, 40, kLeft);
  EXPECT_EQ(host.sent.back(), (Event{20, 30, 1}));
}

TEST(MouseFilter, DropsWhatMustNotReachTheServer) {
  struct {
    const char* name;
    MouseFilterFacts facts;
    bool drop;
  } cases[] = {
      {"plain mouse", {true, false, false, false, 0, true}, false},
      {"focus elsewhere", {false, false, false, false, 0, true}, true},
      {"edge scrolled", {true, true, false, false, 0, true}, true},
      {"view only", {true, false, true, false, 0, true}, true},
      {"pen-made while touch is on", {true, false, false, true, 0xFF515701, true}, true},
      {"touch bit while touch is on", {true, false, false, true, 0x80, true}, true},
      {"pen-made while touch is off", {true, false, false, false, 0xFF515780, true}, false},
      {"other extra information", {true, false, false, true, 0xFF515600, true}, false},
      {"mouse not allowed after touch", {true, false, false, false, 0, false}, true},
  };
  for (const auto& c : cases) EXPECT_EQ(DropMouseMessage(c.facts), c.drop) << c.name;
}

TEST(MouseFilter, AllowedFlagIsProcessWide) {
  EXPECT_TRUE(MouseAllowed());
  SetMouseAllowed(false);
  EXPECT_FALSE(MouseAllowed());
  SetMouseAllowed(true);
  EXPECT_TRUE(MouseAllowed());
}

}  // namespace
