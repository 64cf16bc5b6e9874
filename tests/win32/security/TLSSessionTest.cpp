// The SChannel session of VeNCrypt over a stand-in provider behind the security
// interface's table of calls, for what Wine's provider cannot show: a TLS 1.3 server's
// messages after the handshake. Windows reports a session ticket or a key update from
// DecryptMessage as SEC_I_RENEGOTIATE, and the bytes it did not take go back to
// InitializeSecurityContext as the token; that call takes them (SEC_E_OK, with the answer
// to a key update as its output token) or, for a TLS 1.2 server's request for a new
// handshake, starts one (SEC_I_CONTINUE_NEEDED with a ClientHello), which the viewer
// refuses. The stand-in's records have the TLS framing around plain bytes.
#define SECURITY_WIN32
#include <windows.h>
#include <security.h>
#include <sspi.h>
#include <schannel.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

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
struct Provider {
  bool established = false;
  int postHandshakeCalls = 0;
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

SECURITY_STATUS WINAPI Acquire(SEC_CHAR*, SEC_CHAR*, unsigned long, void*, void*, SEC_GET_KEY_FN, void*,
                               PCredHandle cred, PTimeStamp) {
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

SECURITY_STATUS WINAPI Initialize(PCredHandle, PCtxtHandle context, SEC_CHAR*, unsigned long, unsigned long,
                                  unsigned long, PSecBufferDesc in, unsigned long, PCtxtHandle newContext,
                                  PSecBufferDesc out, unsigned long*, PTimeStamp) {
  if (!context) {
    newContext->dwLower = newContext->dwUpper = 2;
    Token(out, Record(kHandshake, "HELLO"));
    return SEC_I_CONTINUE_NEEDED;
  }
  if (!in || in->pBuffers[0].BufferType != SECBUFFER_TOKEN) return SEC_E_INVALID_TOKEN;
  const auto* p = static_cast<const std::uint8_t*>(in->pBuffers[0].pvBuffer);
  const std::size_t n = in->pBuffers[0].cbBuffer;
  const std::size_t first = WholeRecord(p, n);
  if (!first) return SEC_E_INCOMPLETE_MESSAGE;
  if (p[0] != kHandshake) return SEC_E_INVALID_TOKEN;
  const std::string body = Body(p);
  if (!g_provider.established) {
    if (body != "WORLD") return SEC_E_INVALID_TOKEN;
    g_provider.established = true;
    Extra(in, first);
    return SEC_E_OK;
  }
  g_provider.postHandshakeCalls++;
  std::size_t taken = first;
  SECURITY_STATUS status = SEC_E_OK;
  if (body == "TICKET") {
  } else if (body == "KEYUPDATE-REQUESTED") {
    Token(out, Record(kHandshake, "KEYUPDATE"));
  } else if (body == "SPLIT") {
    const std::size_t second = WholeRecord(p + first, n - first);
    if (!second) return SEC_E_INCOMPLETE_MESSAGE;
    taken += second;
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
    // Not taken: the whole record, and what follows it, is left for the handshake call.
    b[0] = {0, SECBUFFER_STREAM_HEADER, p};
    b[1] = {0, SECBUFFER_DATA, p};
    b[2] = {0, SECBUFFER_STREAM_TRAILER, p};
    b[3] = {static_cast<unsigned long>(n), SECBUFFER_EXTRA, p};
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
    g_provider = Provider();
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
    const Bytes world = Record(kHandshake, "WORLD");
    in.Append(world.data(), world.size());
    ASSERT_TRUE(session->Handshake(in, out)) << session->Error();
    ASSERT_EQ(session->GetState(), TLSSession::kEstablished);
    plugin.reset(new TLSPlugin(std::move(session), in));
  }

  // Reads want plain bytes through the receive contract from the server's bytes; "" and
  // the channel's text when it fails.
  std::string Read(const Bytes& wire, std::size_t want, std::string* error) {
    std::string got(want, '\0');
    std::size_t at = 0;
    for (int round = 0; round < 10000; round++) {
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

TEST_F(StandInProvider, MessagesAfterTheHandshakeGoBackToTheProvider) {
  struct Case {
    const char* what;
    Bytes wire;
    int handshakeCalls;
  } cases[] = {
      {"a session ticket", Cat({Record(kHandshake, "TICKET"), Record(kData, "abc")}), 1},
      {"two tickets, the data behind them in one read",
       Cat({Record(kHandshake, "TICKET"), Record(kHandshake, "TICKET"), Record(kData, "abc")}), 2},
      {"a message over two records",
       Cat({Record(kHandshake, "SPLIT"), Record(kHandshake, "rest"), Record(kData, "abc")}), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    std::string error;
    EXPECT_EQ(Read(Cat({Record(kData, "before"), c.wire}), 9, &error), "beforeabc") << error;
    EXPECT_EQ(g_provider.postHandshakeCalls, c.handshakeCalls);
    EXPECT_EQ(Send("ok"), Record(kData, "ok"));  // nothing owed to the server
  }
}

TEST_F(StandInProvider, TheAnswerToAKeyUpdateGoesOutAheadOfTheNextRecord) {
  std::string error;
  EXPECT_EQ(Read(Cat({Record(kHandshake, "KEYUPDATE-REQUESTED"), Record(kData, "x")}), 1, &error), "x") << error;
  EXPECT_EQ(Send("hi"), Cat({Record(kHandshake, "KEYUPDATE"), Record(kData, "hi")}));
  EXPECT_EQ(Send("again"), Record(kData, "again"));
}

TEST_F(StandInProvider, ARequestForANewHandshakeIsRefused) {
  std::string error;
  EXPECT_EQ(Read(Cat({Record(kHandshake, "HELLO-REQUEST"), Record(kData, "x")}), 1, &error), "");
  EXPECT_EQ(error, "Renegotiation request not implemented");
  // The session has ended: the new handshake's first message never goes out.
  EXPECT_EQ(Send("hi"), Bytes());
  EXPECT_EQ(Read({}, 1, &error), "");
}

}  // namespace
