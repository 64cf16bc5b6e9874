// The keyboard hook's decisions: which keys it takes from Windows with Scroll Lock on and
// off, and which frame window the one hook of the process serves.
#include <gtest/gtest.h>

#include "display/HotKeys.h"

using hotkeys::DecideHookKey;
using hotkeys::HookAction;
using hotkeys::HookDecision;

namespace {

constexpr HookDecision kPass{HookAction::kPass, 0};
constexpr HookDecision kSwallow{HookAction::kSwallow, 0};
constexpr HookDecision kTab{HookAction::kPostTab, 0};
constexpr HookDecision kTabUp{HookAction::kPostTabUp, 0};
constexpr HookDecision kKeyMenu{HookAction::kPostKeyMenu, 0};
constexpr HookDecision Cmd(int command) { return {HookAction::kPostCommand, command}; }

struct Case {
  const char* what;
  unsigned vk;
  bool down, alt, scrollLock;
  HookDecision expected;
};

const Case kCases[] = {
    // Scroll Lock on: the system combinations go to the server.
    {"Alt+Tab down", 0x09, true, true, true, kTab},
    {"Alt+Tab up (Tab not left held at the server)", 0x09, false, true, true, kTabUp},
    {"Tab alone", 0x09, true, false, true, kPass},
    {"Pause down", 0x13, true, false, true, Cmd(113)},
    {"Pause up", 0x13, false, false, true, kPass},
    {"Alt+Esc down", 0x1B, true, true, true, kSwallow},
    {"Alt+Esc up", 0x1B, false, true, true, kSwallow},
    {"Esc alone", 0x1B, true, false, true, kPass},
    {"Print Screen down", 0x2C, true, false, true, Cmd(114)},
    {"Print Screen up", 0x2C, false, false, true, kPass},
    {"left Windows down", 0x5B, true, false, true, Cmd(605)},
    {"left Windows up", 0x5B, false, false, true, Cmd(608)},
    {"right Windows down", 0x5C, true, false, true, Cmd(606)},
    {"right Windows up", 0x5C, false, false, true, Cmd(609)},
    {"Apps down", 0x5D, true, false, true, Cmd(607)},
    {"Apps up", 0x5D, false, false, true, Cmd(610)},
    {"left Ctrl down", 0xA2, true, false, true, Cmd(104)},
    {"right Ctrl up", 0xA3, false, false, true, Cmd(105)},
    {"left Alt down", 0xA4, true, true, true, Cmd(107)},
    {"right Alt up", 0xA5, false, false, true, Cmd(108)},
    {"Alt+Space with Scroll Lock on", 0x20, true, true, true, kPass},
    {"a letter", 0x41, true, true, true, kPass},
    // Scroll Lock off: everything acts on the local desktop but Alt+Space, which opens the
    // viewer's own system menu when it is let go.
    {"Alt+Space down", 0x20, true, true, false, kSwallow},
    {"Alt+Space up", 0x20, false, true, false, kKeyMenu},
    {"Space alone", 0x20, true, false, false, kPass},
    {"Alt+Tab, local", 0x09, true, true, false, kPass},
    {"Alt+Esc, local", 0x1B, true, true, false, kPass},
    {"Pause, local", 0x13, true, false, false, kPass},
    {"Print Screen, local", 0x2C, true, false, false, kPass},
    {"left Windows, local", 0x5B, true, false, false, kPass},
    {"Apps, local", 0x5D, false, false, false, kPass},
    {"Ctrl, local", 0xA2, true, false, false, kPass},
    {"Alt, local", 0xA4, true, true, false, kPass},
};

TEST(HotKeys, HookDecisions) {
  for (const Case& c : kCases) {
    const HookDecision d = DecideHookKey(c.vk, c.down, c.alt, c.scrollLock);
    EXPECT_EQ(static_cast<int>(d.action), static_cast<int>(c.expected.action)) << c.what;
    EXPECT_EQ(d.command, c.expected.command) << c.what;
  }
}

TEST(HotKeys, OneHookServesTheFrameInUse) {
  int a, b, c, dialog;
  hotkeys::HookTargets t;
  EXPECT_EQ(t.Target(), nullptr);
  EXPECT_EQ(t.TargetFor(&a), nullptr);
  EXPECT_TRUE(t.Add(&a));    // the thread starts
  EXPECT_FALSE(t.Add(&b));   // a second connection: the same hook
  EXPECT_FALSE(t.Add(&c));
  // The frame in the foreground gets the keys, whichever started last.
  EXPECT_EQ(t.TargetFor(&a), &a);
  EXPECT_EQ(t.TargetFor(&b), &b);
  // Another window of the viewer in front (no frame owns it): the frame used last, the
  // newest until another takes the focus.
  EXPECT_EQ(t.TargetFor(&dialog), &c);
  EXPECT_EQ(t.TargetFor(nullptr), &c);
  t.Use(&a);
  EXPECT_EQ(t.TargetFor(&dialog), &a);
  t.Use(&dialog);  // not a frame: nothing changes
  EXPECT_EQ(t.TargetFor(&dialog), &a);
  EXPECT_FALSE(t.Remove(&b));  // another frame closes: a stays in use
  EXPECT_EQ(t.Target(), &a);
  EXPECT_FALSE(t.Remove(&a));  // the frame in use closes: the one used before it
  EXPECT_EQ(t.TargetFor(&a), &c);
  EXPECT_FALSE(t.Remove(&b));  // closed twice, or never started (a failed handshake)
  EXPECT_FALSE(t.Add(&c));     // started again: still one entry
  EXPECT_TRUE(t.Remove(&c));   // the last one: the thread stops
  EXPECT_TRUE(t.Empty());
  EXPECT_EQ(t.TargetFor(&c), nullptr);
  EXPECT_FALSE(t.Remove(&c));
}

}  // namespace
