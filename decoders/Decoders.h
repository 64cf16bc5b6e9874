// The rectangle decoders. Each is called by the FramebufferUpdate reader with the
// rectangle header already read; it reads the rest of the rectangle from `in` and draws it
// into the connection's bitmap. None holds the framebuffer lock while it reads from the
// stream: data are read first (a rectangle, a strip of rows, a row of tiles), then the lock
// is taken, the bitmap re-checked (size and pixel size may have changed meanwhile) and
// the pixels written within its bounds. Rectangles that do not fit are read and dropped.
// Stream errors (rdr::Exception) propagate; an oversized request throws ErrorException.
#pragma once

#include "decoders/DecoderState.h"
#include "decoders/RectHeader.h"
#include "rdr/InStream.h"

namespace dec {

void DecodeRaw(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeCopyRect(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeRRE(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeCoRRE(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeHextile(DecoderState& st, rdr::InStream& in, const RectHeader& r);

// Tight (7, zlib streams) and TightZstd (26, zstd streams). A corrupt compressed stream
// throws rdr::Exception: the stream cannot go on, so neither can the connection.
void DecodeTight(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeTightZstd(DecoderState& st, rdr::InStream& in, const RectHeader& r);
// Opalo (9; LZO1X) and Opalo2 (10; JPEG). A data length above the receive
// buffer's cap, or a rectangle above the decompression buffer's, ends the connection
// (ErrorException) before the data are read; a block or image that does not decode is
// not drawn.
void DecodeOpalo(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeOpalo2(DecoderState& st, rdr::InStream& in, const RectHeader& r);

// Zlib (6) and ZSTD (25): drawn only when the block decompresses to exactly the
// rectangle's pixels. ZlibHex (8) and ZstdHex (27). ZRLE (16), ZYWRLE (17), ZSTDRLE (28),
// ZSTDYWRLE (29). A corrupt persistent stream throws rdr::Exception (connection road); a
// tile whose data do not add up is logged and not drawn.
void DecodeZlib(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeZlibHex(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeZrle(DecoderState& st, rdr::InStream& in, const RectHeader& r);
// The ZYWRLE level for the "quality" option (-1: not given).
int ZywrleLevel(int quality);

// XZ (18) and XZYW (19): the header holds the sub-rectangle count (x, y) and the
// compressed length (w, h); each sub-rectangle is declared, saved to the cache, drawn and
// repainted on its own. A negative or oversized length throws rdr::Exception.
void DecodeXz(DecoderState& st, rdr::InStream& in, const RectHeader& r);
// The number of sub-rectangles an XZ or XZYW header announces (0 when negative). Each of
// them counts as one rectangle of the update.
std::uint64_t XzSubRectangleCount(const RectHeader& r);

// The cache bitmap (Framebuffer::cache, present when the connection was built with
// "EnableCache"): zeroed on a new pixel format, at thread start and on a resize; areas are
// saved before they are overwritten and swapped back on the server's request. Each does
// nothing without a cache bitmap or for an area outside the framebuffer.
void ClearCache(const Framebuffer& fb);
void SaveRectToCache(DecoderState& st, int x, int y, int w, int h);
void SwapRectWithCache(DecoderState& st, int x, int y, int w, int h);
// 0xFFFF0000: swaps the header's area with the cache.
void DecodeCacheRect(DecoderState& st, rdr::InStream& in, const RectHeader& r);
// 0xFFFF0007, 0xFFFF0008 / 0xFFFF000A, 0xFFFF0009: lists of areas (count in the header's
// x) in one compressed block; each area is declared and added to the update region on its
// own. The block is always consumed; entries are taken only as far as the data produced.
void DecodeCacheZipList(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeZipRectList(DecoderState& st, rdr::InStream& in, const RectHeader& r);
void DecodeLzoRectList(DecoderState& st, rdr::InStream& in, const RectHeader& r);

// One real (non-pseudo) rectangle as the update reader handles it: declares the area to
// the soft cursor, saves it to the cache (see SaveRectToCache), decodes it, adds it to the
// update region and puts the cursor back. The XZ and list encodings, whose header is no
// area, do this for each of their areas. Returns false, having read nothing, for an
// encoding it does not know.
bool DecodeRectangle(DecoderState& st, rdr::InStream& in, const RectHeader& r);

// Cursor shape pseudo-encodings (X cursor 0xFFFFFF10, rich cursor 0xFFFFFF11): the
// header's x, y are the hot spot, w, h the size. With noRemoteCursor, a hot spot outside
// the framebuffer, or a shape above the cursor memory cap, the data are read and
// dropped and no cursor remains.
void DecodeCursorShape(DecoderState& st, rdr::InStream& in, const RectHeader& r, bool noRemoteCursor);

// Pointer position pseudo-encoding (0xFFFFFF18): moves the cursor to (x, y) / serverScale,
// limited to the framebuffer. Reads nothing more.
void DecodeCursorPos(DecoderState& st, const RectHeader& r, int serverScale);

// Memory allowed for one cursor shape (shape, mask, save-under and the data as read).
constexpr std::uint64_t kMaxCursorBytes = 100ull * 1024 * 1024;

}  // namespace dec
