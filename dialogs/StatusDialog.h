// The connection-status dialog's state per connection. The dialog runs on a thread of its
// own because the GUI thread is blocked in the handshake while it matters most.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

struct StatusDialogState {
  HANDLE thread = nullptr;             // the dialog's thread (closed when replaced or ended)
  std::atomic<bool> started{false};    // the dialog runs
  UINT_PTR timer = 0;                  // kStatusTimer while refreshing, else 0
  std::int32_t shownEncoding = -1;     // the encoding whose name is shown; -1 none
};

constexpr UINT_PTR kStatusTimer = 3333;
constexpr UINT kStatusTimerMs = 1000;
