// Streams recorded from real servers for the decoder benchmark. The benchmark's screens
// (desktop, windows with text, a photo) are put on each server one after the other and a
// client of our own records the FramebufferUpdates the server sends for them:
//   TigerVNC's Xvnc     the screens drawn on its root window by bench_xpainter
//   x11vnc              the same on an Xvfb, which x11vnc polls
//   libvncserver        bench_vncserver_recorder, its framebuffer set directly
// A recording is the FramebufferUpdate messages as they came, then a Bell (type 2) that
// ends it. Recordings are kept in a folder and made only when missing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "BenchStreams.h"
#include "decoders/PixelFormat.h"

namespace bench {

enum class Server { Xvnc, X11vnc, LibVncServer };
const char* ServerName(Server s);

// The session pixel format of every recording and of both decoders' framebuffers:
// 32 bits red 16 / green 8 / blue 0 (depth 24, the layout of a Windows DIB), 16 bits
// 5-6-5, 8 bits 3-3-2 (red in the low bits).
PixelFormat BenchFormat(int bytesPerPixel);

// The bits of a pixel that hold colour. A depth-24 pixel of 32 bits leaves its top byte
// unused, and decoders may leave anything there (libvncclient 0.9.14 reads each 3-byte
// ZRLE/ZYWRLE pixel as a 4-byte word, so its top byte holds stream bytes): framebuffers
// are compared under this mask.
std::uint32_t ColourMask(const PixelFormat& pf);

// Whether a framebuffer of pixels in `pf` (rows `stride` bytes apart) shows the 32-bit
// screen, under the colour mask; for the 32-bit format only (the screens are
// painted in it; the servers' conversions to fewer bits differ in rounding).
bool ShowsScreen(const std::uint8_t* pixels, std::size_t stride, const PixelFormat& pf, const Image& screen);

struct RecordingPlan {
  Server server = Server::Xvnc;
  std::string name;        // the row's name: "Raw", "Tight+JPEG", ...
  int encoding = 0;        // the one encoding offered to the server (Raw is implied)
  int quality = -1;        // JPEG / ZYWRLE quality level offered (-1: none)
  int bytesPerPixel = 4;
  bool moves = false;      // window drags (CopyRect) instead of new screens
};

// The recording of the screens for the plan, from `folder` or, when missing there, made
// now and stored. Returns false (with a reason in *why) when the server cannot be run or
// misbehaves. Several may be made at once from different threads.
bool Recorded(const RecordingPlan& plan, const std::vector<Image>& screens, const std::string& folder,
              Stream* out, std::string* why);

// The folder of the running benchmark program (its helpers and recordings are there).
std::string ProgramDir();

// Whether the recording of the plan is in `folder` already.
bool IsRecorded(const RecordingPlan& plan, const std::string& folder);

// The window drags of a moves recording after the first screen: `steps` updates of one
// move each, of a third of the screen by up to 16 pixels (every fourth along its row).
struct Move {
  int sx, sy, w, h, dx, dy;
};
std::vector<std::vector<Move>> WindowDrags(int width, int height, int steps);

}  // namespace bench
