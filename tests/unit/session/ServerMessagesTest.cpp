// The connection thread's side of a session over a socket pair: the dispatch of server
// messages (each read exactly, so that the next one parses), the FramebufferUpdate reader
// with its pseudo-encodings, ServerState, plug-in blocks, the automatic encoding choice,
// the update requests of the GUI side and the thread body with its loss road.
#include <gtest/gtest.h>

#include <algorithm>
#include <zlib.h>

#include <array>
#include <chrono>
#include <functional>
#include <stdexcept>
#include <thread>

#include "SessionTestSupport.h"
#include "decoders/RectHeader.h"
#include "tests/unit/decoders_compressed/Compressors.h"
#include "resources/StringIds.h"

using namespace sessiontest;

namespace {

Bytes U16(unsigned v) { return {std::uint8_t(v >> 8), std::uint8_t(v)}; }
Bytes Header(int x, int y, int w, int h, std::int32_t enc) {
  return Cat({U16(x), U16(y), U16(w), U16(h), U32(static_cast<std::uint32_t>(enc))});
}
Bytes Update(std::initializer_list<Bytes> rects, int count = -1) {
  Bytes b = {0, 0};
  Bytes n = U16(count < 0 ? static_cast<unsigned>(rects.size()) : static_cast<unsigned>(count));
  b.insert(b.end(), n.begin(), n.end());
  for (const Bytes& r : rects) b.insert(b.end(), r.begin(), r.end());
  return b;
}
// One pixel of the 32-bit format of Standard38 (red shift 16), as it travels.
Bytes Px(std::uint32_t v) { return U32LE(v); }
Bytes Pixels(std::uint32_t v, int n) {
  Bytes b;
  for (int i = 0; i < n; i++) {
    Bytes p = Px(v);
    b.insert(b.end(), p.begin(), p.end());
  }
  return b;
}
const Bytes kBell = {2};

struct Rect4 {
  int x, y, w, h;
  bool operator==(const Rect4& o) const { return x == o.x && y == o.y && w == o.w && h == o.h; }
};

using IdentityChannel = IdentityPlugin;

// A session with a bitmap in memory, recording what it asks of the display.
class DisplaySession : public TestSession {
public:
  using TestSession::TestSession;

  struct Request {
    std::uint32_t kind;
    bool wait;
  };
  struct Loss {
    int attempts;
    std::string warning;  // "" for none
  };

  std::mutex mu;
  std::vector<std::uint8_t> bits;
  Framebuffer fb;
  int rebuilds = 0;
  std::vector<Rect4> region, invalidated;
  int invalidations = 0;
  std::string frames;  // "start(pixel at 0,0) " and "end " as the display was told
  int cursorShapesShown = 0;
  std::vector<Request> requests;
  std::vector<int> invalidationsAtRequest;  // how many updates the display had been told of
  bool answerRequests = false;  // handle each request at once, as an idle GUI thread would
  bool postsFail = false;       // posting fails (a full queue)
  int lossNewsRefused = 0;      // so many loss notices cannot be handed over
  int resized = 0, desktopRects = 0, bells = 0, serverStates = 0, streamingAcks = 0, started = 0;
  std::vector<int> keepAliveTimers;
  std::vector<std::uint32_t> idleTimers;
  std::vector<Loss> losses;
  std::function<void()> onResized;
  std::atomic<bool> chatOpen{false};

  Framebuffer CurrentFramebuffer() override { return fb; }
  std::uint32_t Pixel(int x, int y) const { return PixelAt(fb, x, y); }
  int LossCount() {
    std::lock_guard<std::mutex> g(mu);
    return static_cast<int>(losses.size());
  }
  int BellCount() {
    std::lock_guard<std::mutex> g(mu);
    return bells;
  }
  // The bitmap the shell builds after the handshake; call with the framebuffer lock held.
  void CallRebuild() { RebuildFramebuffer(); }

protected:
  void RebuildFramebuffer() override {
    rebuilds++;
    fb = Framebuffer();
    fb.format = m_myFormat;
    fb.bytesPerPixel = m_myFormat.BytesPerPixel();
    fb.width = m_si.framebufferWidth;
    fb.height = m_si.framebufferHeight;
    fb.stride = Framebuffer::StrideFor(fb.width, fb.bytesPerPixel);
    bits.assign(fb.stride * static_cast<std::size_t>(fb.height), 128);
    fb.bits = bits.data();
  }
  void AddRectToUpdateRegion(int x, int y, int w, int h) override {
    std::lock_guard<std::mutex> g(mu);
    region.push_back({x, y, w, h});
  }
  void UpdateStarting() override {
    std::lock_guard<std::mutex> g(mu);
    frames += "start(" + std::to_string(Pixel(0, 0)) + ") ";
  }
  void InvalidateUpdateRegion() override {
    std::lock_guard<std::mutex> g(mu);
    invalidations++;
    invalidated = region;
    region.clear();
    frames += "end ";
  }
  void CursorShapeArrived() override { cursorShapesShown++; }
  bool PostUpdateRequest(std::uint32_t kind, bool wait) override {
    if (!wait && postsFail) return false;
    {
      std::lock_guard<std::mutex> g(mu);
      requests.push_back({kind, wait});
      invalidationsAtRequest.push_back(invalidations);
    }
    if (answerRequests) {
      if (wait)
        HandleUpdateRequest(kind);
      else
        HandleQueuedUpdateRequest(kind);
    }
    return true;
  }
  void FramebufferResized() override {
    {
      std::lock_guard<std::mutex> g(mu);
      resized++;
    }
    if (onResized) onResized();
  }
  void ShowDesktopRect() override { desktopRects++; }
  void Bell() override {
    std::lock_guard<std::mutex> g(mu);
    bells++;
  }
  void SetKeepAliveTimer(int ms) override { keepAliveTimers.push_back(ms); }
  void SetIdleTimer(std::uint32_t ms) override { idleTimers.push_back(ms); }
  void ServerStateChanged() override { serverStates++; }
  void PostStreamingAck() override { streamingAcks++; }
  void ConnectionThreadStarted() override { started++; }
  bool ConnectionLost(int attempts, const char* warning) override {
    std::lock_guard<std::mutex> g(mu);
    losses.push_back({attempts, warning ? warning : ""});
    if (lossNewsRefused == 0) return true;
    lossNewsRefused--;
    return false;
  }
  bool TextChatActive() override { return chatOpen; }
};

class ServerMessages : public SessionFixture {
protected:
  DisplaySession* d = nullptr;

