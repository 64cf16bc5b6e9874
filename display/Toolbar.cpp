// The toolbar strip at the top of the frame's client area: a bar of command buttons with
// tool tips, a combo box of recent hosts with a connect button, and left of them a small
// light that shows whether the server's input and monitor are on. Most buttons forward a
// system command to the frame window; the custom-key button asks for a keysym and sends
// it with the modifiers chosen.
#include <winsock2.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/DialogHelpers.h"
#include "dialogs/MRU.h"
#include "display/FrameCommands.h"
#include "display/ToolbarKeys.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"

namespace {

const char kToolbarClass[] = "KEBviewer";
const char kMruKey[] = "Software\\WEM\\KEBviewer\\MRU";
constexpr int kStripHeight = 28;
constexpr int kBigButtonsFromWidth = 562;  // narrower frames get the small buttons
constexpr int kRightControlsWidth = 200;
constexpr int kButtonBarId = 50016;
constexpr int kHostComboId = 9999;
constexpr int kConnectButtonId = 9998;
constexpr int kInputLightId = 9997;
constexpr COLORREF kInputOnColour = RGB(0, 160, 0), kInputOffColour = RGB(200, 0, 0);
constexpr int kHostTextMax = 256;

// The commands of the toolbar buttons.
constexpr int kCmdCtrlAltDel = 50010, kCmdCloseConnection = 50011, kCmdFileTransfer = 50012,
              kCmdFullScreen = 50013, kCmdOptions = 50014, kCmdRefresh = 50015, kCmdStart = 50017,
              kCmdRemoteInput = 50018, kCmdHideToolbar = 50019, kCmdScreenshot = 50020, kCmdSelectDesktop = 50021,
              kCmdChat = 50022, kCmdCustomKey = 144, kCmdStatus = 146;

// The buttons in their order; the tool tips are the string-table texts in the same order.
constexpr int kButtons[] = {kCmdCtrlAltDel, kCmdFullScreen,  kCmdOptions,     kCmdRefresh,  kCmdStart,
                            kCmdCustomKey,  kCmdStatus,      kCmdCloseConnection, kCmdHideToolbar,
                            kCmdRemoteInput, kCmdFileTransfer, kCmdScreenshot, kCmdSelectDesktop, kCmdChat};
constexpr int kButtonCount = sizeof kButtons / sizeof kButtons[0];
constexpr int kShortVariantCount = 9;

ClientConnection* ConnectionOf(HWND hwnd) {
  return reinterpret_cast<ClientConnection*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
}

int ClientWidth(HWND hwnd) {
  RECT r;
  return GetClientRect(hwnd, &r) ? r.right - r.left : 0;
}

}  // namespace

