#include "security/AESEAXPlugin.h"

#include <algorithm>
#include <cstring>

#include "app/Log.h"
#include "app/UiText.h"
#include "resources/StringIds.h"
#include "security/Secret.h"

namespace {

void Nonce(std::uint32_t counter, std::uint8_t nonce[16]) {
  std::memset(nonce, 0, 16);
  for (int i = 0; i < 4; i++) nonce[i] = static_cast<std::uint8_t>(counter >> (8 * i));
}

}  // namespace

ByteBuffer::~ByteBuffer() {
  if (!m_data.empty()) SecureWipe(m_data.data(), m_data.size());
}

std::uint8_t* ByteBuffer::Reserve(std::size_t n) {
  if (m_consumed == m_stored) {
    m_consumed = m_stored = 0;
  } else if (m_data.size() - m_stored < n && m_consumed > 0) {
    const std::size_t live = m_stored - m_consumed;
    std::memmove(m_data.data(), m_data.data() + m_consumed, live);
    SecureWipe(m_data.data() + live, m_stored - live);  // what was moved out of
    m_stored = live;
    m_consumed = 0;
  }
  if (m_data.size() - m_stored < n) {
    // Grown by hand: a vector that grows itself frees the old storage as it was.
    std::vector<std::uint8_t> bigger((m_stored + n + 1023) / 1024 * 1024);
    if (m_stored) std::memcpy(bigger.data(), m_data.data(), m_stored);
    if (!m_data.empty()) SecureWipe(m_data.data(), m_data.size());
    m_data.swap(bigger);
  }
  return m_data.data() + m_stored;
}

void ByteBuffer::Append(const std::uint8_t* data, std::size_t n) {
  if (n == 0) return;
  std::memcpy(Reserve(n), data, n);
  m_stored += n;
}

void ByteBuffer::Take(std::uint8_t* out, std::size_t n) {
  std::memcpy(out, Data(), n);
  SecureWipe(Data(), n);
  Consume(n);
}

void ByteBuffer::Clear() {
  if (m_stored) SecureWipe(m_data.data(), m_stored);
  m_stored = m_consumed = 0;
}

// ---------------------------------------------------------------------------------------

AESEAXPlugin::AESEAXPlugin(AesBlockFactory& factory, const std::uint8_t* sendKey, const std::uint8_t* receiveKey,
                           std::size_t keyLength) {
  const bool ready = m_send.SetKey(factory, sendKey, keyLength) && m_receive.SetKey(factory, receiveKey, keyLength);
  if (!ready) m_error = !m_send.Error().empty() ? m_send.Error() : m_receive.Error();
  m_ready = ready;
}

AESEAXPlugin::~AESEAXPlugin() = default;

bool AESEAXPlugin::Fail(const std::string& text) {
  {
    std::lock_guard<std::mutex> g(m_errorLock);
    if (m_ready.load()) {
      m_error = text;
      m_ready.store(false);
    }
  }
  kebLog.Print(0, "AESEAXPlugin: %s\n", text.c_str());
  return false;
}

const char* AESEAXPlugin::ErrorText() const { return m_ready.load() ? "" : m_error.c_str(); }

std::uint8_t* AESEAXPlugin::Encrypt(const std::uint8_t* data, int length, int* outLength) {
  *outLength = 0;
  if (!m_ready || length < 0) return nullptr;
  m_out.Clear();
  const std::size_t total = static_cast<std::size_t>(length);
  const std::size_t records = total == 0 ? 1 : (total + kMaxRecord - 1) / kMaxRecord;
  if (records > kMaxRecords - m_sendCounter) {
    Fail(UiText(IDS_AES_COUNTER_EXHAUSTED));
    return nullptr;
  }
  std::uint8_t* p = m_out.Reserve(total + records * kOverhead);
  m_out.Commit(total + records * kOverhead);  // so that a failure wipes what was copied in
  std::size_t done = 0;
  do {
    const std::size_t n = std::min(kMaxRecord, total - done);
    p[0] = static_cast<std::uint8_t>(n >> 8);
    p[1] = static_cast<std::uint8_t>(n);
    if (n) std::memcpy(p + kHeader, data + done, n);
    std::uint8_t nonce[16];
    Nonce(static_cast<std::uint32_t>(m_sendCounter++), nonce);
    const AESCipher::SealResult sealed = m_send.Seal(nonce, p, kHeader, p + kHeader, n, true, p + kHeader + n);
    if (sealed != AESCipher::kSealed) {
      m_out.Clear();
      Fail(UiText(sealed == AESCipher::kTagFailed ? IDS_AES_TAG_FAILED : IDS_AES_ENCRYPTION_FAILED));
      return nullptr;
    }
    p += n + kOverhead;
    done += n;
  } while (done < total);
  *outLength = static_cast<int>(m_out.Size());
  return m_out.Data();
}

bool AESEAXPlugin::OpenRecords() {
  while (m_in.Size() >= kHeader) {
    std::uint8_t* r = m_in.Data();
    const std::size_t n = (std::size_t(r[0]) << 8) | r[1];
    if (m_in.Size() < n + kOverhead) break;
    if (m_receiveCounter >= kMaxRecords) return Fail(UiText(IDS_AES_COUNTER_EXHAUSTED));
    std::uint8_t nonce[16], tag[16];
    Nonce(static_cast<std::uint32_t>(m_receiveCounter++), nonce);
    if (m_receive.Seal(nonce, r, kHeader, r + kHeader, n, false, tag) != AESCipher::kSealed) {
      SecureWipe(r + kHeader, n);
      return Fail(UiText(IDS_AES_DECRYPTION_FAILED));
    }
    std::uint8_t diff = 0;
    for (std::size_t i = 0; i < kTag; i++) diff |= static_cast<std::uint8_t>(tag[i] ^ r[kHeader + n + i]);
    if (diff != 0) {
      SecureWipe(r + kHeader, n);
      return Fail(UiText(IDS_AES_TAG_MISMATCH));
    }
    m_plain.Append(r + kHeader, n);
    SecureWipe(r + kHeader, n);
    m_in.Consume(n + kOverhead);
  }
  return true;
}

std::uint8_t* AESEAXPlugin::Decrypt(std::uint8_t* data, int length, int* outLength) {
  *outLength = -1;
  if (!m_ready || length < 0) return nullptr;
  const std::size_t want = static_cast<std::size_t>(length);
  if (!data) {
    if (m_plain.Size() >= want) {
      *outLength = 0;
      return m_in.Reserve(1);  // no bytes wanted, but never a null room
    }
    // The bytes that complete the next record: its length field, then the rest of it.
    std::size_t need;
    if (m_in.Size() < kHeader) {
      need = kHeader - m_in.Size();
    } else {
      const std::uint8_t* r = m_in.Data();
      const std::size_t whole = ((std::size_t(r[0]) << 8) | r[1]) + kOverhead;
      need = whole > m_in.Size() ? whole - m_in.Size() : 0;
    }
    std::uint8_t* room = m_in.Reserve(need ? need : 1);
    m_in.Commit(need);  // the caller reads exactly this many into the room
    *outLength = static_cast<int>(need);
    return room;
  }
  if (!OpenRecords()) return nullptr;
  if (m_plain.Size() < want) return data;  // -1: read more
  m_plain.Take(data, want);
  *outLength = length;
  return data;
}
