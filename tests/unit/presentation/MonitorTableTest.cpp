// The monitor table built from the display devices a system reports.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "display/MonitorTableData.h"

namespace {

using monitors::Device;
using monitors::Entry;

void* Handle(int n) { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x1000 + n)); }

Device Screen(int x, int y, int w, int h, bool primary, int n) {
  Device d;
  d.primary = primary;
  d.attached = true;
  d.haveMode = true;
  d.x = x;
  d.y = y;
  d.width = w;
  d.height = h;
  d.depth = 32;
  d.frequency = 60;
  d.monitor = Handle(n);
  d.workArea = {x, y, x + w, y + h};
  d.monitors = {{"Monitor " + std::to_string(n), true}};
  return d;
}

monitors::Desktop DesktopOf(int x, int y, int w, int h, monitors::Rect work) {
  monitors::Desktop desk;
  desk.x = x;
  desk.y = y;
  desk.width = w;
  desk.height = h;
  desk.systemWorkArea = work;
  return desk;
}

TEST(MonitorTable, OneMonitorGivesAllDisplaysAndThePrimary) {
  Device d = Screen(0, 0, 1280, 1024, true, 1);
  d.workArea = {0, 0, 1280, 984};
  Entry e[monitors::kEntries];
  const int count = monitors::BuildTable({d}, DesktopOf(0, 0, 1280, 1024, {0, 0, 1280, 984}), e);
  ASSERT_EQ(count, 1);
  EXPECT_STREQ(e[1].description, "1. 1280 x 1024 @ 0,0 - 32-bit - 60 Hz");
  EXPECT_STREQ(e[1].deviceName, "Monitor 1");
  EXPECT_EQ(e[1].monitor, Handle(1));
  EXPECT_EQ(e[1].workArea.bottom, 984);
  EXPECT_STREQ(e[0].deviceName, "All displays");
  EXPECT_STREQ(e[0].description, "0. 1280 x 1024 @ 0,0 - 32-bit ");
  EXPECT_EQ(e[0].monitor, nullptr);
  // The taskbar at the bottom of the only monitor is kept out of entry 0's work area too.
  EXPECT_EQ(e[0].workArea.left, 0);
  EXPECT_EQ(e[0].workArea.top, 0);
  EXPECT_EQ(e[0].workArea.right, 1280);
  EXPECT_EQ(e[0].workArea.bottom, 984);
}

TEST(MonitorTable, PrimaryIsEntryOneWhereverItIsListed) {
  // A mirroring driver and a detached device are skipped, so is a device without a mode.
  Device mirror = Screen(0, 0, 800, 600, false, 9);
  mirror.mirroring = true;
  Device detached = Screen(0, 0, 800, 600, false, 8);
  detached.attached = false;
  Device noMode = Screen(0, 0, 800, 600, false, 7);
  noMode.haveMode = false;
  Device left = Screen(-1024, 0, 1024, 768, false, 2);
  left.depth = 16;
  left.frequency = 75;
  Device primary = Screen(0, 0, 1920, 1080, true, 1);
  Device right = Screen(1920, 0, 1280, 1024, false, 3);

  Entry e[monitors::kEntries];
  const int count = monitors::BuildTable({mirror, left, detached, primary, noMode, right},
                                         DesktopOf(-1024, 0, 4224, 1080, {0, 0, 1920, 1040}), e);
  ASSERT_EQ(count, 3);
  EXPECT_STREQ(e[1].description, "1. 1920 x 1080 @ 0,0 - 32-bit - 60 Hz");
  EXPECT_STREQ(e[2].description, "2. 1024 x 768 @ -1024,0 - 16-bit - 75 Hz");
  EXPECT_STREQ(e[3].description, "3. 1280 x 1024 @ 1920,0 - 32-bit - 60 Hz");
  EXPECT_STREQ(e[0].description, "0. 4224 x 1080 @ -1024,0 - 32-bit ");
  // The primary reaches the bottom of the virtual screen: its taskbar comes off entry 0;
  // its left and right edges are inside the virtual screen and change nothing.
  EXPECT_EQ(e[0].workArea.left, -1024);
  EXPECT_EQ(e[0].workArea.right, 3200);
  EXPECT_EQ(e[0].workArea.bottom, 1040);

  EXPECT_EQ(monitors::IndexOfMonitor(e, count, Handle(3), false), 3);
  EXPECT_EQ(monitors::IndexOfMonitor(e, count, Handle(1), false), 1);
  EXPECT_EQ(monitors::IndexOfMonitor(e, count, Handle(3), true), 0);
  EXPECT_EQ(monitors::IndexOfMonitor(e, count, Handle(9), false), 0);  // skipped device
  EXPECT_EQ(monitors::IndexOfMonitor(e, count, nullptr, false), 0);
}

