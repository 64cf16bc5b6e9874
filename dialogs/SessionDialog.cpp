#include "dialogs/SessionDialog.h"

#include <commctrl.h>
#include <commdlg.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <vector>

#include "app/IniStore.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/OptionsSys.h"
#include "app/UiText.h"
#include "app/Version.h"
#include "dialogs/ConnectionFile.h"
#include "dialogs/ConnectionFileDialogs.h"
#include "dialogs/DialogHelpers.h"
#include "dialogs/InfoDialogs.h"
#include "dialogs/MRU.h"
#include "dialogs/SessionSettings.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "security/CredentialsFile.h"
#include "security/DSMPlugin.h"
#include "security/Secret.h"
#include "security/StoredPassword.h"
#include "session/ClientConnection.h"

namespace {

using optionpages::Page;

constexpr UINT_PTR kIdleTimer = 100;
constexpr int kMaxRecentHosts = 20;
const char kMruKey[] = "Software\\WEM\\KEBviewer\\MRU";

const int kTabLabels[optionpages::kPageCount] = {IDS_TAB_ENCODERS, IDS_TAB_INPUT,  IDS_TAB_DISPLAY, IDS_TAB_MISC,
                                                 IDS_TAB_SECURITY, IDS_TAB_QUICK,  IDS_TAB_LISTEN,  IDS_TAB_CONF};


std::string DialogText(HWND dlg, int id) {
  char text[1024] = "";
  GetDlgItemTextA(dlg, id, text, sizeof text);
  return text;
}

// The controls of one option page.
class DialogControls : public PageControls {
public:
  explicit DialogControls(HWND page) : m_page(page) {}
  bool Checked(int id) override { return IsDlgButtonChecked(m_page, id) == BST_CHECKED; }
  void SetChecked(int id, bool on) override { CheckDlgButton(m_page, id, on ? BST_CHECKED : BST_UNCHECKED); }
  bool Number(int id, int* value) override {
    if (!GetDlgItem(m_page, id)) return false;
    BOOL ok = FALSE;
    const int v = static_cast<int>(GetDlgItemInt(m_page, id, &ok, TRUE));
    if (ok) *value = v;
    return ok != FALSE;
  }
  void SetNumber(int id, int value) override { SetDlgItemInt(m_page, id, static_cast<UINT>(value), TRUE); }
  std::string Text(int id) override { return DialogText(m_page, id); }
  void SetText(int id, const char* text) override {
    HWND c = GetDlgItem(m_page, id);
    if (!c) return;
    char cls[16] = "";
    GetClassNameA(c, cls, sizeof cls);
    if (lstrcmpiA(cls, "ComboBox") == 0 && (GetWindowLongA(c, GWL_STYLE) & 3) == CBS_DROPDOWNLIST) {
      const LRESULT i = SendMessageA(c, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text));
      SendMessageA(c, CB_SETCURSEL, i == CB_ERR ? static_cast<WPARAM>(-1) : static_cast<WPARAM>(i), 0);
      return;
    }
    SetWindowTextA(c, text);
  }
  void Enable(int id, bool on) override {
    HWND c = GetDlgItem(m_page, id);
    if (c) EnableWindow(c, on);
  }

private:
  HWND m_page;
};

std::string AppDataFolder() {
  char folder[MAX_PATH] = "";
  if (!SHGetSpecialFolderPathA(nullptr, folder, CSIDL_APPDATA, FALSE)) return std::string();
  return folder;
}

// The window rectangle for a client area of that size.
void AdjustForDpi(RECT* r, DWORD style, DWORD exStyle, int dpi) {
  using AdjustFn = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static auto fn =
      reinterpret_cast<AdjustFn>(GetProcAddress(GetModuleHandleA("user32.dll"), "AdjustWindowRectExForDpi"));
  if (!fn || !fn(r, style, FALSE, exStyle, static_cast<UINT>(dpi))) AdjustWindowRectEx(r, style, FALSE, exStyle);
}

