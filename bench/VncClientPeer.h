#pragma once

#include "BenchClock.h"

namespace bench {

// Lets libvncclient connect to the loopback server on `port` (which performs the RFB 3.8
// handshake and then sends the recording) and decode until the Bell that ends it, with a
// framebuffer of bytesPerPixel (4, 2 or 1). Returns the time spent after the handshake,
// or -1 on failure.
Times RunLibVncClient(int port, int bytesPerPixel);

}  // namespace bench
