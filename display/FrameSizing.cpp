// Sizing and scrolling of the frame window: the frame's size and place for the (scaled)
// framebuffer with automatic scaling, the view inside it with its scroll bars, the limits
// of a frame dragged larger than the framebuffer, and scrolling.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>

#include "app/KEBOptions.h"
#include "app/Log.h"
#include "dialogs/MRU.h"
#include "display/FrameLayout.h"
#include "session/ClientConnection.h"

namespace {

const char kMruKey[] = "Software\\WEM\\KEBviewer\\MRU";
// The frame's style as far as its borders go (the scroll bars are counted separately).
constexpr DWORD kBorderStyle = WS_OVERLAPPEDWINDOW;
// A work area larger than this, or a negative one, is taken to start at 0,0.
constexpr int kLargestAreaSide = 4320;

int Width(const RECT& r) { return r.right - r.left; }
int Height(const RECT& r) { return r.bottom - r.top; }

// AdjustWindowRectExForDpi where the system has it.
RECT AdjustedForDpi(RECT r, int dpi) {
  using AdjustForDpiFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = reinterpret_cast<AdjustForDpiFn>(
      GetProcAddress(GetModuleHandleA("user32.dll"), "AdjustWindowRectExForDpi"));
  if (!adjust || !adjust(&r, kBorderStyle, FALSE, 0, static_cast<UINT>(dpi))) AdjustWindowRectEx(&r, kBorderStyle, FALSE, 0);
  return r;
}

RECT EntryRect(const monitors::Entry& e) { return RECT{e.x, e.y, e.x + e.width, e.y + e.height}; }
RECT WorkRect(const monitors::Entry& e) {
  const monitors::Rect& w = e.workArea;
  // A monitor whose work area is unknown works on all of it.
  if (w.right <= w.left || w.bottom <= w.top) return EntryRect(e);
  return RECT{w.left, w.top, w.right, w.bottom};
}

}  // namespace

int ClientConnection::FrameMonitorIndex() {
  m_monitors.Refresh();
  return m_monitors.IndexOfWindow(m_hwndMain, false);
}

int ClientConnection::ToolbarHeight() const {
  if (!m_opts.m_showtoolbar || !m_hwndToolbar) return 0;
  RECT r;
  return GetWindowRect(m_hwndToolbar, &r) ? Height(r) : 0;
}

SIZE ClientConnection::FrameSizeFor(int w, int h) const {
  RECT r = AdjustedForDpi(RECT{0, 0, w, h}, m_dpi);
  return SIZE{Width(r), Height(r)};
}