TEST(MonitorTable, AtMostFourteenDevices) {
  std::vector<Device> devices;
  for (int i = 0; i < 20; i++) devices.push_back(Screen(i * 100, 0, 100, 100, i == 5, i + 1));
  Entry e[monitors::kEntries];
  const int count = monitors::BuildTable(devices, DesktopOf(0, 0, 2000, 100, {0, 0, 0, 0}), e);
  EXPECT_EQ(count, 14);
  EXPECT_EQ(e[1].monitor, Handle(6));
  EXPECT_EQ(e[2].monitor, Handle(1));
  EXPECT_EQ(e[14].monitor, Handle(14));  // the primary took one of the fourteen places
  EXPECT_EQ(monitors::IndexOfMonitor(e, count, Handle(15), false), 0);
  // An empty system work area leaves entry 0's work area the whole virtual screen.
  EXPECT_EQ(e[0].workArea.right, 2000);
  EXPECT_EQ(e[0].workArea.bottom, 100);
}

TEST(MonitorTable, MonitorNames) {
  EXPECT_EQ(monitors::ChooseMonitorName({{"A", false}, {"B", true}}), "B");
  EXPECT_EQ(monitors::ChooseMonitorName({{"A", false}, {"B", false}}), "A");
  EXPECT_EQ(monitors::ChooseMonitorName({}), "Default Monitor");
  // A name longer than the table holds is cut to 100 characters.
  Device d = Screen(0, 0, 640, 480, true, 1);
  d.monitors = {{std::string(150, 'x'), true}};
  Entry e[monitors::kEntries];
  monitors::BuildTable({d}, DesktopOf(0, 0, 640, 480, {0, 0, 640, 480}), e);
  EXPECT_EQ(std::string(e[1].deviceName), std::string(100, 'x'));
}

TEST(MonitorTable, WorkAreaWithTaskbarsOnSeveralSides) {
  // Taskbars on the left and at the top of a primary that sits right of a second monitor:
  // the left one is inside the virtual screen, the top one at its edge.
  Entry primary;
  primary.x = 0;
  primary.y = 0;
  primary.width = 1000;
  primary.height = 800;
  const monitors::Rect r = monitors::AllDisplaysWorkArea(DesktopOf(-500, 0, 1500, 800, {60, 30, 1000, 800}), primary);
  EXPECT_EQ(r.left, -500);
  EXPECT_EQ(r.top, 30);
  EXPECT_EQ(r.right, 1000);
  EXPECT_EQ(r.bottom, 800);
}

// What client message 251 carries: the monitors measured from the virtual screen's corner.
TEST(MonitorTable, MonitorsForTheServerHaveNoNegativeCoordinates) {
  struct Case {
    const char* layout;
    std::vector<Device> devices;
    monitors::Desktop desktop;
    std::vector<std::vector<int>> expected;  // x, y, width, height of entries 1..
  } cases[] = {
      {"one monitor", {Screen(0, 0, 1920, 1080, true, 1)}, DesktopOf(0, 0, 1920, 1080, {}), {{0, 0, 1920, 1080}}},
      {"second left of the primary",
       {Screen(0, 0, 1280, 1024, true, 1), Screen(-1024, 0, 1024, 768, false, 2)},
       DesktopOf(-1024, 0, 2304, 1024, {}),
       {{1024, 0, 1280, 1024}, {0, 0, 1024, 768}}},
      {"second above and left",
       {Screen(0, 0, 1280, 1024, true, 1), Screen(-1920, -1080, 1920, 1080, false, 2)},
       DesktopOf(-1920, -1080, 3200, 2104, {}),
       {{1920, 1080, 1280, 1024}, {0, 0, 1920, 1080}}},
      {"right of the primary", {Screen(0, 0, 800, 600, true, 1), Screen(800, 0, 640, 480, false, 2)},
       DesktopOf(0, 0, 1440, 600, {}),
       {{0, 0, 800, 600}, {800, 0, 640, 480}}},
  };
  for (const Case& c : cases) {
    Entry e[monitors::kEntries];
    const int count = monitors::BuildTable(c.devices, c.desktop, e);
    std::vector<std::vector<int>> got;
    for (const monitors::ServerRect& r : monitors::MonitorsForServer(e, count)) got.push_back({r.x, r.y, r.width, r.height});
    EXPECT_EQ(got, c.expected) << c.layout;
    const monitors::ServerRect all = monitors::VirtualScreenForServer(e);
    EXPECT_EQ(std::vector<int>({all.x, all.y, all.width, all.height}),
              std::vector<int>({0, 0, c.desktop.width, c.desktop.height}))
        << c.layout;
  }
}

}  // namespace