  void SetUp() override {
    SessionFixture::SetUp();
    d = new DisplaySession(opts);
    session.reset(d);
    session->connectTo = s[0];
    ServerSend(Standard38());
    ASSERT_EQ(Connect(), "");
    ViewerSent();  // the handshake's bytes
    {
      std::lock_guard<std::recursive_mutex> g(d->m_bitmapLock);
      d->CallRebuild();
    }
  }

  // The server's bytes, then one message read by the viewer.
  void Read(const Bytes& b) {
    ServerSend(b);
    d->ReadServerMessage();
  }
  std::vector<std::uint32_t> Kinds() {
    std::vector<std::uint32_t> k;
    for (auto& r : d->requests) k.push_back(r.kind);
    return k;
  }
};

// --- Messages read exactly ------------------------------------------------------------

struct SkipCase {
  const char* name;
  Bytes message;
};

TEST_F(ServerMessages, EachMessageIsReadExactlySoThatTheNextOneParses) {
  const SkipCase cases[] = {
      {"type 20: its type byte only", {20}},
      {"keep-alive", {13}},
      {"copy-data value", {252, 7, 0, 0}},
      {"plug-in streaming", {80, 0, 0, 0}},
      {"cut text", Cat({{3, 0, 0, 0}, U32(5), B("hello")})},
      {"empty cut text", Cat({{3, 0, 0, 0}, U32(0)})},
      {"extended clipboard (negative length)", Cat({{3, 0, 0, 0}, U32(static_cast<std::uint32_t>(-6)), B("abcdef")})},
      {"file transfer: directory packet", Cat({{7, 2, 1, 0}, U32(0), U32(3), B("C:\\")})},
      {"file transfer: file header with the size's high part", Cat({{7, 4, 0, 0}, U32(10), U32(2), B("ab"), U32(0)})},
      {"file transfer: unchanged block carries no data", Cat({{7, 5, 0, 0}, U32(2), U32(8192)})},
      {"file transfer: a content type the viewer ignores", Cat({{7, 15, 0, 0}, U32(0), U32(40)})},
      {"chat text", Cat({{11, 0, 0, 0}, U32(3), B("hi\n")})},
      {"chat open", Cat({{11, 0, 0, 0}, U32(0xFFFFFFFF)})},
      {"gii version range", {253, 0x81, 0, 4, 0, 1, 0, 1}},
      {"gii device created", {253, 0x82, 0, 4, 0, 0, 0, 9}},
      {"gii other sub-type", {253, 0x85}},
      {"server state not known", Cat({{173, 0, 0, 0}, U32(9), U32(1)})},
      {"empty update", Update({})},
  };
  int bells = 0;
  for (const SkipCase& c : cases) {
    SCOPED_TRACE(c.name);
    Read(c.message);
    Read(kBell);
    EXPECT_EQ(d->bells, ++bells);
  }
  EXPECT_TRUE(d->m_keepAliveSupported);
  EXPECT_EQ(d->m_copyDataValue, 7);
  EXPECT_EQ(d->streamingAcks, 1);
  EXPECT_TRUE(d->m_fPluginStreamingIn);
  EXPECT_EQ(d->serverStates, 1);
}

TEST_F(ServerMessages, ColourMapEntriesAndUnknownTypesEndTheConnection) {
  for (std::uint8_t type : {1, 99}) {
    ServerSend({type});
    EXPECT_THROW(d->ReadServerMessage(), WarningException) << int(type);
  }
}

TEST_F(ServerMessages, ServerState) {
  opts.m_FileTransferTimeout = 30;
  Read(Cat({{173, 0, 0, 0}, U32(2), U32(100)}));  // capped below the file-transfer time-out
  EXPECT_EQ(opts.m_KeepAliveInterval, 29);
  Read(Cat({{173, 0, 0, 0}, U32(2), U32(0)}));
  EXPECT_EQ(d->keepAliveTimers, (std::vector<int>{29000, 0}));
  // Seconds to milliseconds without wrapping: 4,294,968 s is not a 704 ms timer.
  Read(Cat({{173, 0, 0, 0}, U32(3), U32(4294968)}));
  Read(Cat({{173, 0, 0, 0}, U32(3), U32(20)}));
  Read(Cat({{173, 0, 0, 0}, U32(3), U32(0)}));
  EXPECT_EQ(d->idleTimers, (std::vector<std::uint32_t>{RfbSession::kMaxTimerMs, 20000, 0}));
  EXPECT_EQ(d->m_idleInterval, 0u);
  Read(Cat({{173, 0, 0, 0}, U32(1), U32(1)}));
  EXPECT_FALSE(d->m_remoteInputEnabled);
  Read(Cat({{173, 0, 0, 0}, U32(1), U32(0)}));
  EXPECT_TRUE(d->m_remoteInputEnabled);
  EXPECT_EQ(d->serverStates, 7);
}

// --- FramebufferUpdate -----------------------------------------------------------------

TEST_F(ServerMessages, RectanglesAreDrawnAndTheNextRequestFollowsTheUpdate) {
  Read(Update({Cat({Header(1, 2, 2, 1, rfbenc::kRaw), Px(0x112233), Px(0x445566)}),
               Cat({Header(10, 10, 3, 3, rfbenc::kRRE), U32(0), Px(0xABCDEF)})}));
  EXPECT_EQ(d->Pixel(1, 2), 0x112233u);
  EXPECT_EQ(d->Pixel(2, 2), 0x445566u);
  EXPECT_EQ(d->Pixel(12, 12), 0xABCDEFu);
  EXPECT_EQ(d->Pixel(0, 0), 0x80808080u);
  EXPECT_EQ(d->invalidated, (std::vector<Rect4>{{1, 2, 2, 1}, {10, 10, 3, 3}}));
  EXPECT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
  EXPECT_EQ(d->m_lastEncoding, rfbenc::kRRE);
}

TEST_F(ServerMessages, AnEmptyUpdateStillInvalidatesAndAsksForTheNext) {
  Read(Update({}));
  EXPECT_EQ(d->invalidations, 1);
  EXPECT_TRUE(d->invalidated.empty());
  EXPECT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
}

TEST_F(ServerMessages, TheNextRequestIsPostedBeforeTheUpdateIsShown) {
  // The window thread takes a posted request before a paint, but only when the request is
  // already there as the invalidation wakes it; otherwise the server waits for the paint.
  Read(Update({Cat({Header(0, 0, 1, 1, rfbenc::kRaw), Px(0x010203)})}));
  Read(Update({}));
  EXPECT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
  d->HandleQueuedUpdateRequest(RfbSession::kRequestNewFormat);
  Read(Update({Cat({Header(0, 0, 1, 1, rfbenc::kRaw), Px(0x040506)})}));
  EXPECT_EQ(d->invalidationsAtRequest, (std::vector<int>{0, 2}));
  EXPECT_EQ(d->invalidations, 3);
}

TEST_F(ServerMessages, PreemptiveRequestsGoOutOnceAndNotWhileAFormatChangeIsPending) {
  opts.m_PreemptiveUpdates = true;
  d->answerRequests = true;
  Read(Update({}));
  EXPECT_EQ(d->requests.size(), 1u);
  d->m_pendingFormatChange = true;
  Read(Update({}));
  EXPECT_EQ(d->requests.size(), 2u);  // the one after the update carries the change
}

TEST_F(ServerMessages, TheDisplayIsToldBeforeAnUpdateWritesAndWhenItEndsAlsoInAnError) {
  Read(Update({Cat({Header(0, 0, 1, 1, rfbenc::kRaw), Px(0x010203)})}));
  // Told before the first pixel is written (the bitmap still holds its mid grey).
  EXPECT_EQ(d->frames, "start(2155905152) end ");
  Read(Update({}));  // nothing to write: nothing to hold, but the update still ends
  EXPECT_EQ(d->frames, "start(2155905152) end end ");
  // A rectangle the stream cannot carry ends the update with an error: what it drew before
  // is still shown.
  ServerSend(Update({Cat({Header(2, 0, 1, 1, rfbenc::kRaw), Px(0x040506)}),
                     Cat({Header(0, 0, 8, 8, rfbenc::kZRLE), U32(4), {0xFF, 0xFF, 0xFF, 0xFF}})}));
  EXPECT_ANY_THROW(d->ReadServerMessage());
  EXPECT_EQ(d->frames, "start(2155905152) end end start(66051) end ");
  EXPECT_EQ(d->invalidated, (std::vector<Rect4>{{2, 0, 1, 1}}));
}

TEST_F(ServerMessages, TheFirstCursorShapeOfAConnectionIsAnnouncedOnce) {
  const Bytes cursor = Cat({Header(1, 1, 2, 2, rfbenc::kRichCursor), Pixels(0xFFFFFF, 4), {0xC0, 0xC0}});
  Read(Update({Cat({Header(0, 0, 1, 1, rfbenc::kRaw), Px(1)})}));
  EXPECT_EQ(d->cursorShapesShown, 0);
  Read(Update({cursor}));
  EXPECT_EQ(d->cursorShapesShown, 1);
  Read(Update({cursor}));
  EXPECT_EQ(d->cursorShapesShown, 1);
}

TEST_F(ServerMessages, UpdatesWithoutRequestsQueueOneRequestUntilTheGuiThreadTakesIt) {
  // A server that sends updates without waiting for requests: the GUI thread's queue
  // holds one request, however many updates arrive before it gets to it.
  for (int i = 0; i < 50; i++) Read(Update({}));
  ASSERT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
  d->HandleQueuedUpdateRequest(RfbSession::kRequestNewFormat);
  EXPECT_EQ(ViewerSent(), (Bytes{3, 1, 0, 0, 0, 0, 0, 64, 0, 32}));
  for (int i = 0; i < 50; i++) Read(Update({}));
  EXPECT_EQ(d->requests.size(), 2u);
  // Kinds are kept apart: a full request waits beside the incremental one.
  Read(Update({Header(0, 0, 64, 32, rfbenc::kNewFBSize)}));
  EXPECT_EQ(Kinds(), (std::vector<std::uint32_t>{RfbSession::kRequestNewFormat, RfbSession::kRequestNewFormat,
                                                 RfbSession::kRequestFull}));
}

TEST_F(ServerMessages, ARequestThatCannotBePostedIsSentByTheReadingThread) {
  d->postsFail = true;
  Read(Update({}));
  Read(Update({}));
  EXPECT_TRUE(d->requests.empty());
  EXPECT_EQ(ViewerSent(), Cat({{3, 1, 0, 0, 0, 0, 0, 64, 0, 32}, {3, 1, 0, 0, 0, 0, 0, 64, 0, 32}}));
  d->postsFail = false;
  Read(Update({}));
  EXPECT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
}

TEST_F(ServerMessages, LastRectEndsTheUpdateBeforeTheCount) {
  Read(Update({Cat({Header(0, 0, 1, 1, rfbenc::kRaw), Px(0x010203)}), Header(0, 0, 0, 0, rfbenc::kLastRect)},
              200));
  Read(kBell);
  EXPECT_EQ(d->bells, 1);
  EXPECT_EQ(d->Pixel(0, 0), 0x010203u);
}

// An XZ list of solid 2 x 1 sub-rectangles in one block of the connection's xz stream: the
// header carries the count in x, y and the compressed length in w, h.
Bytes XzList(Compressor& xz, const std::vector<std::pair<Rect4, std::uint32_t>>& subs, std::int32_t enc = rfbenc::kXZ) {
  Bytes plain;
  for (const auto& sub : subs) plain = Cat({plain, U16(sub.first.x), U16(sub.first.y), U16(sub.first.w), U16(sub.first.h)});
  for (const auto& sub : subs)
    plain = Cat({plain, {1, std::uint8_t(sub.second), std::uint8_t(sub.second >> 8), std::uint8_t(sub.second >> 16)}});
  const Bytes block = xz.Block(plain);
  const std::size_t n = subs.size(), len = block.size();
  return Cat({Header(static_cast<int>(n >> 16), static_cast<int>(n & 0xFFFF), static_cast<int>(len >> 16),
                     static_cast<int>(len & 0xFFFF), enc),
              block});
}

// Each sub-rectangle of an XZ list counts as one rectangle of the update: the rectangles
// after the list are read, and nothing more.
TEST_F(ServerMessages, EachSubRectangleOfAnXzListCountsAsARectangle) {
  Compressor xz(Kind::Xz);
  const Bytes raw = Cat({Header(20, 20, 1, 1, rfbenc::kRaw), Px(0x0A0B0C)});
  // Three sub-rectangles and a Raw rectangle: a count of four.
  Read(Update({XzList(xz, {{{0, 0, 2, 1}, 0x111111}, {{4, 0, 2, 1}, 0x222222}, {{8, 0, 2, 1}, 0x333333}}), raw}, 4));
  EXPECT_EQ(d->Pixel(1, 0), 0x111111u);
  EXPECT_EQ(d->Pixel(9, 0), 0x333333u);
  EXPECT_EQ(d->Pixel(20, 20), 0x0A0B0Cu);
  Read(kBell);
  EXPECT_EQ(d->bells, 1);
  // Two lists, the second one of XZYW, around a Raw rectangle, then LastRect ends a count
  // that the server left open.
  Read(Update({XzList(xz, {{{0, 2, 2, 1}, 0x444444}, {{0, 3, 2, 1}, 0x555555}}),
               Cat({Header(21, 21, 1, 1, rfbenc::kRaw), Px(0x010203)}),
               XzList(xz, {{{0, 4, 2, 1}, 0x666666}}, rfbenc::kXZYW), Header(0, 0, 0, 0, rfbenc::kLastRect)},
              1000));
  EXPECT_EQ(d->Pixel(1, 3), 0x555555u);
  EXPECT_EQ(d->Pixel(21, 21), 0x010203u);
  EXPECT_EQ(d->Pixel(1, 4), 0x666666u);
  EXPECT_EQ(d->m_decoder.rectanglesReceived, 8u);  // statistics: sub-rectangles and the others
  // An empty list counts none.
  Read(Update({XzList(xz, {}), raw}, 1));
  Read(kBell);
  EXPECT_EQ(d->bells, 2);
}

TEST_F(ServerMessages, NewFramebufferSizeRebuildsTheBitmapForTheRestOfTheUpdate) {
  d->m_nServerScale = 2;
  const int before = d->rebuilds;
  Read(Update({Header(0, 0, 200, 100, rfbenc::kNewFBSize), Cat({Header(99, 49, 1, 1, rfbenc::kRaw), Px(0x0A0B0C)})}));
  EXPECT_EQ(d->fb.width, 100);
  EXPECT_EQ(d->fb.height, 50);
  EXPECT_EQ(d->rebuilds, before + 1);
  EXPECT_EQ(d->Pixel(99, 49), 0x0A0B0Cu);
  EXPECT_EQ(d->resized, 1);
  EXPECT_TRUE(d->m_pendingFormatChange);
  EXPECT_EQ(Kinds(), (std::vector<std::uint32_t>{RfbSession::kRequestFull, RfbSession::kRequestNewFormat}));
}

TEST_F(ServerMessages, ZeroFramebufferSizesAreClampedToOnePixel) {
  Read(Update({Header(0, 0, 0, 0, rfbenc::kNewFBSize)}));
  EXPECT_EQ(d->m_si.framebufferWidth, 1);
  EXPECT_EQ(d->m_si.framebufferHeight, 1);
  Read(Cat({{4, 0}, U16(0), U16(7)}));  // the resize message of its own
  EXPECT_EQ(d->m_si.framebufferWidth, 1);
  EXPECT_EQ(d->m_si.framebufferHeight, 7);
  EXPECT_EQ(d->requests.back().kind, RfbSession::kRequestNewFormat);
}

Bytes Screens(std::initializer_list<std::array<int, 4>> screens) {
  Bytes b = {std::uint8_t(screens.size()), 0, 0, 0};
  std::uint32_t id = 1;
  for (auto& s : screens) b = Cat({b, U32(id++), U16(s[0]), U16(s[1]), U16(s[2]), U16(s[3]), U32(0)});
  return b;
}

TEST_F(ServerMessages, ExtendedDesktopSizeResizesWhenEitherSideDiffers) {
  // Only the width changes (the framebuffer is 64 x 32).
  Read(Update({Cat({Header(0, 0, 80, 32, rfbenc::kExtendedDesktopSize), Screens({{0, 0, 80, 32}})})}));
  EXPECT_EQ(d->fb.width, 80);
  EXPECT_EQ(d->fb.height, 32);
  EXPECT_TRUE(d->m_extendedDesktopSizeReceived);
  EXPECT_TRUE(d->m_pendingFormatChange);
  // Without "GNOME" and "ChangeServerRes" the answer is a full request; the change goes
  // out with the request after the update.
  EXPECT_EQ(Kinds(), (std::vector<std::uint32_t>{RfbSession::kRequestFull, RfbSession::kRequestNewFormat}));
  Read(Update({Cat({Header(0, 0, 80, 40, rfbenc::kExtendedDesktopSize), Screens({{0, 0, 80, 40}})})}));
  EXPECT_EQ(d->fb.height, 40);
}

TEST_F(ServerMessages, ExtendedDesktopSizeOfTheSameSizeWithTwoScreensOnlyRecordsItsReceipt) {
  opts.m_GNOME = true;
  const int before = d->rebuilds;
  Read(Update({Cat({Header(0, 0, 64, 32, rfbenc::kExtendedDesktopSize), Screens({{0, 0, 32, 32}, {32, 0, 32, 32}})})}));
  Read(kBell);
  EXPECT_EQ(d->bells, 1);
  EXPECT_EQ(d->rebuilds, before);
  EXPECT_FALSE(d->m_pendingFormatChange);
  EXPECT_TRUE(d->m_extendedDesktopSizeReceived);
  EXPECT_EQ(Kinds(), std::vector<std::uint32_t>{RfbSession::kRequestNewFormat});
  // One screen with "GNOME": that screen is the desktop rectangle.
  Read(Update({Cat({Header(0, 0, 64, 32, rfbenc::kExtendedDesktopSize), Screens({{8, 4, 40, 20}})})}));
  EXPECT_EQ(d->m_desktopRect.x, 8);
  EXPECT_EQ(d->m_desktopRect.w, 40);
}

TEST_F(ServerMessages, DesktopRectangleIsScaledAndShown) {
  d->m_nServerScale = 2;
  Read(Update({Header(10, 20, 30, 40, static_cast<std::int32_t>(0xFFFFFECD))}));
  EXPECT_EQ(d->desktopRects, 1);
  EXPECT_EQ(d->m_desktopRect.x, 5);
  EXPECT_EQ(d->m_desktopRect.y, 10);
  EXPECT_EQ(d->m_desktopRect.w, 15);
  EXPECT_EQ(d->m_desktopRect.h, 20);
}

TEST_F(ServerMessages, CursorShapeAndPositionDrawTheSoftCursor) {
  // A 2 x 1 rich cursor, both pixels in the mask, hot spot (0, 0); then the pointer at (5, 6).
  Read(Update({Cat({Header(0, 0, 2, 1, rfbenc::kRichCursor), Px(0x00FF00), Px(0x0000FF), {0xC0}}),
               Header(5, 6, 0, 0, rfbenc::kPointerPos)}));
  EXPECT_EQ(d->Pixel(5, 6), 0x00FF00u);
  EXPECT_EQ(d->Pixel(6, 6), 0x0000FFu);
  // A rectangle over it: the cursor is lifted, the rectangle drawn, the cursor put back.
  Read(Update({Cat({Header(4, 6, 4, 1, rfbenc::kRaw), Pixels(0x111111, 4)})}));
  EXPECT_EQ(d->Pixel(4, 6), 0x111111u);
  EXPECT_EQ(d->Pixel(5, 6), 0x00FF00u);
  EXPECT_EQ(d->Pixel(7, 6), 0x111111u);
}

TEST_F(ServerMessages, AnUnknownEncodingDrainsWhatTheServerSendsAndGivesUpAfterAboutASecond) {
  ServerSend(Update({Header(0, 0, 4, 4, 0x7777), B("whatever the rectangle holds")}, 3));
  d->instantPauses = true;
  d->ReadServerMessage();
  // It gave up after five quiet rounds of 200 ms (not by a read's time-out): about a second.
  const std::vector<int> pauses = d->Pauses();
  EXPECT_EQ(std::count(pauses.begin(), pauses.end(), 200), 5);
  ASSERT_GE(pauses.size(), 5u);
  EXPECT_EQ(std::vector<int>(pauses.end() - 5, pauses.end()), std::vector<int>(5, 200));
  EXPECT_EQ(d->invalidations, 1);
  Read(kBell);
  EXPECT_EQ(d->bells, 1);
}

std::vector<std::uint8_t> Deflate(const Bytes& in) {
  uLongf n = compressBound(static_cast<uLong>(in.size()));
  Bytes out(n);
  EXPECT_EQ(compress2(out.data(), &n, in.data(), static_cast<uLong>(in.size()), 6), Z_OK);
  out.resize(n);
  return out;
}

TEST_F(ServerMessages, ZrleInAnElevenBitFormatIsSkippedAndTheFormatSentAgain) {
  {
    std::lock_guard<std::recursive_mutex> g(d->m_bitmapLock);
    d->m_myFormat.depth = 32;
    d->m_myFormat.redMax = 2047, d->m_myFormat.greenMax = 2047, d->m_myFormat.blueMax = 1023;
    d->m_myFormat.redShift = 0, d->m_myFormat.greenShift = 11, d->m_myFormat.blueShift = 22;
    d->CallRebuild();
  }
  Bytes z = Deflate(Bytes(300, 7));
  Read(Update({Cat({Header(0, 0, 8, 8, rfbenc::kZRLE), U32(static_cast<std::uint32_t>(z.size())), z})}));
  EXPECT_EQ(d->m_myFormat.depth, 24);
  EXPECT_EQ(d->m_myFormat.redShift, 16);
  EXPECT_EQ(d->m_myFormat.blueShift, 0);
  EXPECT_EQ(d->m_myFormat.redMax, 255);
  Bytes sent = ViewerSent();
  FormatAndEncodings fe = ParseFormatAndEncodings(Bytes(sent.begin(), sent.end() - 10), 0);
  ASSERT_TRUE(fe.ok);
  EXPECT_EQ(fe.setPixelFormat[4 + 1], 24);  // depth
  EXPECT_EQ(fe.setPixelFormat[4 + 10], 16);  // red shift
  EXPECT_EQ(Bytes(sent.end() - 10, sent.end()), (Bytes{3, 0, 0, 0, 0, 0, 0, 64, 0, 32}));
  EXPECT_EQ(d->fb.format.redShift, 16);
  Read(kBell);
  EXPECT_EQ(d->bells, 1);
}

// --- Plug-in blocks ---------------------------------------------------------------------

TEST_F(ServerMessages, AnOldStylePlugInsBlockIsReadWholeAheadOfTheDecoder) {
  IdentityChannel plugin;
  d->m_fUsePlugin = true;
  d->m_pluginEnabled = true;
  d->m_pluginTransform = &plugin;
  // The server repeats the type byte behind the one read alone.
  Read(Cat({{0}, {0, 0, 0, 1}, Header(3, 3, 2, 1, rfbenc::kRaw), U32(8), Px(0x123456), Px(0x654321)}));
  EXPECT_EQ(d->Pixel(3, 3), 0x123456u);
  EXPECT_EQ(d->Pixel(4, 3), 0x654321u);
  // A length above the 100 MiB cap is a stream error before anything is allocated or read.
  ServerSend(Cat({{0}, {0, 0, 0, 1}, Header(0, 0, 2, 1, rfbenc::kRaw), U32(0xFFFFFFFF)}));
  EXPECT_THROW(d->ReadServerMessage(), rdr::Exception);
  d->m_pluginTransform = nullptr;
}

TEST_F(ServerMessages, AnOldStylePlugInsRepeatedTypeByteOfABellIsReadOnce) {
  IdentityChannel plugin;
  d->m_fUsePlugin = true;
  d->m_pluginEnabled = true;
  d->m_pluginTransform = &plugin;
  // Each message comes after its type byte alone: one bell, then the next message parses.
  Read({2, 2});
  EXPECT_EQ(d->bells, 1);
  Read(Cat({{252}, {252, 7, 0, 0}}));
  EXPECT_EQ(d->m_copyDataValue, 7);
  Read({2, 2});
  EXPECT_EQ(d->bells, 2);
  EXPECT_EQ(d->m_fdin->Avail(), 0u);
  d->m_pluginTransform = nullptr;
}

TEST_F(ServerMessages, ZrleBlocksOfAChannelAreInjectedAndTheirLengthBounded) {
  d->m_fUsePlugin = true;
  d->m_channel.reset(new IdentityChannel);
  // ZRLE of one solid 2 x 2 tile (subencoding 1, a 3-byte pixel) in a zlib stream; the
  // block carries its own length in front in this protocol version.
  Bytes tile = {1, 0x11, 0x22, 0x33};
  Bytes z = Deflate(tile);
  Read(Cat({{0, 0, 0, 1}, Header(6, 6, 2, 2, rfbenc::kZRLE), U32(static_cast<std::uint32_t>(z.size())), z}));
  EXPECT_EQ(d->Pixel(6, 6), 0x332211u);
  EXPECT_EQ(d->Pixel(7, 7), 0x332211u);
  ServerSend(Cat({{0}, {0, 0, 1}, Header(0, 0, 2, 2, rfbenc::kZRLE), U32(0xFFFFFFFD)}));
  EXPECT_THROW(d->ReadServerMessage(), rdr::Exception);
}

// --- Automatic encoding choice ------------------------------------------------------------

TEST_F(ServerMessages, AutoDetectSettlesInEachBand) {
  opts.m_autoDetect = true;
  opts.m_EnableCache = true;
  struct Step {
    std::uint32_t kbits;
    std::uint64_t atMs;
    int level;
    std::int32_t preferred;
    bool pending;
  };
  const Step steps[] = {
      {5000, 1000, 2, rfbenc::kZRLE, true},  // a medium line: ZRLE
      {5000, 70000, 2, rfbenc::kZRLE, false},  // the same line a minute later: settled
      {5000, 140000, 2, rfbenc::kZRLE, false},
  };
  for (const Step& s : steps) {
    d->m_pendingFormatChange = false;
    d->AutoDetectSample(s.kbits, s.atMs);
    EXPECT_EQ(d->m_autoLevel, s.level) << s.atMs;
    ASSERT_EQ(opts.m_PreferredEncodings.size(), 1u);
    EXPECT_EQ(opts.m_PreferredEncodings[0], s.preferred);
    EXPECT_EQ(d->m_pendingFormatChange.load(), s.pending) << s.atMs;
  }
  EXPECT_FALSE(opts.m_EnableCache);
}

TEST_F(ServerMessages, AutoDetectBands) {
  struct Band {
    std::uint32_t kbits;
    int level;
    std::int32_t preferred;
  };
  const Band bands[] = {{50000, 1, rfbenc::kHextile}, {9999, 2, rfbenc::kZRLE}, {200, 2, rfbenc::kZRLE},
                        {100, 3, rfbenc::kTight},     {10, 4, rfbenc::kTight},  {256, 0, -1},
                        {10000, 0, -1},               {3, 0, -1}};
  for (const Band& b : bands) {
    KEBOptions o;
    o.m_autoDetect = true;
    o.m_PreferredEncodings = {-1};
    DisplaySession s(o);
    s.AutoDetectSample(b.kbits, 5);
    EXPECT_EQ(s.m_autoLevel, b.level) << b.kbits;
    EXPECT_EQ(o.m_PreferredEncodings[0], b.preferred) << b.kbits;
  }
  // Off, or with no rate measured: nothing.
  KEBOptions o;
  DisplaySession s(o);
  s.AutoDetectSample(50000, 5);
  EXPECT_EQ(s.m_autoLevel, 0);
}

// --- Update requests of the GUI side ----------------------------------------------------------

TEST_F(ServerMessages, UpdateRequestsByKind) {
  d->HandleUpdateRequest(RfbSession::kRequestIncremental);
  d->HandleUpdateRequest(RfbSession::kRequestFull);
  d->HandleUpdateRequest(7);
  d->HandleUpdateRequest(RfbSession::kRequestNewFormat);
  EXPECT_EQ(ViewerSent(), Cat({{3, 1, 0, 0, 0, 0, 0, 64, 0, 32}, {3, 0, 0, 0, 0, 0, 0, 64, 0, 32},
                               {3, 0, 0, 0, 0, 0, 0, 64, 0, 32}, {3, 1, 0, 0, 0, 0, 0, 64, 0, 32}}));
}

TEST_F(ServerMessages, DormancyHoldsTheRequestsAfterUpdates) {
  d->m_dormant = 1;
  d->HandleUpdateRequest(RfbSession::kRequestNewFormat);
  EXPECT_TRUE(ReadAvailable(50).empty());
  d->m_dormant = 2;  // entering: this one more request, then dormant
  d->HandleUpdateRequest(RfbSession::kRequestNewFormat);
  EXPECT_EQ(ViewerSent(), (Bytes{3, 1, 0, 0, 0, 0, 0, 64, 0, 32}));
  EXPECT_EQ(d->m_dormant, 1);
}

TEST_F(ServerMessages, APendingFormatChangeSendsFormatEncodingsAndAFullRequestWithANewBitmap) {
  opts.m_Use8Bit = 1;
  d->m_pendingFormatChange = true;
  const int before = d->rebuilds;
  d->HandleUpdateRequest(RfbSession::kRequestNewFormat);
  EXPECT_FALSE(d->m_pendingFormatChange);
  EXPECT_EQ(d->rebuilds, before + 1);
  EXPECT_EQ(d->fb.bytesPerPixel, 1);
  Bytes sent = ViewerSent();
  ASSERT_GE(sent.size(), 10u);
  FormatAndEncodings fe = ParseFormatAndEncodings(Bytes(sent.begin(), sent.end() - 10), 0);
  ASSERT_TRUE(fe.ok);
  EXPECT_EQ(fe.setPixelFormat[4], 8);
  EXPECT_EQ(Bytes(sent.end() - 10, sent.end()), (Bytes{3, 0, 0, 0, 0, 0, 0, 64, 0, 32}));
}

// --- The thread body ---------------------------------------------------------------------------

class ConnectionThread : public ServerMessages {
protected:
  std::thread thread;

