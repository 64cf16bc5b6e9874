// Keyboard layouts from tables, with the layout's own dead-key state as the system keeps
// it (ToUnicode and ToAscii change it, VkKeyScan does not), and a typist that feeds key
// messages the way the message loop does: the system translation (TranslateMessage) first
// when asked, then the window's handler, then the messages the handler injected.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "display/KeyboardInput.h"

namespace kbdtest {

enum Dead : std::uint8_t { kDeadNormal = 1, kDeadShift = 2, kDeadAltGr = 4, kDeadShiftAltGr = 8 };

struct KeyDef {
  unsigned vk;
  char16_t normal, shifted, altGr, shiftAltGr;  // 0: nothing
  std::uint8_t dead;                            // Dead bits
};

struct Compose {
  char16_t dead, base, result;
};

class FakeLayout : public KeyboardLayout {
public:
  FakeLayout(std::vector<KeyDef> keys, std::vector<Compose> compose) : m_keys(std::move(keys)), m_compose(std::move(compose)) {
    std::memset(state, 0, sizeof state);
    // Keys every layout has.
    m_keys.push_back({vkey::kSpace, u' ', u' ', u' ', u' ', 0});
    m_keys.push_back({8, u'\b', u'\b', 0, 0, 0});
    m_keys.push_back({9, u'\t', u'\t', 0, 0, 0});
    m_keys.push_back({13, u'\r', u'\r', 0, 0, 0});
    m_keys.push_back({27, 0x1B, 0x1B, 0, 0, 0});
  }

  void GetKeyboardState(std::uint8_t out[256]) override { std::memcpy(out, state, sizeof state); }

  int ToUnicode(unsigned vk, unsigned, const std::uint8_t st[256], char16_t* buf, int bufLen, unsigned) override {
    ++toUnicodeCalls;
    if (spaceAlwaysDead && vk == vkey::kSpace) {
      buf[0] = u'^';
      return -1;
    }
    char16_t out[8];
    int n = Translate(vk, st, out);
    if (forcedCount > 0 && n > 0) {
      for (int i = 1; i < 8; ++i) out[i] = out[0];
      n = forcedCount;
    }
    for (int i = 0; i < n && i < bufLen; ++i) buf[i] = out[i];
    if (n < 0) buf[0] = out[0];
    return n;
  }

  int ToAscii(unsigned vk, unsigned, const std::uint8_t st[256], std::uint16_t chars[2], unsigned) override {
    char16_t out[8];
    int n = Translate(vk, st, out);
    int count = n < 0 ? 1 : n;
    for (int i = 0; i < count && i < 2; ++i) {
      std::uint16_t c = out[i];
      if (c == 0x20AC) c = 0x80;                        // the euro sign in code page 1252
      else if (c > 0xFF || (c >= 0x80 && c < 0xA0)) return 0;  // not in the code page
      chars[i] = c;
    }
    return n > 2 ? 2 : n;
  }

  short VkKeyScan(char16_t ch) override {
    if (vkKeyScanFails) return -1;
    for (const KeyDef& k : m_keys) {
      if (k.normal == ch) return static_cast<short>(k.vk);
      if (k.shifted == ch) return static_cast<short>(0x100 | k.vk);
      if (k.altGr == ch) return static_cast<short>(0x600 | k.vk);
      if (k.shiftAltGr == ch) return static_cast<short>(0x700 | k.vk);
    }
    return -1;
  }

  void InjectSpace() override { ++injectedSpaces; }
  bool IsInjectedSpace() override { return handlingInjected; }

  // The system's key state (bit 7 down, bit 0 toggled).
  std::uint8_t state[256];
  // The layout's pending dead key (0: none).
  char16_t pending = 0;
  int injectedSpaces = 0;
  bool handlingInjected = false;
  int toUnicodeCalls = 0;
  int forcedCount = 0;           // > 0: ToUnicode claims that many characters
  bool vkKeyScanFails = false;   // as after a change of layout
  bool spaceAlwaysDead = false;
  bool deadKeysDisabled = false;  // the layout's dead keys type their characters plainly  // ToUnicode of Space always answers "dead key"
  // Keys that type several UTF-16 units at once (without modifiers).
  std::vector<std::pair<unsigned, std::u16string>> ligatures;

private:
  const KeyDef* Find(unsigned vk) const {
    for (const KeyDef& k : m_keys)
      if (k.vk == vk) return &k;
    return nullptr;
  }

