#include "decoders/Jpeg.h"

#include <algorithm>
#include <cstdio>  // jpeglib.h needs FILE and size_t first
#include <cstring>
#include <new>

#include <jpeglib.h>

#include "app/Exception.h"
#include "decoders/GrowBuffer.h"
#include "decoders/PixelOps.h"

namespace dec {

namespace {

// The image in memory, as the library reads it. When the data end before the image does,
// the library is handed an end-of-image marker: it finishes what it has (filling the rest
// with grey) and `truncated` tells the caller not to use the result. The library never
// reads any byte twice.
struct MemorySource {
  jpeg_source_mgr pub;
  const std::uint8_t* data = nullptr;
  std::size_t len = 0;
  bool truncated = false;
};

const JOCTET kEndOfImage[2] = {0xFF, JPEG_EOI};

void InitSource(j_decompress_ptr cinfo) {
  reinterpret_cast<MemorySource*>(cinfo->src)->truncated = false;
}

boolean FillInputBuffer(j_decompress_ptr cinfo) {
  MemorySource* src = reinterpret_cast<MemorySource*>(cinfo->src);
  src->truncated = true;
  src->pub.next_input_byte = kEndOfImage;
  src->pub.bytes_in_buffer = sizeof kEndOfImage;
  return TRUE;
}

void SkipInputData(j_decompress_ptr cinfo, long n) {
  MemorySource* src = reinterpret_cast<MemorySource*>(cinfo->src);
  if (n <= 0) return;
  if (static_cast<unsigned long>(n) <= src->pub.bytes_in_buffer) {
    src->pub.next_input_byte += n;
    src->pub.bytes_in_buffer -= static_cast<std::size_t>(n);
    return;
  }
  // Skipping past the end: nothing is left, and the next read gets the end marker.
  src->truncated = true;
  src->pub.next_input_byte += src->pub.bytes_in_buffer;
  src->pub.bytes_in_buffer = 0;
}

void TermSource(j_decompress_ptr) {}

// A library error: leaves the library by throwing, with the library's own message.
[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  char message[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, message);
  throw QuietException(message);
}

// Warnings (corrupt entropy data and the like) are not errors: the image is still drawn.
void JpegOutputMessage(j_common_ptr) {}

// How decoded pixels reach the output.
enum class Layout { Convert, RGBX, BGRX, XBGR, XRGB };

Layout ChooseLayout(const PixelFormat& pf, bool byteOrder) {
  if (pf.bitsPerPixel != 32 || pf.redMax != 255 || pf.greenMax != 255 || pf.blueMax != 255) return Layout::Convert;
  int rs = pf.redShift, gs = pf.greenShift, bs = pf.blueShift;
  if (byteOrder && pf.bigEndian) {
    if (rs > 24 || gs > 24 || bs > 24) return Layout::Convert;
    rs = 24 - rs, gs = 24 - gs, bs = 24 - bs;
  }
  if (rs == 0 && gs == 8 && bs == 16) return Layout::RGBX;
  if (rs == 16 && gs == 8 && bs == 0) return Layout::BGRX;
  if (rs == 24 && gs == 16 && bs == 8) return Layout::XBGR;
  if (rs == 8 && gs == 16 && bs == 24) return Layout::XRGB;
  return Layout::Convert;
}

J_COLOR_SPACE ColourSpaceOf(Layout l) {
  switch (l) {
    case Layout::BGRX: return JCS_EXT_BGRX;
    case Layout::XBGR: return JCS_EXT_XBGR;
    case Layout::XRGB: return JCS_EXT_XRGB;
    default: return JCS_EXT_RGBX;  // also the rows that are converted
  }
}

constexpr int kRowsPerCall = 16;

}  // namespace

struct JpegDecoder::Impl {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr err;
  MemorySource src;
  GrowBuffer rows;  // RGBX rows for the conversion, sized by the image width

