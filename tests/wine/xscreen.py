"""Writes what an X display's screen shows: one GetImage of the root window (ZPixmap,
all planes), as a header line "width height bits-per-pixel byte-order bytes-per-line
red-mask green-mask blue-mask" and the rows after it.

    /usr/bin/python3 xscreen.py :N > screen.raw

The root window's image is what the server holds on the screen, whichever windows lie
on it. xwd -root does not give that when windows use colour maps other than the
default one (Wine makes one for each program): it then reads each window's visible
part from the window itself, and of two overlapping windows with the same visual and
colour map it takes the covered window, whose image is black where the other lies. A
program's second window over its first (a dialog box over the main window) then reads
as a black rectangle although the screen shows it. kebwine runs this in a process of
its own, so that a server that does not answer ends in a timeout, not a hang.
Only ctypes and libX11: it starts in a few milliseconds."""

import ctypes
import ctypes.util
import sys


class XImage(ctypes.Structure):
    _fields_ = [("width", ctypes.c_int), ("height", ctypes.c_int), ("xoffset", ctypes.c_int),
                ("format", ctypes.c_int), ("data", ctypes.c_void_p), ("byte_order", ctypes.c_int),
                ("bitmap_unit", ctypes.c_int), ("bitmap_bit_order", ctypes.c_int), ("bitmap_pad", ctypes.c_int),
                ("depth", ctypes.c_int), ("bytes_per_line", ctypes.c_int), ("bits_per_pixel", ctypes.c_int),
                ("red_mask", ctypes.c_ulong), ("green_mask", ctypes.c_ulong), ("blue_mask", ctypes.c_ulong)]


def main(display):
    x = ctypes.CDLL(ctypes.util.find_library("X11") or "libX11.so.6")
    x.XOpenDisplay.restype = ctypes.c_void_p
    x.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x.XDefaultRootWindow.restype = ctypes.c_ulong
    x.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x.XGetGeometry.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.POINTER(ctypes.c_ulong)] + \
        [ctypes.POINTER(ctypes.c_int)] * 2 + [ctypes.POINTER(ctypes.c_uint)] * 4
    x.XGetImage.restype = ctypes.POINTER(XImage)
    x.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_uint,
                            ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x.XDestroyImage.argtypes = [ctypes.POINTER(XImage)]
    x.XCloseDisplay.argtypes = [ctypes.c_void_p]
    # An X error would otherwise end the process in Xlib's own handler, with no word why.
    errors = []
    handler_type = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
    handler = handler_type(lambda d, e: errors.append(1) or 0)
    x.XSetErrorHandler(handler)

    dpy = x.XOpenDisplay(display.encode())
    if not dpy:
        sys.stderr.write("cannot open display %s\n" % display)
        return 2
    root = x.XDefaultRootWindow(dpy)
    r = ctypes.c_ulong()
    gx, gy = ctypes.c_int(), ctypes.c_int()
    w, h, border, depth = ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint(), ctypes.c_uint()
    x.XGetGeometry(dpy, root, ctypes.byref(r), ctypes.byref(gx), ctypes.byref(gy), ctypes.byref(w), ctypes.byref(h),
                   ctypes.byref(border), ctypes.byref(depth))
    zpixmap = 2
    image = x.XGetImage(dpy, root, 0, 0, w.value, h.value, 0xFFFFFFFF, zpixmap)
    if not image or errors:
        sys.stderr.write("GetImage of the root window of %s failed\n" % display)
        return 1
    im = image.contents
    header = "%d %d %d %d %d %d %d %d\n" % (im.width, im.height, im.bits_per_pixel, im.byte_order, im.bytes_per_line,
                                           im.red_mask, im.green_mask, im.blue_mask)
    out = sys.stdout.buffer
    out.write(header.encode())
    out.write(ctypes.string_at(im.data, im.bytes_per_line * im.height))
    out.flush()
    x.XDestroyImage(image)
    x.XCloseDisplay(dpy)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