  int Translate(unsigned vk, const std::uint8_t st[256], char16_t* out) {
    for (auto& l : ligatures) {
      if (l.first != vk) continue;
      for (std::size_t i = 0; i < l.second.size() && i < 8; ++i) out[i] = l.second[i];
      return static_cast<int>(l.second.size());
    }
    const KeyDef* k = Find(vk);
    if (!k) return 0;
    const bool shift = st[vkey::kShift] & 0x80, ctrl = st[vkey::kControl] & 0x80, alt = st[vkey::kMenu] & 0x80;
    const bool caps = st[vkey::kCapital] & 1;
    char16_t ch;
    bool dead;
    if (ctrl && alt) {
      ch = shift ? k->shiftAltGr : k->altGr;
      dead = k->dead & (shift ? kDeadShiftAltGr : kDeadAltGr);
    } else if (ctrl) {
      char16_t base = k->normal;
      ch = (base >= u'a' && base <= u'z') ? static_cast<char16_t>(base & 0x1F) : (base == u' ' ? u' ' : 0);
      dead = false;
    } else {
      const bool letter = k->normal >= u'a' && k->normal <= u'z';
      const bool upper = shift != (caps && letter);
      ch = upper ? k->shifted : k->normal;
      dead = k->dead & (upper ? kDeadShift : kDeadNormal);
    }
    if (ch == 0) return 0;
    if (deadKeysDisabled) dead = false;
    if (dead) {
      if (pending) {
        out[0] = pending;
        out[1] = ch;
        pending = 0;
        return 2;
      }
      pending = ch;
      out[0] = ch;
      return -1;
    }
    if (pending) {
      const char16_t d = pending;
      pending = 0;
      for (const Compose& c : m_compose) {
        if (c.dead == d && c.base == ch) {
          out[0] = c.result;
          return 1;
        }
      }
      if (ch == u' ') {
        out[0] = d;
        return 1;
      }
      out[0] = d;
      out[1] = ch;
      return 2;
    }
    out[0] = ch;
    return 1;
  }

