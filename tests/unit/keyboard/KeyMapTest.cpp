// The layout-driven translation: what the server receives for typical key presses on
// US, German, French and Japanese layouts, dead keys combined locally, AltGr, the held
// keysyms, and the ways out when the layout or the sink misbehaves.
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "FakeLayout.h"
#include "display/KeySyms.h"

namespace kbdtest {
namespace {

using Layout = FakeLayout (*)();
using Script = std::function<void(Typist&)>;

struct Case {
  const char* name;
  Layout layout;
  Script script;
  std::vector<Event> expected;
};

const Case kCases[] = {
    {"UsLetter", UsLayout, [](Typist& t) { t.Tap('A'); }, {P('a'), R('a')}},
    {"UsShiftLetter", UsLayout,
     [](Typist& t) {
       t.Down(kLShift);
       t.Tap('A');
       t.Up(kLShift);
     },
     {P(kShiftL), P('A'), R('A'), R(kShiftL)}},
    // The release sends what the press sent, although Shift is up by then.
    {"UsShiftUpBeforeLetter", UsLayout,
     [](Typist& t) {
       t.Down(kLShift);
       t.Down('A');
       t.Up(kLShift);
       t.Up('A');
     },
     {P(kShiftL), P('A'), R(kShiftL), R('A')}},
    {"UsCtrlC", UsLayout,
     [](Typist& t) {
       t.Down(kLCtrl);
       t.Tap('C');
       t.Up(kLCtrl);
     },
     {P(kCtrlL), P('c'), R('c'), R(kCtrlL)}},
    {"UsRightCtrl", UsLayout, [](Typist& t) { t.Tap(kRCtrl); }, {P(kCtrlR), R(kCtrlR)}},
    {"UsAltF4", UsLayout,
     [](Typist& t) {
       t.Down(kLAlt);
       t.Tap(115);
       t.Up(kLAlt);
     },
     {P(kAltL), P(0xFFC1), R(0xFFC1), R(kAltL)}},
    {"UsShiftDigit", UsLayout,
     [](Typist& t) {
       t.Down(kRShift);
       t.Tap('2');
       t.Up(kRShift);
     },
     {P(kShiftL), P('@'), R('@'), R(kShiftL)}},
    {"UsCapsLock", UsLayout,
     [](Typist& t) {
       t.Tap(vkey::kCapital);
       t.Tap('B');
     },
     {P(0xFFE5), R(0xFFE5), P('B'), R('B')}},
    // An auto-repeated key sends release and press again.
    {"UsAutoRepeat", UsLayout,
     [](Typist& t) {
       t.Down('A');
       t.Down('A');
       t.Up('A');
     },
     {P('a'), R('a'), P('a'), R('a')}},
    {"UsSpaceAndBackspace", UsLayout,
     [](Typist& t) {
       t.Tap(vkey::kSpace);
       t.Tap(8);
     },
     {P(' '), R(' '), P(0xFF08), R(0xFF08)}},
    {"UsWindowsKeysIgnored", UsLayout,
     [](Typist& t) {
       t.Tap(vkey::kLWin, true);
       t.Tap(vkey::kRWin, true);
     },
     {}},
    // AltGr arrives as Control_L and Alt_R; the character goes without them.
    {"GermanAltGrQ", GermanLayout,
     [](Typist& t) {
       t.AltGrDown();
       t.Tap('Q');
       t.AltGrUp();
     },
     {P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P('@'), P(kAltR), P(kCtrlL), R('@'), R(kAltR), R(kCtrlL)}},
    {"GermanAltGrM", GermanLayout,
     [](Typist& t) {
       t.AltGrDown();
       t.Tap('M');
       t.AltGrUp();
     },
     {P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P(0xB5), P(kAltR), P(kCtrlL), R(0xB5), R(kAltR), R(kCtrlL)}},
    {"GermanUmlautAndSwappedZ", GermanLayout,
     [](Typist& t) {
       t.Tap(0xBA);
       t.Tap('Y');
     },
     {P(0xFC), R(0xFC), P('z'), R('z')}},
    {"GermanCircumflexE", GermanLayout,
     [](Typist& t) {
       t.Tap(0xDC);
       t.Tap('E');
     },
     {P(0xEA), R(0xEA)}},
    {"GermanAcuteA", GermanLayout,
     [](Typist& t) {
       t.Tap(0xDD);
       t.Tap('A');
     },
     {P(0xE1), R(0xE1)}},
    {"GermanShiftedGraveE", GermanLayout,
     [](Typist& t) {
       t.Down(kLShift);
       t.Tap(0xDD);
       t.Up(kLShift);
       t.Tap('E');
     },
     {P(kShiftL), R(kShiftL), P(0xE8), R(0xE8)}},
    {"GermanCircumflexShiftedE", GermanLayout,
     [](Typist& t) {
       t.Tap(0xDC);
       t.Down(kLShift);
       t.Tap('E');
       t.Up(kLShift);
     },
     {P(kShiftL), P(0xCA), R(0xCA), R(kShiftL)}},
    // Ctrl+Alt on a key without an AltGr character: the letter goes with both held.
    {"UsCtrlAltT", UsLayout,
     [](Typist& t) {
       t.Down(kLCtrl);
       t.Down(kLAlt);
       t.Tap('T');
       t.Up(kLAlt);
       t.Up(kLCtrl);
     },
     {P(kCtrlL), P(kAltL), R(kCtrlL), R(kAltL), P(kAltL), P(kCtrlL), P('t'), R('t'), R(kAltL), R(kCtrlL)}},
    {"GermanAltGrT", GermanLayout,
     [](Typist& t) {
       t.AltGrDown();
       t.Tap('T');
       t.AltGrUp();
     },
     {P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P(kAltR), P(kCtrlL), P('t'), R('t'), R(kAltR), R(kCtrlL)}},
    // A dead key and a key that does not combine: both characters.
    {"GermanCircumflexX", GermanLayout,
     [](Typist& t) {
       t.Tap(0xDC);
       t.Tap('X');
     },
     {P('^'), R('^'), P('x'), R('x')}},
    {"GermanCircumflexSpace", GermanLayout,
     [](Typist& t) {
       t.Tap(0xDC);
       t.Tap(vkey::kSpace);
     },
     {P('^'), R('^')}},
    {"GermanShiftedCircumflexIsDegree", GermanLayout,
     [](Typist& t) {
       t.Down(kLShift);
       t.Tap(0xDC);
       t.Up(kLShift);
     },
     {P(kShiftL), P(0xB0), R(0xB0), R(kShiftL)}},
    {"FrenchAccentedDigitKeys", FrenchLayout,
     [](Typist& t) {
       t.Tap('2');
       t.Tap('7');
       t.Tap('0');
     },
     {P(0xE9), R(0xE9), P(0xE8), R(0xE8), P(0xE0), R(0xE0)}},
    {"FrenchCircumflexE", FrenchLayout,
     [](Typist& t) {
       t.Tap(0xDD);
       t.Tap('E');
     },
     {P(0xEA), R(0xEA)}},
    {"FrenchDiaeresisE", FrenchLayout,
     [](Typist& t) {
       t.Down(kLShift);
       t.Tap(0xDD);
       t.Up(kLShift);
       t.Tap('E');
     },
     {P(kShiftL), R(kShiftL), P(0xEB), R(0xEB)}},
    // A dead key on an AltGr level: restored with Ctrl and Alt emulated.
    {"FrenchAltGrTildeN", FrenchLayout,
     [](Typist& t) {
       t.AltGrDown();
       t.Tap('2');
       t.AltGrUp();
       t.Tap('N');
     },
     {P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P(kAltR), P(kCtrlL), R(kAltR), R(kCtrlL), P(0xF1), R(0xF1)}},
    {"FrenchAltGrAt", FrenchLayout,
     [](Typist& t) {
       t.AltGrDown();
       t.Tap('0');
       t.AltGrUp();
     },
     {P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P('@'), P(kAltR), P(kCtrlL), R('@'), R(kAltR), R(kCtrlL)}},
    {"JapaneseYenAndBackslashKeys", JapaneseLayout,
     [](Typist& t) {
       t.Tap(vkey::kOem5);
       t.Tap(vkey::kOem102);
     },
     {P('\\'), R('\\'), P('\\'), R('\\')}},
    // Keys of the special table: matched by virtual key and extended flag, or by virtual
    // key alone ("opposite").
    {"SpecialEnterAndKeypadEnter", UsLayout,
     [](Typist& t) {
       t.Tap(13);
       t.Tap(13, true);
     },
     {P(0xFF0D), R(0xFF0D), P(0xFF8D), R(0xFF8D)}},
    {"SpecialDeleteAndKeypadDelete", UsLayout,
     [](Typist& t) {
       t.Tap(46, true);
       t.Tap(46);
     },
     {P(0xFFFF), R(0xFFFF), P(0xFF9F), R(0xFF9F)}},
    {"SpecialHomeAndKeypadHome", UsLayout,
     [](Typist& t) {
       t.Tap(36, true);
       t.Tap(36);
     },
     {P(0xFF50), R(0xFF50), P(0xFF95), R(0xFF95)}},
    {"SpecialOppositeFlag", UsLayout,
     [](Typist& t) {
       t.Tap(111);        // keypad divide without its extended flag
       t.Tap(3);          // Ctrl+Break without its extended flag
       t.Tap(112, true);  // F1 with an extended flag: the last row of 112, KP_F1
     },
     {P(0xFFAF), R(0xFFAF), P(0xFF6B), R(0xFF6B), P(0xFF91), R(0xFF91)}},
    {"SpecialFunctionAndKeypadKeys", UsLayout,
     [](Typist& t) {
       t.Tap(135);
       t.Tap(96);
       t.Tap(105);
       t.Tap(107);
       t.Tap(144, true);
       t.Tap(21);
     },
     {P(0xFFD5), R(0xFFD5), P(0xFFB0), R(0xFFB0), P(0xFFB9), R(0xFFB9), P(0xFFAB), R(0xFFAB), P(0xFF7F), R(0xFF7F),
      P(0xFF31), R(0xFF31)}},
};

class TypicalKeys : public ::testing::TestWithParam<Case> {};

TEST_P(TypicalKeys, SendKeysyms) {
  const Case& c = GetParam();
  // Whether or not the message loop translated the key first, the server sees the same.
  for (bool translateMessage : {true, false}) {
    SCOPED_TRACE(translateMessage ? "after TranslateMessage" : "without TranslateMessage");
    Rig rig(c.layout(), translateMessage);
    c.script(rig.typist);
    EXPECT_EQ(rig.typist.sink.events, c.expected);
    EXPECT_TRUE(rig.typist.sink.serverDown.empty());
    EXPECT_EQ(rig.layout.pending, 0) << "dead key left pending in the layout";
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, TypicalKeys, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

// The Space injected on the dead key's release clears the system's dead-key state; it
// must not reach the server as the dead key's spacing character.
TEST(DeadKeys, InjectedSpaceStaysLocal) {
  Rig rig(GermanLayout());
  rig.typist.Tap(0xDC);
  EXPECT_EQ(rig.layout.injectedSpaces, 1);
  EXPECT_TRUE(rig.typist.sink.events.empty());
  EXPECT_TRUE(rig.input.GetKeyMap().DeadKeyStored());
  rig.typist.Tap('A');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{P(0xE2), R(0xE2)}));
}

TEST(DeadKeys, SentAsDeadKeysymsWhenAsked) {
  Rig rig(GermanLayout());
  rig.input.GetKeyMap().SetSendDeadKeys(true);
  rig.typist.Tap(0xDC);
  rig.typist.Tap(0xDD);
  rig.typist.Tap('E');
  EXPECT_EQ(rig.typist.sink.events,
            (std::vector<Event>{P(0xFE52), R(0xFE52), P(0xFE51), R(0xFE51), P('e'), R('e')}));
  EXPECT_EQ(rig.layout.pending, 0);
  EXPECT_EQ(rig.layout.injectedSpaces, 0);
}

TEST(DeadKeys, TurningSendDeadKeysOnForgetsTheStoredOne) {
  Rig rig(GermanLayout());
  rig.typist.Tap(0xDC);
  rig.input.GetKeyMap().SetSendDeadKeys(true);
  EXPECT_FALSE(rig.input.GetKeyMap().DeadKeyStored());
  rig.typist.Tap('A');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('a'), R('a')}));
}

