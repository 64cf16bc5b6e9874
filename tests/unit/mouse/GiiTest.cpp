// The gii extension: the server's messages read with every length bounded, the viewer's
// answers and touch events byte for byte, and the touch slots.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "display/GiiMessages.h"
#include "display/GiiTouchDevice.h"
#include "rdr/Exception.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Be16(unsigned v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes Be32(std::uint32_t v) { return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes Be64(std::uint64_t v) { return Cat({Be32(std::uint32_t(v >> 32)), Be32(std::uint32_t(v))}); }
Bytes Text(const std::string& s, std::size_t field) {
  Bytes b(field, 0);
  std::memcpy(b.data(), s.data(), s.size());
  return b;
}

// The device-creation message written out from its table.
Bytes ExpectedDeviceCreation(std::uint32_t buttons) {
  return Cat({{253, 0x82}, Be16(172), Text("ZUDIZ-MT", 32), Be32(0x908), Be32(0xB), Be32(0x2000), Be32(0), Be32(1),
              Be32(buttons), Be32(0), Text("ZUDIZ Multitouch Device", 75), Text("TMD", 5), Bytes(32, 0)});
}

class FakeGii : public GiiHost {
public:
  Bytes in;
  std::size_t pos = 0;
  std::vector<Bytes> out;
  int enabled = 0, prepared = 0;
  int maxTouches = 2;
  std::int64_t wall = 0;
  PointerView view{false, 0, 0, 800, 600, 0, 0, 1, 1};

  void ReadGii(void* buf, std::size_t n) override {
    if (in.size() - pos < n) throw rdr::EndOfStream("read");
    std::memcpy(buf, in.data() + pos, n);
    pos += n;
  }
  void WriteGii(const std::uint8_t* data, std::size_t n) override { out.emplace_back(data, data + n); }
  void EnableGii() override { enabled++; }
  int MaximumTouches() override { return maxTouches; }
  void PrepareTouchInput() override { prepared++; }
  std::int64_t WallMicroseconds() override { return wall; }
  PointerView CurrentView() override { return view; }
};

constexpr std::int64_t kStart = 1700000000LL * 1000000;

class Gii : public ::testing::Test {
protected:
  FakeGii host;
  GiiTouchDevice device{host, kStart};

  // Feeds one server message (behind its type byte) and handles it.
  void Server(const Bytes& body) {
    host.in.insert(host.in.end(), body.begin(), body.end());
    device.HandleGiiMessage();
  }
  void Create(std::uint32_t origin = 0x01020304) {
    Server({0x81, 0, 4, 0, 1, 0, 1});
    Server(Cat({{0x82, 0, 4}, Be32(origin)}));
    ASSERT_TRUE(device.Created());
    host.out.clear();
  }
  void Touch(std::vector<TouchInputPoint> inputs) {
    ASSERT_TRUE(device.HandleTouchInput(inputs.data(), inputs.size()));
  }
};

TEST_F(Gii, VersionRangeIsAnsweredWithVersionOneAndTheDevice) {
  host.maxTouches = 5;
  Server({0x81, 0x00, 0x04, 0x00, 0x01, 0x00, 0x01});
  ASSERT_EQ(host.out.size(), 2u);
  EXPECT_EQ(host.out[0], (Bytes{253, 0x81, 0, 2, 0, 1}));
  EXPECT_EQ(host.out[1], ExpectedDeviceCreation(5));
  EXPECT_EQ(host.enabled, 1);
  EXPECT_EQ(device.Version(), 1);
  EXPECT_FALSE(device.Created());
  EXPECT_EQ(host.pos, host.in.size());
}

