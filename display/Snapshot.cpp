#include "display/Snapshot.h"

#include <objidl.h>
// objidl.h first: GDI+ needs its property types.
#include <gdiplus.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "app/KEBOptions.h"
#include "app/Log.h"
#include "dialogs/DialogHelpers.h"
#include "display/FramebufferDib.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"

namespace {

void CopyText(char* dst, std::size_t capacity, const char* src) {
  std::snprintf(dst, capacity, "%s", src ? src : "");
}

// The installed encoder for that MIME type.
bool FindEncoder(const char* mime, CLSID* clsid) {
  UINT count = 0, bytes = 0;
  if (Gdiplus::DllExports::GdipGetImageEncodersSize(&count, &bytes) != Gdiplus::Ok || bytes == 0) return false;
  std::vector<unsigned char> buffer(bytes);
  auto* codecs = reinterpret_cast<Gdiplus::ImageCodecInfo*>(buffer.data());
  if (Gdiplus::DllExports::GdipGetImageEncoders(count, bytes, codecs) != Gdiplus::Ok) return false;
  const std::wstring wanted(mime, mime + std::strlen(mime));
  for (UINT i = 0; i < count; i++) {
    if (codecs[i].MimeType && wanted == codecs[i].MimeType) {
      *clsid = codecs[i].Clsid;
      return true;
    }
  }
  return false;
}

std::wstring Wide(const char* text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (n <= 0) return std::wstring();
  std::wstring w(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, &w[0], n);
  w.resize(static_cast<std::size_t>(n - 1));
  return w;
}

// GDI+ for one save.
class GdiplusSession {
public:
  GdiplusSession() {
    Gdiplus::GdiplusStartupInput input;
    ok_ = Gdiplus::GdiplusStartup(&token_, &input, nullptr) == Gdiplus::Ok;
  }
  ~GdiplusSession() {
    if (ok_) Gdiplus::GdiplusShutdown(token_);
  }
  bool Ok() const { return ok_; }

private:
  ULONG_PTR token_ = 0;
  bool ok_ = false;
};

char g_browsedFolder[MAX_PATH];

}  // namespace

Snapshot::Snapshot() = default;
Snapshot::~Snapshot() = default;

bool Snapshot::SaveToFile(const HBITMAP& bitmap, const char* folder, const char* prefix, const char* extension, HWND parent,
                          std::recursive_mutex* bitmapLock) {
  CopyText(m_folder, sizeof m_folder, folder);
  CopyText(m_prefix, sizeof m_prefix, prefix);
  if (!m_folder[0] || !m_prefix[0]) {
    if (DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_SNAPSHOT_SETTINGS), parent, SettingsDlgProc,
                        reinterpret_cast<LPARAM>(this)) != 1)
      return false;
  }

  const char* mime = snapshot::EncoderMimeType(extension);
  if (!mime) {
    kebLog.Print(0, "Snapshot: no image format for \"%s\"\n", extension ? extension : "");
    return false;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local = {};
  if (const std::tm* t = std::localtime(&now)) local = *t;
  const std::string name = snapshot::FileName(m_folder, m_prefix, local, extension);
  char expanded[snapshot::kPathCapacity];
  const DWORD need = ExpandEnvironmentStringsA(name.c_str(), expanded, sizeof expanded);
  // A name that does not fit is not saved under a cut name.
  if (need == 0 || need > sizeof expanded) {
    kebLog.Print(0, "Snapshot: the file name is too long: %s\n", name.c_str());
    return false;
  }
  const std::wstring path = Wide(expanded);

  GdiplusSession gdiplus;
  if (!gdiplus.Ok()) {
    kebLog.Print(0, "Snapshot: GDI+ could not be started\n");
    return false;
  }
  CLSID encoder;
  if (!FindEncoder(mime, &encoder)) {
    kebLog.Print(0, "Snapshot: no encoder for %s\n", mime);
    return false;
  }
  Gdiplus::GpBitmap* image = nullptr;
  {
    // The picture is copied whole, never while the decoders are half-way through an update.
    std::unique_lock<std::recursive_mutex> lock;
    if (bitmapLock) lock = std::unique_lock<std::recursive_mutex>(*bitmapLock);
    if (!bitmap || Gdiplus::DllExports::GdipCreateBitmapFromHBITMAP(bitmap, nullptr, &image) != Gdiplus::Ok)
      image = nullptr;
  }
  if (!image) {
    kebLog.Print(0, "Snapshot: the framebuffer could not be read\n");
    return false;
  }
  if (std::strcmp(mime, "image/gif") == 0) {
    // The GIF encoder takes only pictures of 256 colours (Wine's refuses others): an 8-bit
    // indexed copy is saved.
    UINT w = 0, h = 0;
    Gdiplus::GpBitmap* indexed = nullptr;
    if (Gdiplus::DllExports::GdipGetImageWidth(image, &w) == Gdiplus::Ok &&
        Gdiplus::DllExports::GdipGetImageHeight(image, &h) == Gdiplus::Ok &&
        Gdiplus::DllExports::GdipCloneBitmapAreaI(0, 0, static_cast<INT>(w), static_cast<INT>(h),
                                                  PixelFormat8bppIndexed, image, &indexed) == Gdiplus::Ok &&
        indexed) {
      Gdiplus::DllExports::GdipDisposeImage(image);
      image = indexed;
    } else {
      kebLog.Print(1, "Snapshot: no 256-colour copy for the GIF file; the picture is saved as it is\n");
    }
  }
  const Gdiplus::GpStatus saved = Gdiplus::DllExports::GdipSaveImageToFile(image, path.c_str(), &encoder, nullptr);
  Gdiplus::DllExports::GdipDisposeImage(image);
  if (saved != Gdiplus::Ok) {
    kebLog.Print(0, "Snapshot: %s could not be written (%d)\n", expanded, static_cast<int>(saved));
    return false;
  }
  kebLog.Print(2, "Snapshot saved to %s\n", expanded);
  return true;
}

