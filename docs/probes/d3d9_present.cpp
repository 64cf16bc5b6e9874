// Does a Direct3D 9 presentation reach the screen? A window (top-level, or a child of one
// with "child", with WS_CLIPCHILDREN on the parent with "childclip"), a device on it, a
// system-memory surface of four coloured quadrants copied to the back buffer (the way the
// viewer presents its framebuffer), Present. Then it prints what reached the window: GDI
// reads of the window's DC and of the screen DC, GetFrontBufferData, the back buffer, and
// whether BitBlt can read the window's DC; with "readloop N" it then presents and reads the
// window back N times (300 by default); with "gdiafter" it releases the device and
// fills the window by GDI; "popup", "popuphidden", "popupthread" and "popuphiddenthread"
// present into an owned pop-up over the window (see main). It keeps the window up for an xwd of the X screen
// (run_d3d9_present.sh). Build:
//   x86_64-w64-mingw32-g++ -O1 -static -o d3d9_present.exe d3d9_present.cpp -ld3d9 -lgdi32 -luser32
#include <windows.h>
#include <d3d9.h>
#include <cstdio>
#include <cstring>

static IDirect3DDevice9* dev = nullptr;
static IDirect3DSurface9* surf = nullptr;
static const int W = 100, H = 80;
static const DWORD quad[4] = {0x00FF0000, 0x0000FF00, 0x000000FF, 0x00FFFFFF};

static HRESULT present() {
  IDirect3DSurface9* back = nullptr;
  HRESULT hr = dev->BeginScene();
  if (FAILED(hr)) return hr;
  hr = dev->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
  if (SUCCEEDED(hr)) hr = dev->UpdateSurface(surf, nullptr, back, nullptr);
  if (back) back->Release();
  dev->EndScene();
  if (FAILED(hr)) return hr;
  return dev->Present(nullptr, nullptr, nullptr, nullptr);
}

static LRESULT CALLBACK Proc(HWND h, UINT m, WPARAM w, LPARAM l) {
  if (m == WM_PAINT && dev) {
    PAINTSTRUCT ps; BeginPaint(h, &ps); EndPaint(h, &ps);
    present();
    return 0;
  }
  return DefWindowProcA(h, m, w, l);
}

static IDirect3D9* d3d = nullptr;
static D3DPRESENT_PARAMETERS pp = {};
static HRESULT createHr = E_FAIL;
static DWORD WINAPI CreateOnThread(LPVOID) {
  createHr = d3d->CreateDevice(0, D3DDEVTYPE_HAL, pp.hDeviceWindow, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &dev);
  return 0;
}

