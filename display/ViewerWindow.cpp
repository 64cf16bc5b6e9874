// The viewer window: the child of the frame window that shows the framebuffer bitmap, with
// its timers and private messages, and the bitmap itself (a DIB section the decoders write
// into under the framebuffer lock). Everything here runs on the GUI thread, except the
// operations the connection thread calls through the session (each says so).
#include <winsock2.h>
#include <windows.h>
#include <mmsystem.h>
#include <windowsx.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "display/FramebufferDib.h"
#include "display/PointerInputWin32.h"
#include "display/SessionInputHosts.h"
#include "display/ViewerDirectx.h"
#include "display/ViewerMessages.h"
#include "filetransfer/FileTransfer.h"
#include "rdr/Exception.h"
#include "rdr/Sys.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"

namespace {

const char kViewerClass[] = "KEBviewerwindow";
const char kPresentClass[] = "KEBviewerpresent";

// A surface whose presentation differs this many times, half a second apart, is given up
// (a large presentation on a busy machine under Wine can take most of a second to reach
// the screen); one that cannot be judged is kept after this many looks, 300 ms apart.
constexpr int kDirectxDiffersLimit = 5;
constexpr UINT kDirectxDiffersAgainMs = 500;
constexpr int kDirectxInconclusiveLimit = 20;
constexpr UINT kDirectxCheckAgainMs = 300;

// Window handle to the connection (user data, set right after creation).
ClientConnection* ConnectionOf(HWND hwnd) {
  return reinterpret_cast<ClientConnection*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

bool OnGuiThread() { return GetCurrentThreadId() == g_guiThreadId; }

// The cursor over the viewer window by the "localcursor" option.
HCURSOR LocalCursor(int localcursor) {
  HINSTANCE self = GetModuleHandleA(nullptr);
  switch (localcursor) {
    case 0: return LoadCursorA(self, MAKEINTRESOURCEA(IDC_NOCURSOR));
    case 2: return LoadCursorA(nullptr, IDC_ARROW);
    default: return LoadCursorA(self, MAKEINTRESOURCEA(IDC_DOTCURSOR));
  }
}

// The 216 colours of a palette-based screen: six levels of each channel.
HPALETTE MakeColourCubePalette() {
  struct {
    WORD version, count;
    PALETTEENTRY entries[216];
  } pal = {0x300, 216, {}};
  static const BYTE levels[6] = {255, 204, 153, 102, 51, 0};
  int i = 0;
  for (BYTE r : levels)
    for (BYTE g : levels)
      for (BYTE b : levels) pal.entries[i++] = {r, g, b, 0};
  return CreatePalette(reinterpret_cast<LOGPALETTE*>(&pal));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Window

void ClientConnection::CreateDisplayWindow() {
  HINSTANCE self = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = ViewerWndProc;
  wc.hInstance = self;
  wc.hCursor = LocalCursor(m_opts.m_localcursor);
  wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
  wc.lpszClassName = kViewerClass;
  if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw ErrorException("The viewer window class cannot be registered");

  m_hwndcn = CreateWindowExA(0, kViewerClass, "Quillmar Remote", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0,
                             ToolbarHeight(), m_si.framebufferWidth, m_si.framebufferHeight, m_hwndMain, nullptr, self,
                             nullptr);
  if (!m_hwndcn) throw ErrorException("The viewer window cannot be created");
  SetWindowLongPtrA(m_hwndcn, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

  // The Direct3D presentation window: an owned pop-up that never takes the activation,
  // hidden until a surface is the framebuffer. Not disabled: a disabled window swallows
  // the mouse, and what it gets is handed on to the viewer window.
  WNDCLASSEXA pc = {};
  pc.cbSize = sizeof pc;
  pc.lpfnWndProc = PresentWndProc;
  pc.hInstance = self;
  pc.hCursor = wc.hCursor;
  pc.lpszClassName = kPresentClass;
  if (RegisterClassExA(&pc) || GetLastError() == ERROR_CLASS_ALREADY_EXISTS)
    m_hwndPresent = CreateWindowExA(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, kPresentClass, "", WS_POPUP, 0, 0,
                                    m_si.framebufferWidth, m_si.framebufferHeight, m_hwndMain, nullptr, self, nullptr);
  if (m_hwndPresent) SetWindowLongPtrA(m_hwndPresent, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  m_pointerHost.SetWindows(m_hwndMain, m_hwndcn, m_hwndToolbar);
  m_multitouch.SetWindows(m_hwndMain, m_hwndToolbar);
  SetTimer(m_hwndcn, kTimerFullUpdate, 30000, nullptr);
  if (!m_hUpdateRgn) m_hUpdateRgn = CreateRectRgn(0, 0, 0, 0);

  HDC dc = GetDC(m_hwndcn);
  if (dc && (GetDeviceCaps(dc, RASTERCAPS) & RC_PALETTE)) {
    kebLog.Print(3, "Palette-based display - %d entries, %d reserved\n", GetDeviceCaps(dc, SIZEPALETTE),
                 GetDeviceCaps(dc, NUMRESERVED));
    if (!m_hPalette) m_hPalette = MakeColourCubePalette();
  }
  if (dc) ReleaseDC(m_hwndcn, dc);
  BuildSystemMenu();
}

LRESULT CALLBACK ClientConnection::ViewerWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ClientConnection* c = ConnectionOf(hwnd);
  if (!c) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return c->GuardedMessage("Viewer window", &ClientConnection::ViewerMessage, hwnd, msg, wParam, lParam);
}

LRESULT CALLBACK ClientConnection::PresentWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ClientConnection* c = ConnectionOf(hwnd);
  if (!c) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return c->GuardedMessage("Presentation window", &ClientConnection::PresentMessage, hwnd, msg, wParam, lParam);
}

LRESULT ClientConnection::PresentMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  const HWND viewer = m_hwndcn;
  if (!viewer) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_ERASEBKGND: return 1;
    case WM_PAINT:
      // The viewer window presents (under the framebuffer lock, with the painting flag).
      ValidateRect(hwnd, nullptr);
      InvalidateRect(viewer, nullptr, FALSE);
      return 0;

    // The pointer, the wheel and touch reach the viewer window as they would without this
    // window over it: the two client areas lie on each other, so a client point is the
    // same point in both.
    case WM_MOUSEACTIVATE: {
      // The frame decides, as for a click on the viewer window; this window never takes
      // the activation itself.
      const LRESULT r = SendMessageA(viewer, WM_MOUSEACTIVATE, reinterpret_cast<WPARAM>(m_hwndMain), lParam);
      if ((r == MA_ACTIVATE || r == MA_ACTIVATEANDEAT) && GetForegroundWindow() != m_hwndMain)
        SetForegroundWindow(m_hwndMain);
      return r == MA_ACTIVATEANDEAT || r == MA_NOACTIVATEANDEAT ? MA_NOACTIVATEANDEAT : MA_NOACTIVATE;
    }
    case WM_SETCURSOR:
      return SendMessageA(viewer, WM_SETCURSOR, reinterpret_cast<WPARAM>(viewer), lParam);
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
    case WM_MBUTTONDBLCLK:
    case WM_XBUTTONDOWN:
    case WM_XBUTTONUP:
    case WM_XBUTTONDBLCLK: {
      POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
      MapWindowPoints(hwnd, viewer, &p, 1);
      return SendMessageA(viewer, msg, wParam, MAKELPARAM(p.x, p.y));
    }
    case WM_MOUSEWHEEL:
    case WM_MOUSEHWHEEL:
    case WM_TOUCH:
      // Screen coordinates.
      return SendMessageA(viewer, msg, wParam, lParam);
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

void ClientConnection::PlacePresentation(bool restack) {
  if (!m_hwndPresent || !m_hwndcn || !m_hwndMain) return;
  RECT r;
  GetClientRect(m_hwndcn, &r);
  MapWindowPoints(m_hwndcn, nullptr, reinterpret_cast<POINT*>(&r), 2);
  const bool show = m_directxFramebuffer && IsWindowVisible(m_hwndcn) && !IsIconic(m_hwndMain) && !IsRectEmpty(&r);
  const bool shown = IsWindowVisible(m_hwndPresent) != FALSE;
  constexpr UINT kKeep = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_NOOWNERZORDER;
  if (!show) {
    if (shown) SetWindowPos(m_hwndPresent, nullptr, 0, 0, 0, 0, kKeep | SWP_NOZORDER | SWP_HIDEWINDOW);
    return;
  }
  RECT now;
  GetWindowRect(m_hwndPresent, &now);
  if (!EqualRect(&now, &r) || !shown)
    SetWindowPos(m_hwndPresent, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOOWNERZORDER | (shown ? 0 : SWP_SHOWWINDOW));
  if (shown && !restack) return;
  // It belongs right above the frame: under whatever lies over the frame, over the frame.
  // Wine 8 raises a window on the X screen only when a change of place makes it the top
  // shown window, so a frame raised while another window lay above it (this one hidden, a
  // box about to close) stays over this one there, although not in the window list. So it
  // is let go of its owner (which keeps it above itself), put under the frame and then
  // above it: a real change of place, which raises it when nothing else lies above.
  HWND after = GetWindow(m_hwndMain, GW_HWNDPREV);
  if (after == m_hwndPresent) after = GetWindow(after, GW_HWNDPREV);
  SetWindowLongPtrA(m_hwndPresent, GWLP_HWNDPARENT, 0);
  SetWindowPos(m_hwndPresent, m_hwndMain, 0, 0, 0, 0, kKeep);
  SetWindowPos(m_hwndPresent, after ? after : HWND_TOP, 0, 0, 0, 0, kKeep);
  SetWindowLongPtrA(m_hwndPresent, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(m_hwndMain));
}

LRESULT ClientConnection::ViewerMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  KEBOptions& o = m_opts;
  switch (msg) {
    case WM_KEYDOWN:
    case WM_KEYUP:
    case WM_SYSKEYDOWN:
    case WM_SYSKEYUP:
      LeaveDormantMode();
      ProcessKeyMessage(wParam, lParam);
      return 0;
    case WM_MOUSEMOVE:
    case WM_LBUTTONDOWN:
    case WM_LBUTTONUP:
    case WM_RBUTTONDOWN:
    case WM_RBUTTONUP:
    case WM_MBUTTONDOWN:
    case WM_MBUTTONUP:
      LeaveDormantMode();
      if (m_running) {
        // In full screen the pointer at an edge of the screen scrolls the view, and that
        // event goes no further.
        bool edgeScrolled = false;
        if (IsFullScreen()) {
          POINT p = {GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
          MapWindowPoints(hwnd, m_hwndMain, &p, 1);
          edgeScrolled = EdgeScroll(p.x, p.y);
        }
        if (!FilterMouseMessage(m_hwndMain, o, m_multitouch.TouchEnabled(), edgeScrolled) &&
            HandleViewerMouseMessage(m_pointer, msg, wParam, lParam))
          FlushOutputBuffer(true, kInputTimeoutSec);
      }
      return 0;
    case WM_TOUCH: return m_multitouch.OnTouch(hwnd, wParam, lParam, o.m_viewonly);
    case WM_CHAR:
    case WM_DEADCHAR:
    case WM_SYSCHAR:
    case WM_SYSDEADCHAR:
    case WM_SIZING: return 0;

    case WM_TIMER:
      // The held-back requests answer the connection thread, which asks for no other of
      // their kind until they are handled: they never wait for the file-transfer window.
      if (wParam == kTimerQueuedRequest) {
        SendDeferredUpdateRequests();
        return 0;
      }
      // Every timer waits while the file-transfer window is open.
      if (wParam == 0 || (m_pFileTransfer && m_pFileTransfer->Window())) return 0;
      // The input timers keep the pointer logic's own state; each stops itself.
      switch (wParam) {
        case mouse::kThrottleTimer:
          if (m_pointer.SendPendingPointerEvent() && m_running) FlushOutputBuffer(false, 0);
          return 0;
        case mouse::kEmulate3Timer:
          if (m_pointer.Emulate3ButtonsTimer() && m_running) FlushOutputBuffer(true, kInputTimeoutSec);
          return 0;
        case mouse::kRegisterTouchTimer:
          m_multitouch.OnRegisterTouchTimer(hwnd);
          // Touches on the presentation window over it are handed on to it.
          if (m_hwndPresent) RegisterTouchWindow(m_hwndPresent, 0);
          return 0;
        case mouse::kMouseAllowTimer: MultiTouchHandler::OnMouseAllowTimer(hwnd); return 0;
        default: break;
      }
      if (!m_running) return 0;
      switch (wParam) {
        case kTimerFullUpdate: HandleUpdateRequest(kRequestFull); break;
        case kTimerKeepAlive:
          if (o.m_KeepAliveInterval > 0) PostMessageA(hwnd, WM_SENDKEEPALIVE, 0, 0);
          break;
        case kTimerIdle:
          // An idle interval of a minute or more ends the connection; shorter ones make the
          // viewer ask for one incremental update every 5 s until input comes.
          if (std::uint64_t(m_idleInterval.load()) * 1000 >= 60000)
            PostMessageA(m_hwndMain, WM_CLOSE, 0, 0);
          else
            SetTimer(hwnd, kTimerDormant, 5000, nullptr);
          break;
        case kTimerDirectxCheck:
          // A presentation to read back again, once it can be seen.
          KillTimer(hwnd, kTimerDirectxCheck);
          if (!m_directxFramebuffer) break;
          if (m_directx->DeviceWindowCovered())
            SetTimer(hwnd, kTimerDirectxCheck, kDirectxCheckAgainMs, nullptr);
          else
            InvalidateRect(hwnd, nullptr, FALSE);
          break;
        case kTimerDormant:
          kebLog.Print(5, "%s dormant mode\n", "Entering");
          m_dormant = 2;
          if (m_running) SendMessageA(hwnd, WM_REQUESTUPDATE, kRequestIncremental, 0);
          break;
        default: break;
      }
      return 0;

    case WM_SETFOCUS:
      KeepFrameOnTop(true);
      m_keyboard.ResetKeyboard();
      return 0;
    case WM_KILLFOCUS:
      if (!FocusStaysInFrame(reinterpret_cast<HWND>(wParam))) KeepFrameOnTop(false);
      if (!o.m_viewonly) ReleaseHeldKeys();
      return 0;

    case WM_PAINT:
      // A decoder about to lock the Direct3D surface waits while it is presented.
      g_viewerPainting = true;
      try {
        PaintViewerWindow(hwnd);
      } catch (...) {
        g_viewerPainting = false;
        throw;
      }
      g_viewerPainting = false;
      CheckDirectxPresentation();
      return 0;

    case WM_QUERYNEWPALETTE:
      if (m_hPalette) {
        HDC dc = GetDC(hwnd);
        HPALETTE old = SelectPalette(dc, m_hPalette, FALSE);
        RealizePalette(dc);
        InvalidateRect(hwnd, nullptr, FALSE);
        UpdateWindow(hwnd);
        SelectPalette(dc, old, FALSE);
        ReleaseDC(hwnd, dc);
      }
      return 1;
    case WM_PALETTECHANGED:
      if (reinterpret_cast<HWND>(wParam) != hwnd && m_hPalette) {
        HDC dc = GetDC(hwnd);
        HPALETTE old = SelectPalette(dc, m_hPalette, FALSE);
        RealizePalette(dc);
        UpdateColors(dc);
        SelectPalette(dc, old, FALSE);
        ReleaseDC(hwnd, dc);
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);

    case WM_SETCURSOR:
      if (GetFocus() == hwnd) return DefWindowProcA(hwnd, msg, wParam, lParam);
      SetCursor(LocalCursor(o.m_localcursor));
      return TRUE;

    case WM_CLOSE:
      if (m_closingWindows || m_closeBoxOpen) return 0;
      if (lParam == 0 && o.m_ExitCheck) {
        m_closeBoxOpen = true;
        const int answer =
            MessageBoxA(hwnd, "Are you sure you want to exit?", "Closing Quillmar Remote",
                        MB_YESNO | MB_ICONQUESTION | MB_SETFOREGROUND | MB_TOPMOST | MB_SYSTEMMODAL);
        m_closeBoxOpen = false;
        if (answer == IDNO) return 0;
      }
      if (lParam == 0 && CloseSideWindowsFirst(0, 0)) return 0;
      ShowWindow(hwnd, SW_HIDE);
      CloseConnection();
      DestroyWindow(hwnd);
      return 0;

    case WM_DESTROY:
      LeaveClipboardChain();
      m_multitouch.UnregisterTouch(hwnd);
      m_pointer.StopTimers();
      KillTimer(hwnd, kTimerIdle);
      KillTimer(hwnd, kTimerDormant);
      KillTimer(hwnd, kTimerDirectxCheck);
      return 0;

    case WM_VIEWER_SETSCALE:
      if (wParam == 1 && lParam == 1) {
        o.m_Scaling = false;
      } else if (wParam > 0 && lParam > 0) {
        o.m_Scaling = true;
        o.m_scale_num = static_cast<int>(wParam);
        o.m_scale_den = static_cast<int>(lParam);
      }
      SizeWindow(true, false);
      InvalidateRect(hwnd, nullptr, TRUE);
      return 1;
    case WM_VIEWER_SETVIEWONLY:
      // The server learns what the clipboard accepts now.
      if (o.m_viewonly != (wParam == 1)) {
        o.m_viewonly = wParam == 1;
        SetWindowTitle();
        SendClipboardCaps(false);
      }
      return 1;
    case WM_VIEWER_GETSIZE: {
      std::uint32_t w, h;
      {
        std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
        w = m_si.framebufferWidth;
        h = m_si.framebufferHeight;
      }
      SendMessageA(reinterpret_cast<HWND>(wParam), WM_VIEWER_GETSIZE, (h << 16) | w, lParam);
      return 1;
    }

    case WM_REQUESTUPDATE:
      if (lParam == kQueuedUpdateRequest)
        QueuedUpdateRequestMessage(static_cast<std::uint32_t>(wParam));
      else
        HandleUpdateRequestMessage(wParam);
      return 0;
    case WM_SENDCLIPBOARDCAPS: SendClipboardCaps(false); return 0;
    case WM_UPDATEREMOTECLIPBOARD: UpdateRemoteClipboard(static_cast<std::uint32_t>(wParam)); return 0;
    case WM_DRAWCLIPBOARD: HandleClipboardChange(); return 0;
    case WM_CHANGECBCHAIN:
      HandleClipboardChainChange(reinterpret_cast<HWND>(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_SENDSTREAMINGACK: {
      const std::uint8_t ack[4] = {80, 0, 0, 0};
      WriteMessage(ack, sizeof ack, 80);
      m_fPluginStreamingOut = true;
      return 0;
    }
    case WM_SENDKEEPALIVE: SendKeepAlive(wParam == 1); return 0;

    case WM_SIZE:
    case WM_MOVE: PlacePresentation(false); return 0;
    case WM_VIEWER_PLACEPRESENTATION: PlacePresentation(wParam != 0); return 0;
    case WM_SHOWWINDOW:
      // Shown or hidden once this message is over.
      PostMessageA(hwnd, WM_VIEWER_PLACEPRESENTATION, 0, 0);
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_VIEWER_DROPPRESENTATION:
      if (m_hwndPresent && !m_directxFramebuffer) {
        DestroyWindow(m_hwndPresent);
        m_hwndPresent = nullptr;
        InvalidateRect(hwnd, nullptr, FALSE);
      }
      return 0;
    case WM_VIEWER_TIMER: SetViewerTimer(wParam, static_cast<std::uint32_t>(lParam)); return 0;
    case WM_VIEWER_RESIZED:
      SizeWindow(true, false);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_VIEWER_STARTED:
      SizeWindow(true, false);
      ApplyFullScreenMode();
      if (!IsFullScreen()) SizeWindow(true, false);
      InvalidateRect(hwnd, nullptr, FALSE);
      UpdateWindow(hwnd);
      return 0;
    case WM_VIEWER_RECONNECTED:
      SetWindowTitle();
      SizeWindow(true, false);
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_VIEWER_DESKTOPRECT:
      // The frame is sized for the framebuffer, then the view moves to the rectangle.
      SizeWindow(true, false);
      ScrollScreen(static_cast<int>(wParam), static_cast<int>(lParam), true);
      return 0;
    case WM_VIEWER_POINTERHERE: {
      // The pointer resting over the view moves the remote pointer there, as a move of the
      // mouse would (the same road, with its filters: view-only, focus, throttling).
      POINT p;
      if (!GetCursorPos(&p) || WindowFromPoint(p) != hwnd || !ScreenToClient(hwnd, &p)) return 0;
      WPARAM keys = 0;
      if (GetKeyState(VK_LBUTTON) < 0) keys |= MK_LBUTTON;
      if (GetKeyState(VK_MBUTTON) < 0) keys |= MK_MBUTTON;
      if (GetKeyState(VK_RBUTTON) < 0) keys |= MK_RBUTTON;
      if (GetKeyState(VK_SHIFT) < 0) keys |= MK_SHIFT;
      if (GetKeyState(VK_CONTROL) < 0) keys |= MK_CONTROL;
      return ViewerMessage(hwnd, WM_MOUSEMOVE, keys, MAKELPARAM(p.x, p.y));
    }
    case WM_VIEWER_ASKCHOICE:
      if (m_closing) return 0;
      return AskChoiceHere(*reinterpret_cast<const ChoicePrompt*>(wParam), reinterpret_cast<bool*>(lParam)) ? 1 : 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

void ClientConnection::QueuedUpdateRequestMessage(std::uint32_t kind) {
  if (HIWORD(GetQueueStatus(QS_INPUT)) != 0 && SetTimer(m_hwndcn, kTimerQueuedRequest, USER_TIMER_MINIMUM, nullptr)) {
    m_deferredRequests.push_back(kind);
    return;
  }
  HandleQueuedUpdateRequest(kind);
}

void ClientConnection::SendDeferredUpdateRequests() {
  KillTimer(m_hwndcn, kTimerQueuedRequest);
  std::vector<std::uint32_t> kinds;
  kinds.swap(m_deferredRequests);
  for (std::uint32_t kind : kinds) HandleQueuedUpdateRequest(kind);
}

void ClientConnection::HandleUpdateRequestMessage(WPARAM wParam) {
  // Requests travel as 32-bit kinds: -1 from a 64-bit WPARAM is 0xFFFFFFFF too.
  HandleUpdateRequest(static_cast<std::uint32_t>(wParam));
}

// ---------------------------------------------------------------------------------------
// Keyboard (viewer and frame window)

void ClientConnection::ProcessKeyMessage(WPARAM wParam, LPARAM lParam) {
  if (!m_running || m_opts.m_viewonly) return;
  m_keyboard.ProcessKeyEvent(wParam, lParam, m_opts.m_JapKeyboard);
  FlushOutputBuffer(true, kInputTimeoutSec);
}

void ClientConnection::ReleaseHeldKeys() {
  // Only into a running connection: one that has ended (or is being made again) takes no
  // key events, and none may wait in its buffer for the next one.
  if (!m_running) return;
  m_keyboard.ReleaseAllKeys();
  FlushOutputBuffer(true, kInputTimeoutSec);
}

void ClientConnection::LeaveDormantMode() {
  if (m_idleInterval == 0) return;
  KillTimer(m_hwndcn, kTimerDormant);
  SetViewerTimer(kTimerIdle, static_cast<std::uint32_t>(
                                 std::min<std::uint64_t>(std::uint64_t(m_idleInterval.load()) * 1000, kMaxTimerMs)));
  kebLog.Print(5, "%s dormant mode\n", "Leaving");
  m_dormant = 0;
  if (m_running) SendMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestIncremental, 0);
}

// ---------------------------------------------------------------------------------------
// Timers: started and stopped on the GUI thread, which owns the window

void ClientConnection::SetViewerTimer(UINT_PTR id, std::uint32_t ms) {
  if (!m_hwndcn) return;
  if (!OnGuiThread()) {
    PostToGuiThread(m_hwndcn, WM_VIEWER_TIMER, id, static_cast<LPARAM>(ms));
    return;
  }
  if (id == kTimerIdle) KillTimer(m_hwndcn, kTimerDormant);
  KillTimer(m_hwndcn, id);
  if (ms > 0) SetTimer(m_hwndcn, id, std::min<std::uint32_t>(ms, kMaxTimerMs), nullptr);
}

void ClientConnection::SetKeepAliveTimer(int ms) { SetViewerTimer(kTimerKeepAlive, ms > 0 ? ms : 0); }
void ClientConnection::SetIdleTimer(std::uint32_t ms) { SetViewerTimer(kTimerIdle, ms); }

// ---------------------------------------------------------------------------------------
// What the connection thread asks of the windows

bool ClientConnection::PostUpdateRequest(std::uint32_t kind, bool wait) {
  if (!m_hwndcn) return true;  // no window yet: nothing to ask
  if (wait) {
    SendMessageA(m_hwndcn, WM_REQUESTUPDATE, kind, 0);
    return true;
  }
  return PostToGuiThread(m_hwndcn, WM_REQUESTUPDATE, kind, kQueuedUpdateRequest);
}

void ClientConnection::FramebufferResized() { PostToGuiThread(m_hwndcn, WM_VIEWER_RESIZED, 0, 0); }
void ClientConnection::ShowDesktopRect() {
  PostToGuiThread(m_hwndcn, WM_VIEWER_DESKTOPRECT, static_cast<WPARAM>(m_desktopRect.x),
                  static_cast<LPARAM>(m_desktopRect.y));
}
void ClientConnection::ConnectionThreadStarted() { PostToGuiThread(m_hwndcn, WM_VIEWER_STARTED, 0, 0); }
void ClientConnection::PostStreamingAck() { PostToGuiThread(m_hwndcn, WM_SENDSTREAMINGACK, 0, 0); }

void ClientConnection::ServerStateChanged() {
  PostToGuiThread(m_hwndMain, RebuildToolbarMessage(), 0, 0);
}

void ClientConnection::Bell() {
  if (!PlaySoundA("KEBViewerBell", nullptr, SND_ALIAS | SND_ASYNC | SND_NODEFAULT)) Beep(440, 125);
  if (m_opts.m_belldeiconify && IsIconic(m_hwndMain)) {
    kebLog.Print(5, "%s dormant mode\n", "Leaving");
    m_dormant = 0;
    if (m_running) QueueUpdateRequest(kRequestIncremental);
    ShowWindowAsync(m_hwndMain, SW_SHOWNORMAL);
  }
}

void ClientConnection::Reconnected() { PostToGuiThread(m_hwndcn, WM_VIEWER_RECONNECTED, 0, 0); }

void ClientConnection::ReadGiiMessage() { m_multitouch.HandleGiiMessage(m_hwndcn, m_typeByteConsumed == 0); }

bool ClientConnection::ConnectionLost(int attemptsLeft, const char* warning) {
  {
    std::lock_guard<std::mutex> g(m_lostLock);
    m_lostWarning = warning ? warning : "";
  }
  return PostToGuiThread(m_hwndMain, WM_CLOSE, static_cast<WPARAM>(attemptsLeft), 1);
}

RfbSession::MonitorLayout ClientConnection::LocalMonitorLayout() {
  // The connection thread asks: a table of its own, the frame's is the GUI thread's.
  MonitorTable table;
  MonitorLayout layout;
  for (const monitors::ServerRect& r : monitors::MonitorsForServer(table.Entries(), table.Count()))
    layout.monitors.push_back({r.x, r.y, r.width, r.height});
  const monitors::ServerRect all = monitors::VirtualScreenForServer(table.Entries());
  layout.table = {all.x, all.y, all.width, all.height};
  layout.headerA = static_cast<std::uint16_t>(layout.monitors.size());
  return layout;
}

// ---------------------------------------------------------------------------------------
// Update region and repaints (connection thread)

RECT ClientConnection::FramebufferToWindow(int x, int y, int w, int h) const {
  long long left = x, top = y, right = static_cast<long long>(x) + w, bottom = static_cast<long long>(y) + h;
  const PointerView view = SessionPointerView(*this, FrameViewArea(m_hwndMain, m_hwndToolbar));
  if (view.fitted) {
    // The stretched picture: whole window pixels around the rectangle, and one more each
    // way for the smoothing of the stretch.
    const long long fw = std::max(1, view.framebufferWidth), fh = std::max(1, view.framebufferHeight);
    RECT r;
    r.left = static_cast<LONG>(left * view.fitWidth / fw - 1);
    r.top = static_cast<LONG>(top * view.fitHeight / fh - 1);
    r.right = static_cast<LONG>((right * view.fitWidth + fw - 1) / fw + 1);
    r.bottom = static_cast<LONG>((bottom * view.fitHeight + fh - 1) / fh + 1);
    return r;
  }
  if (m_opts.m_Scaling && m_opts.m_scale_num > 0 && m_opts.m_scale_den > 0) {
    const long long num = m_opts.m_scale_num, den = m_opts.m_scale_den;
    left = left / den * den * num / den;
    top = top / den * den * num / den;
    right = (right + den - 1) / den * den * num / den;
    bottom = (bottom + den - 1) / den * den * num / den;
  }
  RECT r;
  r.left = static_cast<LONG>(left - m_hScrollPos);
  r.top = static_cast<LONG>(top - m_vScrollPos);
  r.right = static_cast<LONG>(right - m_hScrollPos);
  r.bottom = static_cast<LONG>(bottom - m_vScrollPos);
  return r;
}

namespace {

void AddToRegion(HRGN region, const RECT& r) {
  HRGN piece = CreateRectRgnIndirect(&r);
  if (!piece) return;
  CombineRgn(region, region, piece, RGN_OR);
  DeleteObject(piece);
}

// How long the next update waits for the paint of the last one.
constexpr int kPaintWaitMs = 50;

}  // namespace

void ClientConnection::AddRectToUpdateRegion(int x, int y, int w, int h) {
  // A Direct3D surface is presented whole after each update.
  if (!m_hUpdateRgn || w <= 0 || h <= 0 || m_directxFramebuffer) return;
  AddToRegion(m_hUpdateRgn, FramebufferToWindow(x, y, w, h));
}

void ClientConnection::UpdateStarting() {
  // The last update's paint goes first: once this update's pixels are being written it
  // would be held until the end, and the last update would never be seen. Nothing is
  // waited for when the window has nothing to paint (hidden, minimised, covered).
  if (m_hwndcn) {
    m_painted.Reset();
    bool owed;
    {
      std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
      owed = m_paintOwed;
    }
    if (owed && GetUpdateRect(m_hwndcn, nullptr, FALSE)) m_painted.Wait(kPaintWaitMs);
  }
  std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
  m_updateInProgress = true;
  m_updateStartMs = rdr::GetTimeMicroseconds() / 1000;
}

void ClientConnection::InvalidateUpdateRegion() {
  if (!m_hUpdateRgn) return;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    m_updateInProgress = false;
    if (m_paintHeld) AddToRegion(m_hUpdateRgn, m_heldPaint);
    m_paintHeld = false;
  }
  // One invalidation for the whole update (none for an empty one in the GDI view: it would
  // change nothing and cost a call to the window system).
  RECT box;
  if (m_directxFramebuffer || GetRgnBox(m_hUpdateRgn, &box) != NULLREGION) {
    {
      std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
      m_paintOwed = true;
    }
    if (m_directxFramebuffer)
      InvalidateRect(m_hwndcn, nullptr, FALSE);
    else
      InvalidateRgn(m_hwndcn, m_hUpdateRgn, FALSE);
  }
  SetRectRgn(m_hUpdateRgn, 0, 0, 0, 0);
}

void ClientConnection::InvalidateScreenRect(int x, int y, int w, int h) {
  if (!m_hwndcn || w <= 0 || h <= 0) return;
  // While the connection thread writes an update, what it repaints joins the update's
  // region (the caller holds the framebuffer lock, which guards the flag); a Direct3D
  // surface is presented whole at the update's end anyway.
  if (m_updateInProgress && !OnGuiThread()) {
    if (!m_directxFramebuffer) AddRectToUpdateRegion(x, y, w, h);
    return;
  }
  if (m_directxFramebuffer) {
    InvalidateRect(m_hwndcn, nullptr, FALSE);
    return;
  }
  RECT r = FramebufferToWindow(x, y, w, h);
  InvalidateRect(m_hwndcn, &r, FALSE);
}

bool ClientConnection::HoldPaint(const RECT& area) {
  if (!m_updateInProgress || rdr::GetTimeMicroseconds() / 1000 - m_updateStartMs >= kLongestHeldPaintMs) return false;
  if (m_paintHeld)
    UnionRect(&m_heldPaint, &m_heldPaint, &area);
  else
    m_heldPaint = area;
  m_paintHeld = true;
  return true;
}

void ClientConnection::CursorShapeArrived() { PostToGuiThread(m_hwndcn, WM_VIEWER_POINTERHERE, 0, 0); }

// ---------------------------------------------------------------------------------------
// Framebuffer bitmap

Framebuffer ClientConnection::CurrentFramebuffer() {
  if (m_directxFramebuffer) {
    // A presentation unlocks the surface between two rectangles: locked again here.
    m_fb.bits = static_cast<std::uint8_t*>(m_directx->CurrentBits());
    if (m_fb.bits) m_fb.stride = static_cast<std::size_t>(m_directx->Pitch());
  }
  return m_fb;
}

void ClientConnection::ReleaseLocalFramebuffer() {
  if (m_directxFramebuffer) {
    m_directx->ReleaseDevice();
    m_directxFramebuffer = false;
    // Either thread may get here: the window is hidden by a message, not a wait.
    if (m_hwndPresent) ShowWindowAsync(m_hwndPresent, SW_HIDE);
  }
  if (m_hBitmapDC) {
    if (m_hOldBitmap) SelectObject(m_hBitmapDC, m_hOldBitmap);
    DeleteDC(m_hBitmapDC);
  }
  if (m_hBitmap) DeleteObject(m_hBitmap);
  m_hBitmapDC = nullptr;
  m_hBitmap = nullptr;
  m_hOldBitmap = nullptr;
  m_bits = nullptr;
  m_cacheBits.reset();
  m_fb = Framebuffer();
}

void ClientConnection::FillFramebufferGrey() {
  // Mid grey (every byte 128) until the first update.
  const std::size_t row = static_cast<std::size_t>(m_fb.width) * m_fb.bytesPerPixel;
  if (m_fb.bits)
    for (int y = 0; y < m_fb.height; y++) std::memset(m_fb.bits + y * m_fb.stride, 128, row);
}

void ClientConnection::CreateLocalFramebuffer() {
  std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
  ReleaseLocalFramebuffer();

  const int width = std::max<int>(1, m_si.framebufferWidth), height = std::max<int>(1, m_si.framebufferHeight);
  if (AdoptDirectxSurface(width, height)) return;

  const PixelFormat pf = m_myFormat;
  const int bpp = pf.bitsPerPixel;
  const std::size_t stride = Framebuffer::StrideFor(width, bpp / 8);
  HDC windowDC = GetDC(m_hwndcn);
  m_hBitmapDC = CreateCompatibleDC(windowDC);
  if (windowDC) ReleaseDC(m_hwndcn, windowDC);
  void* bits = nullptr;
  m_hBitmap = CreateFramebufferDib(m_hBitmapDC, pf, width, height, &bits);
  if (!m_hBitmap) {
    kebLog.Print(0, "CreateDIBSection failed\n");
    ReleaseLocalFramebuffer();
    throw ErrorException("CreateDIBSection failed");
  }
  m_hOldBitmap = SelectObject(m_hBitmapDC, m_hBitmap);
  m_bits = static_cast<std::uint8_t*>(bits);

  if (m_opts.m_EnableCache) {
    m_cacheBits.reset(new std::uint8_t[stride * height]());
    kebLog.Print(0, "Cache: Cache buffer bitmap creation\n");
  }

  m_fb.bits = m_bits;
  m_fb.cache = m_cacheBits.get();
  m_fb.width = width;
  m_fb.height = height;
  m_fb.stride = stride;
  m_fb.bytesPerPixel = bpp / 8;
  m_fb.format = pf;
  FillFramebufferGrey();
}

// ---------------------------------------------------------------------------------------
// Direct3D as the framebuffer

bool ClientConnection::FittedView() const { return m_opts.m_directx && !m_opts.m_showExtend; }

bool ClientConnection::AdoptDirectxSurface(int width, int height) {
  const PixelFormat pf = m_myFormat;
  if (!FittedView() || m_directxRefused || !m_hwndPresent || (pf.bitsPerPixel != 16 && pf.bitsPerPixel != 32))
    return false;
  if (!m_directx || !m_directx->Loaded()) return false;
  if (m_directx->CreateSurface(m_hwndPresent, m_hwndMain, width, height, false, pf.bitsPerPixel, pf.redShift) !=
      S_OK) {
    kebLog.Print(2, "Direct3D: no surface for a %d x %d framebuffer at %d bits per pixel; GDI draws it\n", width,
                 height, pf.bitsPerPixel);
    m_directx->ReleaseDevice();
    return false;
  }
  const directx::SurfaceLayout layout = m_directx->Layout();
  auto* bits = layout.bitsPerPixel == pf.bitsPerPixel ? static_cast<std::uint8_t*>(m_directx->CurrentBits()) : nullptr;
  const int pitch = m_directx->Pitch();
  if (!bits || pitch < width * (pf.bitsPerPixel / 8)) {
    kebLog.Print(2, "Direct3D: the surface (%d bits per pixel) cannot hold the framebuffer; GDI draws it\n",
                 layout.bitsPerPixel);
    m_directx->ReleaseDevice();
    return false;
  }
  // The surface's pixels mean what its format says: the session takes that format, and
  // the server hears of it when it is not the one in use.
  const PixelFormat surfaceFormat = directx::FormatOfSurface(pf, layout);
  const bool follow = !directx::SamePixelMeaning(pf, surfaceFormat);
  m_myFormat = surfaceFormat;

  m_fb.bits = bits;
  m_fb.width = width;
  m_fb.height = height;
  m_fb.stride = static_cast<std::size_t>(pitch);
  m_fb.bytesPerPixel = pf.bitsPerPixel / 8;
  m_fb.format = surfaceFormat;
  if (m_opts.m_EnableCache) {
    m_cacheBits.reset(new std::uint8_t[m_fb.stride * height]());
    kebLog.Print(0, "Cache: Cache buffer bitmap creation\n");
  }
  m_fb.cache = m_cacheBits.get();
  FillFramebufferGrey();
  m_directxFramebuffer = true;
  m_directxChecked = false;
  m_directxChecks = 0;
  // Either thread may get here: the window is laid over the view by a message.
  PostMessageA(m_hwndcn, WM_VIEWER_PLACEPRESENTATION, 0, 0);
  kebLog.Print(2, "Direct3D: the framebuffer is a %d x %d surface of %d bits per pixel (pitch %d)\n", width, height,
               layout.bitsPerPixel, pitch);
  if (follow && m_sock.load() != rdr::kInvalidSocket) {
    kebLog.Print(2, "Direct3D: the session's pixel format follows the surface's (shifts %d, %d, %d)\n",
                 surfaceFormat.redShift, surfaceFormat.greenShift, surfaceFormat.blueShift);
    SendFormatAndEncodings();
    // What was asked for in the old format is asked for again.
    if (m_threadStarted) QueueUpdateRequest(kRequestFull);
  }
  return true;
}

void ClientConnection::LockFramebufferForUpdate() {
  if (!m_directxFramebuffer) return;
  m_directx->LockForUpdate(nullptr);
  if (!m_directx->TakeRecreated()) return;
  // A lost device was made again: its new surface holds nothing of the picture.
  bool sameLayout;
  {
    std::lock_guard<std::recursive_mutex> lock(m_bitmapLock);
    if (!m_directxFramebuffer) return;
    const directx::SurfaceLayout l = m_directx->Layout();
    sameLayout = l.bitsPerPixel == m_fb.format.bitsPerPixel &&
                 directx::SamePixelMeaning(directx::FormatOfSurface(m_fb.format, l), m_fb.format);
    if (sameLayout) {
      m_fb = CurrentFramebuffer();
      FillFramebufferGrey();
    }
  }
  if (!sameLayout) {
    LeaveDirectx("the new surface has another format");
    return;
  }
  kebLog.Print(2, "Direct3D: device and surface made again; a full update is requested\n");
  QueueUpdateRequest(kRequestFull);
}

void ClientConnection::CheckDirectxPresentation() {
  if (!m_directxFramebuffer) return;
  // A device made again (a lost one, a reset) shows its picture anew: it is looked at anew.
  const unsigned generation = m_directx->Generation();
  if (generation != m_directxCheckedGeneration) {
    m_directxCheckedGeneration = generation;
    m_directxChecked = false;
    m_directxChecks = 0;
  }
  if (m_directxChecked) return;
  directx::PresentationCheck c;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    if (!m_directxFramebuffer) return;
    c = m_directx->CheckPresentation();
  }
  if (c.covered) {
    // Most of the picture under other windows, or not wholly on the screen, or minimised:
    // nothing to judge by. It is looked at again once it can be seen.
    kebLog.Print(8, "Direct3D: the presentation window is covered; checked when it is not\n");
    SetTimer(m_hwndcn, kTimerDirectxCheck, kDirectxCheckAgainMs, nullptr);
    return;
  }
  m_directxChecks++;
  kebLog.Print(8, "Direct3D: presentation check %d: %d of %d points match%s\n", m_directxChecks, c.matching,
               c.samples, c.unreadable ? " (the window cannot be read)" : "");
  switch (c.verdict) {
    case directx::Verdict::Matches:
      m_directxChecked = true;
      kebLog.Print(2, "Direct3D: the window shows the framebuffer (%d of %d points)\n", c.matching, c.samples);
      return;
    case directx::Verdict::Differs:
      // A picture that cannot be read now never can; one that differs may not have
      // reached the window yet and is looked at again.
      if (c.unreadable) {
        LeaveDirectx("what the window shows cannot be read back");
        return;
      }
      if (m_directxChecks >= kDirectxDiffersLimit) {
        char why[96];
        std::snprintf(why, sizeof why, "the window does not show it (%d of %d points match)", c.matching, c.samples);
        LeaveDirectx(why);
        return;
      }
      // The window may also lie under the frame on the X screen (Wine raises it only with
      // a change of place): it is put above the frame again before the next look.
      PlacePresentation(true);
      SetTimer(m_hwndcn, kTimerDirectxCheck, kDirectxDiffersAgainMs, nullptr);
      return;
    case directx::Verdict::Inconclusive:
      if (m_directxChecks >= kDirectxInconclusiveLimit) {
        m_directxChecked = true;
        kebLog.Print(2, "Direct3D: what the window shows could not be compared with the framebuffer\n");
        return;
      }
      break;
  }
  SetTimer(m_hwndcn, kTimerDirectxCheck, kDirectxCheckAgainMs, nullptr);
}

void ClientConnection::LeaveDirectx(const char* why) {
  kebLog.Print(0, "Direct3D: %s; GDI draws the framebuffer from now on\n", why);
  {
    std::lock_guard<std::recursive_mutex> lock(m_bitmapLock);
    m_directxRefused = true;
    if (!m_directxFramebuffer) return;
    m_decoder.cursor.FramebufferRebuilt();
    CreateLocalFramebuffer();
    // Nothing of Direct3D is used again in this connection.
    m_directx->Unload();
  }
  // The presentation window goes for good.
  if (m_hwndcn) PostMessageA(m_hwndcn, WM_VIEWER_DROPPRESENTATION, 0, 0);
  if (m_threadStarted) QueueUpdateRequest(kRequestFull);
}

void ClientConnection::PresentationChanged() {
  const bool wantSurface = FittedView() && !m_directxRefused;
  // The framebuffer is made again with the next update request.
  if (wantSurface != m_directxFramebuffer.load()) {
    m_pendingFormatChange = true;
    if (m_running && m_hwndcn) PostMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestNewFormat, 0);
  }
  LayoutView();
  if (m_hwndcn) InvalidateRect(m_hwndcn, nullptr, TRUE);
}

// ---------------------------------------------------------------------------------------
// Painting

void ClientConnection::PaintViewerWindow(HWND hwnd) {
  // The fitted view paints the update region rectangle by rectangle: it is read before
  // BeginPaint empties it.
  HRGN update = nullptr;
  if (FittedView() && !m_directxFramebuffer) {
    update = CreateRectRgn(0, 0, 0, 0);
    if (update && GetUpdateRgn(hwnd, update, FALSE) == ERROR) {
      DeleteObject(update);
      update = nullptr;
    }
  }
  struct RegionOwner {
    HRGN& region;
    ~RegionOwner() {
      if (region) DeleteObject(region);
    }
  } owner{update};
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  const RECT& r = ps.rcPaint;
  // The paint of an area that an update is being written to waits for its end.
  auto held = [&] {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    return HoldPaint(r);
  };
  if (!m_running || held()) {
    EndPaint(hwnd, &ps);
    m_painted.Set();
    return;
  }
  {
    // The connection thread may replace the bitmap (a new size or format), and a Direct3D
    // surface is presented between two rectangles: under the framebuffer lock, which no
    // resize path holds while it waits for this thread. Under the same lock no update can
    // start writing while the picture is copied.
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    if (m_directxFramebuffer) {
      if (!HoldPaint(r)) {
        m_paintOwed = false;
        m_directx->Present();
      }
      EndPaint(hwnd, &ps);
      m_painted.Set();
      return;
    }
  }
  if (m_opts.m_delay > 0) {
    FillRect(dc, &r, GetSysColorBrush(COLOR_DESKTOP));
    Sleep(static_cast<DWORD>(m_opts.m_delay));
  }
  HPALETTE oldPalette = m_hPalette ? SelectPalette(dc, m_hPalette, FALSE) : nullptr;
  if (m_hPalette) RealizePalette(dc);
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    // The pointer maps the window to the framebuffer by the same view.
    const PointerView view = SessionPointerView(*this, FrameViewArea(m_hwndMain, m_hwndToolbar));
    const bool show = m_hBitmapDC && !HoldPaint(r);
    if (show) m_paintOwed = false;
    if (show && view.fitted) {
      // What has to be painted, rectangle by rectangle (the paint's own rectangle when the
      // region could not be read).
      if (!update) update = CreateRectRgnIndirect(&r);
      if (update) PaintFittedView(dc, update, m_hBitmapDC, view);
    } else if (show) {
      const int w = r.right - r.left, h = r.bottom - r.top;
      const int num = m_opts.m_scale_num > 0 ? m_opts.m_scale_num : 1;
      const int den = m_opts.m_scale_den > 0 ? m_opts.m_scale_den : 1;
      if (!m_opts.m_Scaling) {
        BitBlt(dc, r.left, r.top, w, h, m_hBitmapDC, r.left + m_hScrollPos, r.top + m_vScrollPos, SRCCOPY);
      } else {
        SetStretchBltMode(dc, num % den ? HALFTONE : BLACKONWHITE);
        SetBrushOrgEx(dc, 0, 0, nullptr);
        const long long sx = static_cast<long long>(den) * (r.left + m_hScrollPos) / num;
        const long long sy = static_cast<long long>(den) * (r.top + m_vScrollPos) / num;
        StretchBlt(dc, r.left, r.top, w, h, m_hBitmapDC, static_cast<int>(sx), static_cast<int>(sy),
                   static_cast<int>(static_cast<long long>(w) * den / num),
                   static_cast<int>(static_cast<long long>(h) * den / num), SRCCOPY);
      }
    }
  }
  if (oldPalette) SelectPalette(dc, oldPalette, FALSE);
  EndPaint(hwnd, &ps);
  m_painted.Set();
}
