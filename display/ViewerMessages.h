// Private messages of the viewer window, and the messages by which the connection thread
// hands work that needs the GUI thread (timers, window sizes, questions) to it.
#pragma once

#include <windows.h>

// Asked of the viewer window by the frame window, the option pages, the file-transfer
// window and other programs.
#define WM_VIEWER_SETSCALE (WM_USER + 101)     // wParam numerator, lParam denominator
#define WM_VIEWER_SETVIEWONLY (WM_USER + 102)  // wParam 1: view only
#define WM_VIEWER_GETSIZE (WM_USER + 103)      // wParam: the window that asks

// From the connection thread (and other parts of the program) to the viewer window.
#define WM_REQUESTUPDATE (WM_APP + 3)           // wParam: 1 incremental, 0xFFFFFFFF new format or incremental, other full
// lParam of a WM_REQUESTUPDATE that the connection thread queued (at most one per kind
// waits in the queue; see RfbSession::QueueUpdateRequest).
constexpr LPARAM kQueuedUpdateRequest = 1;
#define WM_SENDCLIPBOARDCAPS (WM_APP + 4)
#define WM_UPDATEREMOTECLIPBOARD (WM_APP + 5)   // wParam: extended-clipboard flags
#define WM_SENDSTREAMINGACK (WM_APP + 6)
#define WM_SENDKEEPALIVE (WM_APP + 7)           // wParam 1: force

// Hand-overs from the connection and reconnect threads, which own no window: a window
// timer to start (lParam ms) or stop (lParam 0); the framebuffer got a new size; the
// thread started; the desktop rectangle changed (wParam, lParam: its corner); a question
// for the user (wParam: the question); a reconnect succeeded.
#define WM_VIEWER_TIMER (WM_APP + 20)
#define WM_VIEWER_RESIZED (WM_APP + 21)
#define WM_VIEWER_STARTED (WM_APP + 22)
#define WM_VIEWER_DESKTOPRECT (WM_APP + 23)
#define WM_VIEWER_ASKCHOICE (WM_APP + 24)
#define WM_VIEWER_RECONNECTED (WM_APP + 25)
// The first cursor shape is shown: a pointer resting over the view brings the remote
// pointer under it.
#define WM_VIEWER_POINTERHERE (WM_APP + 28)
// Viewer window: the Direct3D presentation window is no longer wanted.
#define WM_VIEWER_DROPPRESENTATION (WM_APP + 27)
// Viewer window: the Direct3D presentation window is laid over it again (shown or hidden).
#define WM_VIEWER_PLACEPRESENTATION (WM_APP + 29)
// Frame window: the active window changed; full screen is topmost while the frame is
// active, and behind the active window otherwise.
#define WM_FRAME_ZORDER (WM_APP + 26)

// Hands a message from another thread to a window of the GUI thread. A full queue (Windows
// keeps at most 10,000 posted messages for a thread) makes PostMessage fail; the message
// then goes as a sent notification, which does not wait in that queue. False when neither
// got through.
inline bool PostToGuiThread(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (!hwnd) return false;
  return PostMessageA(hwnd, msg, wParam, lParam) || SendNotifyMessageA(hwnd, msg, wParam, lParam);
}

// Posted to the frame window after a ServerState message: the toolbar, when shown, is built
// again for what the server now offers.
inline UINT RebuildToolbarMessage() {
  static const UINT message = RegisterWindowMessageA("Brandwyn.Viewer.RebuildToolbar");
  return message;
}

// Timers of the viewer window.
enum ViewerTimer : UINT_PTR {
  kTimerFullUpdate = 2999,  // every 30 s: a full update request
  kTimerKeepAlive = 1011,   // the keep-alive interval
  kTimerIdle = 1012,        // the server's idle interval
  kTimerDormant = 1013,     // every 5 s while idle: one incremental request
  kTimerDirectxCheck = 1016,  // the Direct3D presentation is to be read back again
  kTimerQueuedRequest = 1017,  // update requests that gave way to input go out
};
