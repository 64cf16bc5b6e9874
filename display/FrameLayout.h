// The arithmetic of the frame window without the Windows API: the automatic scale for an
// area, which scroll bars a view needs and how far it may scroll, and where a scroll-bar
// request moves the view.
#pragma once

namespace framelayout {

// A framebuffer side after scaling by num/den ("Scaling" on); at least 1 pixel.
int ScaledSide(int side, bool scaling, int num, int den);

// How many percent of a framebuffer side fit into an area side once the window's borders
// are taken off: (area - borders) x 100 / side; 100 for a side of 0.
long long FitRatio(long long area, long long borders, long long side);

struct AutoScaleInput {
  long long widthRatio = 100;   // FitRatio across
  long long heightRatio = 100;  // FitRatio down
  int dpi = 96;                 // of the frame's monitor
  bool even = false;            // "AutoScalingEven": only 100, 200 or 300 percent
  bool limit = false;           // "AutoScalingLimit": not above the monitor's DPI scale
  bool fullScreen = false;
};
// The scale in percent for automatic scaling: the smaller ratio, limited to DPI x 100 / 96
// with "AutoScalingLimit"; with "AutoScalingEven" 300 from 300 up, 100 below 200 when the
// ratios are small (width at most 190 and height below 171), the DPI below 192 or in full
// screen, and 200 otherwise. Never below 1.
int AutoScalePercent(const AutoScaleInput& in);

// The view of a scaled framebuffer in a client area (the area as it is without scroll bars
// and below the toolbar): a scroll bar for each direction the framebuffer does not fit
// (the room the other bar takes counted), the part of the framebuffer that is visible and
// the scroll offsets kept inside [0, scaled - visible].
struct ViewFit {
  int visibleWidth = 0, visibleHeight = 0;
  bool hScroll = false, vScroll = false;
  int scrollX = 0, scrollY = 0;
};
ViewFit FitView(int clientWidth, int clientHeight, int scaledWidth, int scaledHeight, int vBarWidth,
                int hBarHeight, int scrollX, int scrollY);

// An offset kept inside [0, scaled - visible].
int ClampScroll(long long offset, int scaled, int visible);

// The scroll-bar requests of WM_HSCROLL and WM_VSCROLL (the SB_ codes).
enum ScrollRequest {
  kLineBack = 0,
  kLineForward = 1,
  kPageBack = 2,
  kPageForward = 3,
  kThumbPosition = 4,
  kThumbTrack = 5,
};
// The offset a request asks for (not yet clamped): a line is 2 pixels, a page a quarter of
// the visible size, the thumb an absolute position; other requests keep the offset.
long long ScrollTarget(int request, int offset, int visible, int thumb);

}  // namespace framelayout
