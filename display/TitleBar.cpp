#include "display/TitleBar.h"

#include "dialogs/DialogHelpers.h"

#include <commctrl.h>

#include "app/Log.h"
#include "display/FrameCommands.h"
#include "resources/resource.h"

namespace {

const char kClassName[] = "FSTITLEBAR";
constexpr UINT_PTR kSlideTimer = 1, kHideTimer = 2;
constexpr UINT kSlideMs = 20, kHideMs = 100;

// The images' places in the strip (see tools/make-titlebar-bitmaps.py).
enum Glyph { kGlyphClose, kGlyphRestore, kGlyphMinimise, kGlyphPinAutoHide, kGlyphPinStays, kGlyphFit, kGlyphOneToOne,
             kGlyphSnapshot, kGlyphMonitor, kGlyphChat, kGlyphFileTransfer };
constexpr int kGlyphWidth = 16, kGlyphHeight = 14;

struct ButtonInfo {
  int id;
  const char* name;
  const char* tip;
};
const ButtonInfo kButtonInfo[] = {
    {titlebar::kClose, "Close", nullptr},
    {titlebar::kMaximize, "Maximize", nullptr},
    {titlebar::kMinimize, "Minimize", nullptr},
    {titlebar::kPin, "Pin", nullptr},
    {titlebar::kScreen, "Screen", "Scaling: Fit to screen, 1:1"},
    {titlebar::kPhoto, "Photo", "Screenshot, double click for settings"},
    {titlebar::kSwitchMonitor, "SwitchMonitor", "Switch monitor"},
    {titlebar::kChat, "Chat", "Start Chat"},
    {titlebar::kFileTransfer, "FT", "File Transfer"},
};

}  // namespace

CTitleBar::~CTitleBar() {
  if (m_hwnd && IsWindow(m_hwnd)) DestroyWindow(m_hwnd);
  m_hwnd = nullptr;
  FreeImages();
}

void CTitleBar::Init(HINSTANCE instance, HWND parent, bool create) {
  m_instance = instance;
  m_parent = parent;
  if (create) Create();
}

void CTitleBar::FreeImages() {
  if (m_images) DeleteObject(m_images);
  if (m_font) DeleteObject(m_font);
  m_images = nullptr;
  m_font = nullptr;
}