// The stored dead key is typed again by the key that typed it where the layout does not
// name that key for its character.
TEST(DeadKeys, RestoredByItsOwnKeyWhereTheLookupFails) {
  Rig rig(GermanLayout());
  rig.typist.Tap(0xDC);
  rig.layout.vkKeyScanFails = true;
  rig.typist.Tap('A');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0xE2), R(0xE2)}));
  EXPECT_FALSE(rig.input.GetKeyMap().DeadKeyStored());
}

// A stored dead key that cannot be typed again any more (the layout changed) is dropped.
TEST(DeadKeys, DroppedWhenNoKeyTypesItAnyMore) {
  Rig rig(GermanLayout());
  rig.typist.Tap(0xDC);
  rig.layout.vkKeyScanFails = true;
  rig.layout.deadKeysDisabled = true;
  rig.typist.Tap('A');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('a'), R('a')}));
  EXPECT_FALSE(rig.input.GetKeyMap().DeadKeyStored());
}

// A layout that keeps answering "dead key" for Space must not hang the flush.
TEST(DeadKeys, FlushGivesUpOnALayoutWhoseSpaceIsDead) {
  FakeLayout layout = UsLayout();
  layout.spaceAlwaysDead = true;
  KeyboardInput input(layout);
  input.GetKeyMap().SetSendDeadKeys(false);
  input.ResetKeyboard();
  EXPECT_LT(layout.toUnicodeCalls, 20);
}