INT_PTR CALLBACK Snapshot::SettingsDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      SetWindowLongPtrA(dlg, GWLP_USERDATA, lParam);
      auto* self = reinterpret_cast<Snapshot*>(lParam);
      SetDlgItemTextA(dlg, IDC_SNAP_FOLDER, self->m_folder);
      SetDlgItemTextA(dlg, IDC_SNAP_PREFIX, self->m_prefix);
      SendDlgItemMessageA(dlg, IDC_SNAP_PREFIX, EM_LIMITTEXT, sizeof self->m_prefix - 1, 0);
      SetProgramIcon(dlg);
      return TRUE;
    }
    case WM_COMMAND: {
      auto* self = reinterpret_cast<Snapshot*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
      if (!self) return FALSE;
      switch (LOWORD(wParam)) {
        case IDOK: {
          char folder[257] = "", prefix[snapshot::kPrefixCapacity] = "";
          GetDlgItemTextA(dlg, IDC_SNAP_FOLDER, folder, sizeof folder);
          GetDlgItemTextA(dlg, IDC_SNAP_PREFIX, prefix, sizeof prefix);
          CopyText(self->m_folder, sizeof self->m_folder, folder);
          CopyText(self->m_prefix, sizeof self->m_prefix, prefix);
          EndDialog(dlg, 1);
          return TRUE;
        }
        case IDCANCEL: EndDialog(dlg, 0); return TRUE;
        case IDC_SNAP_BROWSE: {
          char current[257] = "";
          GetDlgItemTextA(dlg, IDC_SNAP_FOLDER, current, sizeof current);
          SetDlgItemTextA(dlg, IDC_SNAP_FOLDER, BrowseForFolder(current, dlg));
          return TRUE;
        }
      }
      return FALSE;
    }
    case WM_DESTROY: EndDialog(dlg, 0); return FALSE;
  }
  return FALSE;
}

int CALLBACK BrowseForFolderCallback(HWND hwnd, UINT msg, LPARAM, LPARAM data) {
  if (msg == BFFM_INITIALIZED) {
    const char* path = reinterpret_cast<const char*>(data);
    std::printf("path: %s\n", path);
    SendMessageA(hwnd, BFFM_SETSELECTIONA, TRUE, data);
  }
  return 0;
}

const char* BrowseForFolder(const char* initialPath, HWND owner) {
  char initial[MAX_PATH];
  CopyText(initial, sizeof initial, initialPath);
  BROWSEINFOA bi = {};
  bi.hwndOwner = owner;
  bi.lpszTitle = "Browse for folder...";
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_NEWDIALOGSTYLE;
  bi.lpfn = BrowseForFolderCallback;
  bi.lParam = reinterpret_cast<LPARAM>(initial);
  CopyText(g_browsedFolder, sizeof g_browsedFolder, initial);
  if (PIDLIST_ABSOLUTE list = SHBrowseForFolderA(&bi)) {
    char chosen[MAX_PATH] = "";
    if (SHGetPathFromIDListA(list, chosen)) CopyText(g_browsedFolder, sizeof g_browsedFolder, chosen);
    CoTaskMemFree(list);
  }
  return g_browsedFolder;
}

void ClientConnection::TakeSnapshot() {
  Snapshot shot;
  // A Direct3D surface is no GDI bitmap: its pixels are copied into one.
  HBITMAP copy = nullptr;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    if (m_directxFramebuffer) {
      copy = CopyFramebufferToDib(CurrentFramebuffer());
      if (!copy) kebLog.Print(0, "Snapshot: the Direct3D surface could not be copied\n");
    }
  }
  if (m_directxFramebuffer && !copy) return;
  shot.SaveToFile(copy ? copy : m_hBitmap, m_opts.m_folder, m_opts.m_prefix, m_opts.m_imageFormat, m_hwndMain,
                  copy ? nullptr : &m_bitmapLock);
  if (copy) DeleteObject(copy);
  CopyText(m_opts.m_folder, sizeof m_opts.m_folder, shot.Folder());
  CopyText(m_opts.m_prefix, sizeof m_opts.m_prefix, shot.Prefix());
}
