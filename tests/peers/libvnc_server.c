/* A small RFB server built on Debian's libvncserver, as a real peer for the viewer's
 * decoders: it serves a fixed picture (smooth areas, hard edges, fine detail) on
 * loopback with security type None and answers with whatever encoding the client asks
 * for first (Opalo among them, which libvncserver calls Ultra).
 *
 * libvnc_server PORT IMAGEOUT SECONDS [WIDTH HEIGHT [chat]]
 *   PORT      TCP port on 127.0.0.1
 *   IMAGEOUT  written before serving: "W H\n" then W*H RGB triplets of the picture
 *   SECONDS   the server ends after this long
 *   chat      announce protocol 3.6 (a server with the text chat) and open a chat with
 *             each client once it has had its first framebuffer update; prints
 *             "chat opened" then, and each text the client sends as "chat: TEXT"
 * It prints "ready" on standard output once it listens.
 */
#include <rfb/rfb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static void paint(unsigned char *fb, int w, int h) {
    unsigned s = 12345;
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++) {
            unsigned char *p = fb + ((size_t)y * w + x) * 4;
            s = s * 1103515245u + 12345u;
            int r = x * 255 / (w - 1), g = y * 255 / (h - 1), b = (x ^ y) & 0xFF;
            if ((x / 40 + y / 30) % 3 == 0) r = 200, g = 30, b = 60;          /* flat blocks */
            if (y % 17 == 3 && x % 5 != 0) r = g = b = 0;                      /* "text" lines */
            if (x > w * 2 / 3 && y > h / 2) r = (s >> 16) & 0xFF, g = (s >> 8) & 0xFF; /* noise */
            p[0] = (unsigned char)r;  /* red shift 0, green 8, blue 16 */
            p[1] = (unsigned char)g;
            p[2] = (unsigned char)b;
            p[3] = 0;
        }
}

static void chat_text(rfbClientPtr cl, int length, char *string) {
    (void)cl;
    if (length > 0 && string) printf("chat: %.*s\n", length, string);
    else printf("chat: %d\n", length);
    fflush(stdout);
}

/* Opens the chat with every client that has had a framebuffer update and none yet. */
static void open_chats(rfbScreenInfoPtr s) {
    rfbClientIteratorPtr it = rfbGetClientIterator(s);
    rfbClientPtr cl;
    while ((cl = rfbClientIteratorNext(it)) != NULL) {
        rfbStatList *updates = rfbStatLookupMessage(cl, rfbFramebufferUpdate);
        if (cl->clientData || cl->state != RFB_NORMAL || !updates || updates->sentCount == 0) continue;
        cl->clientData = (void *)1;
        if (rfbSendTextChatMessage(cl, rfbTextChatOpen, "")) {
            printf("chat opened\n");
            fflush(stdout);
        }
    }
    rfbReleaseClientIterator(it);
}

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: %s PORT IMAGEOUT SECONDS [WIDTH HEIGHT]\n", argv[0]);
        return 2;
    }
    int port = atoi(argv[1]);
    int seconds = atoi(argv[3]);
    int w = argc > 5 ? atoi(argv[4]) : 320, h = argc > 5 ? atoi(argv[5]) : 240;
    rfbLogEnable(0);
    int fake_argc = 1;
    rfbScreenInfoPtr s = rfbGetScreen(&fake_argc, argv, w, h, 8, 3, 4);
    if (!s) return 1;
    s->frameBuffer = malloc((size_t)w * h * 4);
    paint((unsigned char *)s->frameBuffer, w, h);
    s->port = port;
    s->ipv6port = 0;
    s->listenInterface = htonl(INADDR_LOOPBACK);
    s->alwaysShared = TRUE;
    s->desktopName = "libvnc_server";
    s->cursor = NULL; /* no server-side cursor drawn into the pixels sent */
    int chat = argc > 6 && strcmp(argv[6], "chat") == 0;
    if (chat) {
        s->protocolMajorVersion = 3;
        s->protocolMinorVersion = 6;
        s->setTextChat = chat_text;
    }

    FILE *out = fopen(argv[2], "wb");
    if (!out) return 1;
    fprintf(out, "%d %d\n", w, h);
    for (int i = 0; i < w * h; i++) fwrite((unsigned char *)s->frameBuffer + (size_t)i * 4, 1, 3, out);
    fclose(out);

    rfbInitServer(s);
    if (s->listenSock < 0) {
        fprintf(stderr, "libvnc_server: cannot listen on port %d\n", port);
        return 1;
    }
    printf("ready\n");
    fflush(stdout);
    time_t end = time(NULL) + seconds;
    while (time(NULL) < end && rfbIsActive(s)) {
        rfbProcessEvents(s, 50000);
        if (chat) open_chats(s);
    }
    rfbShutdownServer(s, TRUE);
    free(s->frameBuffer);
    rfbScreenCleanup(s);
    return 0;
}
