#include "display/ViewerDirectx.h"

#include "app/Log.h"

std::atomic<bool> g_viewerPainting{false};

namespace {

constexpr UINT kSdkVersion = 32;

directx::SurfaceFormat FromD3D(D3DFORMAT f) {
  switch (f) {
    case D3DFMT_X8R8G8B8: return directx::SurfaceFormat::X8R8G8B8;
    case D3DFMT_A8R8G8B8: return directx::SurfaceFormat::A8R8G8B8;
    case D3DFMT_X1R5G5B5: return directx::SurfaceFormat::X1R5G5B5;
    case D3DFMT_A1R5G5B5: return directx::SurfaceFormat::A1R5G5B5;
    case D3DFMT_R5G6B5: return directx::SurfaceFormat::R5G6B5;
    default: return directx::SurfaceFormat::Unknown;
  }
}

D3DFORMAT ToD3D(directx::SurfaceFormat f) {
  switch (f) {
    case directx::SurfaceFormat::X8R8G8B8: return D3DFMT_X8R8G8B8;
    case directx::SurfaceFormat::A8R8G8B8: return D3DFMT_A8R8G8B8;
    case directx::SurfaceFormat::X1R5G5B5: return D3DFMT_X1R5G5B5;
    case directx::SurfaceFormat::A1R5G5B5: return D3DFMT_A1R5G5B5;
    case directx::SurfaceFormat::R5G6B5: return D3DFMT_R5G6B5;
    case directx::SurfaceFormat::Unknown: break;
  }
  return D3DFMT_UNKNOWN;
}

template <typename T>
void ReleaseCom(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

ViewerDirectxClass::ViewerDirectxClass() = default;

bool ViewerDirectxClass::Loaded() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (!m_lookedForD3d9) {
    m_lookedForD3d9 = true;
    m_d3d9 = LoadLibraryA("d3d9");
    if (m_d3d9) m_create = reinterpret_cast<CreateFn>(reinterpret_cast<void*>(GetProcAddress(m_d3d9, "Direct3DCreate9")));
    if (m_d3d9 && !m_create) {
      FreeLibrary(m_d3d9);
      m_d3d9 = nullptr;
    }
  }
  return m_create != nullptr;
}

ViewerDirectxClass::~ViewerDirectxClass() {
  ReleaseDevice();
  if (m_d3d9) FreeLibrary(m_d3d9);
}

void ViewerDirectxClass::ReleaseAll() {
  ReleaseCom(m_surface);
  ReleaseCom(m_device);
  ReleaseCom(m_d3d);
  m_layout = directx::SurfaceLayout();
}

bool ViewerDirectxClass::MakeDevice(HWND viewer) {
  static const DWORD kProcessing[] = {D3DCREATE_HARDWARE_VERTEXPROCESSING, D3DCREATE_MIXED_VERTEXPROCESSING,
                                      D3DCREATE_SOFTWARE_VERTEXPROCESSING};
  for (UINT backBuffers : {2u, 1u}) {
    for (DWORD processing : kProcessing) {
      m_params.BackBufferCount = backBuffers;
      if (SUCCEEDED(m_d3d->CreateDevice(0, D3DDEVTYPE_HAL, viewer, processing, &m_params, &m_device)) && m_device)
        return true;
      m_device = nullptr;
    }
  }
  return false;
}

HRESULT ViewerDirectxClass::CreateSurface(HWND viewer, HWND frame, int width, int height, bool fullScreen,
                                          int bitsPerPixel, int redShift) {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  m_viewer = viewer;
  m_frame = frame;
  m_width = width;
  m_height = height;
  m_fullScreen = fullScreen;
  m_bitsPerPixel = bitsPerPixel;
  m_redShift = redShift;
  ReleaseAll();
  m_state = directx::SurfaceState();
  if (!Loaded() || width <= 0 || height <= 0) return E_FAIL;

  m_d3d = m_create(kSdkVersion);
  if (!m_d3d) return E_FAIL;
  D3DDISPLAYMODE mode = {};
  if (FAILED(m_d3d->GetAdapterDisplayMode(0, &mode))) {
    ReleaseAll();
    return E_FAIL;
  }
  const directx::SurfaceFormat format = directx::FormatForSession(bitsPerPixel, redShift, FromD3D(mode.Format));
  m_format = ToD3D(format);
  if (m_format == D3DFMT_UNKNOWN) {
    ReleaseAll();
    return E_FAIL;
  }

  m_params = D3DPRESENT_PARAMETERS();
  m_params.BackBufferWidth = static_cast<UINT>(width);
  m_params.BackBufferHeight = static_cast<UINT>(height);
  m_params.BackBufferFormat = m_format;
  m_params.BackBufferCount = 2;
  m_params.MultiSampleType = D3DMULTISAMPLE_NONE;
  m_params.SwapEffect = D3DSWAPEFFECT_DISCARD;
  m_params.hDeviceWindow = viewer;
  m_params.Windowed = fullScreen ? FALSE : TRUE;
  m_params.EnableAutoDepthStencil = FALSE;
  m_params.PresentationInterval = D3DPRESENT_INTERVAL_IMMEDIATE;
  if (!MakeDevice(viewer)) {
    kebLog.Print(0, "Direct3D: no device for %d x %d at %d bits per pixel\n", width, height, bitsPerPixel);
    ReleaseAll();
    return E_FAIL;
  }
  if (FAILED(m_device->CreateOffscreenPlainSurface(static_cast<UINT>(width), static_cast<UINT>(height), m_format,
                                                   D3DPOOL_SYSTEMMEM, &m_surface, nullptr)) ||
      !m_surface) {
    m_surface = nullptr;
    ReleaseAll();
    return E_FAIL;
  }
  m_layout = directx::LayoutOf(format);
  m_generation++;
  return S_OK;
}

HRESULT ViewerDirectxClass::RecreateSurface() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  return CreateSurface(m_viewer, m_frame, m_width, m_height, false, m_bitsPerPixel, m_redShift);
}

