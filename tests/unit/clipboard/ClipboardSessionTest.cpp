// The clipboard of a session over a socket pair: server message 3 in both forms with its
// bounds, the skip rules of ClientCutText, the extended clipboard's capabilities, requests,
// notifications and provided data, and the preferences in the options file.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "app/IniStore.h"
#include "session/CutText.h"
#include "tests/unit/session/SessionTestSupport.h"

using namespace sessiontest;
using namespace extclip;

namespace {

class ClipboardSession : public TestSession {
public:
  using TestSession::TestSession;

  std::vector<std::string> localTexts;
  std::vector<ClipboardContent> localContents;
  bool localWorks = true;
  int capsPosted = 0;
  std::vector<std::uint32_t> requests;
  bool fileTransfer = false, chat = false;

protected:
  bool UpdateLocalClipboard(const char* text, std::size_t length) override {
    localTexts.emplace_back(text, length);
    return localWorks;
  }
  bool SetLocalClipboard(const ClipboardContent& content) override {
    localContents.push_back(content);
    return localWorks;
  }
  void PostClipboardCaps() override { capsPosted++; }
  void PostClipboardRequest(std::uint32_t flags) override { requests.push_back(flags); }
  bool FileTransferInProgress() override { return fileTransfer; }
  bool TextChatActive() override { return chat; }
};

Bytes CutText(const std::string& text) {
  return Cat({{3, 0, 0, 0}, U32(static_cast<std::uint32_t>(text.size())), B(text)});
}
Bytes ExtendedCutText(const Bytes& message) {
  return Cat({{3, 0, 0, 0}, U32(static_cast<std::uint32_t>(-static_cast<std::int64_t>(message.size()))), message});
}
Bytes ServerCaps(std::uint32_t actions, std::uint32_t textLimit = 1000) {
  return Cat({U32(actions | 0xF), U32(textLimit), U32(1000), U32(1000), U32(0)});
}
Bytes Compressed(const Bytes& plain) {
  uLongf n = compressBound(static_cast<uLong>(plain.size()));
  Bytes z(n);
  EXPECT_EQ(compress(z.data(), &n, plain.data(), static_cast<uLong>(plain.size())), Z_OK);
  z.resize(n);
  return z;
}
const Bytes kBell = {2};

// One ClientCutText the viewer sent: its length field and payload.
struct Sent {
  std::int32_t length;
  Bytes payload;
};
std::vector<Sent> SplitCutTexts(const Bytes& b) {
  std::vector<Sent> out;
  std::size_t at = 0;
  while (at + 8 <= b.size()) {
    EXPECT_EQ(b[at], 6) << "at " << at;
    EXPECT_EQ(b[at + 1] | b[at + 2] | b[at + 3], 0);
    const auto length = static_cast<std::int32_t>((std::uint32_t(b[at + 4]) << 24) |
                                                  (std::uint32_t(b[at + 5]) << 16) |
                                                  (std::uint32_t(b[at + 6]) << 8) | b[at + 7]);
    const std::size_t n = length < 0 ? std::size_t(-std::int64_t(length)) : std::size_t(length);
    if (at + 8 + n > b.size()) break;
    out.push_back({length, Bytes(b.begin() + at + 8, b.begin() + at + 8 + n)});
    at += 8 + n;
  }
  EXPECT_EQ(at, b.size());
  return out;
}
// The plain bytes of a provide message the viewer sent (zlib's inflate as the oracle).
Bytes Inflate(const Bytes& compressed) {
  Bytes plain(1 << 20);
  z_stream zs = {};
  inflateInit(&zs);
  zs.next_in = const_cast<std::uint8_t*>(compressed.data());
  zs.avail_in = static_cast<uInt>(compressed.size());
  zs.next_out = plain.data();
  zs.avail_out = static_cast<uInt>(plain.size());
  inflate(&zs, Z_SYNC_FLUSH);
  plain.resize(zs.total_out);
  inflateEnd(&zs);
  return plain;
}

class Clipboard : public SessionFixture {
protected:
  ClipboardSession* c = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    c = new ClipboardSession(opts);
    session.reset(c);
    session->connectTo = s[0];
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();
  }
  void Read(const Bytes& b) {
    ServerSend(b);
    c->ReadServerMessage();
  }
  // The message was read exactly: the next one parses.
  void ExpectInStep() {
    ServerSend(kBell);
    EXPECT_NO_THROW(c->ReadServerMessage());
  }
  std::string ReadFailure(const Bytes& b) {
    ServerSend(b);
    try {
      c->ReadServerMessage();
    } catch (const rdr::Exception& e) {
      return e.str();
    }
    return "";
  }
};

