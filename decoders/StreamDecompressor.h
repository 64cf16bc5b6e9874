// One persistent decompression stream, zlib or zstd, that lives for the whole connection.
//
// Several encodings (Zlib/ZSTD, ZlibHex/ZstdHex, Tight/TightZstd, the zipped rectangle
// lists) compress with one stream per purpose whose dictionary carries over from
// rectangle to rectangle, so the viewer keeps the matching decompressor. A connection
// holds seven of them in DecoderState:
//
//   tightStreams[0..3]    Tight and TightZstd, by the rectangle's stream number
//   zlibStream            Zlib, ZSTD and the zipped rectangle lists
//   zlibHexRawStream      ZlibHex/ZstdHex tiles sent as compressed raw pixels
//   zlibHexEncodedStream  ZlibHex/ZstdHex tiles sent as compressed hextile data
//
// Each holder can run either kind; the caller says which on every call (useZstd). The
// zlib inflate stream and the zstd context are separate and created on first use, so an
// unused holder costs nothing. Connection thread only.
//
// The zlib kind is inflated by Intel's ISA-L (igzip), about 1.7 times as fast as zlib's
// own inflate on the servers' streams. It gives zlib's bytes on every stream zlib accepts
// (a differential fuzzer checks it: fuzz/InflateEngineFuzzer.cpp). The zlib wrapper is
// read here as zlib reads it: the two header bytes are checked (method, window size, check
// bits; a preset dictionary is an error, as the servers never use one) and the four
// trailer bytes after the last block are consumed without checking the Adler-32, as
// inflateValidate(0) does. Corrupt data are an error for both, with one difference: zlib
// refuses a Huffman code that leaves codes unused when it reads the block header, ISA-L
// only when the data use such a code, so a corrupt block that never does is decoded.
//
// Sizes are size_t throughout (64-bit on every target we build); callers compute their
// products (w * h * bytes per pixel, ...) in std::uint64_t and bound them with the
// decompression-output buffer, DecoderState::zlibBuffer, before calling. That buffer is a
// GrowBuffer: Ensure(n) gives at least n + 1 bytes, logs "zlibbufsize expanded to %d\n"
// at level 4 and throws ErrorException "Insufficient memory to allocate zlib buffer."
// above 100 MiB or when the allocation fails.
#pragma once

#include <cstddef>
#include <cstdint>

typedef struct ZSTD_DCtx_s ZSTD_DCtx;

class StreamDecompressor {
public:
  enum Result : int {
    // Progress was made, or nothing could be done for want of input or output room
    // (zlib's Z_BUF_ERROR is folded in here: when the output room fills exactly and the
    // input is used up the stream simply waits for the next portion).
    kOk = 0,
    // zlib only: the server ended its deflate stream. Output up to the end is valid;
    // the stream produces nothing more until it is reset.
    kStreamEnd = 1,
    // Corrupt data, data after the stream's end, or a decoder that could not be created.
    // The stream stays unusable until Reset: callers treat this as a stream error of the
    // connection (a silent skip would leave the stream broken for every later rectangle).
    kError = -1,
  };

  StreamDecompressor() = default;
  ~StreamDecompressor();
  StreamDecompressor(const StreamDecompressor&) = delete;
  StreamDecompressor& operator=(const StreamDecompressor&) = delete;

  // One decompression step from [in, in + *availIn) into [out, out + *availOut). On
  // return *availIn is the input not yet consumed and *availOut the output room not yet
  // used; calling again with the rest of the input (from in + consumed) continues.
  // zlib runs inflate with Z_SYNC_FLUSH until the input is used up or the room is full.
  Result Decompress(std::size_t* availIn, std::size_t* availOut, const std::uint8_t* in, std::uint8_t* out,
                    bool useZstd);

  // A whole block of compressed bytes that must be consumed completely to keep the
  // stream in step with the server's compressor: decompresses all inLen bytes into out
  // (room outLen). Output beyond outLen is decompressed and dropped; `excess` says there
  // was some. A result of kError leaves `produced` as far as it got.
  struct BlockResult {
    Result result = kOk;
    std::size_t produced = 0;  // bytes written to out, at most outLen
    bool excess = false;       // the block held more than outLen bytes of output

    // The block decompressed cleanly to exactly `expected` bytes.
    bool Exactly(std::size_t expected) const { return result != kError && produced == expected && !excess; }
  };
  BlockResult DecompressBlock(const std::uint8_t* in, std::size_t inLen, std::uint8_t* out, std::size_t outLen,
                              bool useZstd);

  // Starts the stream of the given kind afresh: the next Decompress begins a new stream.
  // The other kind's stream is left as it is.
  void Reset(bool useZstd);
  // Both kinds (a new session after a reconnect).
  void ResetAll();

private:
  Result InflateStep(std::size_t* availIn, std::size_t* availOut, const std::uint8_t* in, std::uint8_t* out);
  Result ZstdStep(std::size_t* availIn, std::size_t* availOut, const std::uint8_t* in, std::uint8_t* out);

  struct Inflater;           // ISA-L's inflate state and the zlib wrapper around it
  Inflater* inflate_ = nullptr;  // once the zlib kind is first used
  bool zlibEnded_ = false;  // the stream's end (trailer included) seen
  bool zlibBroken_ = false;
  ZSTD_DCtx* zstd_ = nullptr;
  bool zstdBroken_ = false;
};
