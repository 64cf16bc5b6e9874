// Full screen: the frame without caption and border covering its monitor (or the virtual
// screen with monitor spanning) as a topmost window, the title bar above it, the way back
// to the windowed frame with its toolbar setting and rectangle, and edge scrolling.
#include <winsock2.h>
#include <windows.h>

#include "app/KEBOptions.h"
#include "app/Log.h"
#include "display/FrameCommands.h"
#include "display/TitleBarLayout.h"
#include "display/ViewerMessages.h"
#include "session/ClientConnection.h"

void ClientConnection::SetFullScreenMode(bool on) {
  if (!m_hwndMain) {
    m_opts.m_fullscreen = on;
    return;
  }
  if (on != m_opts.m_fullscreen) m_autoScaled = false;
  if (on) {
    if (m_fullScreenRealised) {
      ApplyFullScreenMode();
      return;
    }
    m_savedShowToolbar = m_opts.m_showtoolbar ? 1 : 0;
    m_opts.m_showtoolbar = false;
    if (!IsIconic(m_hwndMain) && GetWindowRect(m_hwndMain, &m_restoreRect)) m_restoreRectSet = true;
    m_savedScroll = POINT{m_hScrollPos, m_vScrollPos};
    m_savedScrollSet = true;
    m_fullScreenSwitching = true;
    m_opts.m_fullscreen = true;
    SizeWindow(true, true);
    m_fullScreenSwitching = false;
    ApplyFullScreenMode();
  } else {
    if (m_savedShowToolbar != -1) {
      m_opts.m_showtoolbar = m_savedShowToolbar != 0;
      m_savedShowToolbar = -1;
    }
    m_opts.m_fullscreen = false;
    SizeWindow(true, false);
    ApplyFullScreenMode();
    if (m_savedScrollSet) {
      m_savedScrollSet = false;
      ScrollScreen(m_savedScroll.x, m_savedScroll.y, true);
    }
  }
  if (m_running && m_hwndcn) PostMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestFull, 0);
  RedrawWindow(m_hwndMain, nullptr, nullptr, RDW_FRAME | RDW_INVALIDATE);
  if (!on) SizeWindow(true, FittedView());
}

void ClientConnection::ApplyFullScreenMode() {
  if (!m_hwndMain) return;
  HMENU sys = GetSystemMenu(m_hwndMain, FALSE);
  if (m_opts.m_fullscreen) {
    // Started in full screen: the windowed rectangle the frame was given is the way back.
    if (!m_fullScreenRealised && !m_restoreRectSet && !IsIconic(m_hwndMain) &&
        GetWindowRect(m_hwndMain, &m_restoreRect))
      m_restoreRectSet = true;
    m_fullScreenRealised = true;
    LONG_PTR style = GetWindowLongPtrA(m_hwndMain, GWL_STYLE);
    style = (style & ~static_cast<LONG_PTR>(WS_CAPTION | WS_THICKFRAME)) | WS_POPUP | WS_MAXIMIZE;
    SetWindowLongPtrA(m_hwndMain, GWL_STYLE, style);

    // The frame's monitor, or with spanning every monitor (the virtual screen, entry 0). A
    // server told of every monitor lays its desktop out from the virtual screen's corner,
    // so the frame spans them too, and from that corner.
    const monitors::Entry& monitor = m_monitors.Entry(FrameMonitorIndex());
    const monitors::Entry& all = m_monitors.Entry(0);
    const fullscreen::Rect cover = fullscreen::CoverRect(
        fullscreen::Rect{monitor.x, monitor.y, monitor.x + monitor.width, monitor.y + monitor.height},
        fullscreen::Rect{all.x, all.y, all.x + all.width, all.y + all.height},
        m_opts.m_allowMonitorSpanning || m_opts.m_useAllMonitors, m_opts.m_showExtend);
    SetWindowPos(m_hwndMain, nullptr, cover.left, cover.top, cover.right - cover.left, cover.bottom - cover.top,
                 SWP_FRAMECHANGED | SWP_NOZORDER);
    m_titleBar.Init(GetModuleHandleA(nullptr), m_hwndMain, false);
    const RECT monitorRect = {monitor.x, monitor.y, monitor.x + monitor.width, monitor.y + monitor.height};
    m_titleBar.MoveToMonitor(&monitorRect);
    m_titleBar.SetOneToOne(!FittedView());
    if (sys) CheckMenuItem(sys, framecmd::kFullScreen, MF_BYCOMMAND | MF_CHECKED);
    // The view below the toolbar when it is on, else over the whole frame (the toolbar
    // hidden): the layout of a full-screen frame does both.
    LayoutView();
    m_titleBar.SetText(m_opts.m_viewonly ? m_desktopNameViewOnly : m_desktopName);
    m_titleBar.DisplayWindow(true);
    // Above every other window only while it is the active one.
    KeepFrameOnTop(GetForegroundWindow() == m_hwndMain);
    return;
  }
  if (!m_fullScreenRealised) return;
  m_fullScreenRealised = false;
  LayoutView();
  ShowWindow(m_hwndMain, SW_SHOWNORMAL);
  LONG_PTR style = GetWindowLongPtrA(m_hwndMain, GWL_STYLE);
  style = (style & ~static_cast<LONG_PTR>(WS_POPUP | WS_MAXIMIZE)) | WS_CAPTION | WS_THICKFRAME;
  SetWindowLongPtrA(m_hwndMain, GWL_STYLE, style);
  SetFrameTopmost(false);
  SetWindowPos(m_hwndMain, nullptr, 0, 0, 0, 0,
               SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOREDRAW | SWP_NOZORDER | SWP_NOACTIVATE);
  if (sys) CheckMenuItem(sys, framecmd::kFullScreen, MF_BYCOMMAND | MF_UNCHECKED);
  m_titleBar.DisplayWindow(false);
  if (m_hwndStatus) RedrawWindow(m_hwndStatus, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN);
}

