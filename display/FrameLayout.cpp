#include "display/FrameLayout.h"

#include <algorithm>

namespace framelayout {

int ScaledSide(int side, bool scaling, int num, int den) {
  long long v = side;
  if (scaling && num > 0 && den > 0) v = v * num / den;
  return static_cast<int>(std::clamp<long long>(v, 1, 0x7FFFFFFF));
}

long long FitRatio(long long area, long long borders, long long side) {
  if (side <= 0) return 100;
  return (area - borders) * 100 / side;
}

int AutoScalePercent(const AutoScaleInput& in) {
  long long size = std::min(in.widthRatio, in.heightRatio);
  if (in.limit) size = std::min<long long>(size, static_cast<long long>(in.dpi) * 100 / 96);
  if (in.even) {
    if (size >= 300)
      size = 300;
    else if (size < 200 && ((in.widthRatio <= 190 && in.heightRatio < 171) || in.dpi < 192 || in.fullScreen))
      size = 100;
    else
      size = 200;
  }
  // An area smaller than the window's borders gives no usable scale; the smallest one
  // still draws something and never divides by zero.
  return static_cast<int>(std::clamp<long long>(size, 1, 0x7FFFFFFF));
}

int ClampScroll(long long offset, int scaled, int visible) {
  const long long most = std::max<long long>(0, static_cast<long long>(scaled) - visible);
  return static_cast<int>(std::clamp<long long>(offset, 0, most));
}

ViewFit FitView(int clientWidth, int clientHeight, int scaledWidth, int scaledHeight, int vBarWidth,
                int hBarHeight, int scrollX, int scrollY) {
  ViewFit f;
  clientWidth = std::max(clientWidth, 0);
  clientHeight = std::max(clientHeight, 0);
  f.hScroll = scaledWidth > clientWidth;
  f.vScroll = scaledHeight > clientHeight - (f.hScroll ? hBarHeight : 0);
  // The vertical bar narrows the client: now the width may no longer fit.
  if (f.vScroll && !f.hScroll) f.hScroll = scaledWidth > clientWidth - vBarWidth;
  f.visibleWidth = std::max(0, std::min(scaledWidth, clientWidth - (f.vScroll ? vBarWidth : 0)));
  f.visibleHeight = std::max(0, std::min(scaledHeight, clientHeight - (f.hScroll ? hBarHeight : 0)));
  f.scrollX = ClampScroll(scrollX, scaledWidth, f.visibleWidth);
  f.scrollY = ClampScroll(scrollY, scaledHeight, f.visibleHeight);
  return f;
}

long long ScrollTarget(int request, int offset, int visible, int thumb) {
  switch (request) {
    case kLineBack: return static_cast<long long>(offset) - 2;
    case kLineForward: return static_cast<long long>(offset) + 2;
    case kPageBack: return static_cast<long long>(offset) - visible / 4;
    case kPageForward: return static_cast<long long>(offset) + visible / 4;
    case kThumbPosition:
    case kThumbTrack: return thumb;
    default: return offset;
  }
}

}  // namespace framelayout