TEST_F(Gii, VersionRanges) {
  struct {
    const char* name;
    Bytes body;
    bool answered;
  } cases[] = {
      {"big-endian 0..1", {0x81, 0, 4, 0, 1, 0, 0}, true},
      {"little-endian 1..1", {0x01, 4, 0, 1, 0, 1, 0}, true},
      {"big-endian 1..7", {0x81, 0, 4, 0, 7, 0, 1}, true},
      {"minimum 2 is too new", {0x81, 0, 4, 0, 3, 0, 2}, false},
      {"maximum 0", {0x81, 0, 4, 0, 0, 0, 0}, false},
      {"little-endian bytes read big-endian: minimum 256", {0x81, 4, 0, 1, 0, 1, 0}, false},
      {"a hostile length changes nothing", {0x81, 0xFF, 0xFF, 0, 1, 0, 1}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeGii h;
    GiiTouchDevice d(h, 0);
    h.in = c.body;
    d.HandleGiiMessage();
    EXPECT_EQ(h.pos, 7u);  // exactly the sub-type and six bytes
    EXPECT_EQ(h.out.size(), c.answered ? 2u : 0u);
    EXPECT_EQ(h.enabled, c.answered ? 1 : 0);
    if (c.answered) {
      EXPECT_EQ(h.out[0], (Bytes{253, 0x81, 0, 2, 0, 1}));
    }
  }
}

TEST(GiiCodec, ChosenVersionAndAnswerBytes) {
  EXPECT_EQ(gii::ChosenVersion({4, 1, 1}), 1);
  EXPECT_EQ(gii::ChosenVersion({4, 9, 0}), 1);
  EXPECT_EQ(gii::ChosenVersion({4, 0, 0}), -1);
  EXPECT_EQ(gii::VersionAnswer(-1), (std::array<std::uint8_t, 6>{253, 0x81, 0, 2, 0xFF, 0xFF}));
  const std::uint8_t le[6] = {4, 0, 0x78, 0x56, 0x34, 0x12};
  EXPECT_EQ(gii::ParseDeviceCreationReply(le, false).origin, 0x12345678u);
  EXPECT_EQ(gii::ParseDeviceCreationReply(le, true).origin, 0x78563412u);
  EXPECT_EQ(gii::ParseDeviceCreationReply(le, true).length, 0x0400u);
}

TEST_F(Gii, DeviceCreationReplyCreatesTheDeviceOnce) {
  host.maxTouches = 3;
  Server({0x82, 0, 4, 0, 0, 0, 0});  // origin 0: no device
  EXPECT_FALSE(device.Created());
  EXPECT_EQ(host.prepared, 0);
  Server({0x02, 4, 0, 0x44, 0x33, 0x22, 0x11});  // little-endian origin
  EXPECT_TRUE(device.Created());
  EXPECT_EQ(device.Origin(), 0x11223344u);
  EXPECT_EQ(host.prepared, 1);
  EXPECT_EQ(device.Slots().size(), 3u);
  // After a reconnect the server names a new origin; the device is not prepared again.
  host.maxTouches = 7;
  Server({0x82, 0, 4, 0xAA, 0xBB, 0xCC, 0xDD});
  EXPECT_EQ(device.Origin(), 0xAABBCCDDu);
  EXPECT_EQ(host.prepared, 1);
  EXPECT_EQ(device.Slots().size(), 3u);
  EXPECT_TRUE(host.out.empty());
}

TEST_F(Gii, TouchCountIsBoundedByWhatOneEventCanDescribe) {
  host.maxTouches = 256;
  Server({0x81, 0, 4, 0, 1, 0, 1});
  EXPECT_EQ(host.out[1], ExpectedDeviceCreation(9));
  host.maxTouches = -4;
  FakeGii h2;
  h2.maxTouches = -4;
  GiiTouchDevice d2(h2, 0);
  h2.in = {0x81, 0, 4, 0, 1, 0, 1};
  d2.HandleGiiMessage();
  EXPECT_EQ(h2.out[1], ExpectedDeviceCreation(0));
}

TEST_F(Gii, UnknownSubTypeReadsNothingMoreAndTruncatedMessagesThrow) {
  Server({0x85, 0x81});
  EXPECT_EQ(host.pos, 1u);
  EXPECT_TRUE(host.out.empty());
  host.in = {0x81, 0, 4, 0};
  host.pos = 0;
  EXPECT_THROW(device.HandleGiiMessage(), rdr::EndOfStream);
  EXPECT_TRUE(host.out.empty());
  host.in = {0x82, 0, 4, 1, 2, 3};
  host.pos = 0;
  EXPECT_THROW(device.HandleGiiMessage(), rdr::EndOfStream);
  EXPECT_FALSE(device.Created());
}

TEST_F(Gii, NoTouchInputBeforeTheDeviceExists) {
  TouchInputPoint p{5, 10, 10, touch::kDown, false, 0, 0};
  EXPECT_FALSE(device.HandleTouchInput(&p, 1));
  EXPECT_TRUE(host.out.empty());
}

TEST_F(Gii, TouchEventsByteForByte) {
  Create(0x01020304);
  host.view = {false, 0, 0, 800, 600, 10, 0, 2, 1};  // scaled up twice, scrolled 10 right
  host.wall = kStart + 2500250;
  Touch({{71, 100, 50, touch::kDown | touch::kPrimary | touch::kInRange, true, 900, 800},
         {72, 300, 200, touch::kMove, false, 0, 0}});
  const Bytes header = Cat({{253, 0x80}, Be16(64), {64, 12, 0, 0}, Be32(0x01020304), Be32(2), Be32(12)});
  const Bytes stamps = Cat({Be32(2500), Be64(2500250)});
  // The contact size is never sent: the length fields count every byte that follows.
  const Bytes first = Cat({Be32(0x01800011 | 0x80000000 | 0x20000000), Be32(0), Be16(55), Be16(25), stamps});
  const Bytes second = Cat({Be32(0x01800011 | 0x80000000), Be32(1), Be16(155), Be16(100), stamps});
  ASSERT_EQ(host.out.size(), 1u);
  EXPECT_EQ(host.out[0], Cat({header, first, second}));
  EXPECT_EQ(device.Slots()[0].width, 900);
}

TEST_F(Gii, EmptyEventWhenNoTouchIsLeft) {
  Create(0xCAFEF00D);
  host.wall = kStart + 1000;
  Touch({});
  const Bytes expected = Cat({{253, 0x80}, Be16(32), {32, 12, 0, 0}, Be32(0xCAFEF00D), Be32(1), Be32(4),
                              Be32(0x0180001F), Be32(1), Be64(1000)});
  ASSERT_EQ(host.out.size(), 1u);
  EXPECT_EQ(host.out[0], expected);
  EXPECT_EQ(expected.size(), 36u);
  Touch({});
  EXPECT_EQ(host.out.size(), 2u);  // once per WM_TOUCH
}

// The slot numbers and positions of one event (n touches), read back from its bytes.
struct Reported {
  std::uint32_t slot;
  int x, y;
  bool pressed;
  bool operator==(const Reported& o) const { return slot == o.slot && x == o.x && y == o.y && pressed == o.pressed; }
};
std::ostream& operator<<(std::ostream& os, const Reported& r) {
  return os << "slot " << r.slot << " (" << r.x << "," << r.y << ")" << (r.pressed ? " pressed" : "");
}
std::vector<Reported> ReadEvent(const Bytes& m) {
  std::vector<Reported> r;
  auto u32 = [&](std::size_t at) {
    return (std::uint32_t(m[at]) << 24) | (std::uint32_t(m[at + 1]) << 16) | (std::uint32_t(m[at + 2]) << 8) | m[at + 3];
  };
  EXPECT_EQ(m.size(), std::size_t((m[2] << 8) | m[3]) + 4);
  EXPECT_EQ(m.size(), std::size_t(m[4]) + 4);
  if (m.size() == 36) return r;
  const std::uint32_t n = u32(12);
  EXPECT_EQ(m.size(), 20 + 24 * std::size_t(n));
  for (std::uint32_t i = 0; i < n; i++) {
    const std::size_t at = 20 + 24 * i;
    r.push_back({u32(at + 4), (m[at + 8] << 8) | m[at + 9], (m[at + 10] << 8) | m[at + 11], (u32(at) & 0x80000000) != 0});
  }
  return r;
}

TEST_F(Gii, TouchThatLeavesTheFramebufferIsNotReported) {
  Create();
  host.view = {false, 0, 0, 800, 600, 0, 0, 1, 1};
  Touch({{1, 10, 10, touch::kDown, false, 0, 0}, {2, 800, 600, touch::kDown, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 10, 10, true}, {1, 800, 600, true}}));
  Touch({{1, 10, 10, touch::kMove, false, 0, 0}, {2, 801, 600, touch::kMove, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 10, 10, true}}));
  Touch({{1, -1, 10, touch::kMove, false, 0, 0}});
  EXPECT_EQ(host.out.back().size(), 36u);
}

