// The monitor table: a snapshot of the display layout (entry 0 the whole virtual screen,
// entry 1 the primary monitor, 2.. the others) that window sizing and full screen use.
#pragma once

#include <windows.h>

#include "display/MonitorTableData.h"

class MonitorTable {
public:
  // Loads user32 and enumerates.
  MonitorTable();
  ~MonitorTable();
  MonitorTable(const MonitorTable&) = delete;
  MonitorTable& operator=(const MonitorTable&) = delete;

  // The layout may have changed (a monitor added, a resolution changed).
  void Refresh() { Enumerate(); }
  void Enumerate();
  // The entry of the window's nearest monitor; 0 (all displays) with force or when the
  // monitor is not in the table.
  int IndexOfWindow(HWND hwnd, bool force) const;

  // The highest entry in use; entries 0..Count() are valid.
  int Count() const { return m_count; }
  const monitors::Entry& Entry(int i) const { return m_entries[i >= 0 && i < monitors::kEntries ? i : 0]; }
  const monitors::Entry (&Entries() const)[monitors::kEntries] { return m_entries; }

private:
  HMODULE m_user32 = nullptr;
  int m_count = 0;
  monitors::Entry m_entries[monitors::kEntries];
};
