// The extended clipboard's state without a connection: the server's capabilities, the
// client's, what a local change or a server's request produces, the preferences, and
// provide messages taken apart (built here with zlib itself, not with the viewer's writer).
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

#include "session/ExtendedClipboard.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace extclip;

Bytes U32(std::uint32_t v) {
  return {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)};
}
void Append(Bytes& b, const Bytes& more) { b.insert(b.end(), more.begin(), more.end()); }
std::uint32_t U32At(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}

// A provide message as a server builds it: flags, then the zlib stream of size + bytes per format.
Bytes Provide(std::uint32_t flags, const std::vector<Bytes>& items, Bytes* plainOut = nullptr) {
  Bytes plain;
  for (const Bytes& item : items) {
    Append(plain, U32(static_cast<std::uint32_t>(item.size())));
    Append(plain, item);
  }
  uLongf n = compressBound(static_cast<uLong>(plain.size()));
  Bytes z(n);
  EXPECT_EQ(compress(z.data(), &n, plain.data(), static_cast<uLong>(plain.size())), Z_OK);
  z.resize(n);
  if (plainOut) *plainOut = plain;
  Bytes m = U32(kProvide | flags);
  Append(m, z);
  return m;
}

// The formats and their bytes inside a provide message the viewer built.
struct Provided {
  std::uint32_t flags = 0;
  std::vector<Bytes> items;
};
Provided Unpack(const ExtendedClipboardBuffer& b) {
  Provided p;
  p.flags = b.Flags();
  z_stream zs = {};
  inflateInit(&zs);
  Bytes plain(64 << 20);
  zs.next_in = const_cast<std::uint8_t*>(b.Data() + 4);
  zs.avail_in = static_cast<uInt>(b.Length() - 4);
  zs.next_out = plain.data();
  zs.avail_out = static_cast<uInt>(plain.size());
  int rc = inflate(&zs, Z_SYNC_FLUSH);
  EXPECT_TRUE(rc == Z_OK || rc == Z_STREAM_END) << rc;
  plain.resize(zs.total_out);
  inflateEnd(&zs);
  std::size_t at = 0;
  for (int i = 0; i < kFormatCount; i++) {
    if (!(p.flags & FormatBit(i))) continue;
    std::uint32_t n = U32At(&plain[at]);
    p.items.emplace_back(plain.begin() + at + 4, plain.begin() + at + 4 + n);
    at += 4 + n;
  }
  EXPECT_EQ(at, plain.size());
  return p;
}

Bytes Text(const std::string& s) {
  Bytes b(s.begin(), s.end());
  b.push_back(0);
  return b;
}

ClipboardContent Content(const std::string& text, const std::string& rtf = "", const std::string& html = "",
                         std::size_t dib = 0) {
  ClipboardContent c;
  if (!text.empty()) c.data[0] = Text(text);
  c.data[1].assign(rtf.begin(), rtf.end());
  c.data[2].assign(html.begin(), html.end());
  c.data[3].assign(dib, 0x42);
  c.UpdateChecksum();
  return c;
}

// A state after the server's capabilities (all formats, notify, its limits).
ExtendedClipboardState ServerState(std::uint32_t actions = kCaps | kRequest | kProvide | kNotify,
                                   std::uint32_t textLimit = 20) {
  ExtendedClipboardState s;
  Bytes caps = U32(actions | 0xF);
  for (std::uint32_t l : {textLimit, 100u, 100u, 0u}) Append(caps, U32(l));
  s.ReadServerCaps(caps.data(), caps.size(), true);
  return s;
}

TEST(ExtendedClipboard, CapsWords) {
  EXPECT_EQ(kCapsWithNotify, 0x1B00000Fu);
  EXPECT_EQ(kCapsWithPeek, 0x1700000Fu);
  ExtendedClipboardState s;
  ExtendedClipboardBuffer b;
  b.AppendU32(0xDEAD);  // whatever was there goes
  s.WriteCaps(b);
  Bytes expected = U32(0x1B00000F);
  for (std::uint32_t l : {10485760u, 2097152u, 2097152u, 0u}) Append(expected, U32(l));
  EXPECT_EQ(Bytes(b.Data(), b.Data() + b.Length()), expected);
}