  void Start() {
    d->m_threadStarted = true;
    thread = std::thread([this] { d->RunConnectionThread(); });
  }
  void TearDown() override {
    if (thread.joinable()) {
      d->EndConnectionThread();
      d->CloseSocket();  // a thread blocked in its read
      thread.join();
    }
    ServerMessages::TearDown();
  }
  // Ends the thread as the frame window does.
  void EndAndJoin() {
    d->EndConnectionThread();
    d->CloseSocket();
    EXPECT_TRUE(WaitFor([&] { return d->ConnectionThreadEnded(); }, 20));
    thread.join();
  }
};

TEST_F(ConnectionThread, StartsWithAFullRequestSentAndWaitedFor) {
  d->answerRequests = true;
  Start();
  ASSERT_TRUE(WaitFor([&] { return d->m_running.load(); }, 5));
  EXPECT_EQ(ReadAvailable(200), (Bytes{3, 0, 0, 0, 0, 0, 0, 64, 0, 32}));
  std::lock_guard<std::mutex> g(d->mu);
  ASSERT_FALSE(d->requests.empty());
  EXPECT_EQ(d->requests[0].kind, RfbSession::kRequestFull);
  EXPECT_TRUE(d->requests[0].wait);
  EXPECT_EQ(d->started, 1);
}

TEST_F(ConnectionThread, AServerThatClosesIsALossWithoutABoxAndTheThreadParks) {
  opts.m_Reconnect = 3;
  Start();
  ServerSend(kBell);
  ServerClose();
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->BellCount(), 1);
  EXPECT_EQ(d->losses[0].attempts, 3);
  EXPECT_EQ(d->losses[0].warning, "");
  EXPECT_TRUE(d->m_paused);
  // Parked through at least one of its 2 s rounds: neither ended nor lost again.
  EXPECT_TRUE(StaysFalse([&] { return d->ConnectionThreadEnded() || d->LossCount() != 1; }, 2.5));
  EndAndJoin();
}