void ClientConnection::CreateToolbarWindow() {
  if (m_hwndToolbar || !m_hwndMain) return;
  HINSTANCE self = GetModuleHandleA(nullptr);
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_BAR_CLASSES | ICC_WIN95_CLASSES};
  InitCommonControlsEx(&icc);
  WNDCLASSEXA wc = {};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = ToolbarWndProc;
  wc.hInstance = self;
  wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = kToolbarClass;
  if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    kebLog.Print(0, "The toolbar window class cannot be registered\n");
    return;
  }
  const int width = ClientWidth(m_hwndMain);
  m_hwndToolbar = CreateWindowExA(0, kToolbarClass, "KEB ToolBar", WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, 0, 0,
                                  width, kStripHeight, m_hwndMain, nullptr, self, nullptr);
  if (!m_hwndToolbar) {
    kebLog.Print(0, "The toolbar window cannot be created\n");
    return;
  }
  SetWindowLongPtrA(m_hwndToolbar, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));

  const int images[] = {IDB_TOOLBAR_BIG, IDB_TOOLBAR_SMALL, IDB_TOOLBAR_OTHER};
  for (int i = 0; i < 3; ++i)
    if (!m_toolbarImages[i]) m_toolbarImages[i] = LoadBitmapA(self, MAKEINTRESOURCEA(images[i]));

  m_bigButtons = width >= kBigButtonsFromWidth;
  m_toolbarWidth = width;
  CreateButtonBar(!m_bigButtons, 0);

  m_hwndHostCombo = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | CBS_DROPDOWN |
                                                            CBS_AUTOHSCROLL,
                                    width - 185, 2, 130, 28 * 8, m_hwndToolbar,
                                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(kHostComboId)), self, nullptr);
  m_hwndConnectButton = CreateWindowExA(0, "BUTTON", "Go", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON,
                                        width - 55, 2, 35, 30, m_hwndToolbar,
                                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kConnectButtonId)), self, nullptr);
  m_hwndInputLight = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE, width - 200, 10, 10, 10, m_hwndToolbar,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(kInputLightId)), self, nullptr);
  HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  if (m_hwndHostCombo) SendMessageA(m_hwndHostCombo, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
  if (m_hwndConnectButton) SendMessageA(m_hwndConnectButton, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);

  // The recent hosts, as the connection dialog keeps them.
  if (m_hwndHostCombo) {
    MRU mru(kMruKey, 98, m_opts.m_optionfile);
    char entry[kHostTextMax + 1];
    for (int i = 0; i < mru.NumItems(); ++i)
      if (mru.GetItem(i, entry, sizeof entry) > 0) SendMessageA(m_hwndHostCombo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    SendMessageA(m_hwndHostCombo, CB_SETCURSEL, 0, 0);
  }
}

void ClientConnection::CreateButtonBar(bool small, int variant) {
  if (!m_hwndToolbar) return;
  if (m_hwndButtonBar) {
    DestroyWindow(m_hwndButtonBar);  // its tool tips are owned by it and go with it
    m_hwndButtonBar = nullptr;
  }
  const int count = variant == 1 ? kShortVariantCount : kButtonCount;
  int side_w = 10, side_h = 10;
  HBITMAP image = m_toolbarImages[2];
  if (variant == 0) {
    side_w = small ? 12 : 20;
    side_h = small ? 8 : 20;
    image = m_toolbarImages[small ? 1 : 0];
  }
  TBBUTTON buttons[kButtonCount] = {};
  for (int i = 0; i < count; ++i) {
    buttons[i].iBitmap = i;
    buttons[i].idCommand = kButtons[i];
    buttons[i].fsState = TBSTATE_ENABLED;
    buttons[i].fsStyle = TBSTYLE_BUTTON;
  }
  // The bitmap goes in by handle (TB_ADDBITMAP with no instance), since each size has its own.
  m_hwndButtonBar = CreateToolbarEx(m_hwndToolbar,
                                    WS_CHILD | WS_VISIBLE | TBSTYLE_FLAT | CCS_NORESIZE | CCS_NODIVIDER | CCS_NOPARENTALIGN,
                                    kButtonBarId, count, nullptr, reinterpret_cast<UINT_PTR>(image), buttons, count,
                                    side_w, side_h, side_w, side_h, sizeof(TBBUTTON));
  if (!m_hwndButtonBar) {
    kebLog.Print(0, "The toolbar's buttons cannot be created\n");
    return;
  }
  const int width = ClientWidth(m_hwndMain);
  SetWindowPos(m_hwndButtonBar, nullptr, 0, 0, std::max(0, width - kRightControlsWidth), 32, SWP_NOZORDER | SWP_NOACTIVATE);

  // One tool tip per button, over the button's rectangle.
  HINSTANCE self = GetModuleHandleA(nullptr);
  for (int i = 0; i < count; ++i) {
    HWND tip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hwndButtonBar, nullptr, self, nullptr);
    if (!tip) continue;
    TOOLINFOA ti = {};
    ti.cbSize = sizeof ti;
    ti.uFlags = TTF_SUBCLASS;
    ti.hwnd = m_hwndButtonBar;
    ti.uId = static_cast<UINT_PTR>(i);
    ti.hinst = self;
    ti.lpszText = const_cast<char*>(UiText(IDS_TOOLBAR_TIP_FIRST + i));
    SendMessageA(m_hwndButtonBar, TB_GETITEMRECT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&ti.rect));
    SendMessageA(tip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&ti));
  }
}

