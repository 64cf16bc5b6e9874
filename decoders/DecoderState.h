// Everything the decoders keep per connection: the framebuffer they draw into (through
// the connection's FramebufferHost), the soft cursor, the work buffers, and the
// persistent decompression state of the compressed encodings. Used by the connection
// thread only, except the soft cursor (see SoftCursor.h).
#pragma once

#include "decoders/Framebuffer.h"
#include "decoders/GrowBuffer.h"
#include "decoders/Jpeg.h"
#include "decoders/SoftCursor.h"
#include "decoders/StreamDecompressor.h"
#include "decoders/Tight.h"
#include "decoders/Zrle.h"

class DecoderState {
public:
  explicit DecoderState(FramebufferHost& host);
  DecoderState(const DecoderState&) = delete;
  DecoderState& operator=(const DecoderState&) = delete;

  // A new session on a new socket (reconnect): restarts every persistent decompression
  // stream, so that the server's new compressors meet fresh decompressors.
  void Reset();

  // The bitmap's geometry and format as they are now (takes and releases the lock).
  // Decoders read a rectangle's data in this format and then re-check the bitmap under
  // the lock before drawing. Throws rdr::Exception when the format cannot be decoded.
  Framebuffer Snapshot();

  FramebufferHost& host;
  SoftCursor cursor;
  GrowBuffer receive;  // the receive buffer: rectangle data read ahead of drawing

  // Decompression output of the compressed encodings (see StreamDecompressor.h).
  GrowBuffer zlibBuffer;

  // The seven persistent decompression streams (see StreamDecompressor.h).
  StreamDecompressor tightStreams[4];
  StreamDecompressor zlibStream;
  StreamDecompressor zlibHexRawStream;
  StreamDecompressor zlibHexEncodedStream;

  // The JPEG decompressor of Tight and Opalo2, and Tight's filter work areas.
  dec::JpegDecoder jpeg;
  dec::TightWork tightWork;

  // ZlibHex/ZstdHex tile colours: they carry over from tile to tile and from rectangle to
  // rectangle, in the plain and the compressed tile forms alike.
  std::uint32_t zlibHexBg = 0, zlibHexFg = 0;

  // The ZRLE family: one in-stream per kind for the whole connection, and the tile work.
  ZrleState zrle;

  // Settings the connection copies in from its options.
  int quality = -1;  // the "quality" option when given (it picks the ZYWRLE level), else -1

  // The update reader's count of rectangles received since the connection thread started
  // (statistics; the first few tiles of the ZRLE family repaint the whole window).
  std::uint64_t rectanglesReceived = 0;
};