  Impl() {
    std::memset(&cinfo, 0, sizeof cinfo);
    cinfo.err = jpeg_std_error(&err);
    err.error_exit = JpegErrorExit;
    err.output_message = JpegOutputMessage;
    jpeg_create_decompress(&cinfo);  // may throw (out of memory): nothing to undo then
    cinfo.mem->max_memory_to_use = kMaxLibraryMemory;
    src.pub.init_source = InitSource;
    src.pub.fill_input_buffer = FillInputBuffer;
    src.pub.skip_input_data = SkipInputData;
    src.pub.resync_to_restart = jpeg_resync_to_restart;
    src.pub.term_source = TermSource;
    cinfo.src = &src.pub;
  }
  ~Impl() { jpeg_destroy_decompress(&cinfo); }
};

JpegDecoder::JpegDecoder() = default;
JpegDecoder::~JpegDecoder() = default;

void JpegDecoder::Reset() { impl_.reset(); }

void JpegDecoder::Fail(const char* why) { std::snprintf(error_, sizeof error_, "%s", why); }

JpegDecoder::Result JpegDecoder::Decode(const std::uint8_t* data, std::size_t len, int w, int h, const PixelFormat& pf,
                                              bool byteOrder, std::uint8_t* out, std::size_t stride,
                                              std::size_t outSize) {
  error_[0] = 0;
  if (w <= 0 || h <= 0) {
    Fail("image size differs from the rectangle");
    return Result::WrongSize;
  }
  if (!data || len == 0) {
    Fail("no image data");
    return Result::Failed;
  }
  if (!pf.trueColour || !pf.IsValid()) {
    Fail("pixel format without colour components");
    return Result::Failed;
  }
  const int bpp = pf.BytesPerPixel();
  const std::size_t rowBytes = static_cast<std::size_t>(w) * bpp;
  if (stride < rowBytes || static_cast<std::uint64_t>(stride) * static_cast<std::uint64_t>(h - 1) + rowBytes > outSize) {
    Fail("output buffer too small");
    return Result::Failed;
  }
  const Layout layout = ChooseLayout(pf, byteOrder);

  try {
    if (!impl_) impl_ = std::make_unique<Impl>();
  } catch (const Exception& e) {
    Fail(e.Message() ? e.Message() : "cannot create the decompressor");
    return Result::Failed;
  } catch (const std::bad_alloc&) {
    Fail("cannot create the decompressor");
    return Result::Failed;
  }
  jpeg_decompress_struct& cinfo = impl_->cinfo;
  MemorySource& src = impl_->src;
  src.data = data;
  src.len = len;
  src.truncated = false;
  src.pub.next_input_byte = data;
  src.pub.bytes_in_buffer = len;

  bool ok = false, wrongSize = false;
  try {
    jpeg_read_header(&cinfo, TRUE);
    // Checked before any image memory is allocated: a hostile header cannot make the
    // library allocate for a larger image than the rectangle.
    if (cinfo.image_width != static_cast<JDIMENSION>(w) || cinfo.image_height != static_cast<JDIMENSION>(h)) {
      Fail("image size differs from the rectangle");
      wrongSize = true;
    } else {
      cinfo.out_color_space = ColourSpaceOf(layout);
      cinfo.scale_num = cinfo.scale_denom = 1;
      jpeg_start_decompress(&cinfo);
      if (cinfo.output_width != static_cast<JDIMENSION>(w) || cinfo.output_height != static_cast<JDIMENSION>(h) ||
          cinfo.output_components != 4) {
        Fail("image size differs from the rectangle");
        wrongSize = true;
      } else if (layout != Layout::Convert) {
        JSAMPROW rows[kRowsPerCall];
        while (cinfo.output_scanline < cinfo.output_height && !src.truncated) {
          const JDIMENSION first = cinfo.output_scanline;
          const JDIMENSION n = std::min<JDIMENSION>(kRowsPerCall, cinfo.output_height - first);
          for (JDIMENSION i = 0; i < n; i++) rows[i] = out + (first + i) * stride;
          jpeg_read_scanlines(&cinfo, rows, n);
        }
        ok = true;
      } else {
        // RGBX rows, then the pixel operations' conversion into the packed output.
        const std::size_t rgbxRow = static_cast<std::size_t>(w) * 4;
        std::uint8_t* buf = impl_->rows.Ensure(rgbxRow * kRowsPerCall);
        Framebuffer view;
        view.bits = out;
        view.width = w;
        view.height = h;
        view.stride = stride;
        view.bytesPerPixel = bpp;
        view.format = pf;
        JSAMPROW rows[kRowsPerCall];
        for (int i = 0; i < kRowsPerCall; i++) rows[i] = buf + i * rgbxRow;
        while (cinfo.output_scanline < cinfo.output_height && !src.truncated) {
          const JDIMENSION first = cinfo.output_scanline;
          const JDIMENSION want = std::min<JDIMENSION>(kRowsPerCall, cinfo.output_height - first);
          JDIMENSION got = 0;
          while (got < want && !src.truncated) {
            const JDIMENSION n = jpeg_read_scanlines(&cinfo, rows + got, want - got);
            if (n == 0) break;
            got += n;
          }
          ConvertRgbRect(view, 0, static_cast<int>(first), w, static_cast<int>(got), buf);
          if (got < want) break;
        }
        ok = true;
      }
      if (ok && !src.truncated && cinfo.output_scanline == cinfo.output_height) {
        jpeg_finish_decompress(&cinfo);  // reads on to the end marker
      }
    }
  } catch (const Exception& e) {
    Fail(e.Message() ? e.Message() : "JPEG library error");
    ok = false;
  } catch (const std::bad_alloc&) {
    Fail("out of memory");
    ok = false;
  }
  if (ok && (src.truncated || cinfo.output_scanline != cinfo.output_height)) {
    Fail("image data end early");
    ok = false;
  }
  // Whatever happened, the decompressor goes back to its idle state for the next image.
  jpeg_abort_decompress(&cinfo);
  src.data = nullptr;
  return ok ? Result::Ok : wrongSize ? Result::WrongSize : Result::Failed;
}

}  // namespace dec