void ClientConnection::LayoutToolbar(RECT* out) {
  if (out) *out = RECT{0, 0, 0, 0};
  if (!m_hwndMain) return;
  if (!m_opts.m_showtoolbar) {
    if (m_hwndToolbar) ShowWindow(m_hwndToolbar, SW_HIDE);
    return;
  }
  if (!m_hwndToolbar) CreateToolbarWindow();
  if (!m_hwndToolbar) return;
  const int width = ClientWidth(m_hwndMain);
  if (m_bigButtons && width < kBigButtonsFromWidth) {
    m_bigButtons = false;
    CreateButtonBar(true, 0);
  } else if (!m_bigButtons && width >= kBigButtonsFromWidth) {
    m_bigButtons = true;
    CreateButtonBar(false, 0);
  }
  m_toolbarWidth = width;
  SetWindowPos(m_hwndToolbar, nullptr, 0, 0, width, kStripHeight, SWP_NOZORDER | SWP_NOACTIVATE);
  if (m_hwndButtonBar)
    SetWindowPos(m_hwndButtonBar, nullptr, 0, 0, std::max(0, width - kRightControlsWidth), 32,
                 SWP_NOZORDER | SWP_NOACTIVATE);
  if (m_hwndConnectButton) SetWindowPos(m_hwndConnectButton, nullptr, width - 55, 2, 35, 30, SWP_NOZORDER | SWP_NOACTIVATE);
  if (m_hwndHostCombo) SetWindowPos(m_hwndHostCombo, nullptr, width - 185, 2, 130, 28 * 8, SWP_NOZORDER | SWP_NOACTIVATE);
  if (m_hwndInputLight) SetWindowPos(m_hwndInputLight, nullptr, width - 200, 10, 10, 10, SWP_NOZORDER | SWP_NOACTIVATE);
  if (!IsWindowVisible(m_hwndToolbar)) ShowWindow(m_hwndToolbar, SW_SHOWNA);
  if (out) GetWindowRect(m_hwndToolbar, out);
}

void ClientConnection::RecreateToolbarForWidth(HWND frame) {
  if (!m_hwndToolbar || !frame) return;
  const int width = ClientWidth(frame);
  m_toolbarWidth = width;
  m_bigButtons = width >= kBigButtonsFromWidth;
  CreateButtonBar(!m_bigButtons, 0);
  if (m_hwndInputLight) InvalidateRect(m_hwndInputLight, nullptr, TRUE);  // the input state may have changed
}

LRESULT CALLBACK ClientConnection::ToolbarWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  ClientConnection* c = ConnectionOf(hwnd);
  if (!c) return DefWindowProcA(hwnd, msg, wParam, lParam);
  if (msg == WM_DESTROY) {
    // Also with the option off: the connection forgets the strip and frees its images.
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, 0);
    if (c->m_hwndToolbar == hwnd) {
      c->m_hwndToolbar = c->m_hwndButtonBar = c->m_hwndHostCombo = c->m_hwndConnectButton = nullptr;
      c->m_hwndInputLight = nullptr;
      for (HBITMAP& b : c->m_toolbarImages) {
        if (b) DeleteObject(b);
        b = nullptr;
      }
    }
    return 0;
  }
  if (!c->m_opts.m_showtoolbar) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_PAINT: {
      PAINTSTRUCT ps;
      BeginPaint(hwnd, &ps);
      EndPaint(hwnd, &ps);
      c->UpdateStatusDialog();
      return 0;
    }
    case WM_CTLCOLORSTATIC:
      if (reinterpret_cast<HWND>(lParam) == c->m_hwndInputLight) {
        HDC dc = reinterpret_cast<HDC>(wParam);
        SetDCBrushColor(dc, c->m_remoteInputDisabled ? kInputOffColour : kInputOnColour);
        return reinterpret_cast<LRESULT>(GetStockObject(DC_BRUSH));
      }
      return DefWindowProcA(hwnd, msg, wParam, lParam);
    case WM_COMMAND: {
      // Nothing may leave a window procedure: a failed send ends the connection as a loss.
      try {
        return c->ToolbarCommand(hwnd, wParam, lParam);
      } catch (const Exception& e) {
        kebLog.Print(0, "Toolbar: %s\n", e.Message() ? e.Message() : "");
        c->InputFailed(&e);
      } catch (...) {
        c->InputFailed(nullptr);
      }
      return 0;
    }
    default: return DefWindowProcA(hwnd, msg, wParam, lParam);
  }
}