RECT ChildRect(HWND dlg, HWND child) {
  RECT r = {};
  GetWindowRect(child, &r);
  MapWindowPoints(nullptr, dlg, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

// The repeater field as the options give it: "host:port" (a port below 100 as "host::port",
// which reads back as the same port).
std::string RepeaterText(const char* host, int port) {
  if (!host || !*host) return std::string();
  char text[KEBOptions::kHostCapacity + 16];
  std::snprintf(text, sizeof text, port >= 0 && port < 100 ? "%s::%d" : "%s:%d", host, port);
  return text;
}

void CopyField(char* dst, std::size_t cap, const std::string& src) { std::snprintf(dst, cap, "%s", src.c_str()); }

}  // namespace

SessionDialog::SessionDialog(KEBOptions* options, ClientConnection* connection, CDSMPlugin* plugin)
    : m_pOpt(options), m_pCC(connection), m_pDSMPlugin(plugin), m_work(*options) {
}

SessionDialog::~SessionDialog() {
  for (HWND& page : m_pages) {
    if (page && IsWindow(page)) DestroyWindow(page);
    page = nullptr;
  }
}

int SessionDialog::DoDialog() {
  m_pMRU = std::make_unique<MRU>(kMruKey, 98, m_work.m_optionfile);
  const INT_PTR r = DialogBoxParamA(ResourceModuleOf(), MAKEINTRESOURCEA(IDD_SESSION_DIALOG), nullptr, DialogProc,
                                    reinterpret_cast<LPARAM>(this));
  if (r == -1) kebLog.Print(0, "The session dialog could not be shown (%lu)\n", GetLastError());
  return r == 1 ? 1 : 0;
}

INT_PTR CALLBACK SessionDialog::DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
  SessionDialog* self = reinterpret_cast<SessionDialog*>(GetWindowLongPtrA(dlg, GWLP_USERDATA));
  switch (msg) {
    case WM_INITDIALOG:
      self = reinterpret_cast<SessionDialog*>(lParam);
      SetWindowUserData(dlg, self);
      self->InitDialog(dlg);
      return TRUE;
    case WM_COMMAND:
      if (!self) return FALSE;
      return self->OnCommand(dlg, LOWORD(wParam), HIWORD(wParam));
    case WM_NOTIFY: {
      if (!self) return FALSE;
      const NMHDR* n = reinterpret_cast<const NMHDR*>(lParam);
      if (n->idFrom != IDC_OPTION_TABS) return FALSE;
      const int tab = static_cast<int>(SendMessageA(n->hwndFrom, TCM_GETCURSEL, 0, 0));
      if (n->code == TCN_SELCHANGING && tab >= 0 && tab < optionpages::kPageCount && self->m_pages[tab]) {
        // Leaving a page keeps what it shows.
        DialogControls c(self->m_pages[tab]);
        optionpages::Read(static_cast<Page>(tab), self->m_work, c);
        ShowWindow(self->m_pages[tab], SW_HIDE);
        if (tab == optionpages::kQuick) {
          // The preset changes what other pages show.
          ClientConnection::ApplyQuickOption(self->m_work);
          self->InitAllPages(false);
        }
      } else if (n->code == TCN_SELCHANGE) {
        self->ShowPage(tab);
      }
      return FALSE;
    }
    case WM_TIMER:
      if (wParam == kIdleTimer) KillTimer(dlg, kIdleTimer);
      return TRUE;
    case WM_DESTROY:
      if (self) {
        HFONT font = reinterpret_cast<HFONT>(SendDlgItemMessageA(dlg, IDC_SESSION_TITLE, WM_GETFONT, 0, 0));
        SendDlgItemMessageA(dlg, IDC_SESSION_TITLE, WM_SETFONT, 0, FALSE);
        if (font) DeleteObject(font);
        for (HWND& page : self->m_pages) page = nullptr;  // destroyed with the dialog
        self->m_hwnd = nullptr;
      }
      return FALSE;
  }
  return FALSE;
}

