#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "security/Secret.h"
#include "security/TLSSession.h"

bool TLSSession::EncryptRecords(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) {
  if (m_state != kEstablished) return Fail("Connection closed");
  const std::size_t piece = MaxMessage();
  if (piece == 0) return Fail("EncryptMessage failed");
  for (std::size_t done = 0; done < length;) {
    const std::size_t n = std::min(piece, length - done);
    if (!EncryptRecord(data + done, n, rawOut)) return false;
    done += n;
  }
  return true;
}

TLSPlugin::TLSPlugin(std::unique_ptr<TLSSession> session, ByteBuffer& rawLeft) : m_session(std::move(session)) {
  if (rawLeft.Size()) m_in.Append(rawLeft.Data(), rawLeft.Size());
  rawLeft.Clear();
}

bool TLSPlugin::Fail(const std::string& text) {
  m_error = text;
  kebLog.Print(0, "TLSPlugin: %s\n", text.c_str());
  return false;
}

bool TLSPlugin::WholeRecordHeld() {
  // A TLS record: content type, version (2 bytes), length (2 bytes, big-endian), body.
  if (m_in.Size() < kRecordHeader) return false;
  const std::uint8_t* r = m_in.Data();
  return m_in.Size() >= kRecordHeader + ((std::size_t(r[3]) << 8) | r[4]);
}

bool TLSPlugin::OpenHeldRecords() {
  bool renegotiate = false;
  {
    std::lock_guard<std::mutex> g(m_sessionLock);
    if (!m_session->DecryptRecords(m_in, m_plain, m_tokens, &renegotiate)) return Fail(m_session->Error());
  }
  if (renegotiate) return Fail("Renegotiation request not implemented");
  return true;
}

std::uint8_t* TLSPlugin::Encrypt(const std::uint8_t* data, int length, int* outLength) {
  *outLength = 0;
  if (!m_session || length < 0) return nullptr;
  m_out.Clear();
  std::lock_guard<std::mutex> g(m_sessionLock);
  if (!m_session->EncryptRecords(data, static_cast<std::size_t>(length), m_out)) {
    Fail(m_session->Error());
    return nullptr;
  }
  *outLength = static_cast<int>(m_out.Size());
  return m_out.Data();
}

std::uint8_t* TLSPlugin::Decrypt(std::uint8_t* data, int length, int* outLength) {
  *outLength = -1;
  if (!m_session || length < 0) return nullptr;
  const std::size_t want = static_cast<std::size_t>(length);
  if (!data) {
    // Whole records already held (those the handshake read beyond its end, or more than
    // one record read at once) are opened first: asking for another byte could wait for a
    // server that waits for us.
    if (m_plain.Size() < want && WholeRecordHeld() && !OpenHeldRecords()) return nullptr;
    if (m_plain.Size() >= want) {
      *outLength = 0;
      return m_in.Reserve(1);  // no bytes wanted, but never a null room
    }
    // One raw byte at a time: a record is deciphered as soon as its last byte is in.
    std::uint8_t* room = m_in.Reserve(1);
    m_in.Commit(1);
    *outLength = 1;
    return room;
  }
  // The provider is handed the raw bytes only once a whole record is in: asking it about
  // every byte of a record would cost time in the square of the record's size.
  if (m_plain.Size() < want && WholeRecordHeld() && !OpenHeldRecords()) return nullptr;
  if (m_plain.Size() < want) {
    if (m_session->GetState() != TLSSession::kEstablished) {
      // The peer closed the session: no more plain bytes will come.
      Fail("Connection closed");
      return nullptr;
    }
    return data;  // -1: read more
  }
  std::memcpy(data, m_plain.Data(), want);
  SecureWipe(m_plain.Data(), want);
  m_plain.Consume(want);
  *outLength = length;
  return data;
}