  std::vector<KeyDef> m_keys;
  std::vector<Compose> m_compose;
};

// Letters a..z on their own virtual keys, upper case shifted; swaps moves letters.
inline std::vector<KeyDef> Letters(const std::vector<std::pair<char, char>>& swaps = {}) {
  std::vector<KeyDef> keys;
  for (char c = 'a'; c <= 'z'; ++c) {
    char vkChar = static_cast<char>(c - 'a' + 'A');
    char out = c;
    for (auto& s : swaps) {
      if (c == s.first) out = s.second;
      else if (c == s.second) out = s.first;
    }
    keys.push_back({static_cast<unsigned>(vkChar), static_cast<char16_t>(out),
                    static_cast<char16_t>(out - 'a' + 'A'), 0, 0, 0});
  }
  return keys;
}

inline void SetAltGr(std::vector<KeyDef>& keys, unsigned vk, char16_t altGr, std::uint8_t dead = 0) {
  for (KeyDef& k : keys)
    if (k.vk == vk) {
      k.altGr = altGr;
      k.dead |= dead;
    }
}

inline FakeLayout UsLayout() {
  auto keys = Letters();
  const char* digits = ")!@#$%^&*(";
  for (int d = 0; d < 10; ++d)
    keys.push_back({static_cast<unsigned>('0' + d), static_cast<char16_t>('0' + d), static_cast<char16_t>(digits[d]), 0, 0, 0});
  keys.push_back({0xBA, u';', u':', 0, 0, 0});
  keys.push_back({0xBB, u'=', u'+', 0, 0, 0});
  keys.push_back({0xBC, u',', u'<', 0, 0, 0});
  keys.push_back({0xBD, u'-', u'_', 0, 0, 0});
  keys.push_back({0xBE, u'.', u'>', 0, 0, 0});
  keys.push_back({0xBF, u'/', u'?', 0, 0, 0});
  keys.push_back({0xC0, u'`', u'~', 0, 0, 0});
  keys.push_back({0xDB, u'[', u'{', 0, 0, 0});
  keys.push_back({0xDC, u'\\', u'|', 0, 0, 0});
  keys.push_back({0xDD, u']', u'}', 0, 0, 0});
  keys.push_back({0xDE, u'\'', u'"', 0, 0, 0});
  return FakeLayout(keys, {});
}

// German: Y and Z swapped, dead ^ (shifted °) and dead ´ (shifted dead `), AltGr for
// @ € µ { [ ] } \ ~ |.
inline FakeLayout GermanLayout() {
  auto keys = Letters({{'y', 'z'}});
  const char16_t shifted[] = u"=!\"§$%&/()";
  for (int d = 0; d < 10; ++d)
    keys.push_back({static_cast<unsigned>('0' + d), static_cast<char16_t>('0' + d), shifted[d], 0, 0, 0});
  SetAltGr(keys, '2', u'²');
  SetAltGr(keys, '3', u'³');
  SetAltGr(keys, '7', u'{');
  SetAltGr(keys, '8', u'[');
  SetAltGr(keys, '9', u']');
  SetAltGr(keys, '0', u'}');
  SetAltGr(keys, 'Q', u'@');
  SetAltGr(keys, 'E', 0x20AC);
  SetAltGr(keys, 'M', u'µ');
  keys.push_back({0xDB, u'ß', u'?', u'\\', 0, 0});
  keys.push_back({0xDC, u'^', u'°', 0, 0, kDeadNormal});
  keys.push_back({0xDD, 0x00B4, u'`', 0, 0, kDeadNormal | kDeadShift});
  keys.push_back({0xBA, u'ü', u'Ü', 0, 0, 0});
  keys.push_back({0xC0, u'ö', u'Ö', 0, 0, 0});
  keys.push_back({0xDE, u'ä', u'Ä', 0, 0, 0});
  keys.push_back({0xBB, u'+', u'*', u'~', 0, 0});
  keys.push_back({0xBF, u'#', u'\'', 0, 0, 0});
  keys.push_back({0xBC, u',', u';', 0, 0, 0});
  keys.push_back({0xBE, u'.', u':', 0, 0, 0});
  keys.push_back({0xBD, u'-', u'_', 0, 0, 0});
  keys.push_back({0xE2, u'<', u'>', u'|', 0, 0});
  std::vector<Compose> compose = {
      {u'^', u'a', u'â'}, {u'^', u'e', u'ê'}, {u'^', u'E', u'Ê'}, {u'^', u'o', u'ô'}, {u'^', u'u', u'û'},
      {0xB4, u'e', u'é'}, {0xB4, u'a', u'á'}, {u'`', u'e', u'è'}, {u'`', u'a', u'à'},
  };
  return FakeLayout(keys, compose);
}

// French AZERTY: A/Q and Z/W swapped, accented letters on the digit keys, dead ^ and ¨ on
// one key, AltGr dead ~ and `.
inline FakeLayout FrenchLayout() {
  auto keys = Letters({{'a', 'q'}, {'z', 'w'}});
  const char16_t normal[] = u"à&é\"'(-è_ç";
  for (int d = 0; d < 10; ++d)
    keys.push_back({static_cast<unsigned>('0' + d), normal[d], static_cast<char16_t>('0' + d), 0, 0, 0});
  SetAltGr(keys, '2', u'~', kDeadAltGr);
  SetAltGr(keys, '3', u'#');
  SetAltGr(keys, '4', u'{');
  SetAltGr(keys, '5', u'[');
  SetAltGr(keys, '6', u'|');
  SetAltGr(keys, '7', u'`', kDeadAltGr);
  SetAltGr(keys, '8', u'\\');
  SetAltGr(keys, '9', u'^');
  SetAltGr(keys, '0', u'@');
  SetAltGr(keys, 'E', 0x20AC);
  keys.push_back({0xDD, u'^', 0x00A8, 0, 0, kDeadNormal | kDeadShift});
  keys.push_back({0xDB, u')', u'°', u']', 0, 0});
  keys.push_back({0xBB, u'=', u'+', u'}', 0, 0});
  keys.push_back({0xBA, u'$', u'£', 0x00A4, 0, 0});
  keys.push_back({0xC0, u'ù', u'%', 0, 0, 0});
  keys.push_back({0xBC, u',', u'?', 0, 0, 0});
  std::vector<Compose> compose = {
      {u'^', u'e', u'ê'}, {u'^', u'a', u'â'}, {0xA8, u'e', u'ë'}, {0xA8, u'i', u'ï'},
      {u'~', u'n', u'ñ'}, {u'`', u'e', u'è'}, {u'`', u'a', u'à'},
  };
  return FakeLayout(keys, compose);
}

// Japanese 106/109: the yen key (220) and the backslash key (226) both type a backslash.
inline FakeLayout JapaneseLayout() {
  auto keys = Letters();
  const char16_t shifted[] = u"\0!\"#$%&'()";
  for (int d = 0; d < 10; ++d)
    keys.push_back({static_cast<unsigned>('0' + d), static_cast<char16_t>('0' + d), shifted[d], 0, 0, 0});
  keys.push_back({0xBD, u'-', u'=', 0, 0, 0});
  keys.push_back({0xDE, u'^', u'~', 0, 0, 0});
  keys.push_back({0xDC, u'\\', u'|', 0, 0, 0});
  keys.push_back({0xC0, u'@', u'`', 0, 0, 0});
  keys.push_back({0xDB, u'[', u'{', 0, 0, 0});
  keys.push_back({0xBB, u';', u'+', 0, 0, 0});
  keys.push_back({0xBA, u':', u'*', 0, 0, 0});
  keys.push_back({0xDD, u']', u'}', 0, 0, 0});
  keys.push_back({0xBC, u',', u'<', 0, 0, 0});
  keys.push_back({0xBE, u'.', u'>', 0, 0, 0});
  keys.push_back({0xBF, u'/', u'?', 0, 0, 0});
  keys.push_back({0xE2, u'\\', u'_', 0, 0, 0});
  return FakeLayout(keys, {});
}

using Event = std::pair<std::uint32_t, bool>;  // keysym, down
inline Event P(std::uint32_t k) { return {k, true}; }
inline Event R(std::uint32_t k) { return {k, false}; }

// Records the KeyEvents and keeps the server's view of the keys that are down.
class RecordingSink : public KeyEventSink {
public:
  void SendKeyEvent(std::uint32_t keysym, bool down) override {
    if (failAfter == 0) throw std::runtime_error("send failed");
    if (failAfter > 0) --failAfter;
    if (down && keysym == failOncePressing) {
      failOncePressing = 0;
      throw std::runtime_error("send failed");
    }
    events.push_back({keysym, down});
    if (down) serverDown.insert(keysym);
    else serverDown.erase(keysym);
  }
  std::vector<Event> Take() {
    std::vector<Event> out;
    out.swap(events);
    return out;
  }
  std::vector<Event> events;
  std::multiset<std::uint32_t> serverDown;
  int failAfter = -1;  // >= 0: that many sends succeed, then every send throws
  std::uint32_t failOncePressing = 0;  // the press of this keysym throws, once
};

// Physical keys the typist knows beyond plain virtual keys.
enum Physical : unsigned {
  kLShift = 0x1000 | vkey::kLShift,
  kRShift = 0x1000 | vkey::kRShift,
  kLCtrl = 0x1000 | vkey::kLControl,
  kRCtrl = 0x1000 | vkey::kRControl,
  kLAlt = 0x1000 | vkey::kLMenu,
  kRAlt = 0x1000 | vkey::kRMenu,
};

// Types on a FakeLayout into a KeyboardInput like Windows' message loop would.
class Typist {
public:
  Typist(FakeLayout& layout, KeyboardInput& input, bool translateMessage = true, bool japKeyboard = false)
      : layout(layout), input(input), translateMessage(translateMessage), japKeyboard(japKeyboard) {}

