/* The Wine baseline of the end-to-end comparison: a trivial GUI program (Winsock
 * started, one window shown, a message loop) that ends by itself after 20 s. Its peak
 * memory is what any Wine program of this kind costs on the prefix. */
#include <winsock2.h>
#include <windows.h>

int WINAPI WinMain(HINSTANCE self, HINSTANCE prev, LPSTR cmd, int show) {
  (void)prev;
  (void)cmd;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  WNDCLASSA wc = {0};
  wc.lpfnWndProc = DefWindowProcA;
  wc.hInstance = self;
  wc.lpszClassName = "KEBidle";
  RegisterClassA(&wc);
  HWND w = CreateWindowA("KEBidle", "idle", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, NULL, NULL, self, NULL);
  ShowWindow(w, show);
  SetTimer(w, 1, 20000, NULL);
  MSG msg;
  while (GetMessageA(&msg, NULL, 0, 0) > 0) {
    if (msg.message == WM_TIMER) break;
    DispatchMessageA(&msg);
  }
  WSACleanup();
  return 0;
}