void ClientConnection::SizeWindow(bool keepPosition, bool keepSize) {
  if (!m_hwndMain) return;
  int fbw, fbh;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    fbw = m_si.framebufferWidth;
    fbh = m_si.framebufferHeight;
  }
  if (m_opts.m_requestedWidth > 0 && m_opts.m_requestedHeight > 0) {
    fbw = m_opts.m_requestedWidth;
    fbh = m_opts.m_requestedHeight;
  }
  fbw = std::max(fbw, 1);
  fbh = std::max(fbh, 1);
  const bool full = IsFullScreen();

  // The area: the frame's monitor, or the whole virtual screen for a framebuffer too large
  // for it that nothing else shrinks (and with monitor spanning), from the monitor table.
  const monitors::Entry& monitor = m_monitors.Entry(FrameMonitorIndex());
  const RECT monitorRect = EntryRect(monitor);
  RECT area = full ? monitorRect : WorkRect(monitor);
  const int scaledW = framelayout::ScaledSide(fbw, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);
  const int scaledH = framelayout::ScaledSide(fbh, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);
  const bool fits = scaledW <= Width(area) && scaledH <= Height(area);
  const bool shrunk = full || (m_opts.m_AutoScaling && !m_opts.m_AutoScalingEven) || FittedView();
  if (((!fits && !shrunk) || m_opts.m_allowMonitorSpanning) && !m_opts.m_showExtend) {
    const monitors::Entry& all = m_monitors.Entry(0);
    const RECT virt = EntryRect(all);
    // One monitor: its work area stays the area.
    if (!EqualRect(&virt, &monitorRect)) area = full ? virt : WorkRect(all);
  }
  if (Width(area) > kLargestAreaSide || Height(area) > kLargestAreaSide || Width(area) < 0 || Height(area) < 0) {
    OffsetRect(&area, -area.left, -area.top);
  }
  kebLog.Print(2, "Screen work area is %d x %d\n", Width(area), Height(area));

  const int toolbar = ToolbarHeight();
  if (m_opts.m_AutoScaling && !m_autoScaled) {
    m_savedScaling = m_opts.m_Scaling;
    m_savedScaleNum = m_opts.m_scale_num;
    m_savedScaleDen = m_opts.m_scale_den;
    framelayout::AutoScaleInput in;
    in.dpi = m_dpi;
    in.even = m_opts.m_AutoScalingEven;
    in.limit = m_opts.m_AutoScalingLimit;
    in.fullScreen = full;
    if (full) {
      in.widthRatio = framelayout::FitRatio(Width(monitorRect), 0, fbw);
      in.heightRatio = framelayout::FitRatio(Height(monitorRect), 0, fbh);
    } else {
      const SIZE borders = FrameSizeFor(0, 0);
      in.widthRatio = framelayout::FitRatio(Width(area), borders.cx, fbw);
      in.heightRatio = framelayout::FitRatio(Height(area), borders.cy + toolbar, fbh);
    }
    const int autosize = framelayout::AutoScalePercent(in);
    kebLog.Print(2, "Autosize %d\n", autosize);
    m_opts.m_scale_num = autosize;
    m_opts.m_scale_den = 100;
    m_opts.m_Scaling = autosize != 100;
    m_autoScaled = true;
  } else if (!m_opts.m_AutoScaling && m_autoScaled) {
    m_opts.m_Scaling = m_savedScaling;
    m_opts.m_scale_num = m_savedScaleNum;
    m_opts.m_scale_den = m_savedScaleDen;
    m_autoScaled = false;
  }

  m_fullWidth = framelayout::ScaledSide(fbw, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);
  m_fullHeight = framelayout::ScaledSide(fbh, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);
  const SIZE frame = FrameSizeFor(m_fullWidth, m_fullHeight + toolbar);
  // A side that does not fit brings its scroll bar, which takes room across the other
  // side: the frame grows by it (within the area) rather than cut the view and need the
  // second bar as well.
  int fw = frame.cx, fh = frame.cy;
  if (!full && !FittedView()) {
    const int vBar = GetSystemMetrics(SM_CXVSCROLL), hBar = GetSystemMetrics(SM_CYHSCROLL);
    bool h = fw > Width(area);
    const bool v = fh + (h ? hBar : 0) > Height(area);
    if (v && !h) h = fw + vBar > Width(area);
    if (h) fh += hBar;
    if (v) fw += vBar;
  }
  fw = std::min<int>(fw, Width(area));
  fh = std::min<int>(fh, Height(area));

  int x = 0, y = 0;
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  if (keepPosition) {
    flags |= SWP_NOMOVE;
  } else if (m_opts.m_w > 0 && m_opts.m_h > 0) {
    x = m_opts.m_x;
    y = m_opts.m_y;
    fw = m_opts.m_w;
    fh = m_opts.m_h;
  } else {
    bool placed = false;
    if (m_opts.m_SavePos) {
      MRU mru(kMruKey, 98, m_opts.m_optionfile);
      const int sx = mru.ReadWindowX(m_host), sy = mru.ReadWindowY(m_host);
      const int sw = mru.ReadWindowW(m_host), sh = mru.ReadWindowH(m_host);
      if (sx || sy || sw || sh) {
        x = sx;
        y = sy;
        if (m_opts.m_SaveSize && sw > 0 && sh > 0) {
          fw = sw;
          fh = sh;
        }
        placed = true;
      }
    }
    if (!placed) {
      x = area.left + (Width(area) - fw) / 2;
      y = area.top + (Height(area) - fh) / 2;
    }
  }
  if (keepSize) flags |= SWP_NOSIZE;
  if (!IsIconic(m_hwndMain)) SetWindowPos(m_hwndMain, nullptr, x, y, fw, fh, flags);
  // The frame's size may not have changed while the view's did.
  LayoutView();
  if (IsWindowVisible(m_hwndMain) && !IsIconic(m_hwndMain)) SetForegroundWindow(m_hwndMain);
}

