// Can a window be made topmost and back? Alone, maximised as a popup, and once it owns
// another popup (the full-screen title bar's case); then with that popup's owner taken
// away for the change. Prints the extended style after each step. Build:
//   x86_64-w64-mingw32-g++ -O1 -static -o topmost_owner.exe topmost_owner.cpp -luser32
#include <windows.h>
#include <cstdio>
int main() {
  WNDCLASSA wc = {}; wc.lpfnWndProc = DefWindowProcA; wc.hInstance = GetModuleHandleA(nullptr); wc.lpszClassName = "t"; RegisterClassA(&wc);
  HWND h = CreateWindowExA(0, "t", "t", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 200, 200, 0, 0, wc.hInstance, 0);
  auto ex = [&](const char* what) { printf("%-40s exstyle %lx foreground %d\n", what, (unsigned long)GetWindowLongA(h, GWL_EXSTYLE), GetForegroundWindow() == h); };
  ex("created");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST noactivate");
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("NOTOPMOST");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); ex("TOPMOST");
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); ex("NOTOPMOST");
  LONG st = GetWindowLongA(h, GWL_STYLE); SetWindowLongA(h, GWL_STYLE, (st & ~(WS_CAPTION|WS_THICKFRAME)) | WS_POPUP | WS_MAXIMIZE);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 300, 300, SWP_FRAMECHANGED); ex("popup+maximize TOPMOST framechanged");
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("NOTOPMOST");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST noactivate (maximized)");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); ex("TOPMOST (maximized)");
  HWND bar = CreateWindowExA(WS_EX_TOOLWINDOW, "t", "bar", WS_POPUP | WS_VISIBLE, 50, 0, 100, 20, h, 0, wc.hInstance, 0);
  ex("owned popup made");
  printf("bar exstyle %lx\n", (unsigned long)GetWindowLongA(bar, GWL_EXSTYLE));
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("NOTOPMOST with owned popup");
  printf("bar exstyle %lx\n", (unsigned long)GetWindowLongA(bar, GWL_EXSTYLE));
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST with owned popup");
  SetWindowPos(bar, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("both NOTOPMOST");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST owner after bar not topmost");
  SetWindowPos(bar, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST owner after bar topmost");
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); ex("TOPMOST with owned popup, activating");
  ShowWindow(bar, SW_HIDE);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST with the owned popup hidden");
  ShowWindow(bar, SW_SHOWNA);
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("NOTOPMOST popup shown");
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, 0);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST after the popup lost its owner");
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, (LONG_PTR)h);
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("owned again, NOTOPMOST");
  printf("bar exstyle %lx owner %p\n", (unsigned long)GetWindowLongA(bar, GWL_EXSTYLE), (void*)GetWindow(bar, GW_OWNER));
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, 0);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, (LONG_PTR)h);
  SetWindowPos(bar, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ex("TOPMOST with the owner taken away for it");
  printf("bar exstyle %lx owner %p\n", (unsigned long)GetWindowLongA(bar, GWL_EXSTYLE), (void*)GetWindow(bar, GW_OWNER));
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, 0);
  SetWindowPos(h, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowPos(bar, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SetWindowLongPtrA(bar, GWLP_HWNDPARENT, (LONG_PTR)h);
  ex("NOTOPMOST the same way");
  printf("bar exstyle %lx owner %p\n", (unsigned long)GetWindowLongA(bar, GWL_EXSTYLE), (void*)GetWindow(bar, GW_OWNER));
  SetWindowLongA(h, GWL_STYLE, GetWindowLongA(h, GWL_STYLE) & ~WS_MAXIMIZE);
  SetWindowPos(h, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE); ex("TOPMOST noactivate (popup, not maximized)");
}
