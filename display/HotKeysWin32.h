// The viewer's hot keys: the accelerator table that the message loop consults before
// TranslateMessage, and the low-level keyboard hook on a thread of its own that turns the
// combinations Windows would keep for itself into commands for the frame window.
#pragma once

#include <windows.h>

class AccelKeys {
 public:
  AccelKeys();
  virtual ~AccelKeys();
  AccelKeys(const AccelKeys&) = delete;
  AccelKeys& operator=(const AccelKeys&) = delete;

  // True when the message was a hot key and went to the target window as its command;
  // the message loop then neither translates nor dispatches it.
  bool Translate(MSG* msg);
  // The window the hot keys go to; null turns them off.
  void SetWindowHandle(HWND hwnd) { m_hwnd = hwnd; }

 private:
  HWND m_hwnd = nullptr;
  HACCEL m_hAccelTable = nullptr;
};

extern AccelKeys g_accelKeys;

// The frame window of a connection takes the hot keys (created or focused), unless the
// user turned them off.
void SetHotKeyTarget(HWND frame, bool noHotKeys);

// Starts the hook thread for the frame window, or makes the running hook serve it too. The
// keys the hook takes go to the frame in the foreground (or owning the foreground window).
// 1 when the hook serves the window, 0 for a null window or one that carries no connection.
int StartKeyboardHookThread(HWND frame);
// The frame window no longer needs the hook; its thread ends with the last one.
void StopKeyboardHookThread(HWND frame);
// The frame took the focus: while no frame of the viewer is in the foreground (a dialog
// of the process without an owner is), the keys the hook takes go to this one.
void KeyboardHookFrameInUse(HWND frame);
bool IsScrollLockOn();
