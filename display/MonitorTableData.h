// The monitor table as data: the display devices the system reports become the table's
// entries (1 the primary, 2.. the others, 0 "All displays", the whole virtual screen),
// and a monitor is looked up in it. Platform-free; the Win32 MonitorTable enumerates the
// devices and hands them here.
#pragma once

#include <string>
#include <vector>

namespace monitors {

constexpr int kEntries = 15;     // entry 0 and at most 14 devices
constexpr int kMaxDevices = 14;
constexpr int kTextCapacity = 101;  // 100 characters and the terminator

struct Rect {
  int left = 0, top = 0, right = 0, bottom = 0;
};

struct Entry {
  int width = 0, height = 0, depth = 0, x = 0, y = 0, frequency = 0;
  char deviceName[kTextCapacity] = {};   // the monitor's name ("All displays" for entry 0)
  char description[kTextCapacity] = {};  // "1. 1280 x 1024 @ 0,0 - 32-bit - 60 Hz"
  Rect workArea;
  void* monitor = nullptr;  // the system's handle of the monitor (none for entry 0)
};

// One monitor attached to a display device.
struct MonitorName {
  std::string name;  // the monitor's device string
  bool active = false;
};

// One display device as the system reports it.
struct Device {
  bool primary = false;
  bool mirroring = false;  // a mirroring driver
  bool attached = false;   // attached to the desktop
  std::vector<MonitorName> monitors;
  bool haveMode = false;  // the current (or registry) settings could be read
  int width = 0, height = 0, depth = 0, x = 0, y = 0, frequency = 0;
  void* monitor = nullptr;  // the monitor at the mode's position
  Rect workArea;            // that monitor's work area
};

// The virtual screen and the system's work area (the primary's, without taskbars).
struct Desktop {
  int x = 0, y = 0, width = 0, height = 0;
  Rect systemWorkArea;
};

// The active monitor's name, else the first monitor's, else "Default Monitor".
std::string ChooseMonitorName(const std::vector<MonitorName>& monitors);

// Fills entries[0..count] and returns count, the highest entry used: devices that mirror,
// are not attached or have no mode are skipped, the primary is entry 1, the others follow
// from 2 in the order given, at most kMaxDevices of them.
int BuildTable(const std::vector<Device>& devices, const Desktop& desktop, Entry (&entries)[kEntries]);

// Entry 0's work area: the virtual screen, less what the system work area takes from the
// primary monitor on each side where the primary reaches the virtual screen's edge.
Rect AllDisplaysWorkArea(const Desktop& desktop, const Entry& primary);

// The entry (1..count) of that monitor; 0 with force, for no monitor or when none matches.
int IndexOfMonitor(const Entry (&entries)[kEntries], int count, void* monitor, bool force);

// A monitor as the server is told of it (client message 251): its place measured from the
// virtual screen's top-left corner, so that a monitor left of or above the primary one has
// no negative coordinate, each value within 0..65535.
struct ServerRect {
  int x = 0, y = 0, width = 0, height = 0;
};
// Entries 1..count in that form.
std::vector<ServerRect> MonitorsForServer(const Entry (&entries)[kEntries], int count);
// Entry 0 (the virtual screen) in that form: at 0,0.
ServerRect VirtualScreenForServer(const Entry (&entries)[kEntries]);

}  // namespace monitors