TEST(FocusChanges, ReleaseAllKeysSendsEveryHeldKeysymOnce) {
  Rig rig(GermanLayout());
  rig.typist.Down(kLShift);
  rig.typist.Down('A');
  rig.typist.AltGrDown();
  rig.typist.sink.Take();
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kShiftL), R(kCtrlL), R('A'), R(kAltR)}));
  EXPECT_TRUE(rig.typist.sink.serverDown.empty());
  rig.input.ReleaseAllKeys(rig.typist.sink);
  // The keys' own releases afterwards send nothing more.
  rig.typist.Up('A');
  rig.typist.Up(kLShift);
  rig.typist.AltGrUp();
  EXPECT_TRUE(rig.typist.sink.events.empty());
}

TEST(FocusChanges, ResetForgetsHeldKeysAndTheDeadKey) {
  Rig rig(GermanLayout());
  rig.typist.Down('B');
  rig.typist.Tap(0xDC);
  rig.layout.pending = u'^';  // left by another window
  rig.input.ResetKeyboard();
  EXPECT_EQ(rig.layout.pending, 0);
  EXPECT_EQ(rig.input.GetKeyMap().HeldKeysym('B', false), keysyms::kNone);
  rig.typist.sink.Take();
  rig.typist.Up('B');
  rig.typist.Tap('E');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('e'), R('e')}));
}

