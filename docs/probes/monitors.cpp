// The monitors a program sees: EnumDisplayMonitors (rectangle, work area, primary), the
// virtual screen, and EnumDisplayDevices with each device's current mode. Build:
//   x86_64-w64-mingw32-g++ -O1 -static -o monitors.exe monitors.cpp -luser32 -lgdi32
#include <windows.h>
#include <cstdio>
static BOOL CALLBACK cb(HMONITOR m, HDC, LPRECT r, LPARAM) {
  MONITORINFOEXA mi = {}; mi.cbSize = sizeof mi; GetMonitorInfoA(m, &mi);
  printf("monitor %p %s rect %ld,%ld-%ld,%ld work %ld,%ld-%ld,%ld primary %lu\n", (void*)m, mi.szDevice, r->left, r->top, r->right, r->bottom,
         mi.rcWork.left, mi.rcWork.top, mi.rcWork.right, mi.rcWork.bottom, mi.dwFlags & MONITORINFOF_PRIMARY);
  return TRUE;
}
int main() {
  EnumDisplayMonitors(nullptr, nullptr, cb, 0);
  printf("virtual %d,%d %dx%d\n", GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN), GetSystemMetrics(SM_CXVIRTUALSCREEN), GetSystemMetrics(SM_CYVIRTUALSCREEN));
  DISPLAY_DEVICEA dd = {}; dd.cb = sizeof dd;
  for (DWORD i = 0; EnumDisplayDevicesA(nullptr, i, &dd, 0); i++) {
    DEVMODEA dm = {}; dm.dmSize = sizeof dm;
    BOOL ok = EnumDisplaySettingsExA(dd.DeviceName, ENUM_CURRENT_SETTINGS, &dm, 0);
    printf("device %s '%s' flags 0x%lx mode %d: %lux%lu @ %ld,%ld %lu bpp %lu Hz\n", dd.DeviceName, dd.DeviceString, dd.StateFlags, ok, dm.dmPelsWidth, dm.dmPelsHeight, dm.dmPosition.x, dm.dmPosition.y, dm.dmBitsPerPel, dm.dmDisplayFrequency);
    dd = DISPLAY_DEVICEA{}; dd.cb = sizeof dd;
  }
}
