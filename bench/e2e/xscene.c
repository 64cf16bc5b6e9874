/* Scenes for the end-to-end comparison of viewers, drawn on the X display of an RFB
 * server (TigerVNC's Xvnc), and a tearing probe that reads a viewer's window back.
 *
 *   xscene pictures [fps]           full-screen changing pictures: a new photo-like frame
 *                                   as often as the server takes it (at most fps a second)
 *   xscene photo                    desktop work: a photo window that keeps moving over a
 *                                   photo background (an xterm scrolls beside it, started
 *                                   by the caller)
 *   xscene tear X Y H N             on the viewers' display: N grabs of the column x = X,
 *                                   rows Y..Y+H-1; prints "torn T of N" (a grab that shows
 *                                   the markers of two frames at once is torn)
 *   xscene close WINDOW             asks a top-level window to close as a window manager's
 *                                   close button does (WM_DELETE_WINDOW) and prints the
 *                                   seconds until it has left the screen
 *
 * Every frame of "pictures" carries a marker: the 16 leftmost columns in one flat colour
 * of its own, so that one grab of that strip tells which frames it shows.
 *
 * Built by bench/e2e/run.sh with the system's C compiler against Xlib and XShm.
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <time.h>
#include <unistd.h>

#define MARKER_WIDTH 16
#define MARKERS 12

static const uint32_t kMarkers[MARKERS] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00, 0xff00ff, 0x00ffff,
                                           0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080};

static double now(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

/* A photo-like texture: smooth shading with soft detail and some grain. */
static uint32_t* make_texture(int w, int h, unsigned seed) {
  uint32_t* t = malloc((size_t)w * h * 4);
  if (!t) exit(2);
  unsigned s = seed * 2654435761u + 1;
  for (int y = 0; y < h; y++)
    for (int x = 0; x < w; x++) {
      s = s * 1103515245u + 12345u;
      int grain = (int)((s >> 16) & 15) - 8;
      double r = 128 + 100 * sin(x / 53.0) * cos(y / 71.0) + 20 * sin((x + 3 * y) / 9.0);
      double g = 128 + 90 * sin((x + y) / 97.0) + 25 * cos(x / 13.0 - y / 17.0);
      double b = 110 + 80 * cos(x / 37.0 - y / 59.0) + 15 * sin(y / 7.0);
      int c[3] = {(int)r + grain, (int)g + grain, (int)b + grain};
      for (int i = 0; i < 3; i++) c[i] = c[i] < 0 ? 0 : c[i] > 255 ? 255 : c[i];
      t[(size_t)y * w + x] = (uint32_t)(c[0] << 16 | c[1] << 8 | c[2]);
    }
  return t;
}

typedef struct {
  Display* dpy;
  int screen, width, height;
  Window win;
  GC gc;
  XImage* img;
  XShmSegmentInfo shm;
  int use_shm;
} Canvas;

static void canvas_open(Canvas* c, int x, int y, int w, int h) {
  c->dpy = XOpenDisplay(NULL);
  if (!c->dpy) {
    fprintf(stderr, "xscene: cannot open the display\n");
    exit(2);
  }
  c->screen = DefaultScreen(c->dpy);
  c->width = w;
  c->height = h;
  XSetWindowAttributes a;
  a.override_redirect = True;
  a.background_pixmap = None;
  c->win = XCreateWindow(c->dpy, RootWindow(c->dpy, c->screen), x, y, w, h, 0, CopyFromParent, InputOutput,
                         CopyFromParent, CWOverrideRedirect | CWBackPixmap, &a);
  c->gc = XCreateGC(c->dpy, c->win, 0, NULL);
  Visual* v = DefaultVisual(c->dpy, c->screen);
  int depth = DefaultDepth(c->dpy, c->screen);
  c->use_shm = XShmQueryExtension(c->dpy);
  if (c->use_shm) {
    c->img = XShmCreateImage(c->dpy, v, depth, ZPixmap, NULL, &c->shm, w, h);
    c->shm.shmid = shmget(IPC_PRIVATE, (size_t)c->img->bytes_per_line * h, IPC_CREAT | 0600);
    c->shm.shmaddr = c->img->data = shmat(c->shm.shmid, NULL, 0);
    c->shm.readOnly = False;
    XShmAttach(c->dpy, &c->shm);
    XSync(c->dpy, False);
    shmctl(c->shm.shmid, IPC_RMID, NULL);
  } else {
    c->img = XCreateImage(c->dpy, v, depth, ZPixmap, 0, malloc((size_t)w * h * 4), w, h, 32, 0);
  }
  XMapRaised(c->dpy, c->win);
  XSync(c->dpy, False);
}

