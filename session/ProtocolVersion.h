// The ProtocolVersion exchange: the 12-byte "RFB xxx.yyy\n" texts and the viewer's
// answer to each version a server may announce.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rfbversion {

constexpr std::size_t kBytes = 12;

// Parses "RFB xxx.yyy\n" with three decimal digits each. False for anything else.
bool Parse(const std::uint8_t text[kBytes], int* major, int* minor);

// Writes "RFB %03d.%03d\n" (12 bytes, no terminator); each number is taken modulo 1000.
void Format(int major, int minor, std::uint8_t out[kBytes]);

// What the viewer answers to a server's version, and how the session runs afterwards.
struct Decision {
  int answerMajor;
  int answerMinor;
  int sessionMinor;      // the minor the session runs with once the exchange is over
  bool extraText;        // a length-prefixed text from the server follows the answer (3.14/16/18)
  bool serverExtA;       // the server announced its own extensions (3.4, 3.14)
  bool serverExtB;       // (3.4, 3.6, 3.14, 3.16, 3.18)
  bool legacy33;         // 3.3: logged as the legacy protocol
  bool belowThree;       // 3.0 to 3.2: an old authentication scheme follows
};

Decision Decide(int major, int minor);

}  // namespace rfbversion
