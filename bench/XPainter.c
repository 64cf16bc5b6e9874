/* Puts the benchmark's screens on an X server (TigerVNC's Xvnc, or Xvfb under x11vnc) so
 * that a real VNC server encodes them. Draws on the root window, as nothing else runs on
 * the display. Commands, one per line on standard input; each is answered with "ok" on
 * standard output once the X server has carried it out (XSync):
 *   p K                    show screen K in full
 *   m SX SY W H DX DY      move the area (SX, SY, W, H) by (DX, DY), as a dragged window
 *   q                      quit
 *
 * bench_xpainter FRAMES     (DISPLAY names the X server)
 *   FRAMES  "W H N\n" then N screens of W x H pixels, 4 bytes each: red, green, blue, 0
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s FRAMES\n", argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    int width, height, frames;
    if (!f || fscanf(f, "%d %d %d", &width, &height, &frames) != 3 || fgetc(f) != '\n' || width <= 0 ||
        height <= 0 || frames <= 0)
        return 1;
    const size_t screen = (size_t)width * height * 4;
    unsigned char *all = malloc(screen * frames);
    if (!all || fread(all, 1, screen * frames, f) != screen * frames) return 1;
    fclose(f);

    Display *d = XOpenDisplay(NULL);
    if (!d) {
        fprintf(stderr, "bench_xpainter: cannot open the display\n");
        return 1;
    }
    const int s = DefaultScreen(d);
    Visual *v = DefaultVisual(d, s);
    if (DefaultDepth(d, s) != 24 || v->red_mask != 0xFF0000 || v->green_mask != 0xFF00 || v->blue_mask != 0xFF) {
        fprintf(stderr, "bench_xpainter: the display needs depth 24 with red in the high bits\n");
        return 1;
    }
    const Window root = RootWindow(d, s);
    XGCValues gv;
    gv.graphics_exposures = False;
    gv.subwindow_mode = IncludeInferiors;
    GC gc = XCreateGC(d, root, GCGraphicsExposures | GCSubwindowMode, &gv);
    /* The pixels in the X server's order: one 32-bit value, red << 16 | green << 8 | blue. */
    char *pixels = malloc(screen);
    XImage *im = XCreateImage(d, v, 24, ZPixmap, 0, pixels, width, height, 32, width * 4);
    if (!pixels || !im) return 1;

    char line[256];
    while (fgets(line, sizeof line, stdin)) {
        int k, sx, sy, w, h, dx, dy;
        if (line[0] == 'q') break;
        if (sscanf(line, "p %d", &k) == 1 && k >= 0 && k < frames) {
            const unsigned char *src = all + (size_t)k * screen;
            for (int y = 0; y < height; y++)
                for (int x = 0; x < width; x++, src += 4)
                    XPutPixel(im, x, y, (unsigned long)src[0] << 16 | (unsigned long)src[1] << 8 | src[2]);
            XPutImage(d, root, gc, im, 0, 0, 0, 0, width, height);
        } else if (sscanf(line, "m %d %d %d %d %d %d", &sx, &sy, &w, &h, &dx, &dy) == 6) {
            XCopyArea(d, root, root, gc, sx, sy, w, h, sx + dx, sy + dy);
        } else {
            fprintf(stderr, "bench_xpainter: bad command %s", line);
            return 1;
        }
        XSync(d, False);
        fputs("ok\n", stdout);
        fflush(stdout);
    }
    XDestroyImage(im); /* frees pixels */
    XFreeGC(d, gc);
    XCloseDisplay(d);
    free(all);
    return 0;
}
