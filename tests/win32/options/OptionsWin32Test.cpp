// The Windows side of the options: where the options file goes, the snapshot folder, the
// profile functions behind the options file, and the options dialog driven as a person
// would (the dialog part needs a display).
#include <windows.h>
#include <shlobj.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "app/KEBOptions.h"
#include "app/KEBOptionsWin32.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/resource.h"

namespace {

std::string TempFolder(const char* name) {
  char temp[MAX_PATH];
  GetTempPathA(sizeof temp, temp);
  std::string folder = std::string(temp) + name + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  return folder;
}

std::string AppDataOptionsFile() {
  char appData[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) return "";
  return std::string(appData) + "\\Quillmar\\options.keb";
}

bool Exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

TEST(OptionsFileLocation, ProgramFolderWhenUsable) {
  std::string folder = TempFolder("keb_opt_prog_");
  std::string want = folder + "\\options.keb";
  DeleteFileA(want.c_str());
  EXPECT_EQ(LocateOptionsFile(folder.c_str()), want);
  EXPECT_TRUE(Exists(want));  // created, empty
  // An existing file is used as it is.
  HANDLE h = CreateFileA(want.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  WriteFile(h, "[options]\r\n", 11, &written, nullptr);
  CloseHandle(h);
  EXPECT_EQ(LocateOptionsFile(folder.c_str()), want);
  WIN32_FILE_ATTRIBUTE_DATA data;
  ASSERT_TRUE(GetFileAttributesExA(want.c_str(), GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 11u);
  DeleteFileA(want.c_str());
  RemoveDirectoryA(folder.c_str());
}

TEST(OptionsFileLocation, AppDataWhenTheProgramFolderIsNotUsable) {
  const std::string appData = AppDataOptionsFile();
  ASSERT_FALSE(appData.empty());

  // A folder that does not exist (and so cannot take a new file).
  std::string base = TempFolder("keb_opt_base_");
  EXPECT_EQ(LocateOptionsFile((base + "\\no\\such\\folder").c_str()), appData);
  RemoveDirectoryA(base.c_str());
  EXPECT_TRUE(Exists(appData.substr(0, appData.size() - std::strlen("\\options.keb"))));

  // "options.keb" that is a folder. (A read-only file is the other common case; Wine run
  // as root lets it be opened for writing, so it is left to the end-to-end tests.)
  std::string folder = TempFolder("keb_opt_dir_");
  std::string file = folder + "\\options.keb";
  CreateDirectoryA(file.c_str(), nullptr);
  EXPECT_EQ(LocateOptionsFile(folder.c_str()), appData);
  RemoveDirectoryA(file.c_str());
  RemoveDirectoryA(folder.c_str());
}

TEST(OptionsFileLocation, SnapshotFolderIsUnderDocuments) {
  char documents[MAX_PATH];
  ASSERT_TRUE(SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, SHGFP_TYPE_CURRENT, documents)));
  EXPECT_EQ(DefaultSnapshotFolder(), std::string(documents) + "\\Quillmar");
}

TEST(OptionsFileLocation, InitialiseLoadsTheFileItFinds) {
  // The test program's own folder is writable here, so the file goes beside it.
  const std::string file = ProgramFolder() + "\\options.keb";
  HANDLE h = CreateFileA(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  const char text[] = "[options]\r\nviewonly=1\r\nprefix=snap_\r\n";
  WriteFile(h, text, sizeof text - 1, &written, nullptr);
  CloseHandle(h);
  KEBOptions o;
  o.Initialise();
  DeleteFileA(file.c_str());
  EXPECT_EQ(std::string(o.GetOptionsFile()), file);
  EXPECT_TRUE(o.m_viewonly);
  EXPECT_STREQ(o.m_prefix, "snap_");
  EXPECT_EQ(std::string(o.m_folder), DefaultSnapshotFolder());
  EXPECT_TRUE(Exists(o.m_folder));
}

// ---- The dialog, driven from a second thread while DoDialog runs its modal loop ----

class QuietUI : public UserInterface {
public:
  void ShowMessage(const char*, const char*, MessageIcon) override { ++boxes; }
  void Quit(int) override {}
  int boxes = 0;
};

// The dialog once it is shown (it is shown after WM_INITDIALOG has filled it in).
HWND WaitForDialog() {
  for (int i = 0; i < 3000; ++i) {
    HWND w = FindWindowA("#32770", "Quillmar Remote - Connection Settings");
    if (w && IsWindowVisible(w)) return w;
    Sleep(10);
  }
  return nullptr;
}

bool HaveDisplay() {
  HWND probe = CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
  if (!probe) return false;
  DestroyWindow(probe);
  return true;
}

struct Seen {
  bool topmost = false;
  bool zlibEnabled = false, xzEnabled = false, savePosIntact = false;
  char scale[16] = "";
  UINT reconnectShown = 99;
  bool preferredChecked = false;
};

TEST(OptionsDialog, ShowsTheRecordAndWritesItBackOnOk) {
  if (!HaveDisplay()) GTEST_SKIP() << "needs a display (Xvfb)";
  LoadBuiltinUiTexts();
  QuietUI ui;
  UserInterface* old = SetUserInterface(&ui);

  KEBOptions o;
  o.m_PreferredEncodings = {16};
  o.m_use_encoding[18] = false;  // XZ not allowed: its radio is disabled
  o.m_use_encoding[22] = false;  // no radio; its id is "Save position", which must stay usable
  o.m_scale_num = 3;
  o.m_scale_den = 2;
  o.m_shared = false;
  o.m_Reconnect = 5;
  o.m_SavePos = true;

  Seen seen;
  std::thread person([&] {
    HWND dlg = WaitForDialog();
    if (!dlg) return;
    seen.topmost = (GetWindowLongA(dlg, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
    seen.zlibEnabled = IsWindowEnabled(GetDlgItem(dlg, IDC_ENCODING_BASE + 6));
    seen.xzEnabled = IsWindowEnabled(GetDlgItem(dlg, IDC_ENCODING_BASE + 18));
    seen.savePosIntact = IsWindowEnabled(GetDlgItem(dlg, IDC_SAVEPOS)) &&
                         SendDlgItemMessageA(dlg, IDC_SAVEPOS, BM_GETCHECK, 0, 0) == BST_CHECKED;
    seen.preferredChecked = SendDlgItemMessageA(dlg, IDC_ENCODING_BASE + 16, BM_GETCHECK, 0, 0) == BST_CHECKED;
    GetDlgItemTextA(dlg, IDC_SCALE_COMBO, seen.scale, sizeof seen.scale);
    seen.reconnectShown = GetDlgItemInt(dlg, IDC_RECONNECT, nullptr, FALSE);

    // Choose Zlib (which ticks the cache), 64 colours, scale 50 %, a quality of 12 and
    // view-only, then press OK.
    SendDlgItemMessageA(dlg, IDC_ENCODING_BASE + 6, BM_CLICK, 0, 0);
    SendDlgItemMessageA(dlg, IDC_COLOUR_64, BM_CLICK, 0, 0);
    SetDlgItemTextA(dlg, IDC_SCALE_COMBO, "50");
    SetDlgItemTextA(dlg, IDC_QUALITY, "12");
    SendDlgItemMessageA(dlg, IDC_VIEWONLY, BM_CLICK, 0, 0);
    SendDlgItemMessageA(dlg, IDC_SHARED, BM_CLICK, 0, 0);
    SetDlgItemTextA(dlg, IDC_RECONNECT, "4");
    SendDlgItemMessageA(dlg, IDOK, BM_CLICK, 0, 0);
  });
  int result = o.DoDialog(true, nullptr);
  person.join();
  SetUserInterface(old);

  EXPECT_EQ(result, IDOK);
  EXPECT_TRUE(o.m_running);
  EXPECT_EQ(o.m_hDialog, nullptr);
  EXPECT_TRUE(seen.topmost);
  EXPECT_TRUE(seen.zlibEnabled);
  EXPECT_FALSE(seen.xzEnabled);
  EXPECT_TRUE(seen.savePosIntact);
  EXPECT_TRUE(seen.preferredChecked);
  EXPECT_STREQ(seen.scale, "150");
  EXPECT_EQ(seen.reconnectShown, 0u);  // shown as 0 while the session is not shared

  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{6});
  EXPECT_TRUE(o.m_EnableCache);
  EXPECT_EQ(o.m_Use8Bit, 2);
  EXPECT_EQ(o.m_scale_num, 1);  // 50/100 after the scale check
  EXPECT_EQ(o.m_scale_den, 2);
  EXPECT_TRUE(o.m_Scaling);
  EXPECT_EQ(o.m_quality, 9);  // limited to 0..9
  EXPECT_TRUE(o.m_viewonly);
  EXPECT_TRUE(o.m_shared);
  EXPECT_EQ(o.m_Reconnect, 4);
  EXPECT_TRUE(o.m_SavePos);
  EXPECT_TRUE(o.m_use_encoding[7]);  // switched on when the dialog opens
  EXPECT_EQ(ui.boxes, 0);
}

TEST(OptionsDialog, CancelChangesNothing) {
  if (!HaveDisplay()) GTEST_SKIP() << "needs a display (Xvfb)";
  KEBOptions o;
  o.m_viewonly = false;
  std::thread person([] {
    HWND dlg = WaitForDialog();
    if (!dlg) return;
    SendDlgItemMessageA(dlg, IDC_VIEWONLY, BM_CLICK, 0, 0);
    SendDlgItemMessageA(dlg, IDCANCEL, BM_CLICK, 0, 0);
  });
  EXPECT_EQ(o.DoDialog(false, nullptr), IDCANCEL);
  person.join();
  EXPECT_FALSE(o.m_viewonly);
}

}  // namespace
