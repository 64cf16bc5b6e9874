// Does Wine's SChannel send a client certificate of the user's personal store, unasked,
// to a server that requests one? A TLS client of its own (not the viewer's code) with the
// credentials and context flags given on the command line:
//   schannel_client_cert PORT default    SCH_CRED_MANUAL_CRED_VALIDATION, context 0xC11C
//   schannel_client_cert PORT nodefault  + SCH_CRED_NO_DEFAULT_CREDS, + ISC_REQ_USE_SUPPLIED_CREDS
//   schannel_client_cert PORT explicit   default, with the store's first certificate given
//                                        (shows that the certificate and its key can go)
// connects to 127.0.0.1:PORT, runs the handshake, sends "probe\n" and prints each status.
// The server's log (openssl s_server -verify 1 -msg) tells whether a certificate came.
// Measured with Wine 8.0 (run_schannel_client_cert.sh, a client-authentication certificate
// with its key in the personal store, issued by the root the server names): "default" and
// "nodefault" both send an empty Certificate message (0b 00 00 03 00 00 00) and the
// session goes on; "explicit" sends the certificate (the server logs its subject). Wine's
// provider never picks one from the store by itself, so only a stand-in provider can show
// the flags at work.
// Build: x86_64-w64-mingw32-g++ -O1 -o schannel_client_cert.exe schannel_client_cert.cpp
//        -lsecur32 -lcrypt32 -lws2_32 -static
#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3) return 1;
  const bool noDefault = std::strcmp(argv[2], "nodefault") == 0;
  WSADATA wsa;
  WSAStartup(MAKEWORD(2, 2), &wsa);
  SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<u_short>(std::atoi(argv[1])));
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::printf("connect failed %d\n", WSAGetLastError());
    return 2;
  }
  HCERTSTORE my = CertOpenStore(CERT_STORE_PROV_SYSTEM_A, 0, 0, CERT_SYSTEM_STORE_CURRENT_USER, "MY");
  int inStore = 0;
  PCCERT_CONTEXT chosen = nullptr;
  for (PCCERT_CONTEXT c = nullptr; my && (c = CertEnumCertificatesInStore(my, c)) != nullptr;) {
    if (!chosen) chosen = CertDuplicateCertificateContext(c);
    inStore++;
  }
  std::printf("personal store: %d certificate(s)\n", inStore);

  SCHANNEL_CRED cred = {};
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | (noDefault ? SCH_CRED_NO_DEFAULT_CREDS : 0);
  if (std::strcmp(argv[2], "explicit") == 0 && chosen) {
    cred.cCreds = 1;
    cred.paCred = &chosen;
  }
  CredHandle h;
  TimeStamp t;
  SECURITY_STATUS st = AcquireCredentialsHandleA(nullptr, const_cast<char*>(UNISP_NAME_A), SECPKG_CRED_OUTBOUND,
                                                 nullptr, &cred, nullptr, nullptr, &h, &t);
  std::printf("AcquireCredentialsHandle 0x%08lX\n", st);
  DWORD flags = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                ISC_REQ_EXTENDED_ERROR | ISC_REQ_STREAM | (noDefault ? ISC_REQ_USE_SUPPLIED_CREDS : 0);
  CtxtHandle ctx;
  std::string in;
  bool first = true;
  for (int round = 0; round < 20; round++) {
    SecBuffer ib[2] = {{static_cast<unsigned long>(in.size()), SECBUFFER_TOKEN, &in[0]}, {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc id = {SECBUFFER_VERSION, 2, ib};
    SecBuffer ob[1] = {{0, SECBUFFER_TOKEN, nullptr}};
    SecBufferDesc od = {SECBUFFER_VERSION, 1, ob};
    unsigned long attr = 0;
    st = InitializeSecurityContextA(&h, first ? nullptr : &ctx, const_cast<char*>("127.0.0.1"), flags, 0, 0,
                                    first ? nullptr : &id, 0, first ? &ctx : nullptr, &od, &attr, &t);
    first = false;
    std::printf("InitializeSecurityContext 0x%08lX (in %u, out %lu)\n", st, static_cast<unsigned>(in.size()),
                ob[0].cbBuffer);
    if (ob[0].pvBuffer && ob[0].cbBuffer) send(s, static_cast<char*>(ob[0].pvBuffer), ob[0].cbBuffer, 0);
    if (ob[0].pvBuffer) FreeContextBuffer(ob[0].pvBuffer);
    if (st == SEC_E_OK) break;
    if (st != SEC_I_CONTINUE_NEEDED && st != SEC_E_INCOMPLETE_MESSAGE && st != SEC_I_INCOMPLETE_CREDENTIALS) return 3;
    if (st == SEC_I_CONTINUE_NEEDED) {
      in = ib[1].BufferType == SECBUFFER_EXTRA ? in.substr(in.size() - ib[1].cbBuffer) : "";
      if (!in.empty()) continue;
    }
    if (st == SEC_I_INCOMPLETE_CREDENTIALS) continue;  // asked for a certificate: go on without one
    char buf[16384];
    const int n = recv(s, buf, sizeof buf, 0);
    if (n <= 0) return 4;
    in.append(buf, static_cast<std::size_t>(n));
  }
  if (st != SEC_E_OK) return 5;
  SecPkgContext_StreamSizes sizes;
  QueryContextAttributesA(&ctx, SECPKG_ATTR_STREAM_SIZES, &sizes);
  std::string rec(sizes.cbHeader + 6 + sizes.cbTrailer, '\0');
  std::memcpy(&rec[sizes.cbHeader], "probe\n", 6);
  SecBuffer b[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, &rec[0]},
                    {6, SECBUFFER_DATA, &rec[sizes.cbHeader]},
                    {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &rec[sizes.cbHeader + 6]},
                    {0, SECBUFFER_EMPTY, nullptr}};
  SecBufferDesc d = {SECBUFFER_VERSION, 4, b};
  st = EncryptMessage(&ctx, 0, &d, 0);
  std::printf("EncryptMessage 0x%08lX\n", st);
  send(s, &rec[0], static_cast<int>(b[0].cbBuffer + b[1].cbBuffer + b[2].cbBuffer), 0);
  Sleep(500);  // lets the server read the record before the connection goes
  closesocket(s);
  return 0;
}
