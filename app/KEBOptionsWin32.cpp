// The Windows side of the options: where the options file and the snapshot folder live,
// and the all-in-one options dialog.
#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/KEBOptions.h"
#include "app/KEBOptionsWin32.h"
#include "app/KEBviewerApp.h"
#include "resources/resource.h"

namespace {

const char kOptionsFileName[] = "options.keb";

void CopyPath(char* dst, std::size_t cap, const std::string& src) {
  std::snprintf(dst, cap, "%s", src.size() < cap ? src.c_str() : "");
}

std::string EnvironmentFolder(const char* name) {
  char value[MAX_PATH];
  DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
  return n > 0 && n < sizeof value ? std::string(value) : std::string();
}

// The file can be opened for reading and writing; created, empty, when missing.
bool CanOpenReadWrite(const std::string& path) {
  if (path.size() >= MAX_PATH) return false;
  HANDLE h = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
}


}  // namespace

std::string ProgramFolder() {
  char path[MAX_PATH];
  DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n == 0 || n >= sizeof path) return std::string();
  std::string folder(path, n);
  std::size_t slash = folder.find_last_of('\\');
  return slash == std::string::npos ? std::string() : folder.substr(0, slash);
}

std::string LocateOptionsFile(const char* programFolder) {
  std::string inProgramFolder = std::string(programFolder ? programFolder : "") + "\\" + kOptionsFileName;
  if (programFolder && *programFolder && CanOpenReadWrite(inProgramFolder)) return inProgramFolder;

  char appData[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
    std::string folder = std::string(appData) + "\\Quillmar";
    CreateDirectoryA(folder.c_str(), nullptr);  // a failure shows when the file is used
    return folder + "\\" + kOptionsFileName;
  }
  return EnvironmentFolder("TEMP") + "\\" + kOptionsFileName;
}

std::string DefaultSnapshotFolder() {
  char documents[MAX_PATH];
  if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)))
    return std::string(documents) + "\\Quillmar";
  return EnvironmentFolder("TEMP");
}

void KEBOptions::Initialise() {
  CopyPath(m_folder, sizeof m_folder, DefaultSnapshotFolder());
  if (m_folder[0]) CreateDirectoryA(m_folder, nullptr);
  CopyPath(m_optionfile, sizeof m_optionfile, LocateOptionsFile(ProgramFolder().c_str()));
  LoadOptions(m_optionfile);
}

// ---- The options dialog ----

