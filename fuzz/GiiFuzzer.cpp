// The gii multitouch device on any bytes: server messages 253 (behind their type byte)
// until the stream ends, then WM_TOUCH batches of arbitrary touches over an arbitrary
// view. Every message the viewer writes must be framed soundly: its length fields count
// exactly the bytes that follow, an event describes at most what its size byte holds,
// and every slot number is one the device has.
//
// Input: byte 0 the system's touch count (signed), bytes 1-2 the length of the server
// stream, bytes 3-18 the view, then the server stream, then the touch batches (a count
// byte, then 8 bytes per touch: id, flags, contact flag, x s16, y s16, spare).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "display/GiiTouchDevice.h"
#include "rdr/Exception.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

std::uint32_t U32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

class FuzzHost : public GiiHost {
public:
  const std::uint8_t* in = nullptr;
  std::size_t left = 0;
  int touches = 0;
  PointerView view;
  std::int64_t clock = 0;
  const GiiTouchDevice* device = nullptr;

  void ReadGii(void* buf, std::size_t n) override {
    if (n > left) throw rdr::EndOfStream("read");
    std::memcpy(buf, in, n);
    in += n;
    left -= n;
  }
  void WriteGii(const std::uint8_t* m, std::size_t n) override {
    Require(n >= 4 && m[0] == 253 && (m[1] & 0x80));
    Require(std::size_t((m[2] << 8) | m[3]) == n - 4);
    switch (m[1] & 0x7F) {
      case 1: Require(n == 6); break;
      case 2: Require(n == gii::kDeviceCreationSize && U32(m + 56) <= gii::kMaxTouchesPerEvent); break;
      case 0: {
        Require(n >= 20 && m[4] == n - 4 && m[5] == 12);
        if (n == gii::kEmptyTouchEventSize && U32(m + 12) == 1) break;
        const std::uint32_t count = U32(m + 12);
        Require(count >= 1 && count <= gii::kMaxTouchesPerEvent && U32(m + 16) == 6 * count);
        Require(n == gii::kTouchHeaderSize + gii::kTouchEntrySize * count);
        for (std::uint32_t i = 0; i < count; i++) {
          const std::uint8_t* t = m + 20 + 24 * i;
          Require((U32(t) & gii::kTouchHasSize) == 0);
          Require(U32(t + 4) < static_cast<std::uint32_t>(device->MaxTouches()));
        }
        break;
      }
      default: Require(false);
    }
  }
  void EnableGii() override {}
  int MaximumTouches() override { return touches; }
  void PrepareTouchInput() override {}
  std::int64_t WallMicroseconds() override { return clock += 12345; }
  PointerView CurrentView() override { return view; }
};

std::int16_t S16(const std::uint8_t* p) { return static_cast<std::int16_t>((p[0] << 8) | p[1]); }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 19) return 0;
  FuzzHost host;
  host.touches = static_cast<std::int8_t>(data[0]);
  std::size_t streamLen = (data[1] << 8) | data[2];
  const std::uint8_t* v = data + 3;
  host.view.fitted = v[0] & 1;
  host.view.fitWidth = S16(v + 1);
  host.view.fitHeight = S16(v + 3);
  host.view.framebufferWidth = (v[5] << 8) | v[6];
  host.view.framebufferHeight = (v[7] << 8) | v[8];
  host.view.scrollX = S16(v + 9);
  host.view.scrollY = S16(v + 11);
  host.view.scaleNum = v[13] % 8;  // 0 included: no divide by zero
  host.view.scaleDen = v[14] % 8;
  data += 19;
  size -= 19;
  if (streamLen > size) streamLen = size;

  GiiTouchDevice device(host, 0);
  host.device = &device;
  host.in = data;
  host.left = streamLen;
  for (int messages = 0; messages < 1000; messages++) {
    try {
      device.HandleGiiMessage();
    } catch (const rdr::EndOfStream&) {
      break;
    }
  }
  Require(device.MaxTouches() >= 0 && device.MaxTouches() <= GiiTouchDevice::kMaxSlots);

  const std::uint8_t* p = data + streamLen;
  std::size_t rest = size - streamLen;
  while (rest > 0) {
    const std::size_t count = std::min<std::size_t>(p[0] % 16, (rest - 1) / 8);
    p++;
    rest--;
    std::vector<TouchInputPoint> batch(count);
    for (TouchInputPoint& t : batch) {
      t.id = p[0] % 12;  // few ids, so that slots are shared, reused and given up
      t.flags = p[1];
      t.hasContactSize = p[2] & 1;
      t.contactWidth = p[2] * 100u;
      t.contactHeight = p[7] * 100u;
      t.x = S16(p + 3);
      t.y = S16(p + 5);
      p += 8;
      rest -= 8;
    }
    const bool handled = device.HandleTouchInput(batch.data(), batch.size());
    Require(handled == device.Created());
    std::size_t used = 0;
    for (const TouchSlot& s : device.Slots()) {
      if (s.number == TouchSlot::kFree) continue;
      Require(s.number < device.Slots().size());
      used++;
    }
    Require(used <= device.Slots().size());
  }
  return 0;
}
