/* Debian's libvncserver as the source of recorded streams for the decoder benchmark: it
 * serves a sequence of screens on loopback (security None) and, after each update it has
 * sent, shows the next screen and marks what changed, so that a client that keeps asking
 * for incremental updates records the sequence the way this server encodes it.
 *
 * bench_vncserver_recorder FRAMES PORT
 *   FRAMES  "W H N\n" then N screens of W x H pixels, 4 bytes each: red, green, blue, 0
 *   PORT    TCP port on 127.0.0.1
 * Ends when its client leaves or after 120 s.
 */
#include <rfb/rfb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static int width, height, frames, shown;
static unsigned char *all;
static rfbScreenInfoPtr screen;
static int gone;

/* Marks the rows that differ between the screen shown and the next one, in bands. */
static void show_next(void) {
    if (shown + 1 >= frames) return;
    const unsigned char *next = all + (size_t)(shown + 1) * width * height * 4;
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
    shown++;
}

static void after_update(rfbClientPtr cl, int result) {
    (void)cl;
    (void)result;
    show_next();
}

static void client_gone(rfbClientPtr cl) {
    (void)cl;
    gone = 1;
}

static enum rfbNewClientAction new_client(rfbClientPtr cl) {
    cl->clientGoneHook = client_gone;
    return RFB_CLIENT_ACCEPT;
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
    screen->frameBuffer = malloc((size_t)width * height * 4);
    memcpy(screen->frameBuffer, all, (size_t)width * height * 4);
    screen->port = atoi(argv[2]);
    screen->ipv6port = 0;
    screen->listenInterface = htonl(INADDR_LOOPBACK);
    screen->alwaysShared = TRUE;
    screen->desktopName = "recorder";
    screen->cursor = NULL;
    screen->displayFinishedHook = after_update;
    screen->newClientHook = new_client;
    rfbInitServer(screen);
    if (screen->listenSock < 0) return 1;
    time_t end = time(NULL) + 120;
    while (!gone && time(NULL) < end && rfbIsActive(screen)) rfbProcessEvents(screen, 1000);
    rfbShutdownServer(screen, TRUE);
    return 0;
}
