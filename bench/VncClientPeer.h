#pragma once

namespace bench {

// Lets libvncclient connect to the loopback server on `port` (which performs the RFB 3.8
// handshake and then sends the recording) and decode until the Bell that ends it, with a
// framebuffer of bytesPerPixel (4, 2 or 1). Returns the seconds spent after the handshake,
// or -1 on failure.
double RunLibVncClient(int port, int bytesPerPixel);

}  // namespace bench
