// Differential fuzzer of the decoders' inflate (StreamDecompressor's zlib kind, ISA-L)
// against zlib's own inflate, run as the decoders run it (inflateValidate off).
//
// The input is a recipe: a few parameters, then text that is cut into blocks. The blocks
// are deflated as a server does, one persistent stream flushed after each block (zlib
// levels and strategies, now and then a full flush or a finished stream), so that later
// blocks refer back into earlier ones; some recipes then damage the compressed bytes, and
// some take the rest of the input as the compressed stream itself. Both engines are fed
// the same bytes in the same portions with the same output rooms, block by block:
//   - where zlib accepts the stream, ours gives the same bytes, block by block, and the
//     same end (a stream that ends inside a block that cannot be valid, where zlib is
//     still waiting for more, ours may refuse at once);
//   - where zlib refuses it, ours refuses it in the same block or earlier, except that
//     ISA-L reads a Huffman code that leaves codes unused and refuses only a use of one
//     (zlib: "invalid code lengths set", "invalid literal/lengths set", "invalid distances
//     set"), and may then decode further.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <vector>

#include "decoders/StreamDecompressor.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

struct Recipe {
  const std::uint8_t* p;
  std::size_t n;
  unsigned Byte() {
    if (!n) return 0;
    --n;
    return *p++;
  }
};

enum class End { Open, Ended, Error };

struct Outcome {
  std::vector<Bytes> blocks;  // output per block
  End end = End::Open;
  std::size_t errorBlock = SIZE_MAX;
  const char* zlibMsg = nullptr;
};

// Feeds each block in portions of `portion` bytes and drains with rooms of `room` bytes,
// as Tight and the ZRLE stream do; `step` runs one decompression call.
template <class Step>
Outcome Feed(const std::vector<Bytes>& blocks, std::size_t portion, std::size_t room, Step step) {
  Outcome o;
  std::vector<std::uint8_t> out(room);
  for (std::size_t b = 0; b < blocks.size() && o.end != End::Error; b++) {
    Bytes produced;
    const Bytes& in = blocks[b];
    std::size_t at = 0;
    for (int guard = 0; guard < 1 << 20; guard++) {
      const std::size_t give = std::min(portion, in.size() - at);
      std::size_t availIn = give, availOut = room;
      const End e = step(in.data() + at, &availIn, out.data(), &availOut);
      produced.insert(produced.end(), out.data(), out.data() + (room - availOut));
      const std::size_t consumed = give - availIn;
      at += consumed;
      if (e == End::Error) {
        o.end = End::Error;
        o.errorBlock = b;
        break;
      }
      if (e == End::Ended) {
        if (at < in.size()) {  // bytes after the end: an error for every caller
          o.end = End::Error;
          o.errorBlock = b;
        } else {
          o.end = End::Ended;
        }
        break;
      }
      // Done with the block when its input is in and the room was not filled; a call that
      // takes nothing and gives nothing would not do more the next time.
      if (at == in.size() && availOut > 0) break;
      if (consumed == 0 && availOut == room) break;
    }
    o.blocks.push_back(std::move(produced));
    if (o.end == End::Ended) {
      // Later blocks are data after the end.
      for (std::size_t k = b + 1; k < blocks.size(); k++)
        if (!blocks[k].empty()) {
          o.end = End::Error;
          o.errorBlock = k;
          break;
        }
      break;
    }
  }
  return o;
}

Outcome WithZlib(const std::vector<Bytes>& blocks, std::size_t portion, std::size_t room) {
  z_stream z{};
  inflateInit(&z);
  inflateValidate(&z, 0);
  Outcome o = Feed(blocks, portion, room,
                   [&](const std::uint8_t* in, std::size_t* availIn, std::uint8_t* out, std::size_t* availOut) {
                     z.next_in = const_cast<Bytef*>(in);
                     z.avail_in = static_cast<uInt>(*availIn);
                     z.next_out = out;
                     z.avail_out = static_cast<uInt>(*availOut);
                     const int rc = inflate(&z, Z_SYNC_FLUSH);
                     *availIn = z.avail_in;
                     *availOut = z.avail_out;
                     if (rc == Z_STREAM_END) return End::Ended;
                     if (rc != Z_OK && rc != Z_BUF_ERROR) return End::Error;
                     return End::Open;
                   });
  o.zlibMsg = z.msg;
  inflateEnd(&z);
  return o;
}

