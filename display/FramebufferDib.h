// The framebuffer as a GDI bitmap: a top-down DIB section whose pixels have the session's
// format, so that the decoders write into it directly and GDI draws from it without a
// conversion. The snapshot also makes one to copy a Direct3D surface into.
#pragma once

#include <windows.h>

#include "decoders/Framebuffer.h"
#include "display/PointerInput.h"

// A DIB section of width x height pixels of that format (bit fields above 8 bits per
// pixel, a colour table that splits each index into its channels at 8 and below); its
// rows are Framebuffer::StrideFor apart. Null (and *bits null) when it cannot be made.
HBITMAP CreateFramebufferDib(HDC dc, const PixelFormat& pf, int width, int height, void** bits);

// A DIB section holding a copy of the framebuffer's pixels (whatever its stride), for
// GDI+ to read; call with the framebuffer lock held. Null when it cannot be made.
HBITMAP CopyFramebufferToDib(const Framebuffer& fb);

// Paints the update region of a fitted view: the framebuffer held by `source` stretched
// with HALFTONE over view.fitWidth x view.fitHeight window pixels, the mapping the pointer
// uses. Each rectangle of the region is stretched on its own, so the cost follows what
// changed rather than the box around it. The platform's HALFTONE stretch works its sample
// positions out from the part it draws, so a stretch clipped to a rectangle, or one of
// rounded source coordinates, takes other source pixels than the whole view's (seams).
// The view therefore falls into cells whose edges lie on whole pixels on both sides (the
// greatest common divisor of the two widths, and of the two heights); a rectangle is
// widened to whole cells plus one cell of margin on each side, that part is stretched
// into a bitmap of its own and only the rectangle is copied from it. Every pixel then
// comes from the same source pixels as in the whole view's stretch (within one level of
// rounding). Pixels outside the region are left alone.
void PaintFittedView(HDC dc, HRGN update, HDC source, const PointerView& view);
