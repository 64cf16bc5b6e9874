// JPEG images inside rectangles (Tight's JPEG form, Opalo2): one libjpeg decompressor per
// connection, fed from memory through a source manager of our own. A library error
// unwinds out of libjpeg as a C++ exception (libjpeg is built with unwind tables natively
// and with MinGW), so no longjmp crosses our frames; the decompressor is aborted and stays
// usable for the next image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "decoders/PixelFormat.h"

namespace dec {

class JpegDecoder {
public:
  JpegDecoder();
  ~JpegDecoder();
  JpegDecoder(const JpegDecoder&) = delete;
  JpegDecoder& operator=(const JpegDecoder&) = delete;

  // Decodes the JPEG image data[0..len) into `out` as w x h pixels of `pf`, rows `stride`
  // bytes apart (at least w x bytes per pixel; outSize, the bytes from `out` on, must
  // hold them): a packed buffer, or the rectangle's place in a bitmap. 32-bit formats whose
  // colours are whole bytes decode straight into place (RGBX, BGRX, XBGR or XRGB order,
  // the fourth byte 0xFF); other true-colour formats go through RGB rows converted as
  // the pixel operations convert (component x (maximum + 1) >> 8). For a big-endian
  // format the byte positions follow the big-endian pixel when byteOrder is set, and
  // the little-endian one otherwise.
  //
  // WrongSize (an image that is not w x h, checked before the library allocates for the
  // image or anything is written) and a header the library refuses leave `out` as it was.
  // Failed for an image whose data end early or go wrong after its first rows leaves the
  // rows decoded until then written. LastError() says why.
  enum class Result { Ok, WrongSize, Failed };
  Result Decode(const std::uint8_t* data, std::size_t len, int w, int h, const PixelFormat& pf, bool byteOrder,
                std::uint8_t* out, std::size_t stride, std::size_t outSize);

  const char* LastError() const { return error_; }

  // Drops the library's decompressor (made again on next use): a new session starts
  // from a clean state.
  void Reset();

  // Memory the library may use for one image (progressive images keep every
  // coefficient); an image needing more fails as corrupt.
  static constexpr long kMaxLibraryMemory = 256L * 1024 * 1024;

private:
  struct Impl;
  void Fail(const char* why);
  std::unique_ptr<Impl> impl_;
  char error_[200] = "";
};

}  // namespace dec