void SessionDialog::InitDialog(HWND dlg) {
  m_hwnd = dlg;
  m_dpi = WindowDpi(dlg);
  char version[64] = "";
  FormatFileVersion(version);
  SetWindowTextA(dlg, (std::string(UiText(IDS_SESSION_TITLE)) + version).c_str());
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
  if (icon) {
    SendMessageA(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    SendMessageA(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  }
  HFONT title = CreateFontA(24, 0, 0, 0, FW_BOLD, FALSE, FALSE, FALSE, ANSI_CHARSET, OUT_DEFAULT_PRECIS,
                            CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, "Arial");
  if (title) SendDlgItemMessageA(dlg, IDC_SESSION_TITLE, WM_SETFONT, reinterpret_cast<WPARAM>(title), FALSE);
  SendDlgItemMessageA(dlg, IDC_HOSTNAME_EDIT, CB_LIMITTEXT, KEBOptions::kHostCapacity - 1, 0);
  SendDlgItemMessageA(dlg, IDC_REPEATER_EDIT, EM_LIMITTEXT, KEBOptions::kHostCapacity - 1, 0);
  SetForegroundWindow(dlg);
  InitHostFields(true, true);
  ShowOptionPages(dlg, m_optionsShown);
}

void SessionDialog::InitHostFields(bool useConnection, bool fillList) {
  HWND dlg = m_hwnd;
  if (fillList) FillHostList(dlg);
  if (useConnection && m_pCC && m_pCC->m_host[0])
    SetDlgItemTextA(dlg, IDC_HOSTNAME_EDIT, connfile::HostText(m_pCC->m_host, m_pCC->m_port).c_str());
  // The repeater of the settings in use (the options, or a file just read).
  m_repeaterText = RepeaterText(m_work.m_proxyhost, m_work.m_proxyport);
  SetDlgItemTextA(dlg, IDC_REPEATER_EDIT, m_repeaterText.c_str());
  m_useRepeater = m_work.m_UseProxy;
  // Not CheckRadioButton: it would also reach the pages' buttons with ids in that range.
  CheckDlgButton(dlg, IDC_DIRECT_RADIO, m_useRepeater ? BST_UNCHECKED : BST_CHECKED);
  CheckDlgButton(dlg, IDC_REPEATER_RADIO, m_useRepeater ? BST_CHECKED : BST_UNCHECKED);
  ShowConnectModeFields(dlg, m_useRepeater);
}

void SessionDialog::ShowConnectModeFields(HWND dlg, bool repeater) {
  SetDlgItemTextA(dlg, IDC_HOST_CAPTION, UiText(repeater ? IDS_ID_CAPTION : IDS_DIRECT_CAPTION));
  SetDlgItemTextA(dlg, IDC_REPEATER_CAPTION, repeater ? UiText(IDS_REPEATER_CAPTION) : "");
  HWND field = GetDlgItem(dlg, IDC_REPEATER_EDIT);
  ShowWindow(field, repeater ? SW_SHOW : SW_HIDE);
  EnableWindow(field, repeater);
}

void SessionDialog::FillHostList(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_HOSTNAME_EDIT);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  std::vector<std::string> listed;
  char item[MRU::kItemCapacity];
  for (int i = 0; i < m_pMRU->NumItems(); ++i) {
    if (m_pMRU->GetItem(i, item, sizeof item) > 0) listed.push_back(item);
  }
  std::vector<std::string> recent;
  LoadRecentHosts(CredentialsFilePath(), &recent, kMaxRecentHosts);
  for (const std::string& host : recent)
    if (!host.empty() && std::find(listed.begin(), listed.end(), host) == listed.end()) listed.push_back(host);
  for (const std::string& host : listed) SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(host.c_str()));
  if (listed.empty()) return;
  SendMessageA(combo, CB_SETCURSEL, 0, 0);
  LoadHostSettings(listed[0].c_str());
}

void SessionDialog::OnHostChosen(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_HOSTNAME_EDIT);
  const LRESULT i = SendMessageA(combo, CB_GETCURSEL, 0, 0);
  if (i == CB_ERR) return;
  const LRESULT len = SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
  if (len == CB_ERR || len >= MRU::kItemCapacity) return;
  char text[MRU::kItemCapacity] = "";
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
  m_pMRU->RemoveItem(text);
  m_pMRU->AddItem(text);
  LoadHostSettings(text);
  InitAllPages(true);
}

void SessionDialog::TakeSavedPassword(const char* hostText) {
  // The password remembered for the host the connection goes to is the connection's own:
  // it never reaches the shared options, and so never another host or a later connection.
  int flag = 0;
  char password[kPasswordBufferSize] = "";
  if (m_pCC && LoadCredentials(CredentialsFilePath(), hostText, &flag, password, sizeof password) && password[0])
    CopyField(m_pCC->m_credentials.clearPassword, sizeof m_pCC->m_credentials.clearPassword, password);
  SecureWipe(password, sizeof password);
}

std::string SessionDialog::HostSettingsFile(const char* hostText) const {
  char host[KEBOptions::kHostCapacity];
  int port = 0;
  if (!hostText || !*hostText || !ParseDisplay(hostText, host, sizeof host, &port)) return std::string();
  for (char* c = host; *c; ++c) *c = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
  return connfile::HostSettingsPath(AppDataFolder().c_str(), host, port);
}

void SessionDialog::LoadHostSettings(const char* hostText) {
  const std::string hostFile = HostSettingsFile(hostText);
  if (!hostFile.empty() && CanReadFile(hostFile.c_str()) && !m_work.m_UseOnlyDefaultConfigFile) {
    sessionsettings::ResetToDefaults(m_work);
    LoadSettingsFile(m_work.m_optionfile);
    LoadSettingsFile(hostFile.c_str());
  } else {
    LoadSettingsFile(m_work.m_optionfile);
  }
  // The command line keeps precedence over the files.
  ApplyCommandLineSwitches();
}

void SessionDialog::LoadSettingsFile(const char* file) {
  if (!file || !*file) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  sessionsettings::ReadSettings(*ini, m_work);
  m_settingsFile = file;
}

void SessionDialog::SaveSettingsFile(const char* file, bool readPages) {
  if (!file || !*file) return;
  if (readPages) {
    ReadAllPages();
    ReadHostFields();
  }
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  sessionsettings::WriteSettings(*ini, m_work, readPages ? nullptr : m_host_dialog, m_port);
}

void SessionDialog::ApplyCommandLineSwitches() { sessionsettings::ApplyCommandLineSwitches(m_work); }

