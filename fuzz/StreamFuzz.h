// Feeds arbitrary bytes to a decompressing stream as a series of blocks, the way the
// decoders do: the first bytes of the input choose the block sizes and read sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "rdr/Exception.h"
#include "rdr/MemInStream.h"

template <typename Stream>
int FuzzDecompressingStream(const std::uint8_t* data, std::size_t size) {
  if (size < 4) return 0;
  std::uint8_t plan[4] = {data[0], data[1], data[2], data[3]};
  data += 4;
  size -= 4;
  rdr::MemInStream under(data, size);
  Stream stream(plan[0] % 2 ? 4096 : 0);
  std::vector<std::uint8_t> out(70000);
  std::size_t pos = 0;
  for (int block = 0; block < 8 && pos < size; block++) {
    std::size_t len = (size - pos) / (1 + (plan[1] >> (block % 4) & 3));
    if (len == 0) len = size - pos;
    try {
      stream.SetUnderlying(&under, len);
      std::size_t want = 1 + (static_cast<std::size_t>(plan[2]) << (block % 8));
      if (want > out.size()) want = out.size();
      stream.ReadBytes(out.data(), want);
      if (plan[3] & (1 << block)) stream.ReadU32();
      stream.Reset();
    } catch (const rdr::Exception&) {
      // A bad block: the connection would be dropped; the stream starts afresh.
      stream.ResetDecompressor();
    }
    pos = under.Pos();
    if (pos >= size) break;
  }
  return 0;
}
