#include "dialogs/DialogHelpers.h"

#include <commctrl.h>

#include <string>

#include "resources/resource.h"

namespace {

const wchar_t kTitle[] = L"Brandwyn Viewer";
constexpr int kProgramIcon = 101;

const char kOriginalProc[] = "_Hyperlink_Original_Proc_";
const char kOriginalFont[] = "_Hyperlink_Original_Font_";
const char kUnderlineFont[] = "_Hyperlink_Underline_Font_";
const char kFromStatic[] = "_Hyperlink_From_Static_";

// ANSI text as UTF-16, at most maxChars characters.
std::wstring Wide(const char* text, std::size_t maxChars) {
  if (!text || !*text) return std::wstring();
  int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &w[0], n);
  w.resize(static_cast<std::size_t>(n - 1));
  if (w.size() > maxChars) w.resize(maxChars);
  return w;
}

using TaskDialogIndirectFn = HRESULT(WINAPI*)(const TASKDIALOGCONFIG*, int*, int*, BOOL*);

// The task-dialog function of comctl32 version 6 (the program's manifest asks for it).
TaskDialogIndirectFn TaskDialogFunction() {
  static TaskDialogIndirectFn fn = [] {
    HMODULE m = LoadLibraryA("comctl32.dll");
    if (!m) return static_cast<TaskDialogIndirectFn>(nullptr);
    FARPROC p = GetProcAddress(m, "TaskDialogIndirect");
    if (!p) p = GetProcAddress(m, MAKEINTRESOURCEA(345));
    return reinterpret_cast<TaskDialogIndirectFn>(p);
  }();
  return fn;
}

int ResultFrom(HRESULT hr, bool yes) {
  int r = static_cast<int>(hr) & ~0xFF;
  if (SUCCEEDED(hr) && yes) r |= 1;
  return r;
}

}  // namespace

int ShowMessageTaskDialog(HINSTANCE instance, HWND parent, const char* content, const char* instruction,
                          UINT iconCode) {
  std::wstring wInstruction = Wide(instruction, 127);
  std::wstring wContent = Wide(content, 2047);
  TaskDialogIndirectFn taskDialog = TaskDialogFunction();
  if (!taskDialog) {
    int r = MessageBoxA(parent, content ? content : "", instruction ? instruction : "", MB_OK | (iconCode & MB_ICONMASK));
    return r == IDOK ? 1 : 0;
  }
  TASKDIALOGCONFIG cfg = {};
  cfg.cbSize = sizeof cfg;
  cfg.hwndParent = parent;
  cfg.hInstance = instance;
  cfg.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION;
  cfg.dwCommonButtons = TDCBF_OK_BUTTON;
  cfg.pszWindowTitle = kTitle;
  cfg.pszMainInstruction = wInstruction.c_str();
  cfg.pszContent = wContent.c_str();
  switch (iconCode & MB_ICONMASK) {
    case MB_ICONERROR: cfg.pszMainIcon = TD_ERROR_ICON; break;
    case MB_ICONWARNING: cfg.pszMainIcon = TD_WARNING_ICON; break;
    case MB_ICONINFORMATION: cfg.pszMainIcon = TD_INFORMATION_ICON; break;
    default: cfg.pszMainIcon = MAKEINTRESOURCEW(kProgramIcon); break;
  }
  int button = 0;
  HRESULT hr = taskDialog(&cfg, &button, nullptr, nullptr);
  return ResultFrom(hr, button == IDOK);
}