TEST(ExtendedClipboard, ServerCapsGiveALimitPerFormatBitInOrder) {
  struct Case {
    const char* name;
    Bytes message;
    std::array<std::uint32_t, 4> limits;
  } cases[] = {
      {"all four", [] {
         Bytes m = U32(kCaps | 0xF);
         for (std::uint32_t l : {1u, 2u, 3u, 4u}) Append(m, U32(l));
         return m;
       }(), {1, 2, 3, 4}},
      {"text and HTML only", [] {
         Bytes m = U32(kCaps | kText | kHtml);
         Append(m, U32(7));
         Append(m, U32(9));
         return m;
       }(), {7, 0, 9, 0}},
      {"further format bits are skipped", [] {
         Bytes m = U32(kCaps | 0x31);
         for (std::uint32_t l : {5u, 6u, 7u}) Append(m, U32(l));
         return m;
       }(), {5, 0, 0, 0}},
      {"a message that ends early gives 0", [] {
         Bytes m = U32(kCaps | 0xF);
         Append(m, U32(8));
         m.push_back(1);
         return m;
       }(), {8, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ExtendedClipboardState s;
    s.ReadServerCaps(c.message.data(), c.message.size(), true);
    EXPECT_EQ(s.serverFlags, U32At(c.message.data()));
    EXPECT_EQ(s.serverLimits, c.limits);
    EXPECT_EQ(s.sendLimits, c.limits);
  }
  ExtendedClipboardState kept;
  Bytes m = U32(kCaps | kText);
  Append(m, U32(1));
  kept.ReadServerCaps(m.data(), m.size(), false);
  EXPECT_EQ(kept.sendLimits, kClientLimits);
}

TEST(ExtendedClipboard, LocalChangeSendsWhatFitsAndAnnouncesTheRest) {
  ExtendedClipboardState s = ServerState();
  ClipboardContent c = Content("short", "{\\rtf1}", "<b>x</b>");
  ASSERT_TRUE(s.BuildOutgoingMessages(c, 0));
  EXPECT_TRUE(s.providePending);
  EXPECT_FALSE(s.notifyPending);  // everything fitted
  Provided p = Unpack(s.provide);
  EXPECT_EQ(p.flags, kProvide | kText | kRtf | kHtml);
  ASSERT_EQ(p.items.size(), 3u);
  EXPECT_EQ(p.items[0], Text("short"));
  EXPECT_EQ(p.items[2], Bytes({'<', 'b', '>', 'x', '<', '/', 'b', '>'}));
  EXPECT_EQ(s.lastChecksum, c.checksum);

  // The same text again (only the RTF changed): no message, the checksum covers the text.
  EXPECT_FALSE(s.BuildOutgoingMessages(Content("short", "{\\rtf1 other}"), 0));
}

TEST(ExtendedClipboard, TextAboveTheServersLimitIsAnnouncedThenSentOnRequest) {
  ExtendedClipboardState s = ServerState(kCaps | kRequest | kProvide | kNotify, 10);
  ClipboardContent c = Content("far more than ten bytes of text");
  ASSERT_TRUE(s.BuildOutgoingMessages(c, 0));
  EXPECT_FALSE(s.providePending);
  EXPECT_TRUE(s.notifyPending);
  EXPECT_EQ(s.notify.Flags(), kNotify | kText);
  EXPECT_EQ(s.notify.Length(), 4u);
  s.ClearPending();

  // The server asks for text: it goes whatever its size, and nothing is announced.
  ASSERT_TRUE(s.BuildOutgoingMessages(c, kRequest | kText));
  EXPECT_TRUE(s.providePending);
  EXPECT_FALSE(s.notifyPending);
  Provided p = Unpack(s.provide);
  EXPECT_EQ(p.flags, kProvide | kText);
  EXPECT_EQ(p.items.at(0), Text("far more than ten bytes of text"));
}

TEST(ExtendedClipboard, ServerWithoutNotifyGetsNoNotify) {
  ExtendedClipboardState s = ServerState(kCaps | kRequest | kProvide, 10);
  EXPECT_FALSE(s.BuildOutgoingMessages(Content("longer than the limit"), 0));
  EXPECT_FALSE(s.notifyPending);
  EXPECT_EQ(s.notify.Length(), 4u);
  EXPECT_EQ(s.notify.Flags(), 0u);
}

TEST(ExtendedClipboard, DibIsOnlySentWhenAsked) {
  ExtendedClipboardState s = ServerState();
  ClipboardContent c = Content("t", "", "", 40);
  ASSERT_TRUE(s.BuildOutgoingMessages(c, 0));
  EXPECT_EQ(s.provide.Flags() & kFormatMask, kText);
  EXPECT_TRUE(s.notifyPending);
  EXPECT_EQ(s.notify.Flags(), kNotify | kText | kDib);
  ASSERT_TRUE(s.BuildOutgoingMessages(c, kProvideAll));
  Provided p = Unpack(s.provide);
  EXPECT_EQ(p.flags, kProvide | kText | kDib);
  EXPECT_EQ(p.items.at(1), Bytes(40, 0x42));
}

TEST(ExtendedClipboard, PeekAnnouncesTheFormatsWithData) {
  ExtendedClipboardState s = ServerState();
  ASSERT_TRUE(s.BuildOutgoingMessages(Content("t", "", "<p>"), kPeek));
  EXPECT_TRUE(s.notifyPending);
  EXPECT_FALSE(s.providePending);
  EXPECT_EQ(s.notify.Flags(), kNotify | kText | kHtml);
}

TEST(ExtendedClipboard, AskedForAFormatThatIsNotThereSendsNothing) {
  ExtendedClipboardState s = ServerState();
  EXPECT_FALSE(s.BuildOutgoingMessages(Content("", "", "", 16), kRequest | kText));
  EXPECT_FALSE(s.BuildOutgoingMessages(ClipboardContent(), kRequest | 0xF));
}

TEST(ExtendedClipboard, PreferencesKeepTheirFormatsOffAfterTheServersCaps) {
  ExtendedClipboardState s;
  s.ApplyPreferences(1);  // text only, as read from the options file at start
  Bytes caps = U32(kCaps | kRequest | kProvide | kNotify | 0xF);
  for (std::uint32_t l : {100u, 100u, 100u, 0u}) Append(caps, U32(l));
  s.ReadServerCaps(caps.data(), caps.size(), true);
  EXPECT_EQ(s.Preferences(), 1);
  EXPECT_FALSE(s.AutoSync(1));
  ASSERT_TRUE(s.BuildOutgoingMessages(Content("x", "{\\rtf1}", "<p>"), 0));
  EXPECT_EQ(s.provide.Flags(), kProvide | kText);
  EXPECT_EQ(s.notify.Flags(), kNotify | kText | kRtf | kHtml);
  EXPECT_TRUE(s.notifyPending);

  // Switched on again: the server's limit returns.
  s.ApplyPreferences(5);
  EXPECT_EQ(s.sendLimits[2], 100u);
  EXPECT_EQ(s.sendLimits[1], 0u);
  EXPECT_EQ(s.Preferences(), 5);
}

TEST(ExtendedClipboard, ProvideWithTextAndHtml) {
  ClipboardContent c;
  std::string error;
  Bytes m = Provide(kText | kHtml, {Text("caf\xc3\xa9"), {'<', 'i', '>'}});
  ASSERT_TRUE(c.ReadProvide(m.data(), m.size(), &error)) << error;
  EXPECT_EQ(c.data[0], Text("caf\xc3\xa9"));
  EXPECT_TRUE(c.data[1].empty());
  EXPECT_EQ(c.data[2], Bytes({'<', 'i', '>'}));
  EXPECT_EQ(c.checksum, crc32(0, c.data[0].data(), static_cast<uInt>(c.data[0].size())));
}

TEST(ExtendedClipboard, ProvideThatIsNotSoundIsRefused) {
  struct Case {
    const char* name;
    Bytes message;
  };
  Bytes notZlib = U32(kProvide | kText);
  Append(notZlib, {1, 2, 3, 4, 5, 6, 7, 8});
  Bytes truncated = Provide(kText, {Text("some text that is cut")});
  truncated.resize(truncated.size() - 6);
  // Claims 100 MiB and a byte more, backed by nothing.
  Bytes huge = U32(kProvide | kText);
  {
    Bytes plain = U32(104857601);
    uLongf n = compressBound(4);
    Bytes z(n);
    compress(z.data(), &n, plain.data(), 4);
    z.resize(n);
    Append(huge, z);
  }
  // Two formats that together exceed 100 MiB; the first alone fits.
  Bytes twoLarge = U32(kProvide | kText | kRtf);
  {
    Bytes plain = U32(60 << 20);
    plain.resize(4 + (60 << 20), 'a');
    Append(plain, U32(60 << 20));
    uLongf n = compressBound(static_cast<uLong>(plain.size()));
    Bytes z(n);
    compress(z.data(), &n, plain.data(), static_cast<uLong>(plain.size()));
    z.resize(n);
    Append(twoLarge, z);
  }
  Case cases[] = {{"not a zlib stream", notZlib},
                  {"zlib stream cut short", truncated},
                  {"size beyond the limit", huge},
                  {"sizes beyond the limit together", twoLarge},
                  {"shorter than the flags word", {0x10, 0}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ClipboardContent content;
    std::string error;
    EXPECT_FALSE(content.ReadProvide(c.message.data(), c.message.size(), &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(ExtendedClipboard, ProvideSurvivesTheViewersOwnWriter) {
  // What the viewer sends, read back by its own reader (as another viewer would).
  ExtendedClipboardState s = ServerState(kCaps | kRequest | kProvide | kNotify, 1 << 20);
  std::string big(300000, 'q');
  ClipboardContent c = Content(big, "{\\rtf1 big}", "<html></html>");
  ASSERT_TRUE(s.BuildOutgoingMessages(c, 0));
  ClipboardContent back;
  std::string error;
  ASSERT_TRUE(back.ReadProvide(s.provide.Data(), s.provide.Length(), &error)) << error;
  EXPECT_EQ(back.data, c.data);
  EXPECT_EQ(back.checksum, c.checksum);
}

}  // namespace
