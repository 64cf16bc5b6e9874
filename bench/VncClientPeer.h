#pragma once

#include <cstdint>
#include <vector>

#include "BenchClock.h"
#include "decoders/PixelFormat.h"

namespace bench {

// Lets libvncclient connect to the loopback server on `port` (which performs the RFB 3.8
// handshake and then sends the recording) and decode until the Bell that ends it, into a
// framebuffer of the given format that is written in full before the timing starts, as
// ours is. `quality` is the quality level the recording was made with (ZYWRLE reads its
// level from it). Returns the time spent after the handshake, or -1 on failure; with
// `framebuffer`, a copy of the final framebuffer (rows of width x bytes per pixel).
Times RunLibVncClient(int port, const PixelFormat& pf, int quality, std::vector<std::uint8_t>* framebuffer = nullptr);

}  // namespace bench
