#include <algorithm>
#include <chrono>
#include <cstring>

#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Secret.h"
#include "security/TLSSession.h"

bool TLSSession::EncryptRecords(const std::uint8_t* data, std::size_t length, ByteBuffer& rawOut) {
  if (m_state != kEstablished) return Fail(UiText(IDS_TLS_CONNECTION_CLOSED));
  const std::size_t piece = MaxMessage();
  if (piece == 0) return Fail(UiText(IDS_TLS_ENCRYPT_FAILED));
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

namespace {
// How long a sender waits for the rest of a message the server is sending.
constexpr auto kMessageWait = std::chrono::seconds(60);
constexpr auto kMessageWaitSlice = std::chrono::milliseconds(100);
}  // namespace

bool TLSPlugin::Fail(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    if (!m_failed.load()) {
      m_error = text;
      m_failed.store(true);
    }
  }
  m_messageDone.notify_all();
  kebLog.Print(0, "TLSPlugin: %s\n", text.c_str());
  return false;
}

const char* TLSPlugin::ErrorText() const { return m_failed.load() ? m_error.c_str() : ""; }

bool TLSPlugin::ReaderDone(std::size_t want) const {
  return m_plain.Size() >= want &&
         (!m_session->MessageIncomplete() || m_session->GetState() != TLSSession::kEstablished);
}

std::size_t TLSPlugin::WholeRecordsHeld() {
  // A TLS record: content type, version (2 bytes), length (2 bytes, big-endian), body.
  std::size_t records = 0;
  const std::uint8_t* r = m_in.Data();
  for (std::size_t left = m_in.Size(); left >= kRecordHeader; records++) {
    const std::size_t whole = kRecordHeader + ((std::size_t(r[3]) << 8) | r[4]);
    if (left < whole) break;
    r += whole;
    left -= whole;
  }
  return records;
}

bool TLSPlugin::NewRecordHeld() { return WholeRecordsHeld() > m_recordsLeft; }

bool TLSPlugin::OpenHeldRecords() {
  bool renegotiate = false;
  bool failed = false;
  std::string error;
  {
    std::lock_guard<std::mutex> g(m_sessionLock);
    for (std::size_t before = m_in.Size() + 1; m_in.Size() < before && !renegotiate && WholeRecordsHeld();) {
      before = m_in.Size();
      if (!m_session->DecryptRecords(m_in, m_plain, m_tokens, &renegotiate)) {
        failed = true;
        error = m_session->Error();
        break;
      }
    }
  }
  if (failed) return Fail(error);
  if (!m_session->MessageIncomplete()) m_messageDone.notify_all();
  // Whole records the session left (a message that goes on in the next record) are not
  // handed to it again until another record is in.
  m_recordsLeft = WholeRecordsHeld();
  if (renegotiate) return Fail(UiText(IDS_TLS_RENEGOTIATION));
  return true;
}

std::uint8_t* TLSPlugin::Encrypt(const std::uint8_t* data, int length, int* outLength) {
  *outLength = 0;
  std::unique_lock<std::mutex> g(m_sessionLock);
  if (!m_session || m_failed || length < 0) return nullptr;
  // A record enciphered now would go out in the middle of the server's message (and ahead
  // of the answer it may ask for): it waits until the reader has the rest.
  const auto until = std::chrono::steady_clock::now() + kMessageWait;
  while (m_session->MessageIncomplete() && !m_failed) {
    if (std::chrono::steady_clock::now() >= until) {
      g.unlock();
      Fail(UiText(IDS_TLS_RECORD_INCOMPLETE));
      return nullptr;
    }
    m_messageDone.wait_for(g, kMessageWaitSlice);
  }
  if (m_failed) return nullptr;
  m_out.Clear();
  if (m_tokens.Size()) {
    m_out.Append(m_tokens.Data(), m_tokens.Size());
    m_tokens.Clear();
  }
  if (!m_session->EncryptRecords(data, static_cast<std::size_t>(length), m_out)) {
    Fail(m_session->Error());
    return nullptr;
  }
  *outLength = static_cast<int>(m_out.Size());
  return m_out.Data();
}

std::uint8_t* TLSPlugin::Decrypt(std::uint8_t* data, int length, int* outLength) {
  *outLength = -1;
  if (!m_session || m_failed || length < 0) return nullptr;
  const std::size_t want = static_cast<std::size_t>(length);
  if (!data) {
    // Whole records already held (those the handshake read beyond its end, or more than
    // one record read at once) are opened first: asking for another byte could wait for a
    // server that waits for us.
    if (!ReaderDone(want) && NewRecordHeld() && !OpenHeldRecords()) return nullptr;
    if (ReaderDone(want)) {
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
  if (!ReaderDone(want) && NewRecordHeld() && !OpenHeldRecords()) return nullptr;
  if (!ReaderDone(want)) {
    if (m_session->GetState() != TLSSession::kEstablished) {
      // The peer closed the session: no more plain bytes will come.
      Fail(UiText(IDS_TLS_CONNECTION_CLOSED));
      return nullptr;
    }
    return data;  // -1: read more
  }
  m_plain.Take(data, want);
  *outLength = length;
  return data;
}