int ShowChoiceTaskDialog(HINSTANCE instance, HWND parent, const char* instruction, const char* content,
                         const char* first, const char* second, const char* checkText, BOOL* checked) {
  std::wstring wInstruction = Wide(instruction, 127);
  std::wstring wContent = Wide(content, 1023);
  std::wstring wFirst = Wide(first, 511);
  std::wstring wSecond = Wide(second, 511);
  std::wstring wCheck = Wide(checkText, 1023);
  TaskDialogIndirectFn taskDialog = TaskDialogFunction();
  if (!taskDialog) {
    std::string text = std::string(instruction ? instruction : "") + "\n\n" + (content ? content : "");
    return MessageBoxA(parent, text.c_str(), "Brandwyn Viewer", MB_YESNO | MB_DEFBUTTON2 | MB_ICONQUESTION) == IDYES
               ? 1
               : 0;
  }
  TASKDIALOG_BUTTON buttons[2] = {{1000, wFirst.c_str()}, {1001, wSecond.c_str()}};
  TASKDIALOGCONFIG cfg = {};
  cfg.cbSize = sizeof cfg;
  cfg.hwndParent = parent;
  cfg.hInstance = instance;
  cfg.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_USE_COMMAND_LINKS;
  cfg.pszWindowTitle = kTitle;
  cfg.pszMainIcon = MAKEINTRESOURCEW(kProgramIcon);
  cfg.pszMainInstruction = wInstruction.c_str();
  cfg.pszContent = wContent.c_str();
  cfg.cButtons = 2;
  cfg.pButtons = buttons;
  cfg.nDefaultButton = 1001;
  if (!wCheck.empty()) cfg.pszVerificationText = wCheck.c_str();
  int button = 0;
  BOOL verified = FALSE;
  HRESULT hr = taskDialog(&cfg, &button, nullptr, wCheck.empty() ? nullptr : &verified);
  if (!wCheck.empty() && checked && SUCCEEDED(hr)) *checked = verified;
  return ResultFrom(hr, button == 1000);
}

int ShowWarningTaskDialog(HINSTANCE instance, HWND parent, const char* title, const char* instruction,
                          const char* content, const char* extraButton, const char* checkText, BOOL* checked) {
  std::wstring wTitle = Wide(title, 127);
  std::wstring wInstruction = Wide(instruction, 127);
  std::wstring wContent = Wide(content, 2047);
  std::wstring wExtra = Wide(extraButton, 127);
  std::wstring wCheck = Wide(checkText, 1023);
  TaskDialogIndirectFn taskDialog = TaskDialogFunction();
  if (!taskDialog) return IDCANCEL;
  TASKDIALOG_BUTTON extra = {1000, wExtra.c_str()};
  TASKDIALOGCONFIG cfg = {};
  cfg.cbSize = sizeof cfg;
  cfg.hwndParent = parent;
  cfg.hInstance = instance;
  cfg.dwFlags = TDF_ALLOW_DIALOG_CANCELLATION | TDF_SIZE_TO_CONTENT;
  cfg.dwCommonButtons = TDCBF_OK_BUTTON | TDCBF_CANCEL_BUTTON;
  cfg.pszWindowTitle = wTitle.c_str();
  cfg.pszMainIcon = MAKEINTRESOURCEW(kProgramIcon);
  cfg.pszMainInstruction = wInstruction.c_str();
  cfg.pszContent = wContent.c_str();
  if (!wExtra.empty()) {
    cfg.cButtons = 1;
    cfg.pButtons = &extra;
  }
  if (!wCheck.empty()) cfg.pszVerificationText = wCheck.c_str();
  int button = 0;
  BOOL verified = FALSE;
  HRESULT hr = taskDialog(&cfg, &button, nullptr, wCheck.empty() ? nullptr : &verified);
  if (FAILED(hr)) return IDCANCEL;
  if (checked) *checked = verified;
  return button;
}

// ---------------------------------------------------------------------------------------
// Hyperlinks

BOOL ConvertStaticToHyperlink(HWND dialog, int controlId) {
  HWND control = GetDlgItem(dialog, controlId);
  HWND parent = control ? GetParent(control) : nullptr;
  if (parent && GetWindowProcedure(parent) != HyperlinkParentWndProc) {
    SetPropA(parent, kOriginalProc, reinterpret_cast<HANDLE>(GetWindowProcedure(parent)));
    SetWindowProcedure(parent, HyperlinkParentWndProc);
  }
  if (!control) return TRUE;
  SetWindowLongPtrA(control, GWL_STYLE, GetWindowLongPtrA(control, GWL_STYLE) | SS_NOTIFY);
  SetPropA(control, kOriginalProc, reinterpret_cast<HANDLE>(GetWindowProcedure(control)));
  SetWindowProcedure(control, HyperlinkWndProc);

  HFONT font = reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
  SetPropA(control, kOriginalFont, font);
  LOGFONTA lf = {};
  GetObjectA(font ? static_cast<HGDIOBJ>(font) : GetStockObject(DEFAULT_GUI_FONT), sizeof lf, &lf);
  lf.lfUnderline = TRUE;
  SetPropA(control, kUnderlineFont, CreateFontIndirectA(&lf));
  SetPropA(control, kFromStatic, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(1)));
  return TRUE;
}

