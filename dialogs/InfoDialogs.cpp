#include "dialogs/InfoDialogs.h"

#include <shellapi.h>

#include <cstdio>
#include <string>

#include "app/KEBviewerApp.h"
#include "app/UiText.h"
#include "app/Version.h"
#include "dialogs/BuildInfo.h"
#include "dialogs/DialogHelpers.h"
#include "resources/StringIds.h"
#include "resources/resource.h"

namespace {

// The product's pages.
const char kWebSite[] = "https://quillmar.example/";
const char kForum[] = "https://quillmar.example/forum/";
const char kSourceCode[] = "https://quillmar.example/source/";
const char kDownloads[] = "https://quillmar.example/downloads/";


std::string VersionText() {
  char version[64] = "";
  FormatFileVersion(version);
  return std::string(UiText(IDS_ABOUT_PREFIX)) + version;
}

void SetIcon(HWND dlg) {
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
  if (!icon) return;
  SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
}

void OpenPage(const char* url) { ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWNORMAL); }

INT_PTR CALLBACK AboutProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM) {
  switch (msg) {
    case WM_INITDIALOG:
      SetIcon(dlg);
      SetDlgItemTextA(dlg, IDC_ABOUT_VERSION, VersionText().c_str());
      SetDlgItemTextA(dlg, IDC_BUILD_TIME, BuildDateTime().c_str());
      ConvertStaticToHyperlink(dlg, IDC_ABOUT_LINK);
      return TRUE;
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_ABOUT_LINK:
          if (HIWORD(wParam) == STN_CLICKED) OpenPage(kWebSite);
          return TRUE;
        case IDOK:
        case IDCANCEL:
          EndDialog(dlg, LOWORD(wParam));
          return TRUE;
      }
      break;
  }
  return FALSE;
}

struct Report {
  const char* message;
  int number;
};

INT_PTR CALLBACK InformationProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      const Report* r = reinterpret_cast<const Report*>(lParam);
      SetIcon(dlg);
      SetDlgItemTextA(dlg, IDC_INFO_MESSAGE, r->message);
      char number[96];
      std::snprintf(number, sizeof number, UiText(IDS_ERROR_NUMBER), InformationNumber(r->message, r->number));
      SetDlgItemTextA(dlg, IDC_INFO_NUMBER, number);
      SetDlgItemTextA(dlg, IDC_INFO_VERSION, VersionText().c_str());
      SetDlgItemTextA(dlg, IDC_BUILD_TIME, BuildDateTime().c_str());
      for (int id : {IDC_INFO_FORUM, IDC_INFO_WEBSITE, IDC_INFO_SOURCE, IDC_INFO_DOWNLOADS})
        ConvertStaticToHyperlink(dlg, id);
      SetForegroundWindow(dlg);
      return TRUE;
    }
    case WM_COMMAND:
      if (HIWORD(wParam) == STN_CLICKED) {
        switch (LOWORD(wParam)) {
          case IDC_INFO_FORUM: OpenPage(kForum); return TRUE;
          case IDC_INFO_WEBSITE: OpenPage(kWebSite); return TRUE;
          case IDC_INFO_SOURCE: OpenPage(kSourceCode); return TRUE;
          case IDC_INFO_DOWNLOADS: OpenPage(kDownloads); return TRUE;
        }
      }
      if (LOWORD(wParam) == IDCANCEL || LOWORD(wParam) == IDOK) {
        EndDialog(dlg, IDCANCEL);
        return TRUE;
      }
      break;
  }
  return FALSE;
}

}  // namespace

void ShowAboutBox(HWND parent) {
  DialogBoxParamA(ResourceModuleOf(), MAKEINTRESOURCEA(IDD_ABOUT_BOX), parent, AboutProc, 0);
}

void ShowInformationDialog(const char* message, int number) {
  Report r{message ? message : "", number};
  INT_PTR shown = DialogBoxParamA(ResourceModuleOf(), MAKEINTRESOURCEA(IDD_INFORMATION), nullptr, InformationProc,
                                  reinterpret_cast<LPARAM>(&r));
  if (shown == -1 && ResourceModuleOf() != GetModuleHandleA(nullptr))
    shown = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_INFORMATION), nullptr, InformationProc,
                            reinterpret_cast<LPARAM>(&r));
  if (shown == -1) {
    // No dialog could be made (no resources): the report still reaches the user.
    char text[2300];
    std::snprintf(text, sizeof text, "%s\n\n%d", r.message, InformationNumber(r.message, number));
    MessageBoxA(nullptr, text, "Quillmar Remote - Information", MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
  }
}
