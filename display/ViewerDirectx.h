// Direct3D 9 presentation of the framebuffer (Win32): a system-memory surface that the
// decoders write into, copied to the back buffer and presented stretched to the viewer
// window. d3d9 is loaded at run time; without it, or without a device, every operation
// fails and the viewer keeps its GDI bitmap. The locking rules live in DirectxSurface.
#pragma once

#include <windows.h>

#include <d3d9.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "display/DirectxSurface.h"

// Raised by the viewer window around its painting; LockForUpdate waits for it to fall.
extern std::atomic<bool> g_viewerPainting;

class ViewerDirectxClass : private directx::DirectxDevice {
public:
  ViewerDirectxClass();
  virtual ~ViewerDirectxClass();
  ViewerDirectxClass(const ViewerDirectxClass&) = delete;
  ViewerDirectxClass& operator=(const ViewerDirectxClass&) = delete;

  // Device and surface of width x height for the viewer window, in the format a session of
  // bitsPerPixel with that red shift can live in. 0 (S_OK) or E_FAIL.
  HRESULT CreateSurface(HWND viewer, HWND frame, int width, int height, bool fullScreen, int bitsPerPixel,
                        int redShift);
  // CreateSurface with the values of the last creation, windowed.
  HRESULT RecreateSurface();
  // Unlocks (unless the device is lost) and releases surface, device and Direct3D object.
  void ReleaseDevice();
  // One attempt to lock the whole surface; its bits or null.
  void* LockSurface();
  // Before an update is decoded: the bits to write into, or null (see directx::LockForUpdate).
  void* LockForUpdate(void* previous);
  // The bits of the locked surface, locked once more when a presentation unlocked it;
  // null when there is no surface or it will not lock now. Never waits for painting.
  void* CurrentBits();
  // Device and surface were made anew since the last call (their contents are gone).
  bool TakeRecreated();
  // Unlocks the surface and presents it; without a device the viewer window is painted black.
  void Present();
  // Reads back what the device window shows and compares it with the surface. A window
  // whose picture cannot be read shows nothing that can be vouched for: Differs. A child
  // device window is never read (its picture may never reach the screen, and reading it
  // back right after a presentation can hang inside the platform): unreadable, Differs.
  // Where other windows lie over it, it is not judged; a device window that can hardly be
  // seen (or not wholly on the screen) is not read at all: covered, Inconclusive.
  directx::PresentationCheck CheckPresentation();
  // Whether the device window's picture can hardly be seen: hidden, minimised, not wholly
  // on the screen, or more than half of it under other windows.
  bool DeviceWindowCovered();
  // Counts the devices made (CreateSurface) and reset: a picture checked on one device
  // says nothing about the next.
  unsigned Generation() const;
  // Releases device and surface and frees d3d9 for good: Loaded() is false from then on.
  void Unload();

  // d3d9 and its entry were found. Looked for at the first call: a viewer that never
  // presents through Direct3D does not carry d3d9 and its OpenGL libraries.
  bool Loaded();
  // The layout of the surface made last (bitsPerPixel 0 when none).
  directx::SurfaceLayout Layout() const;
  // Bytes per row of the last lock.
  int Pitch() const;

private:
  using CreateFn = IDirect3D9*(WINAPI*)(UINT);

  // directx::DirectxDevice
  Cooperation TestCooperativeLevel() override;
  bool ResetDevice() override;
  void* LockWholeSurface(int* pitch) override;
  bool HaveDeviceAndSurface() override { return m_device && m_surface; }
  bool Recreate() override;
  bool Painting() override { return g_viewerPainting.load(); }
  void Sleep(int ms) override { ::Sleep(static_cast<DWORD>(ms)); }

  void ReleaseAll();
  // The parts of the device window's client area (client coordinates) that other windows
  // lie over; false when it cannot be read at all (hidden, minimised, not wholly on the
  // screen).
  bool HiddenParts(std::vector<directx::Area>& hidden, RECT& client);
  bool MakeDevice(HWND viewer);

  mutable std::recursive_mutex m_lock;
  bool m_lookedForD3d9 = false;
  unsigned m_generation = 0;
  HMODULE m_d3d9 = nullptr;
  CreateFn m_create = nullptr;
  IDirect3D9* m_d3d = nullptr;
  IDirect3DDevice9* m_device = nullptr;
  IDirect3DSurface9* m_surface = nullptr;
  D3DPRESENT_PARAMETERS m_params = {};
  HWND m_viewer = nullptr, m_frame = nullptr;
  int m_width = 0, m_height = 0, m_bitsPerPixel = 0, m_redShift = 0;
  bool m_fullScreen = false;
  D3DFORMAT m_format = D3DFMT_UNKNOWN;
  directx::SurfaceLayout m_layout;
  directx::SurfaceState m_state;
};