static void canvas_show(Canvas* c) {
  if (c->use_shm)
    XShmPutImage(c->dpy, c->win, c->gc, c->img, 0, 0, 0, 0, c->width, c->height, False);
  else
    XPutImage(c->dpy, c->win, c->gc, c->img, 0, 0, 0, 0, c->width, c->height);
  XSync(c->dpy, False);
}

/* Frame k: the texture seen from an offset of its own, with its marker strip. */
static void draw_frame(Canvas* c, const uint32_t* tex, int tw, int th, int k) {
  const int ox = (k * 149) % (tw - c->width), oy = (k * 83) % (th - c->height);
  const uint32_t marker = kMarkers[k % MARKERS];
  for (int y = 0; y < c->height; y++) {
    uint32_t* row = (uint32_t*)(c->img->data + (size_t)y * c->img->bytes_per_line);
    memcpy(row, tex + (size_t)(y + oy) * tw + ox, (size_t)c->width * 4);
    for (int x = 0; x < MARKER_WIDTH; x++) row[x] = marker;
  }
}

static int pictures(double fps) {
  Canvas c;
  Display* probe = XOpenDisplay(NULL);
  if (!probe) return 2;
  const int w = DisplayWidth(probe, DefaultScreen(probe)), h = DisplayHeight(probe, DefaultScreen(probe));
  XCloseDisplay(probe);
  canvas_open(&c, 0, 0, w, h);
  const int tw = w + 600, th = h + 400;
  uint32_t* tex = make_texture(tw, th, 1);
  printf("ready\n");
  fflush(stdout);
  const double period = fps > 0 ? 1.0 / fps : 0;
  double next = now();
  for (int k = 0;; k++) {
    draw_frame(&c, tex, tw, th, k);
    canvas_show(&c);
    next += period;
    double wait = next - now();
    if (wait > 0)
      usleep((useconds_t)(wait * 1e6));
    else
      next = now();
  }
  return 0;
}

/* A pixmap holding a photo-like texture of w x h. */
static Pixmap photo_pixmap(Display* dpy, int scr, int w, int h, unsigned seed) {
  uint32_t* tex = make_texture(w, h, seed);
  XImage* img = XCreateImage(dpy, DefaultVisual(dpy, scr), DefaultDepth(dpy, scr), ZPixmap, 0, (char*)tex, w, h, 32, 0);
  Pixmap pm = XCreatePixmap(dpy, RootWindow(dpy, scr), w, h, DefaultDepth(dpy, scr));
  GC gc = XCreateGC(dpy, pm, 0, NULL);
  XPutImage(dpy, pm, gc, img, 0, 0, 0, 0, w, h);
  XFreeGC(dpy, gc);
  XDestroyImage(img);
  return pm;
}