TEST_F(Clipboard, ServerTextGoesToTheLocalClipboardAndIsNotEchoed) {
  Read(CutText("line one\nline two"));
  ASSERT_EQ(c->localTexts, std::vector<std::string>{"line one\nline two"});
  ExpectInStep();
  // The same text copied locally later is the text last exchanged: not sent back.
  c->SendClientCutText("line one\nline two", 17);
  EXPECT_TRUE(ViewerSent().empty());
  Read(CutText(""));
  EXPECT_EQ(c->localTexts.back(), "");
}

TEST_F(Clipboard, TextSetFailingLocallyIsNotRemembered) {
  c->localWorks = false;
  Read(CutText("abc"));
  c->SendClientCutText("abc", 3);
  EXPECT_EQ(SplitCutTexts(ViewerSent()).size(), 1u);
}

TEST_F(Clipboard, ViewOnlyAndClipboardOffKeepTheServersClipboardOut) {
  for (bool viewOnly : {true, false}) {
    SCOPED_TRACE(viewOnly ? "viewonly" : "disableclipboard");
    opts.m_viewonly = viewOnly;
    opts.m_disableclipboard = !viewOnly;
    Read(CutText("text"));
    Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify)));
    Read(ExtendedCutText(U32(kRequest | kText)));
    Read(ExtendedCutText(Cat({U32(kProvide | kText), Compressed(Cat({U32(2), B("x"), {0}}))})));
    ExpectInStep();
    EXPECT_TRUE(c->localTexts.empty());
    EXPECT_TRUE(c->localContents.empty());
    EXPECT_TRUE(c->requests.empty());
    // The capabilities are still read, and the answer accepts nothing.
    EXPECT_GE(c->capsPosted, 1);
    c->SendClipboardCaps(false);
    auto sent = SplitCutTexts(ViewerSent());
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].length, -20);
    EXPECT_EQ(sent[0].payload, Cat({U32(0x0100000F), U32(0), U32(0), U32(0), U32(0)}));
  }
}

TEST_F(Clipboard, SendingTextAndItsSkipRules) {
  c->SendClientCutText("a\nb", 3);
  auto sent = SplitCutTexts(ViewerSent());
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].length, 3);
  EXPECT_EQ(sent[0].payload, B("a\nb"));
  // The same text again: sent once.
  c->SendClientCutText("a\nb", 3);
  EXPECT_TRUE(ViewerSent().empty());
  // Nothing while a file transfer runs or the chat is open; the text is not remembered then.
  c->fileTransfer = true;
  c->SendClientCutText("during", 6);
  c->fileTransfer = false;
  c->chat = true;
  c->SendClientCutText("during", 6);
  c->chat = false;
  EXPECT_TRUE(ViewerSent().empty());
  c->SendClientCutText("during", 6);
  EXPECT_EQ(SplitCutTexts(ViewerSent()).size(), 1u);
}

