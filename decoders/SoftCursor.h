// The remote cursor drawn by the viewer into the framebuffer bitmap, with the pixels
// under it kept so that it can be moved or lifted. Decoders declare the areas they are
// about to write (LockArea); after each rectangle the update reader puts the cursor back
// (UnlockScreen). Every operation takes the framebuffer lock (re-entrant), so the
// connection thread and the GUI thread (local pointer moves) may both use it.
#pragma once

#include <cstdint>
#include <vector>

#include "decoders/Framebuffer.h"

class SoftCursor {
public:
  explicit SoftCursor(FramebufferHost& host) : host_(host) {}
  SoftCursor(const SoftCursor&) = delete;
  SoftCursor& operator=(const SoftCursor&) = delete;

  // An area is about to be written: the locked area grows to enclose it and the cursor
  // is lifted when it overlaps the locked area.
  void LockArea(int x, int y, int w, int h);
  // After a rectangle: puts a lifted cursor back on top; the locked area ends.
  void UnlockScreen();
  // The pointer moved to (x, y) (framebuffer coordinates).
  void Move(int x, int y);

  // Replaces the shape (the old cursor is lifted first). pixels: one value per cursor
  // pixel, row by row, a pixel of `format` in its low bytes; mask: one byte per pixel,
  // non-zero = drawn. The hot spot is limited to the shape. A w or h of 0 leaves no cursor.
  void SetShape(int w, int h, int hotX, int hotY, std::vector<std::uint32_t> pixels,
                std::vector<std::uint8_t> mask, const PixelFormat& format);
  // Lifts the cursor and forgets its shape.
  void Clear();

  // The bitmap was replaced (resize or new pixel format): the pixels under the cursor are
  // gone with the old bitmap, so they are dropped without being written back. The cursor is
  // drawn again after the next rectangle or pointer move. Called by the connection while it
  // rebuilds the bitmap.
  void FramebufferRebuilt();

  // Read-only state, for the connection and tests; call with the framebuffer lock held.
  bool Present() const { return present_; }
  bool Shown() const { return present_ && shown_; }
  int X() const { return posX_; }
  int Y() const { return posY_; }
  int Width() const { return width_; }
  int Height() const { return height_; }
  int HotX() const { return hotX_; }
  int HotY() const { return hotY_; }

private:
  struct Area {
    int x = 0, y = 0, w = 0, h = 0;
  };

  Area CursorRect() const;
  Area VisiblePart(const Framebuffer& fb) const;
  bool OverlapsLockedArea() const;
  void Save(const Framebuffer& fb);
  void Restore(const Framebuffer& fb);
  void Draw(const Framebuffer& fb);
  void Lift(const Framebuffer& fb);  // restore when shown, then hidden
  void Show(const Framebuffer& fb);  // save and draw, then shown

  FramebufferHost& host_;

  bool present_ = false;
  bool shown_ = false;
  int posX_ = 0, posY_ = 0;
  int hotX_ = 0, hotY_ = 0;
  int width_ = 0, height_ = 0;

  bool lockedValid_ = false;
  Area locked_;

  std::vector<std::uint32_t> pixels_;
  PixelFormat pixelFormat_;  // format of pixels_; converted when the bitmap's differs
  std::vector<std::uint8_t> mask_;

  // What Save took: the area and the bitmap it came from. Restore writes it back only
  // into the same bitmap.
  std::vector<std::uint8_t> saveUnder_;
  bool saved_ = false;
  Area savedArea_;
  const std::uint8_t* savedBits_ = nullptr;
  int savedWidth_ = 0, savedHeight_ = 0, savedBpp_ = 0;
  std::size_t savedStride_ = 0;
};
