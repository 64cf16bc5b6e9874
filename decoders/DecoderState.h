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
};