TEST(Characters, AboveLatin1AsUnicodeKeysymsOrLegacyOnes) {
  Rig rig(UsLayout());
  rig.layout.ligatures = {{'J', u"\u0416"}, {'K', u"\u20AC"}, {'L', u"\u05D0"}};
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{P(0x01000416), R(0x01000416), P(0x010020AC), R(0x010020AC)}));
  rig.input.GetKeyMap().SetUnicodeKeysyms(false);
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  rig.typist.Tap('L');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{P(0x6F6), R(0x6F6), P(0x20AC), R(0x20AC), P(0xCE0), R(0xCE0)}));
}

// Several characters from one key: each is pressed in turn; only the last is held.
TEST(Characters, SeveralFromOneKey) {
  Rig rig(UsLayout());
  rig.layout.ligatures = {{'J', u"ch"}, {'K', u"xyz"}};
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('c'), R('c'), P('h'), R('h'), P('x'), R('x'), P('y'),
                                                         R('y'), P('z'), R('z')}));
}

TEST(Characters, SurrogatePairIsOneUnicodeKeysym) {
  Rig rig(UsLayout());
  rig.layout.ligatures = {{'J', u"\U0001F600"}, {'K', std::u16string(1, char16_t(0xD83D))}};
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0x0101F600), R(0x0101F600)}));
}