LRESULT CALLBACK HyperlinkParentWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC original = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kOriginalProc));
  if (!original) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_CTLCOLORSTATIC: {
      HWND control = reinterpret_cast<HWND>(lParam);
      LRESULT r = CallWindowProcA(original, hwnd, msg, wParam, lParam);
      if (GetPropA(control, kFromStatic)) SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 192));
      return r;
    }
    case WM_DESTROY:
      SetWindowProcedure(hwnd, original);
      RemovePropA(hwnd, kOriginalProc);
      return CallWindowProcA(original, hwnd, msg, wParam, lParam);
    default:
      return CallWindowProcA(original, hwnd, msg, wParam, lParam);
  }
}

LRESULT CALLBACK HyperlinkWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  WNDPROC original = reinterpret_cast<WNDPROC>(GetPropA(hwnd, kOriginalProc));
  if (!original) return DefWindowProcA(hwnd, msg, wParam, lParam);
  switch (msg) {
    case WM_SETCURSOR: {
      HCURSOR hand = LoadCursorA(nullptr, MAKEINTRESOURCEA(32649));  // IDC_HAND
      SetCursor(hand ? hand : LoadCursorA(nullptr, MAKEINTRESOURCEA(32512)));  // IDC_ARROW
      return TRUE;
    }
    case WM_MOUSEMOVE:
      if (GetCapture() != hwnd) {
        SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetPropA(hwnd, kUnderlineFont)), FALSE);
        InvalidateRect(hwnd, nullptr, FALSE);
        SetCapture(hwnd);
      } else {
        RECT rc;
        GetWindowRect(hwnd, &rc);
        POINT pt = {static_cast<short>(LOWORD(lParam)), static_cast<short>(HIWORD(lParam))};
        ClientToScreen(hwnd, &pt);
        if (!PtInRect(&rc, pt)) {
          SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetPropA(hwnd, kOriginalFont)), FALSE);
          InvalidateRect(hwnd, nullptr, FALSE);
          ReleaseCapture();
        }
      }
      break;
    case WM_DESTROY: {
      SetWindowProcedure(hwnd, original);
      SendMessageA(hwnd, WM_SETFONT, reinterpret_cast<WPARAM>(GetPropA(hwnd, kOriginalFont)), FALSE);
      HANDLE underline = GetPropA(hwnd, kUnderlineFont);
      if (underline) DeleteObject(static_cast<HGDIOBJ>(underline));
      RemovePropA(hwnd, kOriginalProc);
      RemovePropA(hwnd, kOriginalFont);
      RemovePropA(hwnd, kUnderlineFont);
      RemovePropA(hwnd, kFromStatic);
      break;
    }
    default:
      break;
  }
  return CallWindowProcA(original, hwnd, msg, wParam, lParam);
}

// ---------------------------------------------------------------------------------------
// Window-long wrappers

HINSTANCE GetWindowInstanceHandle(HWND hwnd) {
  return reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(hwnd, GWLP_HINSTANCE));
}

WNDPROC GetWindowProcedure(HWND hwnd) { return reinterpret_cast<WNDPROC>(GetWindowLongPtrA(hwnd, GWLP_WNDPROC)); }

LONG_PTR SetWindowExtraPointer(HWND hwnd, void* value) {
  return SetWindowLongPtrA(hwnd, 0, reinterpret_cast<LONG_PTR>(value));
}

WNDPROC SetWindowProcedure(HWND hwnd, WNDPROC proc) {
  return reinterpret_cast<WNDPROC>(SetWindowLongPtrA(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(proc)));
}

LONG_PTR SetWindowUserData(HWND hwnd, void* pointer) {
  return SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(pointer));
}

int WindowDpi(HWND hwnd) {
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto get =
      reinterpret_cast<GetDpiForWindowFn>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow"));
  const UINT dpi = get && hwnd ? get(hwnd) : 0;
  if (dpi) return static_cast<int>(dpi);
  HDC dc = GetDC(nullptr);
  const int d = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 96;
  if (dc) ReleaseDC(nullptr, dc);
  return d > 0 ? d : 96;
}

void SetProgramIcon(HWND window) {
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
  if (!icon) return;
  SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}
