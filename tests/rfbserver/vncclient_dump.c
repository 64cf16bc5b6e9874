/* An independent RFB client for checking the test server's encoders: it connects
 * with Debian's libvncclient (public API only), asks for a pixel format and an
 * encoding list, receives a number of framebuffer updates and writes what it shows.
 *
 * vncclient_dump HOST PORT PIXFMT ENCODINGS UPDATES OUTFILE [EVENTFILE [PASSWORD]]
 *   PIXFMT    bpp,depth,bigendian,rmax,gmax,bmax,rshift,gshift,bshift
 *   ENCODINGS libvncclient's encodings string, e.g. "hextile raw"; "opalo" stands for
 *             encoding 9, which libvncclient calls "ultra"
 *   UPDATES   least number of complete FramebufferUpdates expected
 *   OUTFILE   "W H\n" then W*H RGB triplets decoded from the client's pixel format
 *   EVENTFILE one line per event: bell, cuttext HEX, cursorpos X Y,
 *             cursor XHOT YHOT W H RGBAHEX, size W H (at the end)
 * It reads until the server ends the stream (at most 20 s), then writes the files;
 * exit code 0 when at least UPDATES updates arrived. Real servers never end the stream:
 * with VNCDUMP_QUIET_MS=N in the environment it also stops once UPDATES updates have
 * arrived and the server has then sent nothing for N milliseconds. VNCDUMP_QUALITY=N
 * announces JPEG quality level N (0-9) instead of libvncclient's default, -1 no JPEG.
 */
#include <rfb/rfbclient.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

/* The encodings string with libvncclient's own word for encoding 9. */
static const char *libvnc_encodings(const char *given) {
    static char out[512];
    size_t n = 0;
    const char *p = given;
    while (*p && n + 8 < sizeof out) {
        size_t len = strcspn(p, " ");
        if (len == 5 && strncmp(p, "opalo", 5) == 0) {
            memcpy(out + n, "ultra", 5);
            n += 5;
        } else {
            if (n + len + 1 >= sizeof out) break;
            memcpy(out + n, p, len);
            n += len;
        }
        p += len;
        while (*p == ' ' && n + 1 < sizeof out) out[n++] = *p++;
    }
    out[n] = '\0';
    return out;
}

static int updates_done;
static FILE *events;
static const char *password;

static void on_finished(rfbClient *cl) {
    (void)cl;
    updates_done++;
}

static void rgb_of(rfbClient *cl, const uint8_t *p, uint8_t out[3]) {
    const rfbPixelFormat *f = &cl->format;
    uint32_t v = 0;
    int n = f->bitsPerPixel / 8;
    for (int i = 0; i < n; i++) {
        int shift = f->bigEndian ? 8 * (n - 1 - i) : 8 * i;
        v |= (uint32_t)p[i] << shift;
    }
    uint32_t r = (v >> f->redShift) & f->redMax;
    uint32_t g = (v >> f->greenShift) & f->greenMax;
    uint32_t b = (v >> f->blueShift) & f->blueMax;
    out[0] = f->redMax ? (uint8_t)(r * 255 / f->redMax) : 0;
    out[1] = f->greenMax ? (uint8_t)(g * 255 / f->greenMax) : 0;
    out[2] = f->blueMax ? (uint8_t)(b * 255 / f->blueMax) : 0;
}

static void on_bell(rfbClient *cl) {
    (void)cl;
    if (events) fprintf(events, "bell\n");
}

static void on_cut(rfbClient *cl, const char *text, int len) {
    (void)cl;
    if (!events) return;
    fprintf(events, "cuttext ");
    for (int i = 0; i < len; i++) fprintf(events, "%02x", (unsigned char)text[i]);
    fprintf(events, "\n");
}

static rfbBool on_pos(rfbClient *cl, int x, int y) {
    (void)cl;
    if (events) fprintf(events, "cursorpos %d %d\n", x, y);
    return TRUE;
}

static void on_cursor(rfbClient *cl, int xhot, int yhot, int w, int h, int bpp) {
    if (!events) return;
    fprintf(events, "cursor %d %d %d %d ", xhot, yhot, w, h);
    for (int i = 0; i < w * h; i++) {
        uint8_t c[3] = {0, 0, 0};
        if (cl->rcSource) rgb_of(cl, cl->rcSource + (size_t)i * bpp, c);
        int a = cl->rcMask && cl->rcMask[i] ? 255 : 0;
        fprintf(events, "%02x%02x%02x%02x", c[0], c[1], c[2], a);
    }
    fprintf(events, "\n");
}