int main(int argc, char** argv) {
  bool child = argc > 1 && !strncmp(argv[1], "child", 5); bool clip = argc > 1 && !strcmp(argv[1], "childclip");
  // "popup...": an owned pop-up (WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW) over a frame window;
  // "popuphidden": the device is made while the pop-up is hidden, which is shown after;
  // "popupthread": the device is made on another thread than the pop-up's;
  // "popuphiddenthread": both.
  bool popup = argc > 1 && !strncmp(argv[1], "popup", 5);
  bool hidden = popup && strstr(argv[1], "hidden"), onThread = popup && strstr(argv[1], "thread");
  int holdMs = argc > 2 ? atoi(argv[2]) : 3000;
  WNDCLASSA wc = {}; wc.lpfnWndProc = Proc; wc.hInstance = GetModuleHandleA(nullptr);
  wc.hbrBackground = (HBRUSH)GetStockObject(BLACK_BRUSH); wc.lpszClassName = "probe";
  RegisterClassA(&wc);
  HWND top = CreateWindowExA(0, "probe", "d3dprobe", WS_POPUP | WS_VISIBLE | (clip ? WS_CLIPCHILDREN : 0), 100, 100, 200, 160, nullptr, nullptr, wc.hInstance, nullptr);
  HWND target = top;
  if (child) target = CreateWindowExA(0, "probe", "child", WS_CHILD | WS_VISIBLE, 0, 0, 200, 160, top, nullptr, wc.hInstance, nullptr);
  if (popup) target = CreateWindowExA(WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, "probe", "", WS_POPUP | (hidden ? 0 : WS_VISIBLE), 100, 100, 200, 160, top, nullptr, wc.hInstance, nullptr);
  UpdateWindow(top);
  d3d = Direct3DCreate9(D3D_SDK_VERSION);
  if (!d3d) { printf("Direct3DCreate9 failed\n"); return 2; }
  D3DDISPLAYMODE mode = {}; HRESULT hr = d3d->GetAdapterDisplayMode(0, &mode);
  D3DADAPTER_IDENTIFIER9 id = {}; d3d->GetAdapterIdentifier(0, 0, &id);
  printf("adapter: %s / %s, display mode hr=0x%08lx %ux%u format %d\n", id.Description, id.Driver, hr, mode.Width, mode.Height, mode.Format);
  pp.BackBufferWidth = W; pp.BackBufferHeight = H; pp.BackBufferFormat = mode.Format; pp.BackBufferCount = 2;
  pp.SwapEffect = D3DSWAPEFFECT_DISCARD; pp.hDeviceWindow = target; pp.Windowed = TRUE;
  pp.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
  if (onThread) {
    HANDLE t = CreateThread(nullptr, 0, CreateOnThread, nullptr, 0, nullptr);
    WaitForSingleObject(t, INFINITE);
    CloseHandle(t);
    hr = createHr;
  } else {
    hr = d3d->CreateDevice(0, D3DDEVTYPE_HAL, target, D3DCREATE_SOFTWARE_VERTEXPROCESSING, &pp, &dev);
  }
  printf("CreateDevice hr=0x%08lx%s%s\n", hr, hidden ? " (window hidden)" : "", onThread ? " (on another thread)" : "");
  if (hidden) SetWindowPos(target, nullptr, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  if (FAILED(hr)) return 3;
  hr = dev->CreateOffscreenPlainSurface(W, H, mode.Format, D3DPOOL_SYSTEMMEM, &surf, nullptr);
  printf("CreateOffscreenPlainSurface hr=0x%08lx\n", hr);
  D3DLOCKED_RECT lr = {};
  hr = surf->LockRect(&lr, nullptr, 0);
  printf("LockRect hr=0x%08lx pitch %d\n", hr, lr.Pitch);
  for (int y = 0; y < H; y++) {
    DWORD* row = (DWORD*)((BYTE*)lr.pBits + y * lr.Pitch);
    for (int x = 0; x < W; x++) row[x] = quad[(y >= H / 2) * 2 + (x >= W / 2)];
  }
  surf->UnlockRect();
  hr = present();
  printf("Present hr=0x%08lx\n", hr);
  // Let the window system catch up, presenting again meanwhile.
  for (int i = 0; i < 20; i++) {
    MSG msg; while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    Sleep(25);
  }
  present();
  GdiFlush();
  Sleep(200);
  RECT cr; GetClientRect(target, &cr); POINT o = {0, 0}; ClientToScreen(target, &o);
  printf("client at screen %ld,%ld size %ldx%ld\n", o.x, o.y, cr.right, cr.bottom);
  // GDI read-back of the window's own DC and of the screen.
  HDC wdc = GetDC(target), sdc = GetDC(nullptr);
  { RECT cb; int k = GetClipBox(wdc, &cb); printf("clip box kind %d %ld,%ld-%ld,%ld visible %d\n", k, cb.left, cb.top, cb.right, cb.bottom, IsWindowVisible(target)); }
  for (int q = 0; q < 4; q++) {
    int x = (q & 1) ? cr.right * 3 / 4 : cr.right / 4, y = (q & 2) ? cr.bottom * 3 / 4 : cr.bottom / 4;
    COLORREF a = GetPixel(wdc, x, y), b = GetPixel(sdc, o.x + x, o.y + y);
    DWORD want = quad[q];
    printf("quadrant %d at %d,%d: want %06lx  window DC %08lx  screen DC %08lx (COLORREF, 0x00bbggrr)\n", q, x, y,
           want, (unsigned long)a, (unsigned long)b);
  }
  ReleaseDC(target, wdc); ReleaseDC(nullptr, sdc);
  // GetFrontBufferData: the screen as Direct3D sees it.
  IDirect3DSurface9* front = nullptr;
  hr = dev->CreateOffscreenPlainSurface(mode.Width, mode.Height, D3DFMT_A8R8G8B8, D3DPOOL_SYSTEMMEM, &front, nullptr);
  if (SUCCEEDED(hr)) hr = dev->GetFrontBufferData(0, front);
  printf("GetFrontBufferData hr=0x%08lx\n", hr);
  if (SUCCEEDED(hr) && SUCCEEDED(front->LockRect(&lr, nullptr, D3DLOCK_READONLY))) {
    for (int q = 0; q < 4; q++) {
      int x = o.x + ((q & 1) ? cr.right * 3 / 4 : cr.right / 4), y = o.y + ((q & 2) ? cr.bottom * 3 / 4 : cr.bottom / 4);
      printf("quadrant %d front buffer %06lx\n", q, ((DWORD*)((BYTE*)lr.pBits + y * lr.Pitch))[x] & 0xFFFFFF);
    }
    front->UnlockRect();
  }
  if (front) front->Release();
  // GetRenderTargetData from the back buffer.
  IDirect3DSurface9* back = nullptr; IDirect3DSurface9* copy = nullptr;
  dev->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back);
  dev->CreateOffscreenPlainSurface(W, H, mode.Format, D3DPOOL_SYSTEMMEM, &copy, nullptr);
  hr = back && copy ? dev->GetRenderTargetData(back, copy) : E_FAIL;
  printf("GetRenderTargetData hr=0x%08lx\n", hr);
  if (SUCCEEDED(hr) && SUCCEEDED(copy->LockRect(&lr, nullptr, D3DLOCK_READONLY))) {
    printf("back buffer pixel 10,10 = %06lx, 90,70 = %06lx\n", ((DWORD*)((BYTE*)lr.pBits + 10 * lr.Pitch))[10] & 0xFFFFFF,
           ((DWORD*)((BYTE*)lr.pBits + 70 * lr.Pitch))[90] & 0xFFFFFF);
    copy->UnlockRect();
  }
  { HDC c = GetDC(target); HDC m = CreateCompatibleDC(c); HBITMAP b = CreateCompatibleBitmap(c, 4, 4); HGDIOBJ o = SelectObject(m, b);
    BOOL ok = BitBlt(m, 0, 0, 4, 4, c, 10, 10, SRCCOPY); printf("BitBlt from the window DC: %d (error %lu)\n", ok, GetLastError());
    SelectObject(m, o); DeleteObject(b); DeleteDC(m); ReleaseDC(target, c); }
  if (argc > 3 && !strcmp(argv[3], "readloop")) {
    // Present and read the window back with BitBlt, round after round (the way a check
    // right after each presentation would); a line every 50 rounds shows how far it got.
    const int rounds = argc > 4 ? atoi(argv[4]) : 300;
    HDC c = GetDC(target); HDC m = CreateCompatibleDC(c); HBITMAP b = CreateCompatibleBitmap(c, W, H);
    HGDIOBJ o = SelectObject(m, b);
    int read = 0;
    for (int i = 1; i <= rounds; i++) {
      MSG msg; while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
      present();
      if (BitBlt(m, 0, 0, W, H, c, 0, 0, SRCCOPY)) read++;
      if (i % 50 == 0) { printf("readloop: %d rounds, %d read\n", i, read); fflush(stdout); }
    }
    SelectObject(m, o); DeleteObject(b); DeleteDC(m); ReleaseDC(target, c);
    printf("readloop done\n");
    return 0;
  }
  if (argc > 3 && !strcmp(argv[3], "gdiafter")) {
    if (surf) surf->Release(); surf = nullptr; dev->Release(); dev = nullptr; d3d->Release();
    HDC c = GetDC(target); RECT rr; GetClientRect(target, &rr); HBRUSH br = CreateSolidBrush(RGB(0xFF, 0x80, 0));
    FillRect(c, &rr, br); ReleaseDC(target, c); GdiFlush();
    printf("released the device and filled the window with ff8000 by GDI\n");
    fflush(stdout);
    DWORD end2 = GetTickCount() + holdMs;
    while (GetTickCount() < end2) { MSG msg; while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg); Sleep(50); }
    return 0;
  }
  fflush(stdout);
  DWORD end = GetTickCount() + holdMs;
  while (GetTickCount() < end) {
    MSG msg; while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    present();
    Sleep(50);
  }
  return 0;
}
