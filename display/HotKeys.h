// What the low-level keyboard hook does with a key while a window of the viewer is in the
// foreground, and which frame windows the one hook of the process serves. Platform-free:
// the Win32 hook in display/HotKeysWin32.cpp asks these and only posts what they say.
#pragma once

#include <vector>

namespace hotkeys {

enum class HookAction {
  kPass,         // on to the next hook: the key goes its usual way
  kSwallow,      // Windows never sees the key
  kPostCommand,  // the command to the frame window as WM_SYSCOMMAND, the key swallowed
  kPostTab,      // a Tab key-down to the frame window, the key swallowed
  kPostTabUp,    // its key-up, so that the server does not keep Tab held
  kPostKeyMenu,  // the frame's own system menu (SC_KEYMENU with a space), the key swallowed
};

struct HookDecision {
  HookAction action;
  int command;  // for kPostCommand
};

// vk: the virtual key; down: a key-down (plain or system); alt: Alt was held with it.
// With Scroll Lock on the system combinations and the Windows, Apps, Ctrl and Alt keys go
// to the server; with it off only Alt+Space is taken (for the viewer's own system menu).
HookDecision DecideHookKey(unsigned vk, bool down, bool alt, bool scrollLockOn);

// The frame windows that asked for the hook. The keys the hook takes belong to the frame
// in use: the one in the foreground (or owning the foreground window) when it is one of
// them, else the one that last started or took the focus. The thread runs while any frame
// is there.
class HookTargets {
 public:
  // A frame starts its connection; it is the one in use. True when this is the first
  // frame (the hook thread must start).
  bool Add(const void* frame);
  // True when the last frame left (the hook thread must stop); a frame never added is ignored.
  bool Remove(const void* frame);
  // The frame took the focus; a frame never added is ignored.
  void Use(const void* frame);
  // The frame the keys go to while `foreground` (the foreground window's top-level owner,
  // possibly null or not a frame) is in front.
  const void* TargetFor(const void* foreground) const;
  const void* Target() const { return m_frames.empty() ? nullptr : m_frames.back(); }
  bool Empty() const { return m_frames.empty(); }

 private:
  std::vector<const void*> m_frames;  // the one in use last
};

}  // namespace hotkeys
