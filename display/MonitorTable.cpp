#include "display/MonitorTable.h"

#include <vector>

MonitorTable::MonitorTable() {
  m_user32 = LoadLibraryA("user32.dll");
  Enumerate();
}

MonitorTable::~MonitorTable() {
  if (m_user32) FreeLibrary(m_user32);
}

void MonitorTable::Enumerate() {
  std::vector<monitors::Device> devices;
  DISPLAY_DEVICEA dd = {};
  dd.cb = sizeof dd;
  for (DWORD i = 0; EnumDisplayDevicesA(nullptr, i, &dd, 0); i++, dd = DISPLAY_DEVICEA{sizeof dd}) {
    monitors::Device d;
    d.primary = (dd.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) != 0;
    d.mirroring = (dd.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER) != 0;
    d.attached = (dd.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) != 0;
    if (d.mirroring || !d.attached) continue;

    DISPLAY_DEVICEA md = {};
    md.cb = sizeof md;
    for (DWORD m = 0; EnumDisplayDevicesA(dd.DeviceName, m, &md, 0); m++, md = DISPLAY_DEVICEA{sizeof md})
      d.monitors.push_back({md.DeviceString, (md.StateFlags & DISPLAY_DEVICE_ACTIVE) != 0});

    DEVMODEA mode = {};
    mode.dmSize = sizeof mode;
    d.haveMode = EnumDisplaySettingsExA(dd.DeviceName, ENUM_CURRENT_SETTINGS, &mode, 0) ||
                 EnumDisplaySettingsExA(dd.DeviceName, ENUM_REGISTRY_SETTINGS, &mode, 0);
    if (d.haveMode) {
      d.width = static_cast<int>(mode.dmPelsWidth);
      d.height = static_cast<int>(mode.dmPelsHeight);
      d.depth = static_cast<int>(mode.dmBitsPerPel);
      d.x = mode.dmPosition.x;
      d.y = mode.dmPosition.y;
      d.frequency = static_cast<int>(mode.dmDisplayFrequency);
      HMONITOR hm = MonitorFromPoint(POINT{d.x, d.y}, MONITOR_DEFAULTTONEAREST);
      d.monitor = hm;
      MONITORINFO mi = {};
      mi.cbSize = sizeof mi;
      if (hm && GetMonitorInfoA(hm, &mi))
        d.workArea = {mi.rcWork.left, mi.rcWork.top, mi.rcWork.right, mi.rcWork.bottom};
      else
        d.workArea = {d.x, d.y, d.x + d.width, d.y + d.height};
    }
    devices.push_back(d);
  }

  monitors::Desktop desktop;
  desktop.x = GetSystemMetrics(SM_XVIRTUALSCREEN);
  desktop.y = GetSystemMetrics(SM_YVIRTUALSCREEN);
  desktop.width = GetSystemMetrics(SM_CXVIRTUALSCREEN);
  desktop.height = GetSystemMetrics(SM_CYVIRTUALSCREEN);
  RECT work = {};
  if (SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0))
    desktop.systemWorkArea = {work.left, work.top, work.right, work.bottom};
  m_count = monitors::BuildTable(devices, desktop, m_entries);
}

int MonitorTable::IndexOfWindow(HWND hwnd, bool force) const {
  if (force) return 0;
  return monitors::IndexOfMonitor(m_entries, m_count, MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), false);
}
