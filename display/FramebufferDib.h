// The framebuffer as a GDI bitmap: a top-down DIB section whose pixels have the session's
// format, so that the decoders write into it directly and GDI draws from it without a
// conversion. The snapshot also makes one to copy a Direct3D surface into.
#pragma once

#include <windows.h>

#include "decoders/Framebuffer.h"

// A DIB section of width x height pixels of that format (bit fields above 8 bits per
// pixel, a colour table that splits each index into its channels at 8 and below); its
// rows are Framebuffer::StrideFor apart. Null (and *bits null) when it cannot be made.
HBITMAP CreateFramebufferDib(HDC dc, const PixelFormat& pf, int width, int height, void** bits);

// A DIB section holding a copy of the framebuffer's pixels (whatever its stride), for
// GDI+ to read; call with the framebuffer lock held. Null when it cannot be made.
HBITMAP CopyFramebufferToDib(const Framebuffer& fb);
