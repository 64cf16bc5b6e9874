// The encryption layer between a session and its socket: the in-process channel that a
// security scheme sets up (AES-EAX, TLS), the per-connection object of an encryption
// plug-in library, or the library's own stream transform.
#pragma once

#include <cstdint>

class IPlugin {
public:
  virtual ~IPlugin() = default;

  // The enciphered form of `length` bytes; *outLength gets its size. The object owns the
  // returned buffer until its next call. nullptr when the transform fails.
  virtual std::uint8_t* Encrypt(const std::uint8_t* data, int length, int* outLength) = 0;

  // Receiving `length` plain bytes takes two calls:
  // - Decrypt(nullptr, length, &raw): returns room into which the caller reads exactly
  //   `raw` bytes from the wire (0: none are needed);
  // - Decrypt(destination, length, &got): copies the plain bytes; got == length when
  //   done, got < 0 when more must be read (start again with the first call).
  // nullptr from either call is a failure of the channel.
  virtual std::uint8_t* Decrypt(std::uint8_t* data, int length, int* outLength) = 0;

  // Why the last call failed, when the channel can tell.
  virtual const char* ErrorText() const { return nullptr; }

  // What the channel says of its encryption (the status window shows it), or nullptr.
  virtual const char* Description() { return nullptr; }
};
