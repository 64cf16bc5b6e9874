// The entry point: the plain translator of the "JapKeyboard" option (fixed table, ToAscii
// characters, the yen and backslash keys of Japanese keyboards, AltGr characters with the
// modifiers lifted), the E key that always goes the plain way unless it completes a dead
// key, and the release of everything held when the focus goes.
#include <gtest/gtest.h>

#include <algorithm>

#include "FakeLayout.h"
#include "display/KeySyms.h"

namespace kbdtest {
namespace {

struct KeyCase {
  unsigned vk;
  bool extended;
  std::uint32_t keysym;
};

TEST(JapKeyboard, TableKeys) {
  const KeyCase cases[] = {
      {13, false, 0xFF0D}, {13, true, 0xFF8D},  {17, false, kCtrlL}, {17, true, kCtrlR},  {18, false, kAltL},
      {18, true, kAltR},   {16, false, kShiftL}, {46, false, 0xFFFF}, {46, true, 0xFFFF},  {36, false, 0xFF50},
      {36, true, 0xFF50},  {112, false, 0xFFBE}, {135, false, 0xFFD5}, {96, false, 0xFFB0}, {111, true, 0xFFAF},
      {32, false, 0x20},   {25, false, 0xFF21},  {29, false, 0xFF22}, {28, false, 0xFF3E}, {240, false, 0xFF30},
      {241, false, 0xFF26}, {242, false, 0xFF25}, {243, false, 0xFF28}, {244, false, 0xFF29}, {245, false, 0xFF24},
      {144, false, 0xFF7F}, {145, false, 0xFF14}, {3, false, 0xFF6B},
  };
  for (const KeyCase& c : cases) {
    Rig rig(JapaneseLayout(), true, true);
    rig.typist.Tap(c.vk, c.extended);
    EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(c.keysym), R(c.keysym)})) << c.vk << (c.extended ? "e" : "");
  }
}

// Both keys type a backslash on a Japanese layout; the server needs the yen sign for one.
TEST(JapKeyboard, YenAndBackslashKeys) {
  Rig rig(JapaneseLayout(), true, true);
  rig.typist.Tap(vkey::kOem5);
  rig.typist.Tap(vkey::kOem102);
  rig.typist.Down(kLShift);
  rig.typist.Tap(vkey::kOem5);
  rig.typist.Tap(vkey::kOem102);
  rig.typist.Up(kLShift);
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0xA5), R(0xA5), P('\\'), R('\\'), P(kShiftL), P('|'), R('|'),
                                                        P('_'), R('_'), R(kShiftL)}));
}

TEST(JapKeyboard, NoYenOnOtherLayouts) {
  Rig rig(UsLayout(), true, true);
  rig.typist.Tap(vkey::kOem5);
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('\\'), R('\\')}));
}

TEST(JapKeyboard, CharactersAndCtrlLetters) {
  Rig rig(JapaneseLayout(), true, true);
  rig.typist.Tap('A');
  rig.typist.Down(kLCtrl);
  rig.typist.Tap('C');
  rig.typist.Up(kLCtrl);
  rig.typist.Tap(0xDE);
  EXPECT_EQ(rig.typist.sink.events,
            (std::vector<Event>{P('a'), R('a'), P(kCtrlL), P('c'), R('c'), R(kCtrlL), P('^'), R('^')}));
}

// AltGr characters: the held Control_L and Alt_R are released around the character, on
// its press and on its release.
TEST(JapKeyboard, AltGrCharacterLiftsTheHeldModifiers) {
  Rig rig(GermanLayout(), true, true);
  rig.typist.AltGrDown();
  rig.typist.Tap('Q');
  rig.typist.AltGrUp();
  EXPECT_EQ(rig.typist.sink.events,
            (std::vector<Event>{P(kCtrlL), P(kAltR), R(kCtrlL), R(kAltR), P('@'), P(kAltR), P(kCtrlL), R(kCtrlL),
                                R(kAltR), R('@'), P(kAltR), P(kCtrlL), R(kAltR), R(kCtrlL)}));
  EXPECT_TRUE(rig.typist.sink.serverDown.empty());
}

TEST(JapKeyboard, LeftCtrlAndLeftAltLiftedAsHeld) {
  Rig rig(GermanLayout(), true, true);
  rig.typist.Down(kLCtrl);
  rig.typist.Down(kLAlt);
  rig.typist.sink.Take();
  rig.typist.Down('Q');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kCtrlL), R(kAltL), P('@'), P(kAltL), P(kCtrlL)}));
}

// A character the code page lacks (the euro sign is 0x80 there) is typed again without
// Ctrl: the key's base character goes with the modifiers held.
TEST(JapKeyboard, AltGrCharacterOutsideThePrintableRange) {
  Rig rig(GermanLayout(), true, true);
  rig.typist.AltGrDown();
  rig.typist.sink.Take();
  rig.typist.Tap('E');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('e'), R('e')}));
}

// The server combines them with the next character.
TEST(JapKeyboard, DeadKeysGiveDeadKeysyms) {
  Rig rig(GermanLayout(), true, true);
  rig.typist.Tap(0xDC);
  rig.typist.Tap('E');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0xFE52), R(0xFE52), P('e'), R('e')}));
}

