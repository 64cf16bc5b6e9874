#include <gtest/gtest.h>

#include <vector>

#include "session/ClientMessages.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

template <std::size_t N>
Bytes V(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

TEST(ClientMessages, FixedSizeMessagesByteForByte) {
  struct Case {
    const char* what;
    Bytes got, expect;
  } cases[] = {
      {"full request", V(clientmsg::FramebufferUpdateRequest(false, 0, 0, 1024, 768)), {3, 0, 0, 0, 0, 0, 4, 0, 3, 0}},
      {"incremental request", V(clientmsg::FramebufferUpdateRequest(true, 258, 3, 65535, 1)),
       {3, 1, 1, 2, 0, 3, 255, 255, 0, 1}},
      {"key down", V(clientmsg::KeyEvent(true, 0xFF0D)), {4, 1, 0, 0, 0, 0, 0xFF, 0x0D}},
      {"key up, large keysym", V(clientmsg::KeyEvent(false, 0x01000153)), {4, 0, 0, 0, 0x01, 0x00, 0x01, 0x53}},
      {"pointer", V(clientmsg::PointerEvent(5, 300, 2)), {5, 5, 1, 44, 0, 2}},
      {"pointer, negative as 0", V(clientmsg::PointerEvent(0, -7, -1)), {5, 0, 0, 0, 0, 0}},
      {"server scale", V(clientmsg::ServerScale(2)), {8, 2, 0, 0}},
      {"desktop selection", V(clientmsg::DesktopSelection(1, 65534)), {10, 0, 0, 1, 255, 254}},
      {"keep-alive", V(clientmsg::KeepAlive()), {13}},
      {"copy-data value", V(clientmsg::CopyDataValue(7)), {254, 7, 0, 0}},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expect) << c.what;
}

TEST(ClientMessages, MonitorInfo) {
  Bytes m = clientmsg::MonitorInfo(0x0102, 0x0304, {{0, 0, 1920, 1080}, {1920, 0, 1280, 1024}}, 3);
  Bytes expect = {251, 0, 1, 2, 3, 4, 2, 0,
                  0, 0, 0, 1, 0, 0, 0, 0, 0x07, 0x80, 0x04, 0x38, 0, 0, 0, 3,
                  0, 0, 0, 1, 0x07, 0x80, 0, 0, 0x05, 0x00, 0x04, 0x00, 0, 0, 0, 3};
  EXPECT_EQ(m, expect);
}

}  // namespace