TEST_F(Gii, PortraitFramebufferGetsTurnedCoordinates) {
  Create();
  host.view = {false, 0, 0, 600, 800, 0, 0, 1, 1};
  Touch({{9, 100, 50, touch::kDown, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 50, 700, true}}));
}

TEST_F(Gii, ReleasedTouchIsReportedOnceWithoutThePressedBit) {
  Create();
  Touch({{4, 10, 10, touch::kDown, false, 0, 0}});
  Touch({{4, 12, 10, touch::kUp, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 12, 10, false}}));
  Touch({});
  EXPECT_EQ(host.out.back().size(), 36u);
}

TEST_F(Gii, TouchesKeepTheirSlots) {
  host.maxTouches = 3;
  Create();
  Touch({{11, 1, 1, touch::kDown, false, 0, 0}, {12, 2, 2, touch::kDown, false, 0, 0},
         {13, 3, 3, touch::kDown, false, 0, 0}});
  Touch({{11, 1, 1, touch::kUp, false, 0, 0}, {12, 2, 2, touch::kUp, false, 0, 0}});
  // A new touch finds every slot taken: the ended touches give theirs up.
  Touch({{14, 4, 4, touch::kDown, false, 0, 0}, {13, 5, 5, touch::kMove, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 4, 4, true}, {2, 5, 5, true}}));
  // Touch id 0 is not a touch; a fourth touch finds no slot.
  Touch({{0, 7, 7, touch::kDown, false, 0, 0}, {14, 4, 4, touch::kMove, false, 0, 0}, {15, 6, 6, touch::kDown, false, 0, 0},
         {16, 8, 8, touch::kDown, false, 0, 0}, {13, 5, 5, touch::kMove, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()),
            (std::vector<Reported>{{0, 4, 4, true}, {1, 6, 6, true}, {2, 5, 5, true}}));
}