// A layout answering more characters than the buffer holds: only the buffer is read.
TEST(Characters, CountBeyondTheBufferIsCut) {
  Rig rig(UsLayout());
  rig.layout.forcedCount = 6;
  rig.typist.Tap('X');
  ASSERT_FALSE(rig.typist.sink.events.empty());
  EXPECT_LE(rig.typist.sink.events.size(), 2u * KeyMap::kCharBuffer);
  for (const Event& e : rig.typist.sink.events) EXPECT_EQ(e.first, std::uint32_t('x'));
  EXPECT_TRUE(rig.typist.sink.serverDown.empty());
}

TEST(Characters, ControlCharactersAreNotSent) {
  Rig rig(UsLayout());
  rig.layout.ligatures = {{'J', u"\x01"}, {'K', u"\x7F"}, {'L', std::u16string(1, char16_t(0x9B))}};
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  rig.typist.Tap('L');
  EXPECT_TRUE(rig.typist.sink.events.empty());
}

TEST(Robustness, VirtualKeyOutOfRangeIsIgnored) {
  Rig rig(UsLayout());
  KeyMap& keyMap = rig.input.GetKeyMap();
  keyMap.PCtoX(0x1234, 0, rig.typist.sink);
  keyMap.PCtoX(0x100, keydata::kExtended, rig.typist.sink);
  keyMap.PCtoX(0xFFFFFFFF, keydata::kUp | keydata::kExtended, rig.typist.sink);
  EXPECT_TRUE(rig.typist.sink.events.empty());
  EXPECT_EQ(keyMap.HeldKeysym(0x1234, true), keysyms::kNone);
}

// A failing send of the character still presses the lifted modifiers again, and the
// failure reaches the caller.
TEST(Robustness, LiftedModifiersComeBackWhenTheCharacterFails) {
  Rig rig(GermanLayout());
  rig.typist.AltGrDown();
  rig.typist.sink.Take();
  rig.typist.sink.failOncePressing = '@';
  EXPECT_THROW(rig.typist.Down('Q'), std::runtime_error);
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kCtrlL), R(kAltR), P(kAltR), P(kCtrlL)}));
}

TEST(Robustness, ASinkThatKeepsFailingEndsInOneException) {
  Rig rig(GermanLayout());
  rig.typist.AltGrDown();
  rig.typist.sink.failAfter = 2;  // the two lifts go, then nothing
  EXPECT_THROW(rig.typist.Down('Q'), std::runtime_error);
  // A release the server may have missed is sent again at the focus change.
  rig.typist.sink.failAfter = -1;
  rig.typist.sink.Take();
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kCtrlL), R('@'), R(kAltR)}));
}

}  // namespace
}  // namespace kbdtest