// Two characters that some code pages give for a dead acute or grave accent.
TEST(JapKeyboard, AccentPairsGiveDeadKeysyms) {
  Rig rig(UsLayout(), true, true);
  rig.layout.ligatures = {{'J', u"\u00B4\u00F9"}, {'K', u"`\u00B5"}, {'L', u"\u00B4x"}};
  rig.typist.Tap('J');
  rig.typist.Tap('K');
  rig.typist.Tap('L');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0xFE51), R(0xFE51), P(0xFE50), R(0xFE50), P(0xB4), P('x'),
                                                        R(0xB4), R('x')}));
}

TEST(JapKeyboard, FocusLossReleasesWhatThePlainWayPressed) {
  Rig rig(JapaneseLayout(), true, true);
  rig.typist.Down(kLCtrl);
  rig.typist.Down('A');
  rig.typist.Down(kRAlt);
  rig.typist.sink.Take();
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kCtrlL), R('a'), R(kAltR)}));
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_TRUE(rig.typist.sink.events.empty());
}

// The keysyms of the frame's key commands (the hook's Ctrl, Alt, Windows and Apps keys) go
// up with the focus like typed ones; what a command released already is not sent again.
TEST(KeyCommands, FocusLossReleasesWhatTheyLeftPressed) {
  constexpr std::uint32_t kSuperL = 0xFFEB, kSuperR = 0xFFEC, kMenu = 0xFF67;
  Rig rig(UsLayout());
  for (std::uint32_t k : {kCtrlL, kAltL, kSuperL, kSuperR, kMenu}) rig.input.SendKeysym(k, true, rig.typist.sink);
  rig.input.SendKeysym(kAltL, false, rig.typist.sink);
  rig.typist.Down('A');  // typed, through the layout
  EXPECT_EQ(rig.typist.sink.Take(),
            (std::vector<Event>{P(kCtrlL), P(kAltL), P(kSuperL), P(kSuperR), P(kMenu), R(kAltL), P('a')}));
  rig.input.ReleaseAllKeys(rig.typist.sink);
  std::vector<Event> released = rig.typist.sink.Take();
  std::sort(released.begin(), released.end());
  std::vector<Event> expected{R(kCtrlL), R(kSuperL), R(kSuperR), R(kMenu), R('a')};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(released, expected);
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_TRUE(rig.typist.sink.events.empty());
  // Focus gained: nothing is held any more.
  rig.input.SendKeysym(kSuperL, true, rig.typist.sink);
  rig.input.ResetKeyboard();
  rig.typist.sink.Take();
  rig.input.ReleaseAllKeys(rig.typist.sink);
  EXPECT_TRUE(rig.typist.sink.events.empty());
}

TEST(JapKeyboard, ModifiersComeBackWhenTheCharacterFails) {
  Rig rig(GermanLayout(), true, true);
  rig.typist.AltGrDown();
  rig.typist.sink.Take();
  rig.typist.sink.failOncePressing = '@';
  EXPECT_THROW(rig.typist.Down('Q'), std::runtime_error);
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{R(kCtrlL), R(kAltR), P(kAltR), P(kCtrlL)}));
}

// The E key takes the plain way even without the option.
TEST(EKey, GoesThePlainWay) {
  Rig rig(UsLayout());
  rig.typist.Down(kLShift);
  rig.typist.Tap('E');
  rig.typist.Up(kLShift);
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(kShiftL), P('E'), R('E'), R(kShiftL)}));
  EXPECT_EQ(rig.input.GetKeyMap().HeldKeysym('E', false), keysyms::kNone);
}

TEST(EKey, CompletesAStoredDeadKey) {
  Rig rig(FrenchLayout());
  rig.typist.Tap(0xDD);
  rig.typist.Down('E');
  EXPECT_EQ(rig.input.GetKeyMap().HeldKeysym('E', false), 0xEAu);
  rig.typist.Up('E');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P(0xEA), R(0xEA)}));
}

// Pressed the plain way, a dead key typed meanwhile: the release still goes the plain way.
TEST(EKey, ReleasedTheWayItWasPressed) {
  Rig rig(GermanLayout());
  rig.typist.Down('E');
  rig.typist.Tap(0xDC);
  rig.typist.Up('E');
  EXPECT_EQ(rig.typist.sink.events, (std::vector<Event>{P('e'), R('e')}));
  EXPECT_TRUE(rig.input.GetKeyMap().DeadKeyStored());
}

// Repeats follow the press: through the dead key's translation, or the plain way.
TEST(EKey, RepeatsGoTheWayOfThePress) {
  Rig rig(GermanLayout());
  rig.typist.Tap(0xDC);
  rig.typist.Down('E');
  rig.typist.Down('E');
  rig.typist.Up('E');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{P(0xEA), R(0xEA), P('e'), R('e')}));
  rig.typist.Down('E');
  rig.typist.Tap(0xDC);
  rig.typist.Down('E');
  rig.typist.Up('E');
  EXPECT_EQ(rig.typist.sink.Take(), (std::vector<Event>{P('e'), P('e'), R('e')}));
  EXPECT_TRUE(rig.typist.sink.serverDown.empty());
  EXPECT_TRUE(rig.input.GetKeyMap().DeadKeyStored());
}

}  // namespace
}  // namespace kbdtest
