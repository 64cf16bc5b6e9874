// The encryption layer between a session and its socket: the in-process channel that a
// security scheme sets up, or the transform of a loaded encryption plug-in. Every byte
// the viewer sends passes through Encrypt; ReadExact reads WireLength(n) bytes and
// decrypts them into n plain bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class ChannelTransform {
public:
  virtual ~ChannelTransform() = default;

  // Transforms outgoing bytes into `out`. False when the transform fails.
  virtual bool Encrypt(const std::uint8_t* data, std::size_t len, std::vector<std::uint8_t>& out) = 0;

  // How many bytes from the wire carry `plainLen` plain bytes; negative while the
  // transform cannot tell yet (it is asked again).
  virtual long WireLength(std::size_t plainLen) = 0;

  // Transforms bytes read from the wire into `out`. False when the transform fails.
  virtual bool Decrypt(const std::uint8_t* wire, std::size_t len, std::vector<std::uint8_t>& out) = 0;
};