TEST_F(Gii, EndedTouchInTheSameMessageKeepsItsReport) {
  host.maxTouches = 1;
  Create();
  Touch({{21, 1, 1, touch::kDown, false, 0, 0}});
  Touch({{21, 1, 1, touch::kUp, false, 0, 0}, {22, 9, 9, touch::kDown, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 1, 1, false}}));
  Touch({{22, 9, 9, touch::kDown, false, 0, 0}});
  EXPECT_EQ(ReadEvent(host.out.back()), (std::vector<Reported>{{0, 9, 9, true}}));
}

TEST_F(Gii, NineTouchesFitTheEventSizeByte) {
  host.maxTouches = 20;
  Create();
  std::vector<TouchInputPoint> in;
  for (std::uint32_t i = 1; i <= 12; i++) in.push_back({i, int(i), int(i), touch::kDown, false, 0, 0});
  Touch(in);
  const Bytes& m = host.out.back();
  EXPECT_EQ(m[4], 24 * 9 + 16);
  EXPECT_EQ(ReadEvent(m).size(), 9u);
}

TEST(GiiCodec, TouchEventTakesAtMostNineAndClampsPositions) {
  std::vector<gii::TouchReport> t(12);
  t[0].x = -5;
  t[0].y = 70000;
  t[0].flags |= gii::kTouchHasSize;
  const Bytes m = gii::TouchEvent(1, t.data(), t.size(), 0, 0);
  ASSERT_EQ(m.size(), 20u + 24 * 9);
  EXPECT_EQ(m[20], 0x01);  // the size flag is dropped
  EXPECT_EQ((Bytes{m[28], m[29], m[30], m[31]}), (Bytes{0, 0, 0xFF, 0xFF}));
}

}  // namespace