TEST_F(ConnectionThread, LossNewsThatCannotBeHandedOverIsToldAgainUntilItGetsThrough) {
  opts.m_Reconnect = 2;
  d->lossNewsRefused = 2;  // the window's queue is full twice
  Start();
  ServerClose();
  // The parked thread hands the news over again at each poll (every 2 s).
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 3; }, 20));
  // Once through, it is not told again: watched through at least one more poll.
  EXPECT_TRUE(StaysFalse([&] { return d->LossCount() != 3; }, 2.5));
  for (auto& loss : d->losses) EXPECT_EQ(loss.attempts, 2);
  EndAndJoin();
}

TEST_F(ConnectionThread, AStreamErrorIsALossWithAWarning) {
  Start();
  ServerSend(Cat({Update({Cat({Header(0, 0, 8, 8, rfbenc::kZRLE), U32(4), {0xFF, 0xFF, 0xFF, 0xFF}})})}));
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->losses[0].warning, UiText(IDS_CONNECTION_LOST));
  EndAndJoin();
}

TEST_F(ConnectionThread, AfterALossNothingIsReadUntilTheConnectionResumes) {
  opts.m_Reconnect = 2;
  Start();
  ServerSend({99});  // an unknown message: the connection ends, the socket stays open
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->losses[0].attempts, 2);
  EXPECT_EQ(d->losses[0].warning, "");
  ServerSend(kBell);
  // Longer than one round of the parked thread (it looks every 2 s).
  EXPECT_TRUE(StaysFalse([&] { return d->BellCount() != 0; }, 2.5));
  d->m_paused = false;  // what a successful reconnect does
  ASSERT_TRUE(WaitFor([&] { return d->BellCount() == 1; }, 20));
  EndAndJoin();
}