bool SessionDialog::ReadHostFields() {
  HWND dlg = m_hwnd;
  m_hostText = DialogText(dlg, IDC_HOSTNAME_EDIT);
  m_repeaterText = DialogText(dlg, IDC_REPEATER_EDIT);
  m_useRepeater = IsDlgButtonChecked(dlg, IDC_REPEATER_RADIO) == BST_CHECKED;
  sessionsettings::ServerFields fields{m_hostText, m_useRepeater, m_repeaterText};
  sessionsettings::ServerAddress a;
  if (!sessionsettings::ReadServerFields(fields, &a)) return false;
  CopyField(m_host_dialog, sizeof m_host_dialog, a.host);
  m_port = a.port;
  m_fUseProxy = a.useProxy;
  m_work.m_UseProxy = a.useProxy;
  if (!a.proxyhost.empty()) {
    CopyField(m_proxyhost_dialog, sizeof m_proxyhost_dialog, a.proxyhost);
    m_proxyport = a.proxyport;
    CopyField(m_work.m_proxyhost, sizeof m_work.m_proxyhost, a.proxyhost);
    m_work.m_proxyport = a.proxyport;
  } else {
    CopyField(m_proxyhost_dialog, sizeof m_proxyhost_dialog, m_work.m_proxyhost);
    m_proxyport = m_work.m_proxyport;
  }
  return true;
}

bool SessionDialog::OnConnect(HWND dlg) {
  ReadAllPages();
  if (!ReadHostFields() || m_hostText.empty()) {
    ShowMessageTaskDialog(GetModuleHandleA(nullptr), dlg, UiText(IDS_INVALID_SERVER), UiText(IDS_ARGUMENT_ERROR),
                          MB_ICONWARNING);
    return false;
  }
  *m_pOpt = m_work;
  if (!PreparePlugin()) return false;
  TakeSavedPassword(m_hostText.c_str());

  const std::string hostFile = HostSettingsFile(m_hostText.c_str());
  if (!hostFile.empty()) {
    CreateDirectoryA((AppDataFolder() + "\\Quillmar").c_str(), nullptr);
    SaveSettingsFile(hostFile.c_str(), false);
  }
  m_pMRU->AddItem(m_hostText.c_str());
  // Recorded as a recent host; a password remembered for it stays remembered.
  int flag = 0;
  if (!LoadCredentials(CredentialsFilePath(), m_hostText.c_str(), &flag, nullptr, 0)) flag = 0;
  SaveCredentials(CredentialsFilePath(), m_hostText.c_str(), flag, "");
  EndDialog(dlg, 1);
  return true;
}

INT_PTR SessionDialog::OnCommand(HWND dlg, int id, int code) {
  switch (id) {
    case IDC_HOSTNAME_EDIT:
      if (code == CBN_SELCHANGE) OnHostChosen(dlg);
      return TRUE;
    case IDC_DIRECT_RADIO:
    case IDC_REPEATER_RADIO:
      m_useRepeater = id == IDC_REPEATER_RADIO;
      ShowConnectModeFields(dlg, m_useRepeater);
      return TRUE;
    case IDC_CONNECT:
    case IDOK:
      OnConnect(dlg);
      return TRUE;
    case IDCANCEL:
      EndDialog(dlg, 0);
      return TRUE;
    case IDC_OPTIONS_BUTTON:
      ShowOptionPages(dlg, !m_optionsShown);
      return TRUE;
    case IDC_ABOUT_BUTTON:
      ShowAboutBox(dlg);
      return TRUE;
    case IDC_LOAD_CONNECTION:
      LoadConnectionFromDialog(dlg);
      return TRUE;
    case IDC_SAVE_SETTINGS:
      ReadAllPages();
      if (m_work.m_UseOnlyDefaultConfigFile)
        m_work.SaveOptions(m_work.m_optionfile);
      else
        SaveConnectionFileAs(dlg, false);
      return TRUE;
    case IDC_SAVE_AS:
      SaveConnectionFileAs(dlg, true);
      return TRUE;
    case IDC_RESTORE_DEFAULTS:
      if (m_work.m_optionfile[0]) DeleteFileA(m_work.m_optionfile);
      SetDefaultSettings();
      return TRUE;
    case IDC_DELETE_HOST:
      DeleteSelectedHost(dlg);
      return TRUE;
  }
  SetTimer(dlg, kIdleTimer, 3000, nullptr);
  return FALSE;
}

void SessionDialog::DeleteSelectedHost(HWND dlg) {
  HWND combo = GetDlgItem(dlg, IDC_HOSTNAME_EDIT);
  const std::string text = DialogText(dlg, IDC_HOSTNAME_EDIT);
  const LRESULT i = SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>(text.c_str()));
  if (i != CB_ERR) SendMessageA(combo, CB_DELETESTRING, static_cast<WPARAM>(i), 0);
  SetWindowTextA(combo, "");
  m_pMRU->RemoveItem(text.c_str());
  const std::string hostFile = HostSettingsFile(text.c_str());
  if (!hostFile.empty()) DeleteFileA(hostFile.c_str());
  SetDefaultSettings();
}

