#include "security/HelpdeskListDialog.h"

#include <commctrl.h>

#include "app/UiText.h"
#include "dialogs/DialogHelpers.h"
#include "resources/StringIds.h"

namespace {

constexpr int kProgramIcon = 101;

int SelectedItem(HWND dlg) {
  return static_cast<int>(SendDlgItemMessageA(dlg, IDC_HELPDESK_LIST, LVM_GETNEXTITEM, static_cast<WPARAM>(-1),
                                              LVNI_SELECTED));
}

void NothingSelected(HWND dlg, const char* text) {
  ShowMessageTaskDialog(GetModuleHandleA(nullptr), dlg, text, UiText(IDS_HELPDESK_ERROR), MB_ICONINFORMATION);
}

void EndWithSelection(HWND dlg) {
  int item = SelectedItem(dlg);
  if (item < 0)
    NothingSelected(dlg, UiText(IDS_HELPDESK_NO_ITEMS));
  else
    EndDialog(dlg, item + 1);
}

}  // namespace

INT_PTR CALLBACK HelpdeskListDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      HINSTANCE exe = GetModuleHandleA(nullptr);
      HICON icon = LoadIconA(exe, MAKEINTRESOURCEA(kProgramIcon));
      SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
      SendMessageA(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
      HWND list = GetDlgItem(dlg, IDC_HELPDESK_LIST);
      SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
      LVCOLUMNA col = {};
      col.mask = LVCF_TEXT | LVCF_WIDTH;
      col.cx = 256;
      std::string title = UiText(IDS_HELPDESK_COLUMN);
      col.pszText = &title[0];
      SendMessageA(list, LVM_INSERTCOLUMNA, 0, reinterpret_cast<LPARAM>(&col));
      const auto* entries = reinterpret_cast<const std::vector<std::string>*>(lParam);
      if (entries) {
        int i = 0;
        for (const std::string& e : *entries) {
          LVITEMA item = {};
          item.mask = LVIF_TEXT;
          item.iItem = i++;
          item.pszText = const_cast<char*>(e.c_str());
          SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item));
        }
      }
      return TRUE;
    }
    case WM_NOTIFY: {
      const NMHDR* h = reinterpret_cast<const NMHDR*>(lParam);
      if (h->idFrom != IDC_HELPDESK_LIST) break;
      if (h->code == NM_DBLCLK) {
        EndWithSelection(dlg);
        return TRUE;
      }
      if (h->code == NM_CLICK && SelectedItem(dlg) < 0) {
        NothingSelected(dlg, UiText(IDS_HELPDESK_NONE_SELECTED));
        return TRUE;
      }
      if (h->code == LVN_ENDLABELEDITA) {
        SetWindowLongPtrA(dlg, DWLP_MSGRESULT, TRUE);  // keep the new label
        return TRUE;
      }
      break;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDOK: EndWithSelection(dlg); return TRUE;
        case IDCANCEL: EndDialog(dlg, 0); return TRUE;
        default: break;
      }
      break;
    case WM_CLOSE:
      EndDialog(dlg, 0);
      return TRUE;
    default:
      break;
  }
  return FALSE;
}

unsigned RunHelpdeskListDialog(HINSTANCE resources, const std::vector<std::string>& entries) {
  INITCOMMONCONTROLSEX icc = {sizeof icc, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&icc);
  INT_PTR r = DialogBoxParamA(resources, MAKEINTRESOURCEA(IDD_HELPDESK_LIST), nullptr, HelpdeskListDlgProc,
                              reinterpret_cast<LPARAM>(&entries));
  if (r < 0 && resources != GetModuleHandleA(nullptr))  // a language module without this dialog
    r = DialogBoxParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_HELPDESK_LIST), nullptr,
                        HelpdeskListDlgProc, reinterpret_cast<LPARAM>(&entries));
  return r > 0 ? static_cast<unsigned>(r) : 0u;
}