namespace {

// The encodings that have a radio button (2000 + number). 22, 24 and 26 have none: those
// ids belong to other controls.
const int kEncodingRadios[] = {0, 2, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 25, 27, 28, 29};
const int kColourRadios[] = {IDC_COLOUR_FULL, IDC_COLOUR_256,   IDC_COLOUR_64,   IDC_COLOUR_8,
                             IDC_COLOUR_8GREY, IDC_COLOUR_4GREY, IDC_COLOUR_2GREY};
const int kScales[] = {25, 50, 75, 80, 85, 90, 95, 100, 125, 150, 200, 300, 400};

struct CheckField {
  int id;
  bool KEBOptions::*field;
};
const CheckField kChecks[] = {
    {IDC_AUTODETECT, &KEBOptions::m_autoDetect},
    {IDC_ENABLECACHE, &KEBOptions::m_EnableCache},
    {IDC_ENABLEZSTD, &KEBOptions::m_EnableZstd},
    {IDC_SWAPMOUSE, &KEBOptions::m_swapmouse},
    {IDC_BELLDEICONIFY, &KEBOptions::m_belldeiconify},
    {IDC_DISABLECLIPBOARD, &KEBOptions::m_disableclipboard},
    {IDC_SHARED, &KEBOptions::m_shared},
    {IDC_VIEWONLY, &KEBOptions::m_viewonly},
    {IDC_SHOWTOOLBAR, &KEBOptions::m_showtoolbar},
    {IDC_AUTOSCALING, &KEBOptions::m_AutoScaling},
    {IDC_AUTOSCALING_EVEN, &KEBOptions::m_AutoScalingEven},
    {IDC_FULLSCREEN, &KEBOptions::m_fullscreen},
    {IDC_SAVEPOS, &KEBOptions::m_SavePos},
    {IDC_SAVESIZE, &KEBOptions::m_SaveSize},
    {IDC_GNOME, &KEBOptions::m_GNOME},
    {IDC_DIRECTX, &KEBOptions::m_directx},
    {IDC_EMULATE3, &KEBOptions::m_emulate3},
    {IDC_JAPKEYBOARD, &KEBOptions::m_JapKeyboard},
    {IDC_COMPRESSLEVEL_USE, &KEBOptions::m_compresslevelGiven},
    {IDC_QUALITY_USE, &KEBOptions::m_qualityGiven},
    {IDC_PREEMPTIVEUPDATES, &KEBOptions::m_PreemptiveUpdates},
};

bool IsChecked(HWND dlg, int id) { return IsDlgButtonChecked(dlg, id) == BST_CHECKED; }
void SetCheck(HWND dlg, int id, bool on) { CheckDlgButton(dlg, id, on ? BST_CHECKED : BST_UNCHECKED); }

bool ReadNumber(HWND dlg, int id, int* value) {
  BOOL ok = FALSE;
  int v = static_cast<int>(GetDlgItemInt(dlg, id, &ok, TRUE));
  if (ok) *value = v;
  return ok != FALSE;
}

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// The encoding, colour, compression and quality controls follow "autoDetect".
void EnableEncodingControls(HWND dlg, const KEBOptions& o, bool autoDetect) {
  for (int e : kEncodingRadios)
    EnableWindow(GetDlgItem(dlg, IDC_ENCODING_BASE + e), o.m_use_encoding[e] && !autoDetect);
  for (int id : kColourRadios) EnableWindow(GetDlgItem(dlg, id), !autoDetect);
  for (int id : {IDC_COMPRESSLEVEL_USE, IDC_COMPRESSLEVEL, IDC_QUALITY_USE, IDC_QUALITY})
    EnableWindow(GetDlgItem(dlg, id), !autoDetect);
}

void Fill(HWND dlg, KEBOptions& o) {
  const int preferred = o.m_PreferredEncodings.empty() ? 16 : o.m_PreferredEncodings[0];
  for (int e : kEncodingRadios) SetCheck(dlg, IDC_ENCODING_BASE + e, e == preferred);
  for (int mode = 0; mode < 7; ++mode) SetCheck(dlg, kColourRadios[mode], o.m_Use8Bit == mode);

  HWND scale = GetDlgItem(dlg, IDC_SCALE_COMBO);
  for (int s : kScales) {
    char text[8];
    std::snprintf(text, sizeof text, "%d", s);
    SendMessageA(scale, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
  }
  SetDlgItemInt(dlg, IDC_SCALE_COMBO, o.m_scale_den > 0 ? o.m_scale_num * 100 / o.m_scale_den : 100, FALSE);

  SetCheck(dlg, IDC_CURSOR_REMOTE, !o.m_cursorshape);
  SetCheck(dlg, IDC_CURSOR_SHAPE, o.m_cursorshape && !o.m_noremotecursor);
  SetCheck(dlg, IDC_CURSOR_LOCAL_ONLY, o.m_cursorshape && o.m_noremotecursor);

  for (const auto& c : kChecks) SetCheck(dlg, c.id, o.*c.field);
  SetCheck(dlg, IDC_COPYRECT, o.m_use_encoding[1]);
  SetCheck(dlg, IDC_SPONSOR, g_sponsor);

  SetDlgItemInt(dlg, IDC_SERVERSCALE, o.m_ServerScale, TRUE);
  SetDlgItemInt(dlg, IDC_RECONNECT, o.m_shared ? o.m_Reconnect : 0, TRUE);
  SetDlgItemInt(dlg, IDC_AUTORECONNECT, o.m_shared ? o.m_AutoReconnect : 0, TRUE);
  SetDlgItemInt(dlg, IDC_FILETRANSFERTIMEOUT, o.m_FileTransferTimeout, TRUE);
  SetDlgItemInt(dlg, IDC_COMPRESSLEVEL, o.m_compresslevel, TRUE);
  SetDlgItemInt(dlg, IDC_QUALITY, o.m_quality, TRUE);
  SetDlgItemInt(dlg, IDC_THROTTLEMOUSE, o.m_ThrottleMouse, TRUE);
  EnableEncodingControls(dlg, o, o.m_autoDetect);
}

void Read(HWND dlg, KEBOptions& o) {
  for (int e : kEncodingRadios)
    if (IsChecked(dlg, IDC_ENCODING_BASE + e)) o.m_PreferredEncodings.assign(1, e);
  for (int mode = 0; mode < 7; ++mode)
    if (IsChecked(dlg, kColourRadios[mode])) o.m_Use8Bit = mode;

  for (const auto& c : kChecks) o.*c.field = IsChecked(dlg, c.id);
  o.m_use_encoding[1] = IsChecked(dlg, IDC_COPYRECT);
  g_sponsor = IsChecked(dlg, IDC_SPONSOR);
  if (IsChecked(dlg, IDC_CURSOR_REMOTE)) {
    o.m_cursorshape = false;
    o.m_noremotecursor = false;
  } else if (IsChecked(dlg, IDC_CURSOR_SHAPE)) {
    o.m_cursorshape = true;
    o.m_noremotecursor = false;
  } else if (IsChecked(dlg, IDC_CURSOR_LOCAL_ONLY)) {
    o.m_cursorshape = true;
    o.m_noremotecursor = true;
  }

  ReadNumber(dlg, IDC_SERVERSCALE, &o.m_ServerScale);
  int scale = 0;
  char text[16] = "";
  GetDlgItemTextA(dlg, IDC_SCALE_COMBO, text, sizeof text);
  if (std::sscanf(text, "%d", &scale) == 1 && scale > 0) {
    o.m_scale_num = scale;
    o.m_scale_den = 100;
  }
  o.m_Scaling = o.m_scale_num != o.m_scale_den;
  if (o.m_Scaling || o.m_AutoScaling) {
    o.FixScaling();
  } else {
    o.m_scale_num = o.m_scale_den = 1;
    if (o.m_ServerScale < 1 || o.m_ServerScale > 9) o.m_ServerScale = 1;
  }

  if (o.m_shared) {
    ReadNumber(dlg, IDC_RECONNECT, &o.m_Reconnect);
    ReadNumber(dlg, IDC_AUTORECONNECT, &o.m_AutoReconnect);
    if (o.m_AutoReconnect < 0) o.m_AutoReconnect = 0;
  } else {
    o.m_Reconnect = 0;
    o.m_AutoReconnect = 0;
  }
  // The same bounds as a loaded file: a transfer time-out of 1..600 s, the keep-alive below it.
  if (ReadNumber(dlg, IDC_FILETRANSFERTIMEOUT, &o.m_FileTransferTimeout))
    o.m_FileTransferTimeout = Clamp(o.m_FileTransferTimeout, 1, KEBOptions::kMaxFileTransferTimeout);
  if (o.m_KeepAliveInterval > o.m_FileTransferTimeout - 1) o.m_KeepAliveInterval = o.m_FileTransferTimeout - 1;
  if (ReadNumber(dlg, IDC_COMPRESSLEVEL, &o.m_compresslevel)) o.m_compresslevel = Clamp(o.m_compresslevel, 0, 9);
  if (ReadNumber(dlg, IDC_QUALITY, &o.m_quality)) o.m_quality = Clamp(o.m_quality, 0, 9);
  ReadNumber(dlg, IDC_THROTTLEMOUSE, &o.m_ThrottleMouse);
}

INT_PTR CALLBACK OptionsDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  KEBOptions* o = reinterpret_cast<KEBOptions*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
  switch (msg) {
    case WM_INITDIALOG: {
      o = reinterpret_cast<KEBOptions*>(lParam);
      SetWindowLongPtrA(dlg, GWLP_USERDATA, lParam);
      o->m_hDialog = dlg;
      HICON icon = LoadIconA(ResourceModuleOf(), MAKEINTRESOURCEA(IDI_MAINICON));
      if (icon) {
        SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
        SendMessageA(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      }
      SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
      o->m_use_encoding[7] = true;
      Fill(dlg, *o);
      return TRUE;
    }
    case WM_COMMAND:
      if (!o) return FALSE;
      switch (LOWORD(wParam)) {
        case IDC_AUTODETECT:
          EnableEncodingControls(dlg, *o, IsChecked(dlg, IDC_AUTODETECT));
          return TRUE;
        case IDC_ENCODING_BASE + 6:  // Zlib goes with the cache encoding
          SetCheck(dlg, IDC_ENABLECACHE, true);
          return TRUE;
        case IDC_ENCODING_BASE + 10:  // Opalo2 is full colour only
          for (int mode = 0; mode < 7; ++mode) SetCheck(dlg, kColourRadios[mode], mode == 0);
          return TRUE;
        case IDOK:
          Read(dlg, *o);
          EndDialog(dlg, IDOK);
          return TRUE;
        case IDCANCEL:
          EndDialog(dlg, IDCANCEL);
          return TRUE;
      }
      return FALSE;
    case WM_DESTROY:
      if (o) o->m_hDialog = nullptr;
      return FALSE;
  }
  return FALSE;
}

}  // namespace

int KEBOptions::DoDialog(bool running, void* parent) {
  m_running = running;
  return static_cast<int>(DialogBoxParamA(ResourceModuleOf(), MAKEINTRESOURCEA(IDD_OPTIONDIALOG),
                                          static_cast<HWND>(parent), OptionsDlgProc, reinterpret_cast<LPARAM>(this)));
}