void ViewerDirectxClass::ReleaseDevice() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (m_surface && m_state.surfaceLocked && !m_state.deviceLost) m_surface->UnlockRect();
  // Whatever was locked is gone with the surface: the next update makes a new one first.
  m_state.surfaceLocked = true;
  m_state.bits = nullptr;
  ReleaseAll();
}

void* ViewerDirectxClass::LockSurface() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (!HaveDeviceAndSurface()) return nullptr;
  return directx::LockSurface(*this, m_state);
}

void* ViewerDirectxClass::LockForUpdate(void* previous) {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (!m_create) return nullptr;
  return directx::LockForUpdate(*this, m_state, previous);
}

void* ViewerDirectxClass::CurrentBits() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (!HaveDeviceAndSurface()) return nullptr;
  if (m_state.surfaceLocked && m_state.bits) return m_state.bits;
  return directx::LockSurface(*this, m_state);
}

bool ViewerDirectxClass::TakeRecreated() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  const bool recreated = m_state.recreated;
  m_state.recreated = false;
  return recreated;
}

void ViewerDirectxClass::Present() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  if (m_surface && m_state.surfaceLocked) {
    m_surface->UnlockRect();
    m_state.surfaceLocked = false;
    m_state.bits = nullptr;
  }
  if (!m_device || !m_surface) {
    RECT r;
    if (m_viewer && GetClientRect(m_viewer, &r)) {
      HDC dc = GetDC(m_viewer);
      FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
      ReleaseDC(m_viewer, dc);
    }
    return;
  }
  IDirect3DSurface9* back = nullptr;
  bool ok = SUCCEEDED(m_device->BeginScene());
  if (ok) {
    ok = SUCCEEDED(m_device->GetBackBuffer(0, 0, D3DBACKBUFFER_TYPE_MONO, &back)) && back &&
         SUCCEEDED(m_device->UpdateSurface(m_surface, nullptr, back, nullptr));
    ReleaseCom(back);
    ok = SUCCEEDED(m_device->EndScene()) && ok;
  }
  const HRESULT presented = ok ? m_device->Present(nullptr, nullptr, nullptr, nullptr) : E_FAIL;
  if (SUCCEEDED(presented))
    ValidateRect(m_viewer, nullptr);
  else
    kebLog.Print(2, "Direct3D: the surface could not be presented (0x%08lx)\n", static_cast<unsigned long>(presented));
}