static char *get_password(rfbClient *cl) {
    (void)cl;
    return strdup(password ? password : "");
}

int main(int argc, char **argv) {
    if (argc < 7) {
        fprintf(stderr, "usage: %s HOST PORT PIXFMT ENCODINGS UPDATES OUTFILE "
                "[EVENTFILE [PASSWORD]]\n", argv[0]);
        return 2;
    }
    int pf[9];
    if (sscanf(argv[3], "%d,%d,%d,%d,%d,%d,%d,%d,%d", &pf[0], &pf[1], &pf[2], &pf[3],
               &pf[4], &pf[5], &pf[6], &pf[7], &pf[8]) != 9) {
        fprintf(stderr, "bad PIXFMT %s\n", argv[3]);
        return 2;
    }
    int want = atoi(argv[5]);
    if (argc > 7) events = fopen(argv[7], "w");
    if (argc > 8) password = argv[8];

    rfbClient *cl = rfbGetClient(8, 3, 4);
    cl->format.bitsPerPixel = pf[0];
    cl->format.depth = pf[1];
    cl->format.bigEndian = pf[2];
    cl->format.trueColour = 1;
    cl->format.redMax = pf[3];
    cl->format.greenMax = pf[4];
    cl->format.blueMax = pf[5];
    cl->format.redShift = pf[6];
    cl->format.greenShift = pf[7];
    cl->format.blueShift = pf[8];
    cl->appData.encodingsString = libvnc_encodings(argv[4]);
    const char *quality = getenv("VNCDUMP_QUALITY");
    if (quality && atoi(quality) < 0) cl->appData.enableJPEG = FALSE;
    else if (quality) cl->appData.qualityLevel = atoi(quality);
    cl->appData.useRemoteCursor = TRUE;
    cl->canHandleNewFBSize = TRUE;
    cl->FinishedFrameBufferUpdate = on_finished;
    cl->Bell = on_bell;
    cl->GotXCutText = on_cut;
    cl->HandleCursorPos = on_pos;
    cl->GotCursorShape = on_cursor;
    cl->GetPassword = get_password;
    cl->serverHost = strdup(argv[1]);
    cl->serverPort = atoi(argv[2]);
    if (!rfbInitClient(cl, NULL, NULL)) {   /* frees cl on failure */
        fprintf(stderr, "vncclient_dump: connection or handshake failed\n");
        if (events) fclose(events);
        return 1;
    }
    const char *quiet_env = getenv("VNCDUMP_QUIET_MS");
    long quiet_ms = quiet_env ? atol(quiet_env) : 0, quiet_for = 0;
    time_t start = time(NULL);
    /* Read until the server ends the stream (it shuts down its sending side when it
     * has sent everything); libvncclient asks for further updates by itself. */
    while (time(NULL) - start < 20) {
        /* select() does not see what libvncclient has already read into its own
         * buffer, so a message waiting there is handled without waiting. */
        if (cl->buffered == 0) {
            int r = WaitForMessage(cl, 200000);
            if (r < 0) break;
            if (r == 0) {
                quiet_for += 200;
                if (quiet_ms > 0 && quiet_for >= quiet_ms && updates_done >= want) break;
                continue;
            }
        }
        quiet_for = 0;
        if (!HandleRFBServerMessage(cl)) break;
    }
    FILE *out = fopen(argv[6], "wb");
    if (!out) return 2;
    fprintf(out, "%d %d\n", cl->width, cl->height);
    int bpp = cl->format.bitsPerPixel / 8;
    for (int i = 0; i < cl->width * cl->height; i++) {
        uint8_t c[3];
        rgb_of(cl, cl->frameBuffer + (size_t)i * bpp, c);
        fwrite(c, 1, 3, out);
    }
    fclose(out);
    if (events) {
        fprintf(events, "size %d %d\n", cl->width, cl->height);
        fclose(events);
    }
    int ok = updates_done >= want;
    if (!ok) fprintf(stderr, "vncclient_dump: %d of %d updates\n", updates_done, want);
    rfbClientCleanup(cl);
    return ok ? 0 : 1;
}
