#include "display/HotKeys.h"

#include <algorithm>

#include "display/FrameCommands.h"

namespace hotkeys {

namespace {

constexpr unsigned kVkTab = 0x09, kVkPause = 0x13, kVkEscape = 0x1B, kVkSpace = 0x20, kVkSnapshot = 0x2C;
constexpr unsigned kVkLWin = 0x5B, kVkRWin = 0x5C, kVkApps = 0x5D;
constexpr unsigned kVkLControl = 0xA2, kVkRControl = 0xA3, kVkLMenu = 0xA4, kVkRMenu = 0xA5;

constexpr HookDecision kPass{HookAction::kPass, 0};
constexpr HookDecision kSwallow{HookAction::kSwallow, 0};

HookDecision Post(int command) { return {HookAction::kPostCommand, command}; }

}  // namespace

HookDecision DecideHookKey(unsigned vk, bool down, bool alt, bool scrollLockOn) {
  using namespace framecmd;
  if (!scrollLockOn) {
    if (vk == kVkSpace && alt) return down ? kSwallow : HookDecision{HookAction::kPostKeyMenu, 0};
    return kPass;
  }
  switch (vk) {
    case kVkTab:
      if (!alt) return kPass;
      return {down ? HookAction::kPostTab : HookAction::kPostTabUp, 0};
    case kVkPause: return down ? Post(kFullScreen) : kPass;
    case kVkEscape: return alt ? kSwallow : kPass;
    case kVkSnapshot: return down ? Post(kRefresh) : kPass;
    case kVkLWin: return Post(down ? kSuperLDown : kSuperLUp);
    case kVkRWin: return Post(down ? kSuperRDown : kSuperRUp);
    case kVkApps: return Post(down ? kMenuDown : kMenuUp);
    case kVkLControl:
    case kVkRControl: return Post(down ? kCtrlDown : kCtrlUp);
    case kVkLMenu:
    case kVkRMenu: return Post(down ? kAltDown : kAltUp);
    default: return kPass;
  }
}

bool HookTargets::Add(const void* frame) {
  const bool first = m_frames.empty();
  // A frame that asks again becomes the most recent.
  m_frames.erase(std::remove(m_frames.begin(), m_frames.end(), frame), m_frames.end());
  m_frames.push_back(frame);
  return first;
}

void HookTargets::Use(const void* frame) {
  auto it = std::find(m_frames.begin(), m_frames.end(), frame);
  if (it != m_frames.end()) std::rotate(it, it + 1, m_frames.end());
}

const void* HookTargets::TargetFor(const void* foreground) const {
  if (foreground && std::find(m_frames.begin(), m_frames.end(), foreground) != m_frames.end()) return foreground;
  return Target();
}

bool HookTargets::Remove(const void* frame) {
  auto it = std::find(m_frames.begin(), m_frames.end(), frame);
  if (it == m_frames.end()) return false;
  m_frames.erase(it);
  return m_frames.empty();
}

}  // namespace hotkeys