static int photo(void) {
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) return 2;
  const int scr = DefaultScreen(dpy);
  const int sw = DisplayWidth(dpy, scr), sh = DisplayHeight(dpy, scr);
  /* The background: a photo on the root window, redrawn by the server where the moving
   * window uncovers it. */
  XSetWindowBackgroundPixmap(dpy, RootWindow(dpy, scr), photo_pixmap(dpy, scr, sw, sh, 7));
  XClearWindow(dpy, RootWindow(dpy, scr));
  const int pw = 640, ph = 480;
  Pixmap pm = photo_pixmap(dpy, scr, pw, ph, 3);
  XSetWindowAttributes a;
  a.override_redirect = True;
  a.background_pixmap = pm;
  Window win = XCreateWindow(dpy, RootWindow(dpy, scr), 0, 0, pw, ph, 0, CopyFromParent, InputOutput, CopyFromParent,
                             CWOverrideRedirect | CWBackPixmap, &a);
  XMapRaised(dpy, win);
  XSync(dpy, False);
  printf("ready\n");
  fflush(stdout);
  for (long i = 0;; i++) {
    /* A slow Lissajous path over the whole screen, about 4 px a step, 60 steps a second. */
    const double t = i / 60.0;
    const int x = (int)((sw - pw) * (0.5 + 0.5 * sin(t * 0.7)));
    const int y = (int)((sh - ph) * (0.5 + 0.5 * sin(t * 1.1 + 1)));
    XMoveWindow(dpy, win, x, y);
    XRaiseWindow(dpy, win);
    XSync(dpy, False);
    usleep(16667);
  }
  return 0;
}

static int nearest_marker(uint32_t px) {
  int best = -1;
  long bestd = 1L << 30;
  for (int i = 0; i < MARKERS; i++) {
    long d = 0;
    for (int s = 0; s < 24; s += 8) {
      long e = (long)((px >> s) & 255) - (long)((kMarkers[i] >> s) & 255);
      d += e * e;
    }
    if (d < bestd) {
      bestd = d;
      best = i;
    }
  }
  return bestd < 3 * 40 * 40 ? best : -1;
}

static int tear(int x, int y, int h, int n) {
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) return 2;
  Window root = RootWindow(dpy, DefaultScreen(dpy));
  int torn = 0, read = 0;
  for (int i = 0; i < n; i++) {
    XImage* img = XGetImage(dpy, root, x, y, 1, h, AllPlanes, ZPixmap);
    if (!img) continue;
    read++;
    /* Runs of at least 8 rows of one marker: two different markers make a torn grab. */
    int seen[MARKERS] = {0}, run = 0, last = -1, frames = 0;
    for (int r = 0; r < h; r++) {
      int m = nearest_marker((uint32_t)XGetPixel(img, 0, r) & 0xffffff);
      run = m == last ? run + 1 : 1;
      last = m;
      if (m >= 0 && run == 8 && !seen[m]) {
        seen[m] = 1;
        frames++;
      }
    }
    if (frames > 1) torn++;
    XDestroyImage(img);
    usleep(20000);
  }
  printf("torn %d of %d\n", torn, read);
  return 0;
}

static int ignore_error(Display* d, XErrorEvent* e) {
  (void)d;
  (void)e;
  return 0;
}

static int close_window(Window win) {
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) return 2;
  XSetErrorHandler(ignore_error);
  XClientMessageEvent e;
  memset(&e, 0, sizeof e);
  e.type = ClientMessage;
  e.window = win;
  e.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  e.format = 32;
  e.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  e.data.l[1] = CurrentTime;
  const double t0 = now();
  XSendEvent(dpy, win, False, NoEventMask, (XEvent*)&e);
  XFlush(dpy);
  /* Gone: unmapped or destroyed. At most 30 s. */
  while (now() - t0 < 30) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(dpy, win, &a) || a.map_state != IsViewable) {
      printf("closed %.3f\n", now() - t0);
      return 0;
    }
    usleep(2000);
  }
  printf("closed never\n");
  return 1;
}

int main(int argc, char** argv) {
  if (argc >= 2 && strcmp(argv[1], "pictures") == 0) return pictures(argc > 2 ? atof(argv[2]) : 0);
  if (argc >= 2 && strcmp(argv[1], "photo") == 0) return photo();
  if (argc >= 3 && strcmp(argv[1], "close") == 0) return close_window((Window)strtoul(argv[2], NULL, 0));
  if (argc >= 6 && strcmp(argv[1], "tear") == 0) return tear(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]));
  fprintf(stderr, "usage: xscene pictures [fps] | photo | tear X Y H N | close WINDOW\n");
  return 2;
}
