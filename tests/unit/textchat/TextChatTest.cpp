// The text chat without its window: the header, what each length announces, the names
// and title the window shows, and server message 11 read by a session over a socket pair.
#include <gtest/gtest.h>

#include <string>

#include "filetransfer/TextChatMessages.h"
#include "tests/unit/session/SessionTestSupport.h"

using namespace sessiontest;

namespace {

TEST(TextChatMessages, HeaderIsTypeThreeZerosAndABigEndianLength) {
  EXPECT_EQ(textchat::Message(textchat::kOpen), (Bytes{11, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(textchat::Message(textchat::kClose), (Bytes{11, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFE}));
  EXPECT_EQ(textchat::TextMessage("hi\n"), (Bytes{11, 0, 0, 0, 0, 0, 0, 3, 'h', 'i', '\n'}));
  const std::uint8_t b[8] = {11, 0, 0, 0, 0x00, 0x01, 0x02, 0x03};
  TextChatMsgHeader h = TextChatMsgHeader::Decode(b);
  EXPECT_EQ(h.type, 11);
  EXPECT_EQ(h.length, 0x010203u);
  // A text is never sent longer than the chat takes.
  EXPECT_EQ(textchat::TextMessage(std::string(20000, 'x')).size(), 8u + textchat::kMaxText);
}

TEST(TextChatMessages, WhatEachLengthAnnounces) {
  using textchat::Kind;
  const struct {
    std::uint32_t length;
    Kind kind;
  } cases[] = {{0xFFFFFFFF, Kind::kOpen},    {0xFFFFFFFE, Kind::kClose}, {0xFFFFFFFD, Kind::kFinished},
               {0, Kind::kEmpty},            {1, Kind::kText},           {16384, Kind::kText},
               {16385, Kind::kTooLong},      {0xFFFFFFFC, Kind::kTooLong}};
  for (const auto& c : cases) EXPECT_EQ(textchat::Classify(c.length), c.kind) << c.length;
}

TEST(TextChatMessages, NamesAndTitle) {
  const struct {
    std::string desktop, title, speaker;
  } cases[] = {
      {"office (alice)", "Quillmar Remote - Chat with <office (alice)>", "office"},
      {"plain", "Quillmar Remote - Chat with <plain>", "plain"},
      {"(only parentheses)", "Quillmar Remote - Chat with <(only parentheses)>", ""},
      {"x(y)", "Quillmar Remote - Chat with <x(y)>", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textchat::ChatTitle(c.desktop), c.title);
    EXPECT_EQ(textchat::RemoteSpeakerName(c.desktop), c.speaker) << c.desktop;
  }
  const std::string n127(127, 'n'), n128(128, 'n');
  EXPECT_EQ(textchat::BoundedName(n127), n127);
  EXPECT_EQ(textchat::BoundedName(n128), std::string(124, 'n') + "...");
  EXPECT_EQ(textchat::BoundedName(std::string(5000, 'n')).size(), 127u);
}

TEST(TextChatMessages, HistoryStartsAgainBeforeItGrowsPastItsBuffer) {
  EXPECT_FALSE(textchat::HistoryFull(16384 - 32));
  EXPECT_TRUE(textchat::HistoryFull(16384 - 31));
  EXPECT_EQ(textchat::HistorySeparator(), std::string(120, '-') + "\n");
}

class ChatSession : public TestSession {
public:
  using TestSession::TestSession;
  std::vector<std::pair<std::uint32_t, std::string>> received;

protected:
  void TextChatReceived(std::uint32_t length, const std::string& text) override { received.emplace_back(length, text); }
};

class TextChatSession : public SessionFixture {
protected:
  ChatSession* c = nullptr;
  void SetUp() override {
    SessionFixture::SetUp();
    c = new ChatSession(opts);
    session.reset(c);
    session->connectTo = s[0];
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
  static Bytes Chat(std::uint32_t length, const std::string& text = "") {
    return Cat({{11, 0, 0, 0}, U32(length), B(text)});
  }
};

TEST_F(TextChatSession, EveryKindIsHandedOnAndReadExactly) {
  const std::string longest(16384, 'L');
  ServerSend(Cat({Chat(0xFFFFFFFF), Chat(5, "hello"), Chat(0), Chat(16384, longest), Chat(0xFFFFFFFD),
                  Chat(0xFFFFFFFE), {2}}));
  for (int i = 0; i < 7; i++) c->ReadServerMessage();
  ASSERT_EQ(c->received.size(), 6u);
  EXPECT_EQ(c->received[0], std::make_pair(0xFFFFFFFFu, std::string()));
  EXPECT_EQ(c->received[1], std::make_pair(5u, std::string("hello")));
  EXPECT_EQ(c->received[2], std::make_pair(0u, std::string()));
  EXPECT_EQ(c->received[3].second, longest);
  EXPECT_EQ(c->received[4].first, 0xFFFFFFFDu);
  EXPECT_EQ(c->received[5].first, 0xFFFFFFFEu);
}

TEST_F(TextChatSession, ALengthNoTextHasEndsTheConnection) {
  ServerSend(Chat(16385, "x"));
  try {
    c->ReadServerMessage();
    FAIL() << "read on";
  } catch (const rdr::Exception& e) {
    EXPECT_STREQ(e.str(), "rdr::Exception: Text chat message too long");
  }
  EXPECT_TRUE(c->received.empty());
}

TEST_F(TextChatSession, SentMessages) {
  c->SendTextChat(textchat::kOpen);
  c->SendTextChat(3, "ok\n");
  c->SendTextChat(textchat::kClose);
  EXPECT_EQ(ViewerSent(), Cat({Chat(0xFFFFFFFF), Chat(3, "ok\n"), Chat(0xFFFFFFFE)}));
}

}  // namespace
