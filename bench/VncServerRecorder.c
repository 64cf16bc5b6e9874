/* Debian's libvncserver as a source of recorded streams for the decoder benchmark: it
 * serves the benchmark's screens on loopback (security None). It takes the same commands
 * on standard input as bench_xpainter and answers each with "ok" once the change is in its
 * framebuffer and marked, so that a client that asks for one update after each command
 * records the sequence the way this server encodes it:
 *   p K                    show screen K (the rows that differ are marked, in bands)
 *   m SX SY W H DX DY      move the area (SX, SY, W, H) by (DX, DY): rfbDoCopyRect
 *   q                      quit
 *
 * bench_vncserver_recorder FRAMES PORT
 *   FRAMES  "W H N\n" then N screens of W x H pixels, 4 bytes each: red, green, blue, 0
 *   PORT    TCP port on 127.0.0.1
 * Ends on "q", at the end of its input, or after 600 s.
 */
#include <poll.h>
#include <rfb/rfb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static int width, height, frames;
static unsigned char *all;
static rfbScreenInfoPtr screen;

/* Marks the rows that differ between the screen shown and screen k, in bands. */
static void show(int k) {
    const unsigned char *next = all + (size_t)k * width * height * 4;
    unsigned char *fb = (unsigned char *)screen->frameBuffer;
    const int band = 16;
    for (int y0 = 0; y0 < height; y0 += band) {
        int y1 = y0 + band < height ? y0 + band : height, x0 = width, x1 = -1;
        for (int y = y0; y < y1; y++) {
            const unsigned *a = (const unsigned *)(fb + (size_t)y * width * 4);
            const unsigned *b = (const unsigned *)(next + (size_t)y * width * 4);
            for (int x = 0; x < width; x++)
                if (a[x] != b[x]) {
                    if (x < x0) x0 = x;
                    if (x > x1) x1 = x;
                }
        }
        if (x1 >= 0) {
            for (int y = y0; y < y1; y++)
                memcpy(fb + ((size_t)y * width + x0) * 4, next + ((size_t)y * width + x0) * 4, (size_t)(x1 + 1 - x0) * 4);
            rfbMarkRectAsModified(screen, x0, y0, x1 + 1, y1);
        }
    }
}

/* Runs one command line; 0 to quit. */
static int command(const char *line) {
    int k, sx, sy, w, h, dx, dy;
    if (line[0] == 'q') return 0;
    if (sscanf(line, "p %d", &k) == 1 && k >= 0 && k < frames) {
        show(k);
    } else if (sscanf(line, "m %d %d %d %d %d %d", &sx, &sy, &w, &h, &dx, &dy) == 6) {
        /* The destination rectangle; the server copies its own framebuffer too. */
        rfbDoCopyRect(screen, sx + dx, sy + dy, sx + dx + w, sy + dy + h, dx, dy);
    } else {
        fprintf(stderr, "bench_vncserver_recorder: bad command %s\n", line);
        return 0;
    }
    fputs("ok\n", stdout);
    fflush(stdout);
    return 1;
}

int main(int argc, char **argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s FRAMES PORT\n", argv[0]);
        return 2;
    }
    FILE *f = fopen(argv[1], "rb");
    if (!f || fscanf(f, "%d %d %d", &width, &height, &frames) != 3 || fgetc(f) != '\n' || width <= 0 ||
        height <= 0 || frames <= 0)
        return 1;
    size_t size = (size_t)width * height * 4 * frames;
    all = malloc(size);
    if (!all || fread(all, 1, size, f) != size) return 1;
    fclose(f);
    rfbLogEnable(0);
    int fake_argc = 1;
    screen = rfbGetScreen(&fake_argc, argv, width, height, 8, 3, 4);
    if (!screen) return 1;
    screen->frameBuffer = calloc((size_t)width * height, 4);
    screen->port = atoi(argv[2]);
    screen->ipv6port = 0;
    screen->listenInterface = htonl(INADDR_LOOPBACK);
    screen->alwaysShared = TRUE;
    screen->desktopName = "recorder";
    /* An invisible cursor: none would crash the copy path (rfbDoCopyRect redraws under
     * the cursor), a visible one would be drawn into the updates. */
    screen->cursor = rfbMakeXCursor(1, 1, " ", " ");
    rfbInitServer(screen);
    if (screen->listenSock < 0) return 1;
    time_t end = time(NULL) + 600;
    char line[256];
    size_t have = 0;
    int running = 1;
    while (running && time(NULL) < end && rfbIsActive(screen)) {
        rfbProcessEvents(screen, 1000);
        struct pollfd p = {0, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0) continue;
        ssize_t n = read(0, line + have, sizeof line - 1 - have);
        if (n <= 0) break;
        have += (size_t)n;
        line[have] = '\0';
        char *nl;
        while (running && (nl = strchr(line, '\n'))) {
            *nl = '\0';
            running = command(line);
            memmove(line, nl + 1, have - (size_t)(nl + 1 - line) + 1);
            have -= (size_t)(nl + 1 - line);
        }
        if (have >= sizeof line - 1) break;
    }
    rfbShutdownServer(screen, TRUE);
    return 0;
}