TEST_F(Clipboard, TheLargestLengthsAreTaken) {
  // Exactly 100 MiB, as plain text and as an extended message: read whole, and the stream
  // stays in step. The server writes while the viewer reads.
  const std::size_t max = cuttext::kMaxLength;
  for (const bool extended : {false, true}) {
    SCOPED_TRACE(extended);
    Bytes message(8 + max);
    message[0] = 3;
    const std::uint32_t lengthField =
        extended ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(max)) : static_cast<std::uint32_t>(max);
    for (int i = 0; i < 4; i++) message[4 + i] = static_cast<std::uint8_t>(lengthField >> (24 - 8 * i));
    for (std::size_t i = 0; i < max; i++) message[8 + i] = i % 1000 == 999 ? '\n' : static_cast<std::uint8_t>('a' + i % 26);
    if (extended) {
      const Bytes flags = U32(kNotify | kText | kHtml);
      std::copy(flags.begin(), flags.end(), message.begin() + 8);
    }
    std::thread server([&] { ServerSend(message); });
    std::string failure;
    try {
      c->ReadServerMessage();
    } catch (const std::exception& e) {
      failure = e.what();
    } catch (const rdr::Exception& e) {
      failure = e.str();
    } catch (const Exception& e) {
      failure = e.Message();
    }
    // A viewer that stopped reading closes its end, so that the server's writes end too.
    if (!failure.empty()) session.reset();
    server.join();
    ASSERT_EQ(failure, "");
    if (extended) {
      EXPECT_EQ(c->m_clip.notifiedFormats, kText | kHtml);
    } else {
      ASSERT_EQ(c->localTexts.size(), 1u);
      EXPECT_EQ(c->localTexts[0].size(), max);
      EXPECT_TRUE(std::equal(c->localTexts[0].begin(), c->localTexts[0].end(), message.begin() + 8));
      c->localTexts.clear();
    }
    ExpectInStep();
  }
}

TEST_F(Clipboard, LengthsAboveOneHundredMebibytesEndTheConnection) {
  for (std::uint32_t length : {104857601u, 0x7FFFFFFFu, 0x80000000u, 0xF9BFFFFFu /* -(100 MiB + 1) */}) {
    SCOPED_TRACE(length);
    EXPECT_EQ(ReadFailure(Cat({{3, 0, 0, 0}, U32(length), B("abc")})), "rdr::Exception: Server cut text too long");
    NewPair();
    session.reset(c = new ClipboardSession(opts));
    session->connectTo = s[0];
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
  }
}

TEST_F(Clipboard, ExtendedMessageShorterThanItsFlagsIsReadAndDropped) {
  Read(ExtendedCutText({0x10, 0}));
  ExpectInStep();
  EXPECT_TRUE(c->localContents.empty());
  EXPECT_TRUE(c->ExtendedClipboardInUse());
}

TEST_F(Clipboard, CapabilitiesAreReadAndAnswered) {
  // Nothing of the extended clipboard goes out before the server uses it.
  c->SendClipboardCaps(false);
  c->RequestClipboardFormats();
  EXPECT_TRUE(ViewerSent().empty());

  Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify, 5000)));
  EXPECT_EQ(c->capsPosted, 1);
  EXPECT_EQ(c->m_clip.sendLimits[0], 5000u);
  c->SendClipboardCaps(false);
  c->RequestClipboardFormats();
  auto sent = SplitCutTexts(ViewerSent());
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].length, -20);
  EXPECT_EQ(sent[0].payload, Cat({U32(0x1B00000F), U32(10485760), U32(2097152), U32(2097152), U32(0)}));
  EXPECT_EQ(sent[1].length, -4);
  EXPECT_EQ(sent[1].payload, U32(0x0200000F));
}

TEST_F(Clipboard, RequestsGoToTheGuiAndTheAnswerIsOneProvide) {
  Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify, 4)));
  Read(ExtendedCutText(U32(kRequest | kText | kHtml)));
  ASSERT_EQ(c->requests, std::vector<std::uint32_t>{kRequest | kText | kHtml});

  ClipboardContent local;
  local.data[0] = B(std::string("longer than four", 17));  // with its zero byte
  local.data[2] = B("<p>hi</p>");
  local.UpdateChecksum();
  c->SendExtendedClipboard(local, c->requests[0]);
  auto sent = SplitCutTexts(ViewerSent());
  ASSERT_EQ(sent.size(), 1u);
  ASSERT_GE(sent[0].payload.size(), 4u);
  EXPECT_EQ(Bytes(sent[0].payload.begin(), sent[0].payload.begin() + 4), U32(kProvide | kText | kHtml));
  EXPECT_EQ(Inflate(Bytes(sent[0].payload.begin() + 4, sent[0].payload.end())),
            Cat({U32(17), local.data[0], U32(9), B("<p>hi</p>")}));

  // A local change to the same text afterwards sends nothing.
  c->SendExtendedClipboard(local, 0);
  EXPECT_TRUE(ViewerSent().empty());
}