Outcome WithOurs(const std::vector<Bytes>& blocks, std::size_t portion, std::size_t room) {
  StreamDecompressor d;
  return Feed(blocks, portion, room,
              [&](const std::uint8_t* in, std::size_t* availIn, std::uint8_t* out, std::size_t* availOut) {
                switch (d.Decompress(availIn, availOut, in, out, false)) {
                  case StreamDecompressor::kStreamEnd: return End::Ended;
                  case StreamDecompressor::kError: return End::Error;
                  default: return End::Open;
                }
              });
}

// The output of block b (none past the end of the run).
const Bytes& Block(const Outcome& o, std::size_t b) {
  static const Bytes none;
  return b < o.blocks.size() ? o.blocks[b] : none;
}

bool IsPrefix(const Bytes& a, const Bytes& b) {
  return a.size() <= b.size() && std::equal(a.begin(), a.end(), b.begin());
}

// The output of the first n blocks in one piece.
Bytes Joined(const Outcome& o, std::size_t n) {
  Bytes all;
  for (std::size_t b = 0; b < n && b < o.blocks.size(); b++) all.insert(all.end(), o.blocks[b].begin(), o.blocks[b].end());
  return all;
}

bool IncompleteCodeSet(const char* msg) {
  return msg && (!std::strcmp(msg, "invalid code lengths set") || !std::strcmp(msg, "invalid literal/lengths set") ||
                 !std::strcmp(msg, "invalid distances set"));
}

