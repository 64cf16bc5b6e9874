// Common frame of the decompressing input streams (zlib, zstd, xz). Each is fed one
// block at a time: SetUnderlying attaches the source and the number of compressed bytes
// the block holds; the decompressor's state survives from block to block, so that a
// server's persistent compression stream continues across rectangles.
#pragma once

#include <cstdint>

#include "rdr/InStream.h"

namespace rdr {

class DecompressingInStream : public InStream {
public:
  ~DecompressingInStream() override;
  DecompressingInStream(const DecompressingInStream&) = delete;
  DecompressingInStream& operator=(const DecompressingInStream&) = delete;

  std::size_t Pos() override { return offset_ + static_cast<std::size_t>(ptr_ - start_); }

  // Empties the buffer and attaches the next block: compressedBytes bytes of in.
  void SetUnderlying(InStream* in, std::uint64_t compressedBytes);
  // Decompresses and drops whatever is left of the current block, then detaches.
  void Reset();
  // Starts a new compressed stream (the server's stream was reset, or a new session).
  void ResetDecompressor();
  // Compressed bytes of the current block not yet consumed.
  std::uint64_t CompressedBytesLeft() const { return bytesIn_; }
  std::size_t BufferSize() const { return bufSize_; }

protected:
  DecompressingInStream(std::size_t bufferSize, const char* name);
  std::size_t Overrun(std::size_t itemSize, std::size_t nItems) override;

  // One decompression step from [in, in + inLen) into [out, out + outLen).
  // Sets the bytes consumed and produced; throws on a decoder error.
  virtual void Step(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                    std::size_t* consumed, std::size_t* produced) = 0;
  virtual void RestartDecoder() = 0;

  // Decompresses once into [out, out + outLen); returns bytes produced (may be 0 while
  // input is consumed). Throws when neither input is consumed nor output produced.
  std::size_t DecompressOnce(std::uint8_t* out, std::size_t outLen);
  // The buffer, made on first use.
  std::uint8_t* Buffer();

  const char* name_;
  std::size_t bufSize_;
  std::uint8_t* start_;
  InStream* under_ = nullptr;
  std::uint64_t bytesIn_ = 0;
  std::size_t offset_ = 0;
};

}  // namespace rdr
