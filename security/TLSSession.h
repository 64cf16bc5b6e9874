// The TLS client of security type 19 (VeNCrypt): a session of the platform's TLS provider
// (SChannel in the product) over byte queues, and the channel that carries the rest of the
// connection once the handshake is done (TLSPlugin).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "security/AESEAXPlugin.h"  // ByteBuffer
#include "security/IPlugin.h"

class TLSSession {
public:
  enum State { kClosed = 1, kHandshaking = 2, kEstablished = 8, kClosedByPeer = 9 };

  virtual ~TLSSession() = default;

  // Consumes what it can of the raw input and appends the tokens to send to the raw output.
  // True while there is no error (also when more input is needed).
  virtual bool Handshake(ByteBuffer& rawIn, ByteBuffer& rawOut) = 0;
  // Deciphers the complete records of the raw input into the plain queue; an incomplete
  // record waits for more. The server's messages after the handshake (TLS 1.3 session
  // tickets and key updates) go back to the provider; what it answers (a key update of
  // its own) is appended to the token output, to go out ahead of the next records. A
  // request for a new handshake sets *renegotiate and sends nothing.
  virtual bool DecryptRecords(ByteBuffer& rawIn, ByteBuffer& plain, ByteBuffer& tokens, bool* renegotiate) = 0;
  // A post-handshake message of the server waits for the record that completes it; the
  // session encrypts nothing meanwhile.
  virtual bool MessageIncomplete() const { return false; }
  // The largest plain piece one record takes.
  virtual std::size_t MaxMessage() const = 0;
  // One record of at most MaxMessage() plain bytes, appended to the raw output.
  virtual bool EncryptRecord(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) = 0;
  // The close notification, appended to the raw output.
  virtual bool Shutdown(ByteBuffer& rawOut) = 0;
  // Checks the server certificate's chain for this host; false (with the error text) when
  // it does not hold.
  virtual bool VerifyCertificateChain() = 0;
  // The SHA-1 thumbprint of the server certificate: lower-case hex bytes joined by "-".
  virtual std::string Thumbprint() = 0;
  // Shows the platform's view of the server certificate (owner: a window, or none).
  virtual void ViewCertificate(void* owner) {}

  State GetState() const { return m_state; }
  const std::string& Error() const { return m_error; }

  // The data cut into records of at most MaxMessage() bytes, appended to the raw output.
  bool EncryptRecords(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut);

protected:
  bool Fail(const std::string& text) {
    m_error = text;
    return false;
  }
  State m_state = kHandshaking;
  std::string m_error;
};

// A client session of the platform's provider for that host; nullptr where there is none.
std::unique_ptr<TLSSession> NewTLSClientSession(const char* host);

// The finished session as the connection's channel.
class TLSPlugin : public IPlugin {
public:
  // rawLeft: raw bytes the handshake read beyond its end (the first records of the session).
  TLSPlugin(std::unique_ptr<TLSSession> session, ByteBuffer& rawLeft);
  ~TLSPlugin() override = default;

  // The records of the data, behind what the session owes the server (the answer to a
  // key update); nullptr when the session failed or has failed before. While a message of
  // the server after the handshake is incomplete, the call waits until the reading thread
  // has the rest (which the server sends next) and the session is ready again.
  std::uint8_t* Encrypt(const std::uint8_t* data, int length, int* outLength) override;
  // The receive contract of IPlugin: raw bytes are asked for one at a time until the
  // plain bytes wanted are there.
  std::uint8_t* Decrypt(std::uint8_t* data, int length, int* outLength) override;
  const char* ErrorText() const override;

private:
  static constexpr std::size_t kRecordHeader = 5;
  // The reader has what it wants: enough plain bytes, and no message of the server left
  // half-read (its rest follows at once, and senders wait for it).
  bool ReaderDone(std::size_t want) const;
  // Logs the text; the channel has ended: every later call fails.
  bool Fail(const std::string& text);
  // The whole records at the front of the raw input.
  std::size_t WholeRecordsHeld();
  // The raw input holds a whole record the session has not seen yet.
  bool NewRecordHeld();
  // Deciphers the whole records held into the plain queue.
  bool OpenHeldRecords();

  std::unique_ptr<TLSSession> m_session;
  // Senders encipher while the connection thread deciphers; the provider's session is one
  // state for both directions, so its calls take turns.
  std::mutex m_sessionLock;
  ByteBuffer m_out, m_in, m_plain, m_tokens;
  std::size_t m_recordsLeft = 0;  // whole records the session last left in the raw input
  // Senders wait here while a post-handshake message is incomplete.
  std::condition_variable m_messageDone;
  // The first failure's text, written once before m_failed is set (either thread can fail)
  // and read only after it is seen set.
  std::mutex m_errorLock;
  std::string m_error;
  std::atomic<bool> m_failed{false};
};