void ClientConnection::LayoutView() {
  if (!m_hwndMain || !m_hwndcn || m_layingOut || IsIconic(m_hwndMain)) return;
  struct Guard {
    bool& b;
    explicit Guard(bool& f) : b(f) { b = true; }
    ~Guard() { b = false; }
  };
  {
    Guard guard(m_layingOut);
    RECT wr, rc;
    GetWindowRect(m_hwndMain, &wr);
    GetClientRect(m_hwndMain, &rc);
    m_winWidth = Width(wr);
    m_winHeight = Height(wr);
    LayoutToolbar(nullptr);
    const int toolbar = ToolbarHeight();
    int fbw, fbh;
    {
      std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
      fbw = m_si.framebufferWidth;
      fbh = m_si.framebufferHeight;
    }
    m_fullWidth = framelayout::ScaledSide(fbw, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);
    m_fullHeight = framelayout::ScaledSide(fbh, m_opts.m_Scaling, m_opts.m_scale_num, m_opts.m_scale_den);

    if (IsFullScreen() || FittedView()) {
      if (m_hScrollShown || m_vScrollShown) ShowScrollBar(m_hwndMain, SB_BOTH, FALSE);
      m_hScrollShown = m_vScrollShown = false;
      GetClientRect(m_hwndMain, &rc);
      if (FittedView()) {
        // The whole framebuffer is stretched over the view: nothing lies outside it to
        // scroll to.
        m_visibleWidth = Width(rc);
        m_visibleHeight = std::max(0, Height(rc) - toolbar);
        m_fullWidth = m_visibleWidth;
        m_fullHeight = m_visibleHeight;
      } else {
        m_visibleWidth = std::min(m_fullWidth, Width(rc));
        m_visibleHeight = std::min(m_fullHeight, Height(rc) - toolbar);
      }
      m_hScrollPos = framelayout::ClampScroll(m_hScrollPos, m_fullWidth, m_visibleWidth);
      m_vScrollPos = framelayout::ClampScroll(m_vScrollPos, m_fullHeight, m_visibleHeight);
      SetWindowPos(m_hwndcn, nullptr, 0, toolbar, m_visibleWidth, m_visibleHeight, SWP_NOZORDER | SWP_NOACTIVATE);
      return;
    }

    // The client area as it is without the bars: the fit decides which bars it needs.
    const int vBar = GetSystemMetrics(SM_CXVSCROLL), hBar = GetSystemMetrics(SM_CYHSCROLL);
    const int clientW = Width(rc) + (m_vScrollShown ? vBar : 0);
    const int clientH = Height(rc) + (m_hScrollShown ? hBar : 0) - toolbar;
    const framelayout::ViewFit f =
        framelayout::FitView(clientW, clientH, m_fullWidth, m_fullHeight, vBar, hBar, m_hScrollPos, m_vScrollPos);
    const int dx = m_hScrollPos - f.scrollX, dy = m_vScrollPos - f.scrollY;
    m_hScrollPos = f.scrollX;
    m_vScrollPos = f.scrollY;
    m_visibleWidth = f.visibleWidth;
    m_visibleHeight = f.visibleHeight;
    if (f.hScroll != m_hScrollShown) {
      m_hScrollShown = f.hScroll;
      ShowScrollBar(m_hwndMain, SB_HORZ, f.hScroll);
    }
    if (f.vScroll != m_vScrollShown) {
      m_vScrollShown = f.vScroll;
      ShowScrollBar(m_hwndMain, SB_VERT, f.vScroll);
    }
    SetWindowPos(m_hwndcn, nullptr, 0, toolbar, f.visibleWidth, f.visibleHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    if (dx || dy) ScrollWindowEx(m_hwndcn, dx, dy, nullptr, nullptr, nullptr, nullptr, SW_INVALIDATE);
    UpdateScrollbars();
  }
  // Outside the guard: a frame it shrinks is laid out again.
  LimitFrameWindowSize();
}

void ClientConnection::UpdateScrollbars() {
  if (!m_hwndMain || IsFullScreen()) return;
  SCROLLINFO si = {};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL | SIF_DISABLENOSCROLL;
  si.nMin = 0;
  // Only the bars the view needs are set: setting a hidden one would show it.
  if (m_hScrollShown) {
    si.nMax = m_fullWidth - 1;
    si.nPage = static_cast<UINT>(m_visibleWidth);
    si.nPos = m_hScrollPos;
    SetScrollInfo(m_hwndMain, SB_HORZ, &si, TRUE);
  }
  if (m_vScrollShown) {
    si.nMax = m_fullHeight - 1;
    si.nPage = static_cast<UINT>(m_visibleHeight);
    si.nPos = m_vScrollPos;
    SetScrollInfo(m_hwndMain, SB_VERT, &si, TRUE);
  }
}

void ClientConnection::LimitFrameWindowSize() {
  if (!m_hwndMain || IsFullScreen() || m_opts.m_AutoScaling || IsIconic(m_hwndMain) || IsZoomed(m_hwndMain)) return;
  RECT wr;
  if (!GetWindowRect(m_hwndMain, &wr)) return;
  const SIZE most = FrameSizeFor(m_fullWidth + (m_vScrollShown ? GetSystemMetrics(SM_CXVSCROLL) : 0),
                                 m_fullHeight + (m_hScrollShown ? GetSystemMetrics(SM_CYHSCROLL) : 0) + ToolbarHeight());
  const int w = std::min<int>(Width(wr), most.cx), h = std::min<int>(Height(wr), most.cy);
  if (w != Width(wr) || h != Height(wr))
    SetWindowPos(m_hwndMain, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ClientConnection::LimitDraggedRect(WPARAM edge, RECT* r) {
  if (!r) return;
  const SIZE borders = FrameSizeFor(0, 0);
  const int toolbar = ToolbarHeight();
  const int vBar = GetSystemMetrics(SM_CXVSCROLL), hBar = GetSystemMetrics(SM_CYHSCROLL);
  const framelayout::ViewFit f = framelayout::FitView(Width(*r) - borders.cx, Height(*r) - borders.cy - toolbar,
                                                      m_fullWidth, m_fullHeight, vBar, hBar, 0, 0);
  const int mostW = m_fullWidth + (f.vScroll ? vBar : 0) + borders.cx;
  const int mostH = m_fullHeight + (f.hScroll ? hBar : 0) + toolbar + borders.cy;
  if (Width(*r) > mostW) {
    if (edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT)
      r->left = r->right - mostW;
    else
      r->right = r->left + mostW;
  }
  if (Height(*r) > mostH) {
    if (edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT)
      r->top = r->bottom - mostH;
    else
      r->bottom = r->top + mostH;
  }
}

void ClientConnection::OnScroll(int bar, int request) {
  SCROLLINFO si = {};
  si.cbSize = sizeof si;
  si.fMask = SIF_ALL;
  // The track position in full: the message's own is 16 bits.
  GetScrollInfo(m_hwndMain, bar, &si);
  const int thumb = si.nTrackPos;
  if (bar == SB_HORZ)
    ScrollScreen(static_cast<int>(framelayout::ClampScroll(
                     framelayout::ScrollTarget(request, m_hScrollPos, m_visibleWidth, thumb), m_fullWidth,
                     m_visibleWidth)),
                 m_vScrollPos, true);
  else
    ScrollScreen(m_hScrollPos,
                 static_cast<int>(framelayout::ClampScroll(
                     framelayout::ScrollTarget(request, m_vScrollPos, m_visibleHeight, thumb), m_fullHeight,
                     m_visibleHeight)),
                 true);
}

bool ClientConnection::ScrollScreen(int dx, int dy, bool absolute) {
  const long long wantX = absolute ? dx : static_cast<long long>(m_hScrollPos) + dx;
  const long long wantY = absolute ? dy : static_cast<long long>(m_vScrollPos) + dy;
  const int x = framelayout::ClampScroll(wantX, m_fullWidth, m_visibleWidth);
  const int y = framelayout::ClampScroll(wantY, m_fullHeight, m_visibleHeight);
  if (x == m_hScrollPos && y == m_vScrollPos) return false;
  const int moveX = m_hScrollPos - x, moveY = m_vScrollPos - y;
  m_hScrollPos = x;
  m_vScrollPos = y;
  if (m_hwndcn) ScrollWindowEx(m_hwndcn, moveX, moveY, nullptr, nullptr, nullptr, nullptr, SW_INVALIDATE);
  UpdateScrollbars();
  if (m_hwndcn) UpdateWindow(m_hwndcn);
  return true;
}
