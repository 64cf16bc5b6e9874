// A program's second top-level window over its first, under Wine on an X display without
// a window manager: a large red window, and 0.5 s later (DELAY ms) a second window over
// it. Modes: box (MessageBox, no owner), owned (MessageBox owned by the large window),
// thread (MessageBox on a thread of its own), popup (a WS_POPUP window painted green),
// noactivate (the same shown with SW_SHOWNOACTIVATE), hideshow (the popup, then the
// large window hidden and shown again without activation), alone (no second window) and
// boxonly (no large window, the box alone: run beside "alone", the box of another
// process over the large window). run_popup_over_own_window.py
// runs each mode and reads the second window's place on the X screen. Build:
//   x86_64-w64-mingw32-g++ -O1 -static -o popup_over_own_window.exe popup_over_own_window.cpp -luser32 -lgdi32
#include <windows.h>

#include <cstdlib>
#include <cstring>

namespace {

const char* g_mode = "box";

LRESULT CALLBACK PopupProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    HBRUSH b = CreateSolidBrush(RGB(30, 200, 60));
    FillRect(dc, &ps.rcPaint, b);
    DeleteObject(b);
    EndPaint(h, &ps);
    return 0;
  }
  return DefWindowProcA(h, m, w, l);
}

DWORD WINAPI BoxThread(LPVOID) {
  MessageBoxA(nullptr, "A box over the program's own window.", "Own box", MB_OK);
  return 0;
}

HWND Popup(DWORD style) {
  return CreateWindowExA(0, "OwnPopup", "Own box", WS_POPUP | WS_CAPTION | style, 400, 350, 400, 200, nullptr,
                         nullptr, GetModuleHandleA(nullptr), nullptr);
}

LRESULT CALLBACK BigProc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_PAINT) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(h, &ps);
    HBRUSH b = CreateSolidBrush(RGB(200, 30, 60));
    FillRect(dc, &ps.rcPaint, b);
    DeleteObject(b);
    EndPaint(h, &ps);
    return 0;
  }
  if (m == WM_TIMER) {
    KillTimer(h, 1);
    const char* text = "A box over the program's own window.";
    if (!strcmp(g_mode, "alone")) {
    } else if (!strcmp(g_mode, "owned")) {
      MessageBoxA(h, text, "Own box", MB_OK);
    } else if (!strcmp(g_mode, "thread")) {
      CloseHandle(CreateThread(nullptr, 0, BoxThread, nullptr, 0, nullptr));
    } else if (!strcmp(g_mode, "popup")) {
      Popup(WS_VISIBLE);
    } else if (!strcmp(g_mode, "noactivate")) {
      ShowWindow(Popup(0), SW_SHOWNOACTIVATE);
    } else if (!strcmp(g_mode, "hideshow")) {
      UpdateWindow(Popup(WS_VISIBLE));
      ShowWindow(h, SW_HIDE);
      ShowWindow(h, SW_SHOWNA);
    } else {
      MessageBoxA(nullptr, text, "Own box", MB_OK);
    }
    return 0;
  }
  return DefWindowProcA(h, m, w, l);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_mode = argv[1];
  HINSTANCE self = GetModuleHandleA(nullptr);
  WNDCLASSA pc = {};
  pc.lpfnWndProc = PopupProc;
  pc.hInstance = self;
  pc.lpszClassName = "OwnPopup";
  RegisterClassA(&pc);
  WNDCLASSA wc = {};
  wc.lpfnWndProc = BigProc;
  wc.hInstance = self;
  wc.lpszClassName = "OwnBig";
  RegisterClassA(&wc);
  if (!strcmp(g_mode, "boxonly")) return MessageBoxA(nullptr, "A box of another program.", "Own box", MB_OK) ? 0 : 1;
  HWND h = CreateWindowExA(0, "OwnBig", "own big", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 40, 1200, 900, nullptr,
                           nullptr, self, nullptr);
  SetTimer(h, 1, getenv("DELAY") ? atoi(getenv("DELAY")) : 500, nullptr);
  MSG msg;
  while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
  return 0;
}
