// A connected socket pair with a writer helper, for stream tests over real sockets.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "rdr/Sys.h"

struct SocketPairFixture : ::testing::Test {
  rdr::SocketHandle s[2] = {rdr::kInvalidSocket, rdr::kInvalidSocket};
  void SetUp() override {
    int v;
    ASSERT_TRUE(rdr::SocketsStartup(&v));
    ASSERT_TRUE(rdr::SocketPair(s));
  }
  void TearDown() override {
    for (auto h : s)
      if (h != rdr::kInvalidSocket) rdr::SocketClose(h);
    rdr::SocketsCleanup();
  }
  // Sends all of data on the writing end (s[1]).
  void Send(const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
      long n = rdr::SocketSend(s[1], p, len);
      ASSERT_GT(n, 0);
      p += n;
      len -= static_cast<std::size_t>(n);
    }
  }
  void Send(const std::string& text) { Send(text.data(), text.size()); }
  void CloseWriter() {
    rdr::SocketClose(s[1]);
    s[1] = rdr::kInvalidSocket;
  }
};