void SessionDialog::SetDefaultSettings() {
  ReadAllPages();
  sessionsettings::ResetToDefaults(m_work);
  InitAllPages(true);
}

void SessionDialog::ShowOptionPages(HWND dlg, bool show) {
  if (show && !m_pagesCreated) CreatePages(dlg);
  m_optionsShown = show;
  HWND area = GetDlgItem(dlg, IDC_OPTION_AREA);
  const RECT areaRect = ChildRect(dlg, area);
  // Every control below the area belongs to the option part.
  for (HWND child = GetWindow(dlg, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (child == area) continue;
    const RECT r = ChildRect(dlg, child);
    if (r.top >= areaRect.bottom) EnableWindow(child, show);
  }
  ShowWindow(area, show ? SW_SHOW : SW_HIDE);

  RECT client = {};
  GetClientRect(dlg, &client);
  if (show) {
    const RECT save = ChildRect(dlg, GetDlgItem(dlg, IDC_SAVE_SETTINGS));
    const int margin = 16 * m_dpi / 96;
    client.right = save.right + margin;
    client.bottom = save.bottom + margin;
  } else {
    client.bottom = areaRect.top;
  }
  const DWORD style = static_cast<DWORD>(GetWindowLongA(dlg, GWL_STYLE));
  const DWORD exStyle = static_cast<DWORD>(GetWindowLongA(dlg, GWL_EXSTYLE));
  RECT frame = {0, 0, client.right, client.bottom};
  AdjustForDpi(&frame, style, exStyle, m_dpi);
  SetWindowPos(dlg, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void SessionDialog::CreatePages(HWND dlg) {
  HWND tabs = GetDlgItem(dlg, IDC_OPTION_TABS);
  for (int p = 0; p < optionpages::kPageCount; ++p) {
    TCITEMA item = {};
    item.mask = TCIF_TEXT;
    char label[64];
    CopyField(label, sizeof label, UiText(kTabLabels[p]));
    item.pszText = label;
    SendMessageA(tabs, TCM_INSERTITEMA, static_cast<WPARAM>(p), reinterpret_cast<LPARAM>(&item));
  }
  RECT area = ChildRect(dlg, tabs);
  SendMessageA(tabs, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  for (int p = 0; p < optionpages::kPageCount; ++p) {
    m_pages[p] = CreateDialogParamA(ResourceModuleOf(), MAKEINTRESOURCEA(optionpages::PageTemplate(static_cast<Page>(p))),
                                    dlg, PageProc, reinterpret_cast<LPARAM>(this));
    if (!m_pages[p]) continue;
    SetWindowPos(m_pages[p], HWND_TOP, area.left, area.top, area.right - area.left, area.bottom - area.top,
                 SWP_HIDEWINDOW);
  }
  m_pagesCreated = true;
  InitAllPages(false);
  SendMessageA(tabs, TCM_SETCURSEL, 0, 0);
  ShowPage(optionpages::kEncoders);
}

void SessionDialog::ShowPage(int page) {
  if (page < 0 || page >= optionpages::kPageCount || !m_pages[page]) return;
  m_currentPage = page;
  if (page == optionpages::kEncoders) {
    DialogControls c(m_pages[page]);
    optionpages::Fill(optionpages::kEncoders, m_work, c);
  }
  ShowWindow(m_pages[page], SW_SHOW);
  SetFocus(m_pages[page]);
}

void SessionDialog::InitAllPages(bool withHost) {
  for (int p = 0; p < optionpages::kPageCount; ++p) {
    if (!m_pages[p]) continue;
    DialogControls c(m_pages[p]);
    optionpages::Fill(static_cast<Page>(p), m_work, c);
  }
  if (m_pages[optionpages::kDisplay]) FillResolutionSlider(m_pages[optionpages::kDisplay]);
  if (m_pages[optionpages::kSecurity]) FillPluginList(m_pages[optionpages::kSecurity]);
  if (m_pages[optionpages::kConf]) FillConfPage(m_pages[optionpages::kConf]);
  if (withHost) InitHostFields(false, false);
}

void SessionDialog::ReadAllPages() {
  for (int p = 0; p < optionpages::kPageCount; ++p) {
    if (!m_pages[p]) continue;
    DialogControls c(m_pages[p]);
    optionpages::Read(static_cast<Page>(p), m_work, c);
  }
  HWND display = m_pages[optionpages::kDisplay];
  if (display && IsWindowEnabled(GetDlgItem(display, IDC_RESOLUTION_SLIDER)) && m_resolutionCount > 0) {
    const int i = static_cast<int>(SendDlgItemMessageA(display, IDC_RESOLUTION_SLIDER, TBM_GETPOS, 0, 0));
    if (i >= 0 && i < m_resolutionCount) {
      m_work.m_requestedWidth = m_resolutions[i][0];
      m_work.m_requestedHeight = m_resolutions[i][1];
    }
  }
  HWND security = m_pages[optionpages::kSecurity];
  if (security) {
    const std::string plugin = DialogText(security, IDC_PLUGIN_COMBO);
    if (!plugin.empty() && plugin != UiText(IDS_NO_PLUGIN)) CopyField(m_work.m_DSMPlugin, sizeof m_work.m_DSMPlugin, plugin);
  }
}

INT_PTR CALLBACK SessionDialog::PageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam) {
  SessionDialog* self = reinterpret_cast<SessionDialog*>(GetWindowLongPtrA(page, GWLP_USERDATA));
  switch (msg) {
    case WM_INITDIALOG:
      SetWindowUserData(page, reinterpret_cast<void*>(lParam));
      if (HWND info = GetDlgItem(page, IDC_INFOMSG)) SendMessageA(info, EM_LIMITTEXT, 244, 0);
      if (HWND folder = GetDlgItem(page, IDC_SNAPSHOT_FOLDER)) SendMessageA(folder, EM_LIMITTEXT, 255, 0);
      if (HWND prefix = GetDlgItem(page, IDC_SNAPSHOT_PREFIX)) SendMessageA(prefix, EM_LIMITTEXT, 55, 0);
      if (HWND scale = GetDlgItem(page, IDC_SCALE_COMBO)) {
        for (int s : optionpages::kScalePercents) {
          char text[8];
          std::snprintf(text, sizeof text, "%d", s);
          SendMessageA(scale, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
        }
      }
      if (HWND format = GetDlgItem(page, IDC_IMAGE_FORMAT))
        for (const char* f : optionpages::kImageFormats) SendMessageA(format, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(f));
      return TRUE;
    case WM_CTLCOLORDLG:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN:
      // White pages, black text on a transparent background.
      SetTextColor(reinterpret_cast<HDC>(wParam), RGB(0, 0, 0));
      SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
      return reinterpret_cast<INT_PTR>(GetStockObject(WHITE_BRUSH));
    case WM_HSCROLL:
      if (self && reinterpret_cast<HWND>(lParam) == GetDlgItem(page, IDC_RESOLUTION_SLIDER)) self->ShowResolution(page);
      return TRUE;
    case WM_COMMAND: {
      if (!self) return FALSE;
      int index = -1;
      for (int p = 0; p < optionpages::kPageCount; ++p)
        if (self->m_pages[p] == page) index = p;
      if (index < 0) return FALSE;
      const int id = LOWORD(wParam);
      if (id == IDC_PLUGIN_COMBO && HIWORD(wParam) == CBN_SELCHANGE) {
        self->EnablePluginControls(page);
        return TRUE;
      }
      if (HIWORD(wParam) != BN_CLICKED) return FALSE;
      DialogControls c(page);
      optionpages::OnCommand(static_cast<Page>(index), id, self->m_work, c);
      switch (id) {
        case IDC_SNAPSHOT_BROWSE: {
          BROWSEINFOA bi = {};
          char name[MAX_PATH] = "";
          bi.hwndOwner = page;
          bi.pszDisplayName = name;
          bi.ulFlags = BIF_RETURNONLYFSDIRS;
          PIDLIST_ABSOLUTE list = SHBrowseForFolderA(&bi);
          if (list) {
            char path[MAX_PATH] = "";
            if (SHGetPathFromIDListA(list, path) && std::strlen(path) <= 255) SetDlgItemTextA(page, IDC_SNAPSHOT_FOLDER, path);
            CoTaskMemFree(list);
          }
          break;
        }
        case IDC_USE_PLUGIN:
          self->EnablePluginControls(page);
          break;
        case IDC_PLUGIN_CONFIG:
          self->ConfigurePlugin(page);
          break;
        case IDC_START_LISTENING:
          self->StartListeningInstance();
          break;
        case IDC_ONLY_DEFAULT_CONFIG: {
          const bool only = c.Checked(IDC_ONLY_DEFAULT_CONFIG);
          self->m_work.m_UseOnlyDefaultConfigFile = only;
          self->LoadHostSettings(DialogText(self->m_hwnd, IDC_HOSTNAME_EDIT).c_str());
          self->m_work.m_UseOnlyDefaultConfigFile = only;
          self->InitAllPages(false);
          break;
        }
      }
      return TRUE;
    }
  }
  return FALSE;
}

void SessionDialog::FillResolutionSlider(HWND page) {
  // The primary display device: attached to the desktop, primary, not a mirroring driver.
  DISPLAY_DEVICEA device = {};
  device.cb = sizeof device;
  bool found = false;
  for (DWORD i = 0; EnumDisplayDevicesA(nullptr, i, &device, 0); ++i) {
    if ((device.StateFlags & DISPLAY_DEVICE_ATTACHED_TO_DESKTOP) && (device.StateFlags & DISPLAY_DEVICE_PRIMARY_DEVICE) &&
        !(device.StateFlags & DISPLAY_DEVICE_MIRRORING_DRIVER)) {
      found = true;
      break;
    }
    device.cb = sizeof device;
  }
  const char* name = found ? device.DeviceName : nullptr;
  DEVMODEA mode = {};
  mode.dmSize = sizeof mode;
  int currentW = 0, currentH = 0;
  if (EnumDisplaySettingsA(name, ENUM_CURRENT_SETTINGS, &mode) || EnumDisplaySettingsA(name, ENUM_REGISTRY_SETTINGS, &mode)) {
    currentW = static_cast<int>(mode.dmPelsWidth);
    currentH = static_cast<int>(mode.dmPelsHeight);
  }
  std::vector<std::pair<int, int>> sizes;
  for (DWORD i = 0; i < 4096; ++i) {
    DEVMODEA m = {};
    m.dmSize = sizeof m;
    if (!EnumDisplaySettingsA(name, i, &m)) break;
    if (m.dmBitsPerPel != 32) continue;
    std::pair<int, int> s(static_cast<int>(m.dmPelsWidth), static_cast<int>(m.dmPelsHeight));
    if (std::find(sizes.begin(), sizes.end(), s) == sizes.end()) sizes.push_back(s);
  }
  if (sizes.empty() && currentW > 0) sizes.emplace_back(currentW, currentH);
  std::sort(sizes.begin(), sizes.end());
  m_resolutionCount = static_cast<int>(std::min<std::size_t>(sizes.size(), 64));
  int position = 0;
  for (int i = 0; i < m_resolutionCount; ++i) {
    m_resolutions[i][0] = sizes[static_cast<std::size_t>(i)].first;
    m_resolutions[i][1] = sizes[static_cast<std::size_t>(i)].second;
    const bool requested = m_resolutions[i][0] == m_work.m_requestedWidth && m_resolutions[i][1] == m_work.m_requestedHeight;
    const bool current = m_resolutions[i][0] == currentW && m_resolutions[i][1] == currentH;
    if (requested || (current && !(m_work.m_requestedWidth > 0))) position = i;
  }
  HWND slider = GetDlgItem(page, IDC_RESOLUTION_SLIDER);
  SendMessageA(slider, TBM_SETRANGE, TRUE, MAKELPARAM(0, m_resolutionCount > 0 ? m_resolutionCount - 1 : 0));
  SendMessageA(slider, TBM_SETTICFREQ, 1, 0);
  SendMessageA(slider, TBM_SETPOS, TRUE, position);
  ShowResolution(page);
}

void SessionDialog::ShowResolution(HWND page) {
  const int i = static_cast<int>(SendDlgItemMessageA(page, IDC_RESOLUTION_SLIDER, TBM_GETPOS, 0, 0));
  char text[32] = "";
  if (i >= 0 && i < m_resolutionCount) std::snprintf(text, sizeof text, "%d x %d", m_resolutions[i][0], m_resolutions[i][1]);
  SetDlgItemTextA(page, IDC_RESOLUTION_TEXT, text);
}

void SessionDialog::FillPluginList(HWND page) {
  HWND combo = GetDlgItem(page, IDC_PLUGIN_COMBO);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  std::vector<std::string> names;
  if (m_pDSMPlugin) m_pDSMPlugin->ListPlugins(names);
  for (const std::string& name : names) SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name.c_str()));
  if (names.empty()) {
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(UiText(IDS_NO_PLUGIN)));
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
  } else {
    const LRESULT i = SendMessageA(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(m_work.m_DSMPlugin));
    SendMessageA(combo, CB_SETCURSEL, i == CB_ERR ? static_cast<WPARAM>(-1) : static_cast<WPARAM>(i), 0);
  }
  EnablePluginControls(page);
}

// The list only while the plug-in option is ticked; "Configure" while a plug-in is chosen.
void SessionDialog::EnablePluginControls(HWND page) {
  const bool use = IsDlgButtonChecked(page, IDC_USE_PLUGIN) == BST_CHECKED;
  const std::string chosen = DialogText(page, IDC_PLUGIN_COMBO);
  EnableWindow(GetDlgItem(page, IDC_PLUGIN_COMBO), use);
  EnableWindow(GetDlgItem(page, IDC_PLUGIN_CONFIG), use && !chosen.empty() && chosen != UiText(IDS_NO_PLUGIN));
}

void SessionDialog::ConfigurePlugin(HWND page) {
  const std::string chosen = DialogText(page, IDC_PLUGIN_COMBO);
  if (!m_pDSMPlugin || chosen.empty() || chosen == UiText(IDS_NO_PLUGIN)) return;
  if (!m_pDSMPlugin->IsLoaded() || m_loadedPlugin != chosen) {
    if (m_pDSMPlugin->IsLoaded()) {
      m_pDSMPlugin->SetEnabled(false);
      if (m_pCC) m_pCC->m_pluginEnabled = false;
      m_pDSMPlugin->UnloadPlugin();
    }
    if (m_pDSMPlugin->IsLoaded() || !m_pDSMPlugin->LoadPlugin(chosen.c_str(), false)) {
      ShowMessageTaskDialog(GetModuleHandleA(nullptr), page, UiText(IDS_PLUGIN_CONFIG_NOT_LOADED),
                            UiText(IDS_PLUGIN_ACTIVATION), MB_ICONWARNING);
      return;
    }
    m_loadedPlugin = chosen;
  }
  m_pDSMPlugin->Configure(page, "NoPassword,viewer", 0, nullptr);
}

bool SessionDialog::PreparePlugin() {
  if (!m_pDSMPlugin || !m_pCC) return true;
  if (!m_work.m_UseDSMPlugin) {
    if (m_pDSMPlugin->IsLoaded()) {
      m_pDSMPlugin->SetEnabled(false);
      m_pCC->m_pluginEnabled = false;
      m_pDSMPlugin->UnloadPlugin();
      m_loadedPlugin.clear();
    }
    return true;
  }
  if (m_pDSMPlugin->IsLoaded() && m_loadedPlugin == m_work.m_DSMPlugin) {
    // Loaded here for its configuration: it still has to start.
    if (!m_pDSMPlugin->IsEnabled()) {
      if (!m_pDSMPlugin->Startup()) {
        ShowMessageTaskDialog(GetModuleHandleA(nullptr), m_hwnd, UiText(IDS_PLUGIN_NOT_INITIALISED),
                              UiText(IDS_PLUGIN_LOADING), MB_ICONWARNING);
        return false;
      }
      m_pDSMPlugin->SetEnabled(true);
      m_pCC->m_pluginEnabled = true;
    }
    return true;
  }
  // Another plug-in loaded before is replaced; the connection shows why one cannot be used.
  m_pCC->LoadDSMPlugin(m_pDSMPlugin->IsLoaded());
  if (!m_pDSMPlugin->IsLoaded() || !m_pDSMPlugin->IsEnabled()) return false;
  m_loadedPlugin = m_work.m_DSMPlugin;
  return true;
}

void SessionDialog::FillConfPage(HWND page) {
  SetDlgItemTextA(page, IDC_OPTIONS_FILE_PATH, m_work.m_optionfile);
  const std::string hostFile = m_work.m_UseOnlyDefaultConfigFile ? std::string() : m_settingsFile;
  SetDlgItemTextA(page, IDC_HOST_FILE_PATH, hostFile == m_work.m_optionfile ? "" : hostFile.c_str());
}

void SessionDialog::LoadConnectionFromDialog(HWND dlg) {
  char file[kConnectionFilePathSize] = "";
  if (!AskConnectionFileToOpen(dlg, file)) return;

  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  connfile::ConnectionInfo info;
  if (!connfile::ReadConnection(*ini, &info)) {
    kebLog.Print(0, "No usable port in %s\n", file);
    return;
  }
  SetDlgItemTextA(dlg, IDC_HOSTNAME_EDIT, connfile::HostText(info.host, info.port).c_str());
  if (m_pCC) TakeStoredPassword(info, m_pCC->m_credentials);
  SecureWipe(info.password, sizeof info.password);
  LoadSettingsFile(file);
  ApplyCommandLineSwitches();
  InitAllPages(true);
}

void SessionDialog::SaveConnectionFileAs(HWND dlg, bool ask) {
  ReadAllPages();
  if (!ReadHostFields()) {
    ShowMessageTaskDialog(GetModuleHandleA(nullptr), dlg, UiText(IDS_INVALID_SERVER), UiText(IDS_ARGUMENT_ERROR),
                          MB_ICONWARNING);
    return;
  }
  const std::string folder = AppDataFolder() + "\\Quillmar";
  std::string path;
  if (ask) {
    char file[kConnectionFilePathSize];
    CopyField(file, sizeof file, connfile::DefaultFileName(m_host_dialog, m_port));
    if (!AskConnectionFileToSave(dlg, folder.c_str(), file)) return;
    path = file;
  } else {
    path = HostSettingsFile(m_hostText.c_str());
    if (path.empty()) return;
    CreateDirectoryA(folder.c_str(), nullptr);
  }
  SaveSettingsFile(path.c_str(), false);
}

void SessionDialog::StartListeningInstance() {
  ReadAllPages();
  *m_pOpt = m_work;
  if (m_pCC)
    m_pCC->SaveConnectionSettings();
  else if (!g_configSpecified)
    m_pOpt->SaveOptions(m_pOpt->GetOptionsFile());
  char exe[MAX_PATH] = "";
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n == 0 || n >= sizeof exe) return;
  std::string folder(exe);
  folder.resize(folder.find_last_of('\\') == std::string::npos ? 0 : folder.find_last_of('\\'));
  ShellExecuteA(nullptr, "open", exe, "-listen", folder.c_str(), SW_SHOWNORMAL);
  ExitProcess(1);
}