void CTitleBar::Setup() {
  m_dpi = WindowDpi(m_hwnd ? m_hwnd : m_parent);
  m_metrics = titlebar::ScaledMetrics(m_dpi);
  FreeImages();
  m_images = static_cast<HBITMAP>(LoadImageA(m_instance, MAKEINTRESOURCEA(IDB_TITLEBAR), IMAGE_BITMAP, 0, 0, 0));
  // A 10-point Arial at the bar's DPI.
  m_font = CreateFontA(-MulDiv(10, m_dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial");
}

void CTitleBar::Create() {
  if (m_hwnd) return;
  WNDCLASSA wc = {};
  if (!GetClassInfoA(m_instance, kClassName, &wc)) {
    wc.style = CS_DBLCLKS;
    wc.lpfnWndProc = CTitleBarWndProc;
    wc.hInstance = m_instance;
    wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassA(&wc);
  }
  Setup();
  const int x = titlebar::CentredLeft(0, GetSystemMetrics(SM_CXSCREEN), m_metrics.width);
  // Owned by the frame: it stays above the topmost frame and goes with it.
  m_hwnd = CreateWindowExA(WS_EX_TOOLWINDOW, kClassName, m_text.c_str(), WS_POPUP | WS_SYSMENU, x, 1 - m_metrics.height,
                           m_metrics.width, m_metrics.height, m_parent, nullptr, m_instance, this);
  if (!m_hwnd) {
    kebLog.Print(0, "Full-screen title bar: CreateWindowEx failed (%lu)\n", GetLastError());
    return;
  }
  CreateButtons();
  Layout();
}

void CTitleBar::CreateButtons() {
  HWND tips = nullptr;
  for (const ButtonInfo& b : kButtonInfo) {
    HWND button = CreateWindowExA(0, "Button", b.name, WS_CHILD | WS_VISIBLE | BS_OWNERDRAW, 0, 0, 1, 1, m_hwnd,
                                  reinterpret_cast<HMENU>(static_cast<INT_PTR>(b.id)), m_instance, nullptr);
    if (!button || !b.tip) continue;
    // One tool tip window per control.
    tips = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hwnd, nullptr, m_instance, nullptr);
    if (!tips) continue;
    TOOLINFOA ti = {};
    ti.cbSize = TTTOOLINFOA_V1_SIZE;
    ti.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    ti.hwnd = m_hwnd;
    ti.uId = reinterpret_cast<UINT_PTR>(button);
    ti.lpszText = const_cast<char*>(b.tip);
    SendMessageA(tips, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void CTitleBar::Layout() {
  if (!m_hwnd) return;
  SetWindowPos(m_hwnd, nullptr, 0, 0, m_metrics.width, m_metrics.height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  const auto t = titlebar::Trapezoid(m_metrics);
  POINT pts[4];
  for (int i = 0; i < 4; ++i) pts[i] = POINT{t[i].x, t[i].y};
  // The system owns the region once set.
  SetWindowRgn(m_hwnd, CreatePolygonRgn(pts, 4, WINDING), TRUE);
  for (const ButtonInfo& b : kButtonInfo) {
    HWND button = GetDlgItem(m_hwnd, b.id);
    if (button)
      SetWindowPos(button, nullptr, titlebar::ButtonX(m_metrics, b.id), m_metrics.topMargin, m_metrics.buttonWidth,
                   m_metrics.buttonHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  }
}

RECT CTitleBar::MonitorRect() const {
  if (m_haveMonitor) return m_monitor;
  MONITORINFO mi = {};
  mi.cbSize = sizeof mi;
  if (!GetMonitorInfoA(MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY), &mi))
    return RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
  return mi.rcMonitor;
}

void CTitleBar::MoveToMonitor(const RECT* monitor) {
  if (monitor) {
    m_monitor = *monitor;
    m_haveMonitor = true;
  }
  if (!m_hwnd) Create();
  if (!m_hwnd) return;
  const RECT r = MonitorRect();
  SetWindowPos(m_hwnd, nullptr, titlebar::CentredLeft(r.left, r.right - r.left, m_metrics.width),
               r.top + 1 - m_metrics.height, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  Layout();
}

void CTitleBar::SetOneToOne(bool oneToOne) {
  if (m_oneToOne == oneToOne) return;
  m_oneToOne = oneToOne;
  if (m_hwnd) InvalidateRect(GetDlgItem(m_hwnd, titlebar::kScreen), nullptr, FALSE);
}

void CTitleBar::RestartTimers() {
  SetTimer(m_hwnd, kSlideTimer, kSlideMs, nullptr);
  if (m_autoHide)
    SetTimer(m_hwnd, kHideTimer, kHideMs, nullptr);
  else
    KillTimer(m_hwnd, kHideTimer);
}

void CTitleBar::DisplayWindow(bool show) {
  if (!m_hwnd) {
    if (!show) return;
    Create();
    if (!m_hwnd) return;
  }
  if (show) {
    m_hideWhenDone = false;
    m_showing = true;
    ShowWindow(m_hwnd, SW_SHOWNOACTIVATE);
  } else {
    m_showing = false;
    m_hideWhenDone = true;
  }
  m_hideCounter = 0;
  RestartTimers();
}

void CTitleBar::SetText(const std::string& text) {
  m_text = text;
  if (!m_hwnd) return;
  // Also the window's own text, for whatever reads window titles.
  SetWindowTextA(m_hwnd, text.c_str());
  InvalidateRect(m_hwnd, nullptr, TRUE);
}

void CTitleBar::Draw(HDC dc) {
  const titlebar::Metrics& m = m_metrics;
  for (int row = 0; row < m.height; ++row) {
    const int level = titlebar::GradientLevel(row, m.height);
    HBRUSH brush = CreateSolidBrush(RGB(level, level, level));
    RECT line = {0, row, m.width, row + 1};
    FillRect(dc, &line, brush);
    DeleteObject(brush);
  }
  const auto t = titlebar::Trapezoid(m);
  POINT pts[5];
  for (int i = 0; i < 4; ++i) pts[i] = POINT{t[i].x, t[i].y};
  pts[4] = pts[0];
  HPEN outline = CreatePen(PS_SOLID, 2, RGB(0xC0, 0xC0, 0xC0));
  HGDIOBJ old = SelectObject(dc, outline);
  Polyline(dc, pts, 5);
  HPEN bottom = CreatePen(PS_SOLID, 2, RGB(0x64, 0x64, 0x64));
  SelectObject(dc, bottom);
  MoveToEx(dc, 11, m.height - 1, nullptr);
  LineTo(dc, m.width - 11, m.height - 1);
  SelectObject(dc, old);
  DeleteObject(outline);
  DeleteObject(bottom);

  const titlebar::Span span = titlebar::TextSpan(m);
  RECT text = {span.left, 0, span.right, m.height};
  HGDIOBJ oldFont = m_font ? SelectObject(dc, m_font) : nullptr;
  SetTextColor(dc, RGB(0xDC, 0xDC, 0xDC));
  SetBkMode(dc, TRANSPARENT);
  DrawTextA(dc, m_text.c_str(), -1, &text, DT_SINGLELINE | DT_CENTER | DT_VCENTER | DT_END_ELLIPSIS | DT_NOPREFIX);
  if (oldFont) SelectObject(dc, oldFont);
}

void CTitleBar::DrawButton(const DRAWITEMSTRUCT* item) {
  int glyph = kGlyphClose;
  switch (static_cast<int>(item->CtlID)) {
    case titlebar::kClose: glyph = kGlyphClose; break;
    case titlebar::kMaximize: glyph = kGlyphRestore; break;
    case titlebar::kMinimize: glyph = kGlyphMinimise; break;
    case titlebar::kPin: glyph = m_autoHide ? kGlyphPinAutoHide : kGlyphPinStays; break;
    case titlebar::kScreen: glyph = m_oneToOne ? kGlyphOneToOne : kGlyphFit; break;
    case titlebar::kPhoto: glyph = kGlyphSnapshot; break;
    case titlebar::kSwitchMonitor: glyph = kGlyphMonitor; break;
    case titlebar::kChat: glyph = kGlyphChat; break;
    case titlebar::kFileTransfer: glyph = kGlyphFileTransfer; break;
    default: break;
  }
  const RECT& r = item->rcItem;
  HDC mem = m_images ? CreateCompatibleDC(item->hDC) : nullptr;
  if (!mem) {
    FillRect(item->hDC, &r, static_cast<HBRUSH>(GetStockObject(GRAY_BRUSH)));
    return;
  }
  HGDIOBJ old = SelectObject(mem, m_images);
  SetStretchBltMode(item->hDC, COLORONCOLOR);
  StretchBlt(item->hDC, r.left, r.top, r.right - r.left, r.bottom - r.top, mem, glyph * kGlyphWidth, 0, kGlyphWidth,
             kGlyphHeight, SRCCOPY);
  SelectObject(mem, old);
  DeleteDC(mem);
  if (item->itemState & ODS_SELECTED) InvertRect(item->hDC, &r);
}

void CTitleBar::Command(int id) {
  switch (id) {
    case titlebar::kClose: SendMessageA(m_parent, framecmd::kTitleBarClose, 0, 0); break;
    case titlebar::kMaximize: SendMessageA(m_parent, framecmd::kTitleBarRestore, 0, 0); break;
    case titlebar::kMinimize: SendMessageA(m_parent, framecmd::kTitleBarMinimise, 0, 0); break;
    case titlebar::kPin:
      m_autoHide = !m_autoHide;
      if (!m_autoHide) {
        m_showing = true;
        m_hideWhenDone = false;
        ShowWindow(m_hwnd, SW_SHOWNOACTIVATE);
      }
      m_hideCounter = 0;
      RestartTimers();
      InvalidateRect(GetDlgItem(m_hwnd, titlebar::kPin), nullptr, FALSE);
      break;
    case titlebar::kScreen:
      m_oneToOne = !m_oneToOne;
      InvalidateRect(GetDlgItem(m_hwnd, titlebar::kScreen), nullptr, FALSE);
      SendMessageA(m_parent, m_oneToOne ? framecmd::kTitleBarOneToOne : framecmd::kTitleBarFitScreen, 0, 0);
      break;
    case titlebar::kPhoto:
      if (m_oneToOne)
        SendMessageA(m_parent, framecmd::kTitleBarSnapshot, 0, 0);
      else
        MessageBoxA(m_hwnd, "Function only supported in 1:1 mode", "Quillmar Remote - Snapshot", MB_OK | MB_ICONINFORMATION);
      break;
    case titlebar::kSwitchMonitor: SendMessageA(m_parent, framecmd::kTitleBarSwitchMonitor, 0, 0); break;
    case titlebar::kChat: SendMessageA(m_parent, framecmd::kTitleBarChat, 0, 0); break;
    case titlebar::kFileTransfer: SendMessageA(m_parent, framecmd::kTitleBarFileTransfer, 0, 0); break;
    default: break;
  }
}

LRESULT CALLBACK CTitleBar::CTitleBarWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_NCCREATE) {
    auto* cs = reinterpret_cast<CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(cs->lpCreateParams));
  }
  auto* bar = reinterpret_cast<CTitleBar*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!bar) return DefWindowProcA(hwnd, msg, wParam, lParam);
  return bar->Message(hwnd, msg, wParam, lParam);
}

LRESULT CTitleBar::Message(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED || HIWORD(wParam) == 0) Command(LOWORD(wParam));
      return 0;
    case WM_LBUTTONDBLCLK: Command(titlebar::kMaximize); return 0;
    case WM_RBUTTONUP: {
      HMENU menu = LoadMenuA(m_instance, MAKEINTRESOURCEA(IDR_TITLEBARMENU));
      HMENU popup = menu ? GetSubMenu(menu, 0) : nullptr;
      if (popup) {
        SetMenuDefaultItem(popup, titlebar::kMaximize, FALSE);
        POINT p;
        GetCursorPos(&p);
        const int chosen = TrackPopupMenu(popup, TPM_RETURNCMD | TPM_RIGHTBUTTON, p.x, p.y, 0, hwnd, nullptr);
        if (chosen) Command(chosen);
      }
      if (menu) DestroyMenu(menu);
      return 0;
    }
    case WM_MOUSEMOVE:
      if (!m_hideWhenDone) {
        m_showing = true;
        SetTimer(hwnd, kSlideTimer, kSlideMs, nullptr);
      }
      return 0;
    case WM_TIMER: {
      if (wParam == kHideTimer) {
        POINT p;
        RECT r;
        const bool inside = GetCursorPos(&p) && GetWindowRect(hwnd, &r) && PtInRect(&r, p);
        if (titlebar::HideTick(m_hideCounter, inside)) {
          m_showing = false;
          SetTimer(hwnd, kSlideTimer, kSlideMs, nullptr);
        }
        return 0;
      }
      if (wParam != kSlideTimer) return 0;
      RECT r;
      if (!GetWindowRect(hwnd, &r)) return 0;
      bool done = false;
      const int top = titlebar::SlideStep(r.top, MonitorRect().top, m_metrics.height, m_showing, &done);
      if (top != r.top) SetWindowPos(hwnd, nullptr, r.left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
      if (done) {
        KillTimer(hwnd, kSlideTimer);
        if (m_hideWhenDone) {
          KillTimer(hwnd, kHideTimer);
          ShowWindow(hwnd, SW_HIDE);
        }
      }
      return 0;
    }
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      Draw(dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    case WM_ERASEBKGND: return 1;
    case WM_DRAWITEM: DrawButton(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam)); return TRUE;
    case WM_DPICHANGED:
      kebLog.Print(2, "FullScreenTitelbar DPI change %d \n", HIWORD(wParam));
      m_dpi = HIWORD(wParam);
      Setup();
      Layout();
      MoveToMonitor(nullptr);
      return 0;
    case WM_CLOSE:
      FreeImages();
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      FreeImages();
      KillTimer(hwnd, kSlideTimer);
      KillTimer(hwnd, kHideTimer);
      SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
      m_hwnd = nullptr;
      return 0;
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}