[[noreturn]] void Differ(const char* what, std::size_t block) {
  std::fprintf(stderr, "inflate engines differ: %s (block %zu)\n", what, block);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Recipe r{data, size};
  const unsigned mode = r.Byte();
  const unsigned level = r.Byte() % 10;
  const int strategy = static_cast<int>(r.Byte() % 5);  // default, filtered, huffman only, RLE, fixed
  const std::size_t portion = 1 + (r.Byte() | r.Byte() << 8) % 20000;
  const std::size_t room = 1 + (r.Byte() | r.Byte() << 8) % 70000;

  std::vector<Bytes> blocks;
  if (mode % 4 == 3) {
    // The rest is the compressed stream itself, cut into blocks at 0xFF bytes.
    blocks.emplace_back();
    while (r.n) {
      const unsigned b = r.Byte();
      if (b == 0xFF && blocks.size() < 64)
        blocks.emplace_back();
      else
        blocks.back().push_back(static_cast<std::uint8_t>(b));
    }
  } else {
    z_stream z{};
    if (deflateInit2(&z, static_cast<int>(level), Z_DEFLATED, 8 + static_cast<int>(mode >> 4) % 8, 8, strategy) != Z_OK)
      return 0;
    Bytes plain;
    std::vector<std::size_t> damage;  // positions to change, in the compressed bytes
    while (r.n && blocks.size() < 64) {
      const unsigned b = r.Byte();
      if (b == 0xFE && mode % 4 == 2) {
        damage.push_back(r.Byte() | r.Byte() << 8);
        continue;
      }
      if (b != 0xFF) {
        // Runs stretch short inputs into blocks that reach far back.
        const unsigned repeat = (b & 0xC0) == 0xC0 ? 1 + (r.Byte() % 64) : 1;
        for (unsigned k = 0; k < repeat; k++) plain.push_back(static_cast<std::uint8_t>(b));
        if (r.n) continue;
      }
      const unsigned flushKind = r.Byte() % 16;
      const int flush = flushKind == 0 ? Z_FULL_FLUSH : (flushKind == 1 && !r.n) ? Z_FINISH : Z_SYNC_FLUSH;
      Bytes out(deflateBound(&z, plain.size()) + 64);
      z.next_in = plain.data();
      z.avail_in = static_cast<uInt>(plain.size());
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, flush);
      out.resize(out.size() - z.avail_out);
      blocks.push_back(std::move(out));
      plain.clear();
      if (flush == Z_FINISH) break;
    }
    deflateEnd(&z);
    if (mode % 4 == 1 && !blocks.empty()) blocks.push_back({0x42});  // a byte after the data
    std::size_t total = 0;
    for (const Bytes& b : blocks) total += b.size();
    for (std::size_t d : damage) {
      if (!total) break;
      std::size_t at = d % total;
      for (Bytes& b : blocks) {
        if (at < b.size()) {
          b[at] ^= static_cast<std::uint8_t>(1 + (d >> 9));
          break;
        }
        at -= b.size();
      }
    }
  }

  const Outcome theirs = WithZlib(blocks, portion, room);
  const Outcome ours = WithOurs(blocks, portion, room);
  // A server flushes after every block, so each block's output is complete when its
  // input is: then the output must agree block by block. Damaged or raw streams need not
  // end a block on a flush, and ISA-L may keep the last symbols of a block back until it
  // has the bits that could follow: there only the bytes in order must agree.
  const bool flushed = mode % 4 < 2;
  const Bytes ourBytes = Joined(ours, ours.blocks.size()), theirBytes = Joined(theirs, theirs.blocks.size());
  const bool prefix = IsPrefix(ourBytes, theirBytes);
  if (theirs.end != End::Error) {
    if (ours.end == End::Error) {
      // Allowed only where zlib is still waiting inside a block header that cannot be
      // valid: ISA-L refuses some impossible headers as soon as it reads them (and keeps
      // back the output of that call), zlib once it has read the whole header. Then zlib
      // gave no more than the bytes before that block's end, and refuses as soon as the
      // header can be completed.
      const std::size_t k = ours.errorBlock;
      if (theirs.end != End::Open) Differ("ours refuses a stream zlib accepts", k);
      if (!prefix || Joined(theirs, k + 1).size() != theirBytes.size())
        Differ("ours refuses a stream zlib goes on decoding", k);
      std::vector<Bytes> probed = blocks;
      probed.emplace_back(4096, 0);
      const Outcome more = WithZlib(probed, portion, room);
      if (more.end != End::Error && !IncompleteCodeSet(more.zlibMsg)) Differ("ours refuses what zlib can complete", k);
      if (Block(more, blocks.size()).size() > 0) Differ("zlib decodes the rest of a block ours refused", k);
      return 0;
    }
    if (flushed) {
      if (ours.end != theirs.end) Differ("the stream ends differently", blocks.size());
      for (std::size_t b = 0; b < blocks.size(); b++)
        if (Block(ours, b) != Block(theirs, b)) Differ("different bytes", b);
      return 0;
    }
    if (ours.end == End::Ended && theirs.end != End::Ended) Differ("the stream ends differently", blocks.size());
    if (!prefix) Differ("different bytes", blocks.size());
    if (ourBytes.size() != theirBytes.size() && (theirs.end != End::Open || theirBytes.size() - ourBytes.size() > 258))
      Differ("ours keeps back more than a symbol", blocks.size());
    return 0;
  }
  if (ours.end == End::Error && ours.errorBlock <= theirs.errorBlock) {
    if (!prefix && !IsPrefix(theirBytes, ourBytes))
      Differ("different bytes before the error", ours.errorBlock);
    return 0;
  }
  if (IncompleteCodeSet(theirs.zlibMsg)) return 0;
  if (ours.end == End::Error) Differ("ours refuses later than zlib", ours.errorBlock);
  Differ("ours accepts a stream zlib refuses", theirs.errorBlock);
}
