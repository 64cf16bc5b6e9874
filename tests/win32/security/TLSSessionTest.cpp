// The SChannel session of VeNCrypt over a stand-in provider behind the security
// interface's table of calls, for what Wine's provider cannot show: a TLS 1.3 server's
// messages after the handshake, and the flags the session asks the provider for. Windows
// reports a session ticket or a key update from DecryptMessage as SEC_I_RENEGOTIATE, and
// InitializeSecurityContext is then called at once with what DecryptMessage left as
// SECBUFFER_EXTRA: the whole message (and what follows it), or only what follows it, or
// nothing, when the provider kept the message itself. That call takes the message
// (SEC_E_OK, with the answer to a key update as its output token), waits for the record
// that completes it (SEC_E_INCOMPLETE_MESSAGE), or, for a TLS 1.2 server's request for a
// new handshake, starts one (SEC_I_CONTINUE_NEEDED with a ClientHello), which the viewer
// refuses. The stand-in's records have the TLS framing around plain bytes.
#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS  // the newer credential structure
#include <windows.h>
#include <wincrypt.h>
#include <subauth.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/UiText.h"
#include "security/TLSSession.h"
#include "security/TLSSessionWin32.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kAlert = 21, kHandshake = 22, kData = 23;

Bytes Record(std::uint8_t type, const std::string& body) {
  Bytes r = {type, 3, 3, std::uint8_t(body.size() >> 8), std::uint8_t(body.size())};
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// ---- The stand-in provider ----

// Handshake: the client's record "HELLO", the server's "WORLD". After it, the server's
// handshake records: "TICKET" (a session ticket: taken), "KEYUPDATE-REQUESTED" (taken,
// answered with "KEYUPDATE"), "SPLIT" (a message that goes on in the next handshake
// record), "HELLO-REQUEST" (a TLS 1.2 request for a new handshake: answered with a new
// "HELLO" and continue needed).
enum Delivery {
  kExtraWhole,  // DecryptMessage leaves the handshake record and all after it as EXTRA
  kKept,        // it keeps the handshake record (DATA points at its body), EXTRA only what follows
};
struct Provider {
  Delivery delivery = kExtraWhole;
  bool established = false;
  int postHandshakeCalls = 0;
  std::vector<std::string> kept;  // handshake records DecryptMessage kept (kKept)
  bool incomplete = false;        // a message waits for the record that completes it
  std::string events;             // "M": a message taken, "E": a record enciphered
  bool encryptedMidMessage = false;
  // What the session asked for.
  unsigned long credentialVersion = 0, credentialFlags = 0, contextFlags = 0;
  bool refuseNewCredentials = false;  // as a provider that knows only SCHANNEL_CRED
} g_provider;

// The whole record at p (n bytes held): its length, 0 when incomplete.
std::size_t WholeRecord(const std::uint8_t* p, std::size_t n) {
  if (n < 5) return 0;
  const std::size_t whole = 5 + ((std::size_t(p[3]) << 8) | p[4]);
  return n >= whole ? whole : 0;
}

std::string Body(const std::uint8_t* record) {
  return std::string(reinterpret_cast<const char*>(record) + 5, (std::size_t(record[3]) << 8) | record[4]);
}

void Token(PSecBufferDesc out, const Bytes& bytes) {
  void* p = std::malloc(bytes.size());
  std::memcpy(p, bytes.data(), bytes.size());
  out->pBuffers[0].pvBuffer = p;
  out->pBuffers[0].cbBuffer = static_cast<unsigned long>(bytes.size());
}

// What the input token held beyond the bytes taken.
void Extra(PSecBufferDesc in, std::size_t taken) {
  const std::size_t held = in->pBuffers[0].cbBuffer;
  if (held > taken && in->cBuffers > 1) {
    in->pBuffers[1].BufferType = SECBUFFER_EXTRA;
    in->pBuffers[1].cbBuffer = static_cast<unsigned long>(held - taken);
  }
}

SECURITY_STATUS WINAPI Acquire(SEC_CHAR*, SEC_CHAR*, unsigned long, void*, void* authData, SEC_GET_KEY_FN, void*,
                               PCredHandle cred, PTimeStamp) {
  const DWORD version = *static_cast<const DWORD*>(authData);
  if (version == SCH_CREDENTIALS_VERSION) {
    if (g_provider.refuseNewCredentials) return SEC_E_UNKNOWN_CREDENTIALS;
    g_provider.credentialFlags = static_cast<const SCH_CREDENTIALS*>(authData)->dwFlags;
  } else if (version == SCHANNEL_CRED_VERSION) {
    const auto* older = static_cast<const SCHANNEL_CRED*>(authData);
    if (older->cCreds) return SEC_E_UNKNOWN_CREDENTIALS;  // the viewer has no certificate
    g_provider.credentialFlags = older->dwFlags;
  } else {
    return SEC_E_UNKNOWN_CREDENTIALS;
  }
  g_provider.credentialVersion = version;
  cred->dwLower = cred->dwUpper = 1;
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI FreeCred(PCredHandle) { return SEC_E_OK; }
SECURITY_STATUS WINAPI DeleteContext(PCtxtHandle) { return SEC_E_OK; }
SECURITY_STATUS WINAPI ApplyControl(PCtxtHandle, PSecBufferDesc) { return SEC_E_OK; }
SECURITY_STATUS WINAPI FreeBuffer(void* p) {
  std::free(p);
  return SEC_E_OK;
}

// The pieces a post-handshake message needs: "SPLIT" goes on in a second record.
std::size_t PiecesOf(const std::string& first) { return first == "SPLIT" ? 2 : 1; }

SECURITY_STATUS WINAPI Initialize(PCredHandle, PCtxtHandle context, SEC_CHAR*, unsigned long flags, unsigned long,
                                  unsigned long, PSecBufferDesc in, unsigned long, PCtxtHandle newContext,
                                  PSecBufferDesc out, unsigned long*, PTimeStamp) {
  g_provider.contextFlags = flags;
  if (!context) {
    newContext->dwLower = newContext->dwUpper = 2;
    Token(out, Record(kHandshake, "HELLO"));
    return SEC_I_CONTINUE_NEEDED;
  }
  if (!in || in->pBuffers[0].BufferType != SECBUFFER_TOKEN) return SEC_E_INVALID_TOKEN;
  const auto* p = static_cast<const std::uint8_t*>(in->pBuffers[0].pvBuffer);
  const std::size_t n = in->pBuffers[0].cbBuffer;
  if (!g_provider.established) {
    const std::size_t first = WholeRecord(p, n);
    if (!first) return SEC_E_INCOMPLETE_MESSAGE;
    if (p[0] != kHandshake || Body(p) != "WORLD") return SEC_E_INVALID_TOKEN;
    g_provider.established = true;
    Extra(in, first);
    return SEC_E_OK;
  }
  g_provider.postHandshakeCalls++;
  // The message: the pieces DecryptMessage kept, then handshake records of the input.
  std::vector<std::string> pieces = g_provider.kept;
  std::size_t taken = 0;
  while (pieces.empty() || pieces.size() < PiecesOf(pieces[0])) {
    const std::size_t whole = WholeRecord(p + taken, n - taken);
    if (!whole) {
      g_provider.incomplete = true;
      return SEC_E_INCOMPLETE_MESSAGE;  // nothing of the input taken
    }
    if (p[taken] != kHandshake) return SEC_E_INVALID_TOKEN;  // application data is no token
    pieces.push_back(Body(p + taken));
    taken += whole;
  }
  g_provider.kept.clear();
  g_provider.incomplete = false;
  g_provider.events += "M";
  SECURITY_STATUS status = SEC_E_OK;
  const std::string& body = pieces[0];
  if (body == "TICKET" || body == "SPLIT") {
  } else if (body == "KEYUPDATE-REQUESTED") {
    Token(out, Record(kHandshake, "KEYUPDATE"));
  } else if (body == "HELLO-REQUEST") {
    Token(out, Record(kHandshake, "HELLO"));
    status = SEC_I_CONTINUE_NEEDED;
  } else {
    return SEC_E_INVALID_TOKEN;
  }
  Extra(in, taken);
  return status;
}

SECURITY_STATUS WINAPI Decrypt(PCtxtHandle, PSecBufferDesc desc, unsigned long, unsigned long*) {
  SecBuffer* b = desc->pBuffers;
  auto* p = static_cast<std::uint8_t*>(b[0].pvBuffer);
  const std::size_t n = b[0].cbBuffer;
  const std::size_t whole = WholeRecord(p, n);
  if (!whole) return SEC_E_INCOMPLETE_MESSAGE;
  if (p[0] == kAlert) return SEC_I_CONTEXT_EXPIRED;
  if (p[0] == kHandshake) {
    if (g_provider.delivery == kExtraWhole) {
      // Not taken: the whole record, and what follows it, is left for the handshake call.
      b[0] = {0, SECBUFFER_STREAM_HEADER, p};
      b[1] = {0, SECBUFFER_DATA, p};
      b[2] = {0, SECBUFFER_STREAM_TRAILER, p};
      b[3] = {static_cast<unsigned long>(n), SECBUFFER_EXTRA, p};
      return SEC_I_RENEGOTIATE;
    }
    // Kept: the record is the provider's now; its DATA buffer is the handshake message,
    // no application data; EXTRA (when anything follows) is what follows.
    g_provider.kept.push_back(Body(p));
    b[0] = {5, SECBUFFER_STREAM_HEADER, p};
    b[1] = {static_cast<unsigned long>(whole - 5), SECBUFFER_DATA, p + 5};
    b[2] = {0, SECBUFFER_STREAM_TRAILER, p + whole};
    b[3] = n > whole ? SecBuffer{static_cast<unsigned long>(n - whole), SECBUFFER_EXTRA, p + whole}
                     : SecBuffer{0, SECBUFFER_EMPTY, nullptr};
    return SEC_I_RENEGOTIATE;
  }
  if (p[0] != kData) return SEC_E_DECRYPT_FAILURE;
  b[0] = {5, SECBUFFER_STREAM_HEADER, p};
  b[1] = {static_cast<unsigned long>(whole - 5), SECBUFFER_DATA, p + 5};
  b[2] = {0, SECBUFFER_STREAM_TRAILER, p + whole};
  if (n > whole) b[3] = {static_cast<unsigned long>(n - whole), SECBUFFER_EXTRA, p + whole};
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI Encrypt(PCtxtHandle, unsigned long, PSecBufferDesc desc, unsigned long) {
  SecBuffer* b = desc->pBuffers;
  auto* h = static_cast<std::uint8_t*>(b[0].pvBuffer);
  const unsigned long n = b[1].cbBuffer;
  h[0] = kData, h[1] = 3, h[2] = 3, h[3] = std::uint8_t(n >> 8), h[4] = std::uint8_t(n);
  b[2].cbBuffer = 0;
  if (g_provider.incomplete || !g_provider.kept.empty()) g_provider.encryptedMidMessage = true;
  g_provider.events += "E";
  return SEC_E_OK;
}

SECURITY_STATUS WINAPI Query(PCtxtHandle, unsigned long attribute, void* buffer) {
  if (attribute == SECPKG_ATTR_STREAM_SIZES) {
    auto* sizes = static_cast<SecPkgContext_StreamSizes*>(buffer);
    sizes->cbHeader = 5;
    sizes->cbTrailer = 0;
    sizes->cbMaximumMessage = 16384;
    sizes->cBuffers = 4;
    sizes->cbBlockSize = 16;
    return SEC_E_OK;
  }
  if (attribute == SECPKG_ATTR_CONNECTION_INFO) {
    auto* info = static_cast<SecPkgContext_ConnectionInfo*>(buffer);
    std::memset(info, 0, sizeof *info);
    info->dwProtocol = 0x2000;  // TLS 1.3, client
    info->aiCipher = CALG_AES_256;
    info->aiHash = CALG_SHA_384;
    info->aiExch = CALG_ECDH_EPHEM;
    return SEC_E_OK;
  }
  return SEC_E_UNSUPPORTED_FUNCTION;  // no certificate, no cipher-suite name
}

class StandInProvider : public ::testing::Test {
protected:
  SecurityFunctionTableA table = {};
  std::unique_ptr<TLSPlugin> plugin;

  void SetUp() override {
    LoadBuiltinUiTexts();  // the channel's failures are texts of the string table
    Start(kExtraWhole, {});
  }

  // The handshake over a provider that delivers post-handshake messages that way; early:
  // the server's records that came in the same read as its last handshake message.
  void Start(Delivery delivery, const Bytes& early, bool refuseNewCredentials = false) {
    plugin.reset();
    g_provider = Provider();
    g_provider.delivery = delivery;
    g_provider.refuseNewCredentials = refuseNewCredentials;
    table.dwVersion = SECURITY_SUPPORT_PROVIDER_INTERFACE_VERSION;
    table.AcquireCredentialsHandleA = Acquire;
    table.FreeCredentialHandle = FreeCred;
    table.InitializeSecurityContextA = Initialize;
    table.DeleteSecurityContext = DeleteContext;
    table.ApplyControlToken = ApplyControl;
    table.QueryContextAttributesA = Query;
    table.FreeContextBuffer = FreeBuffer;
    table.EncryptMessage = Encrypt;
    table.DecryptMessage = Decrypt;

    // The handshake, as the VeNCrypt loop runs it.
    std::unique_ptr<TLSSession> session = NewSChannelSession("tls13.example", &table);
    ASSERT_NE(session, nullptr);
    ByteBuffer in, out;
    ASSERT_TRUE(session->Handshake(in, out)) << session->Error();
    ASSERT_EQ(Bytes(out.Data(), out.Data() + out.Size()), Record(kHandshake, "HELLO"));
    const Bytes world = Cat({Record(kHandshake, "WORLD"), early});
    in.Append(world.data(), world.size());
    ASSERT_TRUE(session->Handshake(in, out)) << session->Error();
    ASSERT_EQ(session->GetState(), TLSSession::kEstablished);
    plugin.reset(new TLSPlugin(std::move(session), in));
  }

  // Reads want plain bytes through the receive contract from the server's bytes; "" and
  // the channel's text when it fails.
  // A gate, when given, holds the bytes from gate->at on until it is opened.
  struct Gate {
    std::size_t at = 0;
    std::mutex lock;
    std::condition_variable changed;
    bool reached = false, open = false;
    void Reach() {
      std::unique_lock<std::mutex> g(lock);
      reached = true;
      changed.notify_all();
      changed.wait_for(g, std::chrono::seconds(60), [this] { return open; });
    }
    bool WaitReached() {
      std::unique_lock<std::mutex> g(lock);
      return changed.wait_for(g, std::chrono::seconds(60), [this] { return reached; });
    }
    void Open() {
      std::lock_guard<std::mutex> g(lock);
      open = true;
      changed.notify_all();
    }
  };
  std::string Read(const Bytes& wire, std::size_t want, std::string* error, Gate* gate = nullptr) {
    std::string got(want, '\0');
    std::size_t at = 0;
    for (int round = 0; round < 10000; round++) {
      if (gate && at == gate->at && !gate->reached) gate->Reach();
      int raw = -1;
      std::uint8_t* room = plugin->Decrypt(nullptr, static_cast<int>(want), &raw);
      if (!room || raw < 0 || raw > 1) {
        *error = plugin->ErrorText();
        return "";
      }
      if (raw == 1) {
        if (at >= wire.size()) {
          *error = "the server sent no more";
          return "";
        }
        *room = wire[at++];
      }
      int done = 0;
      if (!plugin->Decrypt(reinterpret_cast<std::uint8_t*>(&got[0]), static_cast<int>(want), &done)) {
        *error = plugin->ErrorText();
        return "";
      }
      if (done == static_cast<int>(want)) return got;
    }
    *error = "no end";
    return "";
  }
  Bytes Send(const std::string& text) {
    int n = 0;
    std::uint8_t* r = plugin->Encrypt(reinterpret_cast<const std::uint8_t*>(text.data()), static_cast<int>(text.size()), &n);
    return r ? Bytes(r, r + n) : Bytes();
  }
};

// Each way the provider may deliver a message, with the records arriving one read at a
// time or together with the handshake's end: the data that follows arrives intact, and
// what the message asks of the client goes out ahead of the next record.
TEST_F(StandInProvider, MessagesAfterTheHandshakeGoBackToTheProvider) {
  struct Case {
    const char* what;
    Bytes wire;
    int messages;
    Bytes owed;  // what goes out ahead of the next record
  } cases[] = {
      {"a session ticket", Cat({Record(kHandshake, "TICKET"), Record(kData, "abc")}), 1, {}},
      {"two tickets, the data behind them",
       Cat({Record(kHandshake, "TICKET"), Record(kHandshake, "TICKET"), Record(kData, "abc")}), 2, {}},
      {"a message over two records",
       Cat({Record(kHandshake, "SPLIT"), Record(kHandshake, "rest"), Record(kData, "abc")}), 1, {}},
      {"a key update that asks for one back", Cat({Record(kHandshake, "KEYUPDATE-REQUESTED"), Record(kData, "abc")}),
       1, Record(kHandshake, "KEYUPDATE")},
  };
  const struct {
    const char* what;
    Delivery delivery;
  } deliveries[] = {{"the message left as EXTRA", kExtraWhole},
                    {"the message kept, EXTRA only what follows it, or none", kKept}};
  for (const auto& d : deliveries) {
    for (bool early : {false, true}) {
      for (const auto& c : cases) {
        SCOPED_TRACE(std::string(d.what) + (early ? ", with the handshake's end: " : ", read by read: ") + c.what);
        const Bytes wire = Cat({Record(kData, "before"), c.wire});
        Start(d.delivery, early ? wire : Bytes());
        std::string error;
        EXPECT_EQ(Read(early ? Bytes() : wire, 9, &error), "beforeabc") << error;
        EXPECT_EQ(std::count(g_provider.events.begin(), g_provider.events.end(), 'M'), c.messages);
        EXPECT_EQ(Send("ok"), Cat({c.owed, Record(kData, "ok")}));
        EXPECT_EQ(Send("again"), Record(kData, "again"));
      }
    }
  }
}

// A record enciphered while the server's message waits for its next record would go out
// in the middle of it: a sender waits until the reader has the rest.
TEST_F(StandInProvider, SendsWaitWhileAMessageIsIncomplete) {
  for (Delivery delivery : {kExtraWhole, kKept}) {
    SCOPED_TRACE(delivery == kKept ? "kept" : "extra");
    Start(delivery, {});
    const Bytes first = Cat({Record(kData, "x"), Record(kHandshake, "SPLIT")});
    Gate gate;
    gate.at = first.size();
    std::string error, got;
    std::thread reader([&] { got = Read(Cat({first, Record(kHandshake, "rest"), Record(kData, "y")}), 2, &error, &gate); });
    ASSERT_TRUE(gate.WaitReached());
    ASSERT_TRUE(g_provider.incomplete || !g_provider.kept.empty());
    auto sent = std::async(std::launch::async, [&] { return Send("hi"); });
    // A sender that does not wait is done at once, mid-message; one that waits is not done
    // until the reader goes on.
    const bool doneEarly = sent.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    gate.Open();
    reader.join();
    EXPECT_FALSE(doneEarly);
    EXPECT_EQ(sent.get(), Record(kData, "hi"));
    EXPECT_EQ(got, "xy") << error;
    EXPECT_FALSE(g_provider.encryptedMidMessage);
    EXPECT_EQ(g_provider.events, "ME");
  }
}

// The viewer has no client certificate, and none of the user's may go out: the provider
// is told to use only the credentials given, and they say no default ones.
TEST_F(StandInProvider, NoClientCertificateIsLeftToTheProvider) {
  for (bool refuseNew : {false, true}) {
    SCOPED_TRACE(refuseNew ? "a provider that knows only SCHANNEL_CRED" : "SCH_CREDENTIALS");
    Start(kExtraWhole, {}, refuseNew);
    EXPECT_EQ(g_provider.credentialVersion, refuseNew ? DWORD(SCHANNEL_CRED_VERSION) : DWORD(SCH_CREDENTIALS_VERSION));
    EXPECT_EQ(g_provider.credentialFlags & (SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION),
              DWORD(SCH_CRED_NO_DEFAULT_CREDS | SCH_CRED_MANUAL_CRED_VALIDATION));
    EXPECT_EQ(g_provider.credentialFlags & SCH_CRED_AUTO_CRED_VALIDATION, 0u);
    EXPECT_EQ(g_provider.contextFlags, 0xC11Cu | ISC_REQ_USE_SUPPLIED_CREDS);
  }
}

TEST_F(StandInProvider, TheAnswerToAKeyUpdateGoesOutAheadOfTheNextRecord) {
  std::string error;
  EXPECT_EQ(Read(Cat({Record(kHandshake, "KEYUPDATE-REQUESTED"), Record(kData, "x")}), 1, &error), "x") << error;
  EXPECT_EQ(Send("hi"), Cat({Record(kHandshake, "KEYUPDATE"), Record(kData, "hi")}));
  EXPECT_EQ(Send("again"), Record(kData, "again"));
}

TEST_F(StandInProvider, ARequestForANewHandshakeIsRefused) {
  for (Delivery delivery : {kExtraWhole, kKept}) {
    SCOPED_TRACE(delivery == kKept ? "kept" : "extra");
    Start(delivery, {});
    std::string error;
    EXPECT_EQ(Read(Cat({Record(kHandshake, "HELLO-REQUEST"), Record(kData, "x")}), 1, &error), "");
    EXPECT_EQ(error, "Renegotiation request not implemented");
    // The session has ended: the new handshake's first message never goes out.
    EXPECT_EQ(Send("hi"), Bytes());
    EXPECT_EQ(Read({}, 1, &error), "");
  }
}

}  // namespace