TEST_F(ConnectionThread, AFaultDuringAChatIsTold) {
  opts.m_Reconnect = 2;
  d->chatOpen = true;
  Start();
  ServerSend({99});  // no stream error: a message the viewer cannot read
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->losses[0].attempts, 0);
  EXPECT_EQ(d->losses[0].warning, UiText(IDS_CONNECTION_LOST));
  ASSERT_TRUE(WaitFor([&] { return d->ConnectionThreadEnded(); }, 5));
}

// A server that resets the connection (a real TCP reset) ends it quietly; only a chat cut
// short by it is news for the user, and then there is no reconnect.
class ResetConnectionThread : public ConnectionThread, public ::testing::WithParamInterface<bool> {
protected:
  void SetUp() override {
    tcpPair = true;
    ConnectionThread::SetUp();
  }
};

TEST_P(ResetConnectionThread, IsQuietUnlessAChatIsCutShort) {
  const bool chat = GetParam();
  opts.m_Reconnect = 2;
  d->chatOpen = chat;
  Start();
  ASSERT_TRUE(WaitFor([&] { return d->m_running.load(); }, 5));
  ReadAvailable(100);
  ServerSend({2, 2});  // bells the viewer reads before the reset
  ASSERT_TRUE(WaitFor([&] { return d->BellCount() == 2; }, 5));
  ResetConnection(s[1]);
  s[1] = rdr::kInvalidSocket;
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->losses[0].attempts, chat ? 0 : 2);
  EXPECT_EQ(d->losses[0].warning, chat ? UiText(IDS_CONNECTION_LOST) : "");
}

