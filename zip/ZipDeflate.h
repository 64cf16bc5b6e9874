// The archiver's deflate (RFC 1951): a 32 KiB sliding window with hash chains, greedy
// matching at levels 1-3 and lazy matching at 4-9, and per block the cheapest of stored,
// fixed and dynamic codes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class ZipDeflateSource {
public:
  virtual ~ZipDeflateSource() = default;
  // Up to len bytes; 0 at the end of the data; -1 on a read error.
  virtual long Read(std::uint8_t* buf, std::size_t len) = 0;
};

class ZipDeflateSink {
public:
  virtual ~ZipDeflateSink() = default;
  // False when the bytes could not all be written.
  virtual bool Write(const std::uint8_t* data, std::size_t len) = 0;
};

enum class ZipDeflateStatus { kOk, kReadError, kWriteError, kBadLevel };

struct ZipDeflateOutcome {
  // The data did not shrink and went out as it is, without any block header: the
  // entry's method becomes store. Only when the caller allowed it.
  bool storedWhole = false;
  bool text = false;  // judged text from the first block's literals
  std::uint64_t bytesIn = 0;
  std::uint64_t bytesOut = 0;
};

struct ZipDeflateState;

// One deflater holds all the state (about 300 KiB) and is reused entry after entry.
class ZipDeflater {
public:
  ZipDeflater();
  ~ZipDeflater();
  ZipDeflater(const ZipDeflater&) = delete;
  ZipDeflater& operator=(const ZipDeflater&) = delete;

  // Deflates everything source gives into sink at level 1-9. mayStoreWhole: the caller
  // can still turn the entry into a stored one (its header is rewritten afterwards).
  ZipDeflateStatus Deflate(int level, ZipDeflateSource* source, ZipDeflateSink* sink, bool mayStoreWhole,
                           ZipDeflateOutcome* outcome);

private:
  std::unique_ptr<ZipDeflateState> s_;
};

// Deflates a block of memory into target: method (u16, 8) and the CRC-32 of the source
// (u32), little-endian, then the deflated data. Returns 0 and sets *written; otherwise
// a text saying why (a target under 7 bytes, or a target too small for the result).
const char* ZipDeflateToBuffer(ZipDeflater* deflater, int level, const std::uint8_t* source, std::size_t length,
                               std::uint8_t* target, std::size_t targetSize, std::size_t* written);