TEST_F(Clipboard, LocalChangeAboveTheLimitIsProvidedThenAnnounced) {
  Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify, 4)));
  ClipboardContent local;
  local.data[0] = B(std::string("ok", 3));
  local.data[2] = Bytes(3000, 'h');  // above the server's HTML limit of 1000
  local.UpdateChecksum();
  c->SendExtendedClipboard(local, 0);
  auto sent = SplitCutTexts(ViewerSent());
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(Bytes(sent[0].payload.begin(), sent[0].payload.begin() + 4), U32(kProvide | kText));
  EXPECT_EQ(sent[1].payload, U32(kNotify | kText | kHtml));
}

TEST_F(Clipboard, ProvidedDataReachesTheLocalClipboard) {
  Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify)));
  Read(ExtendedCutText(U32(kNotify | kText | kRtf)));
  EXPECT_EQ(c->m_clip.notifiedFormats, kText | kRtf);
  const Bytes text = Cat({B("caf\xc3\xa9"), {0}});
  Read(ExtendedCutText(Cat({U32(kProvide | kText | kHtml), Compressed(Cat({U32(6), text, U32(3), B("<b>")}))})));
  ASSERT_EQ(c->localContents.size(), 1u);
  EXPECT_EQ(c->localContents[0].data[0], text);
  EXPECT_EQ(c->localContents[0].data[2], B("<b>"));
  EXPECT_EQ(c->m_clip.notifiedFormats, 0u);
  EXPECT_EQ(c->m_clip.lastChecksum, c->localContents[0].checksum);
  ExpectInStep();

  // Data that is not a zlib stream is dropped; the stream stays in step.
  Read(ExtendedCutText(Cat({U32(kProvide | kText), {1, 2, 3, 4, 5, 6, 7, 8}})));
  EXPECT_EQ(c->localContents.size(), 1u);
  ExpectInStep();
}

TEST_F(Clipboard, PreferencesInTheOptionsFile) {
  const std::string path = ::testing::TempDir() + "keb_clipboard_prefs.keb";
  std::remove(path.c_str());
  std::snprintf(opts.m_optionfile, sizeof opts.m_optionfile, "%s", path.c_str());
  {
    std::unique_ptr<IniStore> ini = OpenIniFile(path.c_str());
    ASSERT_TRUE(ini);
    ini->WriteInt("connection", "ClipboardPrefs", 3);  // text and RTF, no HTML
  }
  c->LoadClipboardPrefs();
  EXPECT_EQ(c->m_clip.sendLimits[2], 0u);
  Read(ExtendedCutText(ServerCaps(kCaps | kRequest | kProvide | kNotify)));
  EXPECT_EQ(c->m_clip.Preferences(), 3);

  c->m_clip.ApplyPreferences(5);
  c->SendClipboardCaps(true);
  EXPECT_EQ(SplitCutTexts(ViewerSent()).size(), 1u);
  std::unique_ptr<IniStore> ini = OpenIniFile(path.c_str());
  EXPECT_EQ(ini->GetInt("connection", "ClipboardPrefs", 0), 5);
  std::remove(path.c_str());
}

TEST_F(Clipboard, PreferencesDefaultToEveryFormat) {
  const std::string path = ::testing::TempDir() + "keb_clipboard_none.keb";
  std::remove(path.c_str());
  std::snprintf(opts.m_optionfile, sizeof opts.m_optionfile, "%s", path.c_str());
  c->LoadClipboardPrefs();
  EXPECT_EQ(c->m_clip.Preferences(), 7);
}

}  // namespace
