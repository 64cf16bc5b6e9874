// The multitouch device of one connection, without the Windows API. When the server
// offers the gii extension (message 253) the viewer announces a multitouch device; once
// the server has given it an origin, every WM_TOUCH of the viewer window becomes one gii
// event listing the touches still on the framebuffer.
//
// Server messages are read on the connection thread (HandleGiiMessage); touch input
// arrives on the GUI thread (HandleTouchInput). The touch slots exist only once the device
// is created, and the GUI side looks at them only after that.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "display/GiiMessages.h"
#include "display/PointerInput.h"

namespace touch {
// TOUCHINPUT dwFlags.
enum EventFlag : std::uint32_t {
  kMove = 0x0001,
  kDown = 0x0002,
  kUp = 0x0004,
  kInRange = 0x0008,
  kPrimary = 0x0010,
};
// The flags a slot carries for them.
enum SlotFlag : std::uint32_t {
  kSlotInRange = 0x00006,
  kSlotPrimary = 0x02000,
  kSlotDown = 0x10000,
  kSlotMove = 0x20000,
  kSlotUp = 0x40000,
};
}  // namespace touch

// One input of a WM_TOUCH, its point already in viewer-window pixels.
struct TouchInputPoint {
  std::uint32_t id = 0;     // the system's touch id; 0 is ignored
  int x = 0, y = 0;         // viewer-window pixels
  std::uint32_t flags = 0;  // touch::EventFlag
  bool hasContactSize = false;
  std::uint32_t contactWidth = 0, contactHeight = 0;  // hundredths of a pixel
};

struct TouchSlot {
  static constexpr std::uint32_t kFree = 999999999;
  std::uint32_t number = kFree;
  std::uint32_t flags = 0;  // touch::SlotFlag
  int x = -1, y = -1;       // viewer-window pixels
  bool hasSize = false;
  long long width = -1, height = -1;  // hundredths of a pixel
};

// What the device needs from its connection and window.
class GiiHost {
public:
  virtual ~GiiHost() = default;
  // The rest of the server message (throws when the stream fails or ends).
  virtual void ReadGii(void* buf, std::size_t n) = 0;
  // One whole client message 253.
  virtual void WriteGii(const std::uint8_t* data, std::size_t n) = 0;
  // The server speaks gii: the "GiiEnable" option is set.
  virtual void EnableGii() = 0;
  // The system's touch count (0 without a ready multi-touch digitizer).
  virtual int MaximumTouches() = 0;
  // The device was given an origin: the viewer window is to accept touch input. Called
  // once, on the connection thread, before the slots exist.
  virtual void PrepareTouchInput() = 0;
  // Wall-clock time, microseconds since 1970.
  virtual std::int64_t WallMicroseconds() = 0;
  virtual PointerView CurrentView() = 0;
};

class GiiTouchDevice {
public:
  // Touches beyond this many cannot be described in one event (its size is one byte).
  static constexpr int kMaxSlots = static_cast<int>(gii::kMaxTouchesPerEvent);

  // startMicros: the wall-clock time the event time stamps count from.
  GiiTouchDevice(GiiHost& host, std::int64_t startMicros) : m_host(host), m_startMicros(startMicros) {}
  GiiTouchDevice(const GiiTouchDevice&) = delete;
  GiiTouchDevice& operator=(const GiiTouchDevice&) = delete;

  // One server message 253 behind its type byte.
  void HandleGiiMessage();
  // The inputs of one WM_TOUCH: the slots are filled anew and the event is sent. False
  // (nothing sent) while the device does not exist.
  bool HandleTouchInput(const TouchInputPoint* inputs, std::size_t count);
  // The event for the current slots (the empty event when none is on the framebuffer).
  void SendTouchEvents();

  bool Created() const { return m_created.load(std::memory_order_acquire); }
  std::uint32_t Origin() const { return m_origin.load(); }
  int Version() const { return m_version; }
  int MaxTouches() const { return m_maxTouches; }
  const std::vector<TouchSlot>& Slots() const { return m_slots; }

private:
  static int BoundedTouchCount(int systemCount);
  // The slot of a touch id: the one holding it, else the first free one (which takes
  // it); -1 when none.
  int FindSlot(std::int64_t id);

  GiiHost& m_host;
  const std::int64_t m_startMicros;
  std::atomic<std::uint32_t> m_origin{0};
  std::atomic<bool> m_created{false};
  int m_version = 0;
  int m_maxTouches = 0;
  std::vector<TouchSlot> m_slots;
  std::vector<std::int64_t> m_ids;  // the touch id each slot serves; -1 free
  std::vector<bool> m_active;
};