LRESULT ClientConnection::ToolbarCommand(HWND hwnd, WPARAM wParam, LPARAM lParam) {
  auto system = [this](UINT command) { SendMessageA(m_hwndMain, WM_SYSCOMMAND, command, 0); };
  const int id = LOWORD(wParam);
  switch (id) {
    case kConnectButtonId: {
      kebLog.Print(0, "CLICKK %d\n", HIWORD(wParam));
      if (HIWORD(wParam) != BN_CLICKED || !m_hwndHostCombo) return 0;
      char text[kHostTextMax + 1] = {};
      GetWindowTextA(m_hwndHostCombo, text, sizeof text);
      kebLog.Print(0, "CLICKK %s\n", text);
      char host[kHostTextMax + 1];
      int port = 0;
      if (m_pApp && text[0] && ParseDisplay(text, host, sizeof host, &port)) m_pApp->NewConnection(false, host, port);
      return 0;
    }
    case kCmdCtrlAltDel: system(framecmd::kCtrlAltDel); return 0;
    case kCmdFullScreen: system(framecmd::kFullScreen); return 0;
    case kCmdOptions: system(framecmd::kConnectionOptions); return 0;
    case kCmdRefresh: system(framecmd::kRefresh); return 0;
    case kCmdStart: system(framecmd::kCtrlEsc); return 0;
    case kCmdCustomKey: SendCustomKey(); return 0;
    case kCmdStatus: StartStatusDialogThread(); return 0;  // an open one comes to the front
    case kCmdCloseConnection: PostMessageA(m_hwndMain, WM_CLOSE, 0, 0); return 0;
    case kCmdHideToolbar: system(framecmd::kShowToolbar); return 0;
    case kCmdRemoteInput:
      m_remoteInputDisabled = !m_remoteInputDisabled;
      system(m_remoteInputDisabled ? framecmd::kRemoteInputOff : framecmd::kRemoteInputOn);
      SendMessageA(m_hwndMain, WM_SIZE, framecmd::kRemoteInputOff, 0);
      return 0;
    case kCmdFileTransfer: ToggleSideWindow(false); return 0;
    case kCmdScreenshot: system(framecmd::kSnapshot); return 0;
    case kCmdSelectDesktop: system(framecmd::kSelectDesktop); return 0;
    case kCmdChat: ToggleSideWindow(true); return 0;
    default: return DefWindowProcA(hwnd, WM_COMMAND, wParam, lParam);
  }
}

void ClientConnection::SendCustomKey() {
  // The value comes back through the parameter: a dialog's result does not keep bit 31
  // everywhere.
  std::uint32_t value = 0;
  if (DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_CUSTOMKEY), m_hwndMain, CustomKeyDlgProc,
                      reinterpret_cast<LPARAM>(&value)) != IDOK || value == 0)
    return;
  kebLog.Print(0, "START Send Custom Key %d\n", static_cast<int>(value));
  // View-only sends no input at all, like the key commands of the frame.
  if (m_running && !m_opts.m_viewonly) {
    for (const framecmd::KeyStep& k : toolbarkeys::CustomKeySteps(value)) SendKeyEvent(k.keysym, k.down);
    if (!FlushOutputBuffer(true, kInputTimeoutSec)) m_running = false;
  }
  kebLog.Print(0, "END   Send Custom Key %d\n", static_cast<int>(value));
  if (m_hwndcn) SetForegroundWindow(m_hwndcn);
}

INT_PTR CALLBACK ClientConnection::CustomKeyDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowLongPtrA(dlg, DWLP_USER, lParam);
      SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      SetProgramIcon(dlg);
      SetFocus(GetDlgItem(dlg, IDC_CUSTOMKEY_VALUE));
      return FALSE;  // the focus is set
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: {
          char text[64] = {};
          GetDlgItemTextA(dlg, IDC_CUSTOMKEY_VALUE, text, sizeof text);
          const std::uint32_t value =
              toolbarkeys::CustomKeyValue(text, IsDlgButtonChecked(dlg, IDC_CUSTOMKEY_CTRL) == BST_CHECKED,
                                          IsDlgButtonChecked(dlg, IDC_CUSTOMKEY_ALT) == BST_CHECKED,
                                          IsDlgButtonChecked(dlg, IDC_CUSTOMKEY_ALTCTRL) == BST_CHECKED);
          if (auto* out = reinterpret_cast<std::uint32_t*>(GetWindowLongPtrA(dlg, DWLP_USER))) *out = value;
          EndDialog(dlg, IDOK);
          return TRUE;
        }
        case IDCANCEL: EndDialog(dlg, IDCANCEL); return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}