unsigned ViewerDirectxClass::Generation() const {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  return m_generation;
}

void ViewerDirectxClass::Unload() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  ReleaseDevice();
  m_lookedForD3d9 = true;
  m_create = nullptr;
  if (m_d3d9) FreeLibrary(m_d3d9);
  m_d3d9 = nullptr;
}

bool ViewerDirectxClass::HiddenParts(std::vector<directx::Area>& hidden, RECT& client) {
  hidden.clear();
  if (!m_viewer || !IsWindowVisible(m_viewer) || IsIconic(m_viewer) || !GetClientRect(m_viewer, &client) ||
      IsRectEmpty(&client))
    return false;
  HWND top = GetAncestor(m_viewer, GA_ROOT);
  if (top && IsIconic(top)) return false;
  POINT origin = {0, 0};
  ClientToScreen(m_viewer, &origin);
  auto hide = [&](RECT r) {  // screen coordinates
    OffsetRect(&r, -origin.x, -origin.y);
    RECT part;
    if (IntersectRect(&part, &r, &client)) hidden.push_back({part.left, part.top, part.right, part.bottom});
  };
  // A window not wholly on the screen cannot be read at all (XGetImage refuses it).
  const RECT screen = {GetSystemMetrics(SM_XVIRTUALSCREEN), GetSystemMetrics(SM_YVIRTUALSCREEN),
                       GetSystemMetrics(SM_XVIRTUALSCREEN) + GetSystemMetrics(SM_CXVIRTUALSCREEN),
                       GetSystemMetrics(SM_YVIRTUALSCREEN) + GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  RECT shown = client, on;
  OffsetRect(&shown, origin.x, origin.y);
  if (!IntersectRect(&on, &shown, &screen) || !EqualRect(&on, &shown)) return false;
  // Every shown top-level window above it in the z-order, of any program.
  for (HWND w = top ? GetWindow(top, GW_HWNDPREV) : nullptr; w; w = GetWindow(w, GW_HWNDPREV)) {
    RECT r;
    if (IsWindowVisible(w) && !IsIconic(w) && GetWindowRect(w, &r)) hide(r);
  }
  return true;
}

bool ViewerDirectxClass::DeviceWindowCovered() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  std::vector<directx::Area> hidden;
  RECT client;
  if (!HiddenParts(hidden, client)) return true;
  // Overlapping parts count twice: the sum errs towards "covered".
  long long under = 0;
  for (const directx::Area& a : hidden) under += static_cast<long long>(a.right - a.left) * (a.bottom - a.top);
  return under * 2 > static_cast<long long>(client.right) * client.bottom;
}

