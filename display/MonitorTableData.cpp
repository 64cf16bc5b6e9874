#include "display/MonitorTableData.h"

#include <algorithm>
#include <cstdio>

namespace monitors {

namespace {

void Copy(char (&dst)[kTextCapacity], const std::string& src) { std::snprintf(dst, sizeof dst, "%s", src.c_str()); }

void FillDeviceEntry(Entry& e, const Device& d, int number) {
  e = Entry();
  e.width = d.width;
  e.height = d.height;
  e.depth = d.depth;
  e.x = d.x;
  e.y = d.y;
  e.frequency = d.frequency;
  Copy(e.deviceName, ChooseMonitorName(d.monitors));
  std::snprintf(e.description, sizeof e.description, "%d. %d x %d @ %d,%d - %d-bit - %d Hz", number, d.width,
                d.height, d.x, d.y, d.depth, d.frequency);
  e.workArea = d.workArea;
  e.monitor = d.monitor;
}

}  // namespace

std::string ChooseMonitorName(const std::vector<MonitorName>& monitors) {
  for (const MonitorName& m : monitors)
    if (m.active && !m.name.empty()) return m.name;
  if (!monitors.empty() && !monitors.front().name.empty()) return monitors.front().name;
  return "Default Monitor";
}

Rect AllDisplaysWorkArea(const Desktop& desktop, const Entry& primary) {
  Rect r{desktop.x, desktop.y, desktop.x + desktop.width, desktop.y + desktop.height};
  const Rect p{primary.x, primary.y, primary.x + primary.width, primary.y + primary.height};
  const Rect& w = desktop.systemWorkArea;
  // A work area that is not inside the primary monitor tells nothing about its taskbars.
  if (w.left < p.left || w.top < p.top || w.right > p.right || w.bottom > p.bottom || w.left >= w.right ||
      w.top >= w.bottom)
    return r;
  if (p.left == r.left) r.left += w.left - p.left;
  if (p.top == r.top) r.top += w.top - p.top;
  if (p.right == r.right) r.right -= p.right - w.right;
  if (p.bottom == r.bottom) r.bottom -= p.bottom - w.bottom;
  return r;
}

int BuildTable(const std::vector<Device>& devices, const Desktop& desktop, Entry (&entries)[kEntries]) {
  for (Entry& e : entries) e = Entry();
  int count = 0, next = 2, taken = 0;
  bool havePrimary = false;
  for (const Device& d : devices) {
    if (taken == kMaxDevices) break;
    if (d.mirroring || !d.attached || !d.haveMode) continue;
    int index;
    if (d.primary && !havePrimary) {
      index = 1;
      havePrimary = true;
    } else {
      // Entry 1 stays the primary's; the others follow it, one entry each.
      if (next >= kEntries) continue;
      index = next++;
    }
    taken++;
    FillDeviceEntry(entries[index], d, index);
    if (index > count) count = index;
  }

  Entry& all = entries[0];
  all.x = desktop.x;
  all.y = desktop.y;
  all.width = desktop.width;
  all.height = desktop.height;
  all.depth = entries[1].depth;
  Copy(all.deviceName, "All displays");
  std::snprintf(all.description, sizeof all.description, "%d. %d x %d @ %d,%d - %d-bit ", 0, all.width, all.height,
                all.x, all.y, all.depth);
  all.workArea = havePrimary ? AllDisplaysWorkArea(desktop, entries[1])
                             : Rect{desktop.x, desktop.y, desktop.x + desktop.width, desktop.y + desktop.height};
  return count;
}

int IndexOfMonitor(const Entry (&entries)[kEntries], int count, void* monitor, bool force) {
  if (force || !monitor) return 0;
  for (int i = 1; i <= count && i < kEntries; i++)
    if (entries[i].monitor == monitor) return i;
  return 0;
}

namespace {
int Wire(long long v) { return static_cast<int>(std::clamp<long long>(v, 0, 0xFFFF)); }
}  // namespace

std::vector<ServerRect> MonitorsForServer(const Entry (&entries)[kEntries], int count) {
  std::vector<ServerRect> out;
  const Entry& all = entries[0];
  for (int i = 1; i <= count && i < kEntries; i++) {
    const Entry& e = entries[i];
    if (e.width <= 0 || e.height <= 0) continue;
    out.push_back(ServerRect{Wire(static_cast<long long>(e.x) - all.x), Wire(static_cast<long long>(e.y) - all.y),
                             Wire(e.width), Wire(e.height)});
  }
  return out;
}

ServerRect VirtualScreenForServer(const Entry (&entries)[kEntries]) {
  return ServerRect{0, 0, Wire(entries[0].width), Wire(entries[0].height)};
}

}  // namespace monitors