  void Down(unsigned key, bool extended = false) { Key(key, extended, true); }
  void Up(unsigned key, bool extended = false) { Key(key, extended, false); }
  void Tap(unsigned key, bool extended = false) {
    Down(key, extended);
    Up(key, extended);
  }
  // AltGr as Windows delivers it: a left Control press, then the right Alt.
  void AltGrDown() {
    Down(kLCtrl);
    Down(kRAlt);
  }
  void AltGrUp() {
    Up(kRAlt);
    Up(kLCtrl);
  }

  FakeLayout& layout;
  KeyboardInput& input;
  RecordingSink sink;
  bool translateMessage;
  bool japKeyboard;
  bool deliverInjected = true;

private:
  void Key(unsigned key, bool extended, bool down) {
    unsigned vk = key;
    if (key & 0x1000) {
      const unsigned side = key & 0xFF;
      vk = side <= vkey::kRShift ? vkey::kShift : side <= vkey::kRControl ? vkey::kControl : vkey::kMenu;
      extended = side == vkey::kRControl || side == vkey::kRMenu;
    }
    const bool wasDown = layout.state[key & 0x1000 ? key & 0xFF : vk] & 0x80;
    if (key & 0x1000) {
      const unsigned side = key & 0xFF, left = side & ~1u, right = side | 1u;
      Set(side, down);
      Set(vk, (layout.state[left] | layout.state[right]) & 0x80);
    } else {
      Set(vk, down);
    }
    if (down && vk == vkey::kCapital && !wasDown) layout.state[vk] ^= 1;
    std::uint32_t data = 1 | (extended ? keydata::kExtended : 0) | (wasDown ? keydata::kPrevious : 0) |
                         (down ? 0 : keydata::kUp);
    Dispatch(vk, data, false);
    // Keys the handler injected arrive after it returns.
    for (int round = 0; round < 4 && deliverInjected && layout.injectedSpaces > delivered; ++round) {
      ++delivered;
      Set(vkey::kSpace, true);
      Dispatch(vkey::kSpace, 1, true);
      Set(vkey::kSpace, false);
      Dispatch(vkey::kSpace, 1 | keydata::kPrevious | keydata::kUp, true);
    }
  }
  void Set(unsigned vk, bool down) {
    if (down) layout.state[vk] |= 0x80;
    else layout.state[vk] &= 0x7F;
  }
  void Dispatch(unsigned vk, std::uint32_t data, bool injected) {
    if (translateMessage && !(data & keydata::kUp)) {
      char16_t buf[4];
      layout.ToUnicode(vk, 0, layout.state, buf, 4, 0);
    }
    layout.handlingInjected = injected;
    input.ProcessKeyEvent(vk, data, japKeyboard, sink);
    layout.handlingInjected = false;
  }
  int delivered = 0;
};

// Keysyms of the modifiers.
constexpr std::uint32_t kShiftL = 0xFFE1, kCtrlL = 0xFFE3, kCtrlR = 0xFFE4, kAltL = 0xFFE9, kAltR = 0xFFEA;

// A connection's keyboard input on one layout, as the connection configures it (dead keys
// combined locally), with its typist.
struct Rig {
  explicit Rig(FakeLayout l, bool translateMessage = true, bool japKeyboard = false)
      : layout(std::move(l)), input(layout), typist(layout, input, translateMessage, japKeyboard) {
    input.GetKeyMap().SetSendDeadKeys(false);
  }
  FakeLayout layout;
  KeyboardInput input;
  Typist typist;
};

}  // namespace kbdtest