INSTANTIATE_TEST_SUITE_P(Chat, ResetConnectionThread, ::testing::Bool());

// Whatever a handler throws (here the display, on a new framebuffer size) takes the loss
// road; the thread neither dies nor lets it escape.
class ConnectionThreadFailure : public ConnectionThread, public ::testing::WithParamInterface<int> {};

TEST_P(ConnectionThreadFailure, IsALoss) {
  const int kind = GetParam();
  d->onResized = [kind] {
    if (kind == 0) throw std::runtime_error("display failure");
    if (kind == 1) throw std::bad_alloc();
    throw 42;
  };
  Start();
  ServerSend(Update({Header(0, 0, 10, 10, rfbenc::kNewFBSize)}));
  ASSERT_TRUE(WaitFor([&] { return d->LossCount() == 1; }, 5));
  EXPECT_EQ(d->losses[0].warning, "");
  EXPECT_FALSE(d->ConnectionThreadEnded());
  EndAndJoin();
}

INSTANTIATE_TEST_SUITE_P(Kinds, ConnectionThreadFailure, ::testing::Values(0, 1, 2));

TEST_F(ConnectionThread, ClosingEndsTheThreadPromptlyAndQuietly) {
  Start();
  ASSERT_TRUE(WaitFor([&] { return d->m_running.load(); }, 5));
  // The thread reads (or is about to): closing ends the read at once, where a close that
  // only waited would take its 6 s.
  d->EndConnectionThread();
  d->CloseConnection();  // waits for the thread's first event
  // The thread's end, not the wait's 6 s running out, ended the close's wait.
  EXPECT_EQ(d->closeWaits, 1);
  EXPECT_EQ(d->closeWaitsRunOut, 0);
  EXPECT_TRUE(d->ConnectionThreadEnded());
  thread.join();
  EXPECT_EQ(d->LossCount(), 0);
}

}  // namespace