directx::PresentationCheck ViewerDirectxClass::CheckPresentation() {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  directx::PresentationCheck none;
  if (!m_surface || !m_viewer) return none;
  if (GetWindowLongPtrA(m_viewer, GWL_STYLE) & WS_CHILD) {
    directx::PresentationCheck child;
    child.verdict = directx::Verdict::Differs;
    child.unreadable = true;
    return child;
  }
  std::vector<directx::Area> hidden;
  RECT client;
  if (DeviceWindowCovered() || !HiddenParts(hidden, client)) {
    directx::PresentationCheck covered;
    covered.covered = true;
    return covered;
  }
  const int w = client.right, h = client.bottom;

  // The presentation is carried out by Direct3D's own thread and reaches the screen
  // later: what was presented has gone to the window once an event issued after it is
  // signalled (at most a second).
  IDirect3DQuery9* done = nullptr;
  if (m_device && SUCCEEDED(m_device->CreateQuery(D3DQUERYTYPE_EVENT, &done)) && done) {
    done->Issue(D3DISSUE_END);
    const DWORD start = GetTickCount();
    while (done->GetData(nullptr, 0, D3DGETDATA_FLUSH) == S_FALSE && GetTickCount() - start < 1000) ::Sleep(1);
    ReleaseCom(done);
  }

  // What the window shows: its client area copied into a top-down 32-bit DIB.
  BITMAPINFO bi = {};
  bi.bmiHeader.biSize = sizeof bi.bmiHeader;
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  void* shownBits = nullptr;
  HDC windowDC = GetDC(m_viewer);
  HDC memDC = windowDC ? CreateCompatibleDC(windowDC) : nullptr;
  HBITMAP dib = memDC ? CreateDIBSection(memDC, &bi, DIB_RGB_COLORS, &shownBits, nullptr, 0) : nullptr;
  bool copied = false;
  if (dib && shownBits) {
    HGDIOBJ old = SelectObject(memDC, dib);
    copied = BitBlt(memDC, 0, 0, w, h, windowDC, 0, 0, SRCCOPY) != FALSE;
    GdiFlush();
    SelectObject(memDC, old);
  }
  directx::PresentationCheck result = none;
  if (!copied) {
    result.verdict = directx::Verdict::Differs;
    result.unreadable = true;
  } else {
    // The surface as presented: the decoders' lock when it is held, else a lock to read.
    const bool wasLocked = m_state.surfaceLocked && m_state.bits;
    D3DLOCKED_RECT locked = {};
    const void* bits = wasLocked ? m_state.bits : nullptr;
    int pitch = m_state.pitch;
    if (!wasLocked && SUCCEEDED(m_surface->LockRect(&locked, nullptr, D3DLOCK_READONLY)) && locked.pBits) {
      bits = locked.pBits;
      pitch = locked.Pitch;
    }
    if (bits && pitch > 0) {
      const directx::SurfaceImage surface{static_cast<const std::uint8_t*>(bits), m_width, m_height,
                                          static_cast<std::size_t>(pitch), m_layout};
      const directx::ShownImage shown{static_cast<const std::uint8_t*>(shownBits), w, h,
                                      static_cast<std::size_t>(w) * 4};
      result = directx::ComparePresentation(surface, shown, hidden.data(), static_cast<int>(hidden.size()));
    }
    if (!wasLocked && locked.pBits) m_surface->UnlockRect();
  }
  if (dib) DeleteObject(dib);
  if (memDC) DeleteDC(memDC);
  if (windowDC) ReleaseDC(m_viewer, windowDC);
  return result;
}

directx::SurfaceLayout ViewerDirectxClass::Layout() const {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  return m_layout;
}

int ViewerDirectxClass::Pitch() const {
  std::lock_guard<std::recursive_mutex> g(m_lock);
  return m_state.pitch;
}

directx::DirectxDevice::Cooperation ViewerDirectxClass::TestCooperativeLevel() {
  switch (m_device->TestCooperativeLevel()) {
    case D3DERR_DEVICELOST: return Cooperation::Lost;
    case D3DERR_DRIVERINTERNALERROR: return Cooperation::DriverError;
    case D3DERR_DEVICENOTRESET: return Cooperation::NotReset;
    default: return Cooperation::Ok;
  }
}

bool ViewerDirectxClass::ResetDevice() {
  if (FAILED(m_device->Reset(&m_params))) return false;
  m_generation++;
  return true;
}

void* ViewerDirectxClass::LockWholeSurface(int* pitch) {
  D3DLOCKED_RECT locked = {};
  // Not D3DLOCK_DISCARD: the decoders update the surface piece by piece, and what they
  // did not touch must stay.
  if (FAILED(m_surface->LockRect(&locked, nullptr, 0)) || !locked.pBits) return nullptr;
  *pitch = locked.Pitch;
  return locked.pBits;
}

bool ViewerDirectxClass::Recreate() {
  ReleaseDevice();
  return RecreateSurface() == S_OK;
}
