// Inflate (RFC 1951) and its Deflate64 variant, and the table builder that the implode
// decoder shares. Table-driven: a code is looked up in a first-level table indexed by a
// fixed number of input bits, with second-level tables for longer codes.
#pragma once

#include <cstddef>
#include <cstdint>

// One slot of a decoding table.
struct UnzipCode {
  std::uint8_t op;    // 0..16: a length or distance base in val with op extra bits;
                      // kOpLiteral, kOpEnd, kOpInvalid, or kOpSubTable + index bits
  std::uint8_t bits;  // bits the code takes at this level
  std::uint16_t val;  // symbol, literal byte, base, or offset of the sub-table
};

enum : std::uint8_t {
  kUnzipOpLiteral = 32,
  kUnzipOpEnd = 33,
  kUnzipOpInvalid = 99,
  kUnzipOpSubTable = 128,
};

// What a symbol decodes to.
struct UnzipLeaf {
  std::uint8_t op;
  std::uint16_t val;
};

// Builds the tables for n symbols with the given code lengths (0 = unused, at most 16).
// leaves: what each symbol decodes to (null: op 0 and the symbol as val). codes: each
// symbol's code, first bit in the highest of its length bits (null: the canonical code
// of RFC 1951). rootBits: lookup bits of the first level (at most 9).
// Returns 0, or 1 for lengths that over-subscribe or codes that collide, or 2 when the
// tables need more than capacity slots. *incomplete tells that some bit patterns
// decode to nothing (kUnzipOpInvalid slots).
int UnzipBuildDecodeTables(const std::uint8_t* lengths, unsigned n, const UnzipLeaf* leaves,
                           const std::uint16_t* codes, unsigned rootBits, UnzipCode* table,
                           unsigned capacity, unsigned* used, bool* incomplete);

// Where inflate takes its input and puts its output.
struct UnzipInflateIo {
  void* opaque;
  // The next piece of input: its length (>0) with *data set, 0 at the end of the input,
  // or <0 when reading failed (inflate then stops with 1).
  long (*fill)(void* opaque, const std::uint8_t** data);
  // A full window or the final piece: 0, or a code that stops inflate and is returned.
  int (*flush)(void* opaque, const std::uint8_t* data, std::size_t len);
};

constexpr std::size_t kUnzipWindowSize = 65536;

struct UnzipInflateResult {
  int code = 0;             // 0; 1 invalid data; 2 bad block type; 3 no memory; or the flush's code
  int incompleteTree = 0;   // 1 literal/length, 2 distance (with code 1)
  std::uint64_t produced = 0;
  std::uint64_t consumed = 0;  // input bytes taken (whole bytes, including a last partial one)
};

// Inflates one stream through window (kUnzipWindowSize bytes), flushing each full
// window and the rest at the end.
UnzipInflateResult UnzipInflate(std::uint8_t* window, bool deflate64, const UnzipInflateIo& io);

// Inflates a whole buffer into out (at most outSize bytes): returns the byte count, or
// -1 for invalid data or output that does not fit.
long UnzipInflateBuffer(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out,
                        std::size_t outSize, bool deflate64);
