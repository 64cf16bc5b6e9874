// The AES-EAX channel of the RSA-AES security types. Each direction sends records of a
// 2-byte big-endian plain length n, n ciphered bytes and a 16-byte EAX tag; a record's
// nonce is its direction's message counter (little-endian, 4 bytes) followed by 12 zero
// bytes, and its header (associated data) is the length field.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "security/AESCipher.h"
#include "security/IPlugin.h"

// A byte queue: stored bytes, of which the first `consumed` were used. The queues of the
// channels carry plain text and key material, so no byte it held is left behind in
// memory it lets go of: storage it outgrows, moves out of or is destroyed with is wiped,
// and so are the bytes Clear forgets and Take hands out.
class ByteBuffer {
public:
  ByteBuffer() = default;
  ~ByteBuffer();
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  // Room for n more bytes: a fully used buffer is emptied, an unused tail moved to the
  // front when room is short; the capacity grows to (stored + n + 1023) rounded down to a
  // multiple of 1024.
  std::uint8_t* Reserve(std::size_t n);
  void Append(const std::uint8_t* data, std::size_t n);
  void Commit(std::size_t n) { m_stored += n; }
  std::uint8_t* Data() { return m_data.data() + m_consumed; }
  std::size_t Size() const { return m_stored - m_consumed; }
  void Consume(std::size_t n) { m_consumed += n; }
  // Copies the first n bytes out (n <= Size()), wipes and consumes them.
  void Take(std::uint8_t* out, std::size_t n);
  void Clear();

private:
  std::vector<std::uint8_t> m_data;
  std::size_t m_stored = 0;
  std::size_t m_consumed = 0;
};

class AESEAXPlugin : public IPlugin {
public:
  static constexpr std::size_t kHeader = 2, kTag = 16, kOverhead = kHeader + kTag;
  static constexpr std::size_t kMaxRecord = 0xFFFF;  // plain bytes of one record
  // A record's nonce holds its direction's counter in 32 bits: after this many records
  // the next would use a nonce again, so the channel ends first.
  static constexpr std::uint64_t kMaxRecords = std::uint64_t(1) << 32;

  // Keys of 16 or 32 bytes; Ready() tells whether both could be set.
  AESEAXPlugin(AesBlockFactory& factory, const std::uint8_t* sendKey, const std::uint8_t* receiveKey,
               std::size_t keyLength);
  ~AESEAXPlugin() override;
  bool Ready() const { return m_ready; }

  // The records of the data (one record per 65535 bytes); nullptr when the cipher fails.
  std::uint8_t* Encrypt(const std::uint8_t* data, int length, int* outLength) override;
  // The receive contract of IPlugin: asks for the bytes that complete the next record.
  std::uint8_t* Decrypt(std::uint8_t* data, int length, int* outLength) override;
  const char* ErrorText() const override;

protected:
  // Records sealed and records opened so far, per direction.
  std::uint64_t m_sendCounter = 0, m_receiveCounter = 0;

private:
  // Logs the text; the channel has ended: every later call fails with it.
  bool Fail(const std::string& text);
  // Deciphers every whole record in the input into the plain queue.
  bool OpenRecords();

  AESCipher m_send, m_receive;
  ByteBuffer m_out, m_in, m_plain;
  // The reading thread may end the channel while a sender looks: the first failure's text
  // is written once, before m_ready is cleared, and read only after it is seen cleared.
  std::atomic<bool> m_ready{false};
  std::mutex m_errorLock;
  std::string m_error;
};