void ClientConnection::SetFrameTopmost(bool topmost) {
  const HWND band = topmost ? HWND_TOPMOST : HWND_NOTOPMOST;
  const UINT flags = SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE;
  // Wine 8 keeps a window that owns another where it is in or out of the topmost band
  // (SetWindowPos succeeds and changes nothing): the windows the frame owns (the
  // presentation window, the title bar) are let go for the change and go with the frame
  // after it, the title bar last so that it lies over the picture. An owned window does
  // not leave the band either: the presentation window moves while it is let go.
  HWND bar = m_titleBar.Window();
  const HWND owned[] = {m_hwndPresent, bar};
  for (HWND w : owned)
    if (w) SetWindowLongPtrA(w, GWLP_HWNDPARENT, 0);
  SetWindowPos(m_hwndMain, band, 0, 0, 0, 0, flags);
  if (m_hwndPresent) {
    SetWindowPos(m_hwndPresent, band, 0, 0, 0, 0, flags);
    SetWindowLongPtrA(m_hwndPresent, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(m_hwndMain));
  }
  if (bar) {
    SetWindowLongPtrA(bar, GWLP_HWNDPARENT, reinterpret_cast<LONG_PTR>(m_hwndMain));
    SetWindowPos(bar, band, 0, 0, 0, 0, flags);
  }
}

void ClientConnection::KeepFrameOnTop(bool active) {
  if (!m_hwndMain || !IsFullScreen()) return;
  const bool sideWindowOpen = m_sideWindowLoops > 0 || m_optionsDialogOpen;
  const bool inFront = active && !sideWindowOpen;
  kebLog.Print(6, "Full screen: the frame is %s\n", inFront ? "in front (topmost)" : "no longer active");
  SetFrameTopmost(inFront);
  // The switch of the active window is not over yet: once it is, the frame's place is
  // settled by the window that is active then.
  PostMessageA(m_hwndMain, WM_FRAME_ZORDER, 0, 0);
}

void ClientConnection::SettleZOrder() {
  if (!m_hwndMain || !IsFullScreen()) return;
  HWND active = GetForegroundWindow();
  const bool ours = active && (active == m_hwndMain || GetAncestor(active, GA_ROOTOWNER) == m_hwndMain);
  const bool topmost = (GetWindowLongPtrA(m_hwndMain, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  const bool inFront = ours && !(m_sideWindowLoops > 0 || m_optionsDialogOpen);
  if (inFront != topmost) SetFrameTopmost(inFront);
  if (inFront || !active || ours) return;
  // Leaving the topmost band put the frame on top of the others: behind the active window
  // it goes, the title bar between them.
  SetWindowPos(m_hwndMain, active, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (m_hwndPresent && IsWindowVisible(m_hwndPresent))
    SetWindowPos(m_hwndPresent, active, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  if (HWND bar = m_titleBar.Window())
    if (IsWindowVisible(bar)) SetWindowPos(bar, active, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

bool ClientConnection::FocusStaysInFrame(HWND gaining) const {
  if (!gaining || !m_hwndMain) return false;
  return gaining == m_hwndMain || IsChild(m_hwndMain, gaining) || GetAncestor(gaining, GA_ROOTOWNER) == m_hwndMain;
}

void ClientConnection::RestoreSavedWindowRect() {
  if (!m_hwndMain || !m_restoreRectSet) return;
  m_restoreRectSet = false;
  SetWindowPos(m_hwndMain, nullptr, m_restoreRect.left, m_restoreRect.top, m_restoreRect.right - m_restoreRect.left,
               m_restoreRect.bottom - m_restoreRect.top, SWP_NOZORDER);
}

bool ClientConnection::EdgeScroll(int x, int y) {
  if (!m_hwndMain || !IsFullScreen()) return false;
  RECT rc;
  if (!GetClientRect(m_hwndMain, &rc)) return false;
  const fullscreen::Step step = fullscreen::EdgeScrollStep(x, y, rc.right - rc.left, rc.bottom - rc.top, ToolbarHeight());
  if (!step.dx && !step.dy) return false;
  POINT before;
  const bool known = GetCursorPos(&before) != FALSE;
  if (!ScrollScreen(step.dx, step.dy, false)) return false;
  // The pointer stays where it stood on the screen (the view moved under it).
  POINT now;
  if (known && GetCursorPos(&now) && now.x == before.x && now.y == before.y) SetCursorPos(before.x, before.y);
  return true;
}
