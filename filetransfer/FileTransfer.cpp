// The file-transfer window (see FileTransfer.h) and the connection's side of it: the
// frame window's packet message, the system-menu command, holding back updates and input.
#include "filetransfer/FileTransfer.h"
#include "filetransfer/FileTransferSort.h"

#include <commctrl.h>
#include <shellapi.h>
#include <shlobj.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/DialogHelpers.h"
#include "display/ViewerMessages.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"
#include "zip/ZipFileSystem.h"

namespace {

constexpr UINT kRunQueued = WM_APP + 20;  // work queued by another thread
constexpr UINT_PTR kKeepAliveTimer = 100;
constexpr UINT_PTR kAccessProbeTimer = 3333;
constexpr std::size_t kMaxStatus = 768;
constexpr int kMaxHistory = 500;  // history lines kept; the oldest go first

FileTransfer* TransferOf(HWND dialog) { return reinterpret_cast<FileTransfer*>(GetWindowLongPtrA(dialog, DWLP_USER)); }

// The module with the dialog template: the language module, or the program's own when
// the language module lacks it.
HINSTANCE DialogModule(KEBviewerApp* app, int id) {
  HINSTANCE module = ResourceModuleOf(app);
  if (!FindResourceA(module, MAKEINTRESOURCEA(id), reinterpret_cast<LPCSTR>(RT_DIALOG)))
    module = GetModuleHandleA(nullptr);
  return module;
}

std::string ItemText(HWND list, int item) {
  char buf[MAX_PATH + 8] = {};
  LVITEMA it{};
  it.iSubItem = 0;
  it.pszText = buf;
  it.cchTextMax = sizeof buf;
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
  return buf;
}

int AddItem(HWND list, const std::string& name, const std::string& size, const std::string& date, int image) {
  LVITEMA it{};
  it.mask = LVIF_TEXT | LVIF_IMAGE;
  it.iItem = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  it.pszText = const_cast<char*>(name.c_str());
  it.iImage = image;
  const int at = static_cast<int>(SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&it)));
  if (at < 0) return at;
  LVITEMA sub{};
  sub.iSubItem = 1;
  sub.pszText = const_cast<char*>(size.c_str());
  SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&sub));
  sub.iSubItem = 2;
  sub.pszText = const_cast<char*>(date.c_str());
  SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(at), reinterpret_cast<LPARAM>(&sub));
  return at;
}

// A file time as local "MM/DD/YYYY HH:MM".
std::string LocalDateText(std::uint64_t fileTime) {
  FILETIME utc{static_cast<DWORD>(fileTime), static_cast<DWORD>(fileTime >> 32)}, local{};
  SYSTEMTIME st{};
  if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return "";
  ft::DateFields d;
  d.month = st.wMonth;
  d.day = st.wDay;
  d.year = st.wYear;
  d.hour = st.wHour;
  d.minute = st.wMinute;
  return ft::FormatDateText(d);
}

std::vector<std::string> SelectedEntries(HWND list) {
  std::vector<std::string> out;
  int i = -1;
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int guard = 0; guard < count; ++guard) {
    i = static_cast<int>(SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(i), LVNI_SELECTED));
    if (i < 0) break;
    std::string t = ItemText(list, i);
    if (t != ft::Bracketed("..")) out.push_back(t);
  }
  return out;
}

// Selects the entries with these names (the selection before a list was filled again).
void SelectByNames(HWND list, const std::vector<std::string>& names) {
  if (names.empty()) return;
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i) {
    if (std::find(names.begin(), names.end(), ItemText(list, i)) == names.end()) continue;
    LVITEMA it{};
    it.stateMask = LVIS_SELECTED;
    it.state = LVIS_SELECTED;
    SendMessageA(list, LVM_SETITEMSTATE, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(&it));
  }
}

std::string CountLine(int n, int textId) {
  char buf[160];
  std::snprintf(buf, sizeof buf, " > %d %s", n, UiText(textId));
  return buf;
}

// The folder a special-folder entry of the local drive list stands for.
std::string SpecialFolder(const std::string& entry) {
  int csidl = -1;
  if (entry == ft::Bracketed(UiText(IDS_FT_MY_DOCUMENTS))) csidl = CSIDL_PERSONAL;
  else if (entry == ft::Bracketed(UiText(IDS_FT_DESKTOP))) csidl = CSIDL_DESKTOPDIRECTORY;
  else if (entry == ft::Bracketed(UiText(IDS_FT_NETWORK_FAVORITES))) csidl = CSIDL_NETHOOD;
  if (csidl < 0) return "";
  char path[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathA(nullptr, csidl, nullptr, 0, path)) || !path[0]) return "";
  std::string s = path;
  if (s.back() != '\\') s += '\\';
  return s;
}

const char* DriveTypeText(UINT type) {
  switch (type) {
    case DRIVE_REMOVABLE: return UiText(IDS_FT_DRIVE_REMOVABLE);
    case DRIVE_FIXED: return UiText(IDS_FT_DRIVE_LOCAL);
    case DRIVE_REMOTE: return UiText(IDS_FT_DRIVE_NETWORK);
    case DRIVE_CDROM: return UiText(IDS_FT_DRIVE_CDROM);
    default: return UiText(IDS_FT_DRIVE_UNKNOWN);
  }
}

// "[ C: ] - Local Disk" -> "[ C: ]".
std::string ComboEntry(HWND combo) {
  const int sel = static_cast<int>(SendMessageA(combo, CB_GETCURSEL, 0, 0));
  if (sel < 0) return "";
  const int n = static_cast<int>(SendMessageA(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(sel), 0));
  if (n <= 0 || n > 1024) return "";
  std::string s(static_cast<std::size_t>(n) + 1, '\0');
  SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(sel), reinterpret_cast<LPARAM>(&s[0]));
  s.resize(std::strlen(s.c_str()));
  const std::size_t dash = s.find(" ] - ");
  if (dash != std::string::npos) s.resize(dash + 2);
  return s;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Object

FileTransfer::FileTransfer(KEBviewerApp* app, ClientConnection* connection)
    : FileTransferProtocol(*connection, ZipSystemFileSystem()), m_pApp(app), m_pCC(connection) {
  m_hRichEdit = LoadLibraryA("RICHED32.DLL");
}

FileTransfer::~FileTransfer() {
  m_stop = true;
  bool childrenLeft = false;
  if (HWND dlg = m_hDlg.exchange(nullptr)) {
    // The dialog goes when its modal loop ends, after this object: it must not reach it,
    // and the controls that use this object's image list and rich-edit library go now.
    SetWindowLongPtrA(dlg, DWLP_USER, 0);
    EndDialog(dlg, 0);
    for (int id : {IDC_FT_LOCAL_PATH, IDC_FT_REMOTE_PATH, IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST})
      if (HWND child = GetDlgItem(dlg, id)) childrenLeft |= !DestroyWindow(child);
  }
  m_timerRunning = false;
  if (m_timerThread.joinable()) {
    if (m_timerThread.get_id() == std::this_thread::get_id()) m_timerThread.detach();
    else m_timerThread.join();
  }
  if (childrenLeft) return;  // (another thread's window: both are left to the process's end)
  if (m_images) ImageList_Destroy(m_images);
  if (m_hRichEdit) FreeLibrary(m_hRichEdit);
}

UINT FileTransfer::PacketMessage() {
  static const UINT msg = RegisterWindowMessageA("Brandwyn.Viewer.FileTransferSendPacketMessage");
  return msg;
}

void FileTransfer::DoDialog() {
  if (m_hDlg.load()) {
    ShowFileTransferWindow(true);
    return;
  }
  HINSTANCE module = DialogModule(m_pApp, IDD_FILETRANSFER);
  if (DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_FILETRANSFER), nullptr, DialogProc,
                      reinterpret_cast<LPARAM>(this)) == -1)
    kebLog.Print(0, "The file-transfer window cannot be opened (%lu)\n", GetLastError());
  // Nothing of this object is used from here on: the connection (and this object with it)
  // may have gone while the window was open.
}

bool FileTransfer::WindowShown() const {
  HWND dlg = m_hDlg.load();
  return dlg && IsWindowVisible(dlg) && !IsIconic(dlg);
}

bool FileTransfer::WindowMinimisedOrHidden() { return !WindowShown(); }

void FileTransfer::ShowFileTransferWindow(bool show) {
  HWND dlg = m_hDlg.load();
  if (!dlg) return;
  if (!show) {
    const bool wasShown = !IsIconic(dlg);
    ShowWindow(dlg, SW_MINIMIZE);
    if (wasShown) m_pCC->PostNewFormatRequest();
    return;
  }
  ShowWindow(dlg, SW_RESTORE);
  SetForegroundWindow(dlg);
  if (m_pCC->IsFullScreen()) SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

bool FileTransfer::IsGuiThread() const { return m_guiThread == 0 || GetCurrentThreadId() == m_guiThread; }

void FileTransfer::OnGuiThread(std::function<void()> fn) {
  HWND dlg = m_hDlg.load();
  if (!dlg) return;
  if (IsGuiThread()) {
    fn();
    return;
  }
  {
    std::lock_guard<std::mutex> g(m_queueLock);
    m_queue.push_back(std::move(fn));
  }
  PostMessageA(dlg, kRunQueued, 0, 0);
}

void FileTransfer::RunQueued() {
  std::vector<std::function<void()>> work;
  {
    std::lock_guard<std::mutex> g(m_queueLock);
    work.swap(m_queue);
  }
  for (auto& fn : work) fn();
}

// ---------------------------------------------------------------------------------------
// What the protocol shows

void FileTransfer::SetStatus(const std::string& text) {
  std::string line = text.substr(0, kMaxStatus);
  OnGuiThread([this, line] {
    if (m_hStatusBar) SendMessageA(m_hStatusBar, SB_SETTEXTA, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SYSTEMTIME st{};
    GetLocalTime(&st);
    char entry[kMaxStatus + 64];
    std::snprintf(entry, sizeof entry, " > %02d/%02d/%02d %02d:%02d:%02d - %s", st.wMonth, st.wDay, st.wYear % 100,
                  st.wHour, st.wMinute, st.wSecond, line.c_str());
    HWND history = Item(IDC_FT_HISTORY);
    if (SendMessageA(history, CB_GETCOUNT, 0, 0) >= kMaxHistory) SendMessageA(history, CB_DELETESTRING, 0, 0);
    const LRESULT at = SendMessageA(history, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry));
    SendMessageA(history, CB_SETCURSEL, static_cast<WPARAM>(at), 0);
    HDC dc = GetDC(history);
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(history, WM_GETFONT, 0, 0)));
    SIZE sz{};
    GetTextExtentPoint32A(dc, entry, static_cast<int>(std::strlen(entry)), &sz);
    SelectObject(dc, old);
    ReleaseDC(history, dc);
    if (sz.cx > static_cast<LONG>(SendMessageA(history, CB_GETHORIZONTALEXTENT, 0, 0)))
      SendMessageA(history, CB_SETHORIZONTALEXTENT, static_cast<WPARAM>(sz.cx + 8), 0);
  });
}

void FileTransfer::ShowFileNumber(int number, int count) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "File %d/%d", number, count);
  std::string s = buf;
  OnGuiThread([this, s] { SetDlgItemTextA(m_hDlg.load(), IDC_FT_FILE_NUMBER, s.c_str()); });
}

void FileTransfer::ShowProgress(std::uint64_t done, std::uint64_t total) {
  const std::uint32_t block = BlockSize();
  const int pos = static_cast<int>(ft::ProgressPosition(done, total, block));
  const int percent = ft::ProgressPercent(done, total, block);
  const std::uint64_t now = TickMs();
  if (done == 0) m_progressStartMs = now;
  const double kb = static_cast<double>(done) / 1024.0;
  const double seconds = static_cast<double>(now - m_progressStartMs) / 1000.0;
  const double rate = seconds > 0 ? kb / seconds : kb;
  OnGuiThread([this, pos, percent, done, kb, rate, block] {
    HWND dlg = m_hDlg.load();
    SendDlgItemMessageA(dlg, IDC_FT_PROGRESS, PBM_SETRANGE32, 0, static_cast<LPARAM>(block));
    SendDlgItemMessageA(dlg, IDC_FT_PROGRESS, PBM_SETPOS, static_cast<WPARAM>(pos), 0);
    if (done == 0) m_lastPercent = -1;
    if (percent == m_lastPercent) return;
    m_lastPercent = percent;
    char buf[96];
    std::snprintf(buf, sizeof buf, "%d%% (%4.0f kb @ ~%4.0f kb/s)", percent, kb, rate);
    SetDlgItemTextA(dlg, IDC_FT_PERCENT, buf);
  });
}

void FileTransfer::ShowRemoteFolder(const std::string& folder) {
  OnGuiThread([this, folder] {
    SetFolderField(IDC_FT_REMOTE_PATH, folder);
    UpdateButtons();
  });
}

void FileTransfer::ClearRemoteList() {
  OnGuiThread([this] {
    m_remoteSelection = SelectedEntries(Item(IDC_FT_REMOTE_LIST));
    SendDlgItemMessageA(m_hDlg.load(), IDC_FT_REMOTE_LIST, LVM_DELETEALLITEMS, 0, 0);
  });
}

void FileTransfer::AddRemoteEntry(const ft::RemoteEntry& e) {
  if (e.name == ".") return;
  ft::RemoteEntry entry = e;
  OnGuiThread([this, entry] {
    HWND list = Item(IDC_FT_REMOTE_LIST);
    if (entry.IsDirectory())
      AddItem(list, ft::Bracketed(entry.name), UiText(IDS_FT_FOLDER), "", 0);
    else
      AddItem(list, entry.name, ft::FormatSizeText(entry.size), LocalDateText(entry.writeTime), 1);
  });
}

void FileTransfer::ShowRemoteDrives(const std::vector<DriveItem>& drives) {
  std::vector<DriveItem> copy = drives;
  OnGuiThread([this, copy] {
    HWND list = Item(IDC_FT_REMOTE_LIST), combo = Item(IDC_FT_REMOTE_DRIVES);
    SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
    SendMessageA(combo, CB_RESETCONTENT, 0, 0);
    for (const DriveItem& d : copy) {
      const std::string entry = ft::Bracketed(d.name);
      AddItem(list, entry, d.typeText ? d.typeText : "", "", d.typeText ? 2 : 0);
      const std::string text = d.typeText ? entry + " - " + d.typeText : entry;
      SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
    SendMessageA(combo, CB_SETCURSEL, 0, 0);
  });
}

void FileTransfer::RemoteListingDone(int count) {
  OnGuiThread([this] {
    SelectByNames(Item(IDC_FT_REMOTE_LIST), m_remoteSelection);
    m_remoteSelection.clear();
    if (!Transferring()) LeaveTransferMode();
    UpdateButtons();
  });
}

void FileTransfer::ShowRemoteCount(const std::string& text) {
  OnGuiThread([this, text] { SetDlgItemTextA(m_hDlg.load(), IDC_FT_REMOTE_COUNT, text.c_str()); });
}

void FileTransfer::AccessRefused() {
  OnGuiThread([this] {
    HWND dlg = m_hDlg.load();
    SendDlgItemMessageA(dlg, IDC_FT_REMOTE_DRIVES, CB_RESETCONTENT, 0, 0);
    SendDlgItemMessageA(dlg, IDC_FT_REMOTE_LIST, LVM_DELETEALLITEMS, 0, 0);
    SetFolderField(IDC_FT_REMOTE_PATH, "");
    SetDlgItemTextA(dlg, IDC_FT_REMOTE_COUNT, "");
    for (int id : {IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST, IDC_FT_LOCAL_DRIVES, IDC_FT_REMOTE_DRIVES, IDC_FT_LOCAL_ROOT,
                   IDC_FT_LOCAL_UP, IDC_FT_REMOTE_ROOT, IDC_FT_REMOTE_UP, IDC_FT_SEND, IDC_FT_RECEIVE, IDC_FT_DELETE,
                   IDC_FT_NEW_FOLDER, IDC_FT_RENAME})
      EnableWindow(Item(id), FALSE);
    ShowWindow(Item(IDCANCEL), SW_SHOW);
    ShowWindow(Item(IDC_FT_FORCED_CLOSE), SW_SHOW);
  });
}

void FileTransfer::ShowStopButtons(bool shown) {
  OnGuiThread([this, shown] {
    ShowWindow(Item(IDC_FT_STOP), shown ? SW_SHOW : SW_HIDE);
    ShowWindow(Item(IDC_FT_FORCED_STOP), shown ? SW_SHOW : SW_HIDE);
  });
}

void FileTransfer::BatchDone(bool upload, bool interrupted) {
  OnGuiThread([this, upload] {
    LVITEMA none{};
    none.stateMask = LVIS_SELECTED;
    for (int id : {IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST})
      SendDlgItemMessageA(m_hDlg.load(), id, LVM_SETITEMSTATE, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(&none));
    if (!upload) ListLocalFolder();
    ShowFileTransferWindow(true);
    LeaveTransferMode();
  });
}

void FileTransfer::PumpMessages() {
  HWND dlg = m_hDlg.load();
  if (!dlg || !IsGuiThread()) return;
  MSG msg;
  for (int guard = 0; guard < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++guard) {
    if (!IsDialogMessageA(dlg, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageA(&msg);
    }
    if (msg.message == WM_CLOSE) break;
  }
}

// ---------------------------------------------------------------------------------------
// Platform

void FileTransfer::SetRecvTimeout(int ms) { m_pCC->SetRecvTimeout(ms); }
void FileTransfer::SetSendTimeout(int ms) { m_pCC->SetSendTimeout(ms); }

void FileTransfer::PostKeepAlive() {
  if (m_pCC->m_hwndcn) PostMessageA(m_pCC->m_hwndcn, WM_SENDKEEPALIVE, 0, 0);
}

bool FileTransfer::FreeDiskSpace(const std::string& root, std::uint64_t* freeBytes) {
  using GetFree = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  HMODULE kernel = GetModuleHandleA("kernel32.dll");
  auto fn = kernel ? reinterpret_cast<GetFree>(reinterpret_cast<void*>(GetProcAddress(kernel, "GetDiskFreeSpaceExA")))
                   : nullptr;
  if (!fn) return false;
  ULARGE_INTEGER avail{}, total{}, free{};
  if (!fn(root.c_str(), &avail, &total, &free)) return false;
  *freeBytes = avail.QuadPart;
  return true;
}

void FileTransfer::StartUploadTimer() {
  if (m_timerRunning) return;
  if (m_timerThread.joinable()) m_timerThread.join();
  m_timerRunning = true;
  m_timerThread = std::thread([this] {
    while (m_timerRunning) {
      UploadTimerTick();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
}

void FileTransfer::StopUploadTimer() {
  m_timerRunning = false;
  if (m_timerThread.joinable() && m_timerThread.get_id() != std::this_thread::get_id()) m_timerThread.join();
}

// ---------------------------------------------------------------------------------------
// The dialog

INT_PTR CALLBACK FileTransfer::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  FileTransfer* self = msg == WM_INITDIALOG ? reinterpret_cast<FileTransfer*>(lParam) : TransferOf(hwnd);
  if (!self) return FALSE;
  try {
    return self->OnMessage(hwnd, msg, wParam, lParam);
  } catch (const rdr::Exception& e) {
    kebLog.Print(0, "File transfer: %s\n", e.str());
  } catch (const std::exception& e) {
    kebLog.Print(0, "File transfer: %s\n", e.what());
  }
  return FALSE;
}

void FileTransfer::OnInitDialog(HWND hwnd) {
  SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
  m_hDlg = hwnd;
  m_guiThread = GetCurrentThreadId();
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
  SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  char title[300];
  std::snprintf(title, sizeof title, " %s < %s>  -  Quillmar Remote", UiText(IDS_FT_TRANSFER_WITH),
                m_pCC->m_desktopName.substr(0, 127).c_str());
  SetWindowTextA(hwnd, title);
  if (m_pCC->IsFullScreen()) SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);

  // Folder, file and drive icons, made once for every opening of the window.
  if (!m_images) {
    m_images = ImageList_Create(GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), ILC_COLOR32 | ILC_MASK,
                                3, 0);
    for (int ico : {4 /* folder */, 1 /* document */, 8 /* drive */}) {
      HICON h = nullptr;
      ExtractIconExA("shell32.dll", ico, nullptr, &h, 1);
      ImageList_AddIcon(m_images, h ? h : icon);
      if (h) DestroyIcon(h);
    }
  }
  const char* columns[] = {"Name", "Size", "Modified"};
  const int widths[] = {166, 70, 100};
  for (int id : {IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST}) {
    HWND list = Item(id);
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    SendMessageA(list, LVM_SETIMAGELIST, LVSIL_SMALL, reinterpret_cast<LPARAM>(m_images));
    for (int c = 0; c < 3; ++c) {
      LVCOLUMNA col{};
      col.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
      col.pszText = const_cast<char*>(columns[c]);
      col.cx = widths[c];
      col.iSubItem = c;
      SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(c), reinterpret_cast<LPARAM>(&col));
    }
  }
  // The controls where the template puts them: the layout moves them from there.
  m_placed.clear();
  RECT client{};
  GetClientRect(hwnd, &client);
  m_templateWidth = client.right;
  m_templateHeight = client.bottom;
  for (HWND child = GetWindow(hwnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    RECT r{};
    GetWindowRect(child, &r);
    MapWindowPoints(nullptr, hwnd, reinterpret_cast<POINT*>(&r), 2);
    m_placed.push_back({child, GetDlgCtrlID(child), r});
  }
  m_hStatusBar = CreateStatusWindowA(WS_CHILD | WS_VISIBLE, "", hwnd, IDC_FT_STATUS);
  ListLocalDrives();
  const std::string last = LocalFolder();
  DWORD attr = last.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesA(last.c_str());
  if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY)) ListLocalFolder();
  else SetLocalFolder("");
  SetFolderField(IDC_FT_LOCAL_PATH, LocalFolder());
  SetFolderField(IDC_FT_REMOTE_PATH, RemoteFolder());
  SetTimer(hwnd, kKeepAliveTimer, 5000, nullptr);
  SetTimer(hwnd, kAccessProbeTimer, 1000, nullptr);
  SetStatus(UiText(IDS_FT_CONNECTING));
  const int commands[] = {IDC_FT_DELETE, IDC_FT_NEW_FOLDER, IDC_FT_RENAME};
  for (int i = 0; i < 3; ++i) {
    char label[64] = {};
    GetDlgItemTextA(hwnd, commands[i], label, sizeof label);
    m_commandLabels[i] = label;
  }
  SetCommandSide(false);
  UpdateButtons();
}

INT_PTR FileTransfer::OnMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: OnInitDialog(hwnd); return TRUE;
    case kRunQueued: RunQueued(); return TRUE;
    case WM_TIMER:
      if (wParam == kAccessProbeTimer) {
        KillTimer(hwnd, kAccessProbeTimer);
        SendAccessProbe();
      } else if (wParam == kKeepAliveTimer) {
        PostKeepAlive();
      }
      return TRUE;
    case WM_COMMAND: OnCommand(LOWORD(wParam), HIWORD(wParam)); return TRUE;
    case WM_NOTIFY: OnListNotify(reinterpret_cast<NMHDR*>(lParam)); return TRUE;
    case WM_SIZING: KeepMinimumSize(wParam, reinterpret_cast<RECT*>(lParam)); return TRUE;
    case WM_SIZE:
      if (m_hStatusBar) SendMessageA(m_hStatusBar, WM_SIZE, 0, 0);
      if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
      if (wParam == SIZE_RESTORED && Transferring()) m_pCC->PostNewFormatRequest();
      return FALSE;
    case WM_CLOSE: CloseWindow(false); return TRUE;
    case WM_DESTROY:
      KillTimer(hwnd, kKeepAliveTimer);
      KillTimer(hwnd, kAccessProbeTimer);
      m_hDlg = nullptr;
      m_hStatusBar = nullptr;
      // Updates held back for the window resume.
      m_pCC->PostNewFormatRequest();
      {
        std::lock_guard<std::mutex> g(m_queueLock);
        m_queue.clear();
      }
      return FALSE;
    default: return FALSE;
  }
}

void FileTransfer::CloseWindow(bool forced) {
  HWND dlg = m_hDlg.load();
  if (forced) {
    Stop(true);
    m_pCC->CloseSocketNow();
  } else if (Transferring()) {
    return;  // Stop first: Close is hidden while a transfer runs.
  } else if (ProtocolVersion() >= 3 && m_pCC->m_running) {
    SendSessionEnd();
  }
  StopUploadTimer();
  EndDialog(dlg, 0);
}

void FileTransfer::EndForLoss() {
  HWND dlg = m_hDlg.load();
  if (!dlg) return;
  if (Transferring()) Stop(true);
  StopUploadTimer();
  EndDialog(dlg, 0);
}

void FileTransfer::OnCommand(int id, int code) {
  switch (id) {
    case IDCANCEL: CloseWindow(false); break;
    case IDC_FT_FORCED_CLOSE: CloseWindow(true); break;
    case IDC_FT_MINIMIZE: ShowFileTransferWindow(false); break;
    case IDC_FT_SEND: StartTransfer(true); break;
    case IDC_FT_RECEIVE: StartTransfer(false); break;
    case IDC_FT_STOP:
      Stop(false);
      ShowWindow(Item(IDC_FT_STOP), SW_HIDE);
      break;
    case IDC_FT_FORCED_STOP:
      Stop(true);
      ShowWindow(Item(IDC_FT_STOP), SW_HIDE);
      m_pCC->CloseSocketNow();
      break;
    case IDC_FT_DELETE: DeleteEntries(); break;
    case IDC_FT_NEW_FOLDER: NewFolder(); break;
    case IDC_FT_RENAME: RenameEntry(); break;
    case IDC_FT_LOCAL_ROOT: OpenLocalDriveFromCombo(); break;
    case IDC_FT_LOCAL_UP: OpenLocalEntry(ft::Bracketed("..")); break;
    case IDC_FT_REMOTE_ROOT: OpenRemoteDriveFromCombo(); break;
    case IDC_FT_REMOTE_UP: OpenRemoteEntry(ft::Bracketed("..")); break;
    default: break;
  }
  (void)code;
}

void FileTransfer::OnListNotify(NMHDR* n) {
  if (!n) return;
  if (n->code == LVN_COLUMNCLICK && (n->idFrom == IDC_FT_LOCAL_LIST || n->idFrom == IDC_FT_REMOTE_LIST)) {
    SortList(n->idFrom == IDC_FT_REMOTE_LIST, reinterpret_cast<NMLISTVIEW*>(n)->iSubItem);
    return;
  }
  if (n->code == NM_SETFOCUS && (n->idFrom == IDC_FT_LOCAL_LIST || n->idFrom == IDC_FT_REMOTE_LIST)) {
    SetCommandSide(n->idFrom == IDC_FT_REMOTE_LIST);
    return;
  }
  if (n->code != NM_DBLCLK) return;
  // The item under the double click (none on the empty part of the list).
  const int item = reinterpret_cast<NMITEMACTIVATE*>(n)->iItem;
  if (item < 0) return;
  const std::string entry = ItemText(n->hwndFrom, item);
  if (n->idFrom == IDC_FT_LOCAL_LIST) OpenLocalEntry(entry);
  else if (n->idFrom == IDC_FT_REMOTE_LIST && !RemoteRequestPending()) OpenRemoteEntry(entry);
}

// ---------------------------------------------------------------------------------------
// Local side

void FileTransfer::ListLocalDrives() {
  HWND list = Item(IDC_FT_LOCAL_LIST), combo = Item(IDC_FT_LOCAL_DRIVES);
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  SendMessageA(combo, CB_RESETCONTENT, 0, 0);
  char drives[512] = {};
  const DWORD n = GetLogicalDriveStringsA(sizeof drives - 1, drives);
  for (const char* p = drives; n && n < sizeof drives && *p; p += std::strlen(p) + 1) {
    const std::string root = p;  // "C:\"
    const std::string entry = ft::Bracketed(root.substr(0, 2));
    const char* type = DriveTypeText(GetDriveTypeA(root.c_str()));
    AddItem(list, entry, type, "", 2);
    const std::string text = entry + " - " + type;
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
  }
  for (int id : {IDS_FT_MY_DOCUMENTS, IDS_FT_DESKTOP, IDS_FT_NETWORK_FAVORITES}) {
    const std::string entry = ft::Bracketed(UiText(id));
    AddItem(list, entry, "", "", 0);
    SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
  }
  SendMessageA(combo, CB_SETCURSEL, 0, 0);
}

void FileTransfer::ListLocalFolder() {
  HWND dlg = m_hDlg.load();
  HWND list = Item(IDC_FT_LOCAL_LIST);
  const std::string folder = LocalFolder();
  SetFolderField(IDC_FT_LOCAL_PATH, folder);
  UpdateButtons();
  if (folder.empty()) {
    ListLocalDrives();
    return;
  }
  const std::vector<std::string> selected = SelectedEntries(list);
  SendMessageA(list, LVM_DELETEALLITEMS, 0, 0);
  SetDlgItemTextA(dlg, IDC_FT_LOCAL_COUNT, UiText(IDS_FT_BROWSING_LOCAL));
  const UINT oldMode = SetErrorMode(SEM_FAILCRITICALERRORS);
  WIN32_FIND_DATAA fd{};
  HANDLE h = FindFirstFileA((folder + "*").c_str(), &fd);
  SetErrorMode(oldMode);
  if (h == INVALID_HANDLE_VALUE) {
    SetDlgItemTextA(dlg, IDC_FT_LOCAL_COUNT, UiText(IDS_FT_NO_LOCAL_MEDIA));
    return;
  }
  int count = 0;
  for (int guard = 0; guard < kMaxListEntries; ++guard) {
    const std::string name = fd.cFileName;
    if (name != ".") {
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        AddItem(list, ft::Bracketed(name), UiText(IDS_FT_FOLDER), "", 0);
      } else {
        const std::uint64_t size = (std::uint64_t(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
        const std::uint64_t t = (std::uint64_t(fd.ftLastWriteTime.dwHighDateTime) << 32) | fd.ftLastWriteTime.dwLowDateTime;
        AddItem(list, name, ft::FormatSizeText(size), LocalDateText(t), 1);
      }
      ++count;
    }
    if (!FindNextFileA(h, &fd)) break;
  }
  FindClose(h);
  SetDlgItemTextA(dlg, IDC_FT_LOCAL_COUNT, CountLine(count, IDS_FT_FILES_FOLDERS).c_str());
  SelectByNames(list, selected);
}

void FileTransfer::OpenLocalEntry(const std::string& entry) {
  if (Transferring()) return;
  std::string folder = LocalFolder();
  const std::string special = SpecialFolder(entry);
  if (!special.empty()) {
    folder = special;
  } else if (entry == ft::Bracketed("..")) {
    folder = ft::ParentFolder(folder);
  } else if (ft::IsBracketed(entry)) {
    const std::string name = ft::Unbracketed(entry);
    if (name.size() == 2 && name[1] == ':') folder = name + "\\";
    else if (!folder.empty()) folder += name + "\\";
    else return;
  } else {
    return;  // a file
  }
  if (folder.size() >= MAX_PATH) return;
  SetLocalFolder(folder);
  ListLocalFolder();
}

void FileTransfer::OpenLocalDriveFromCombo() {
  const std::string entry = ComboEntry(Item(IDC_FT_LOCAL_DRIVES));
  if (!entry.empty()) OpenLocalEntry(entry);
}

// ---------------------------------------------------------------------------------------
// Remote side

void FileTransfer::OpenRemoteEntry(const std::string& entry) {
  if (Transferring() || !AccessGranted()) return;
  if (entry == ft::Bracketed("..") && ft::ParentFolder(RemoteFolder()).empty()) {
    ListRemoteDrives();
    return;
  }
  if (!ft::IsBracketed(entry)) return;  // a file
  if (RequestRemoteDirectory(entry)) EnterTransferMode();
}

void FileTransfer::OpenRemoteDriveFromCombo() {
  // The drive's (or special folder's) own root, wherever the remote side stands now.
  const std::string entry = ComboEntry(Item(IDC_FT_REMOTE_DRIVES));
  if (entry.empty() || !ft::IsBracketed(entry) || RemoteRequestPending() || Transferring() || !AccessGranted()) return;
  EnterTransferMode();
  RequestRemoteFolder(ft::Unbracketed(entry) + "\\");
}

// ---------------------------------------------------------------------------------------
// Delete, New Folder, Rename

void FileTransfer::SetCommandSide(bool remote) {
  m_remoteSide = remote;
  const int commands[] = {IDC_FT_DELETE, IDC_FT_NEW_FOLDER, IDC_FT_RENAME};
  for (int i = 0; i < 3; ++i) {
    const std::string label = remote ? m_commandLabels[i] + " ->" : "<- " + m_commandLabels[i];
    SetDlgItemTextA(m_hDlg.load(), commands[i], label.c_str());
  }
  UpdateButtons();
}

bool FileTransfer::ListHas(int listId, const std::string& entry) const {
  HWND list = GetDlgItem(m_hDlg.load(), listId);
  const int count = static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
  for (int i = 0; i < count; ++i)
    if (ft::EqualNoCase(ItemText(list, i), entry)) return true;
  return false;
}

namespace {
struct InputState {
  const char* title;
  const char* prompt;
  std::string text;
};

// Whether the text holds a character other than blank, tab, newline or carriage return.
bool HasVisibleCharacter(const std::string& s) { return s.find_first_not_of(" \t\n\r") != std::string::npos; }
}  // namespace

INT_PTR CALLBACK FileTransfer::InputProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* state = reinterpret_cast<InputState*>(GetWindowLongPtrA(hwnd, DWLP_USER));
  switch (msg) {
    case WM_INITDIALOG:
      state = reinterpret_cast<InputState*>(lParam);
      SetWindowLongPtrA(hwnd, DWLP_USER, lParam);
      SetWindowTextA(hwnd, state->title);
      SetDlgItemTextA(hwnd, IDC_FT_INPUT_PROMPT, state->prompt);
      SendDlgItemMessageA(hwnd, IDC_FT_INPUT_TEXT, EM_LIMITTEXT, MAX_PATH - 1, 0);
      EnableWindow(GetDlgItem(hwnd, IDOK), FALSE);
      return TRUE;
    case WM_COMMAND:
      if (!state) return FALSE;
      if (LOWORD(wParam) == IDC_FT_INPUT_TEXT && HIWORD(wParam) == EN_CHANGE) {
        char buf[MAX_PATH] = {};
        GetDlgItemTextA(hwnd, IDC_FT_INPUT_TEXT, buf, sizeof buf);
        EnableWindow(GetDlgItem(hwnd, IDOK), HasVisibleCharacter(buf));
        return TRUE;
      }
      if (LOWORD(wParam) == IDOK) {
        char buf[MAX_PATH] = {};
        GetDlgItemTextA(hwnd, IDC_FT_INPUT_TEXT, buf, sizeof buf);
        if (!HasVisibleCharacter(buf)) return TRUE;
        state->text = buf;
        EndDialog(hwnd, IDOK);
        return TRUE;
      }
      if (LOWORD(wParam) == IDCANCEL) {
        EndDialog(hwnd, IDCANCEL);
        return TRUE;
      }
      return FALSE;
    default: return FALSE;
  }
}

bool FileTransfer::AskInput(const char* title, const char* prompt, std::string* text) {
  InputState state{title, prompt, std::string()};
  HINSTANCE module = DialogModule(m_pApp, IDD_FT_INPUT);
  if (DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_FT_INPUT), m_hDlg.load(), InputProc,
                      reinterpret_cast<LPARAM>(&state)) != IDOK)
    return false;
  *text = state.text;
  return true;
}

void FileTransfer::DeleteEntries() {
  if (Transferring()) return;
  const bool remote = m_remoteSide;
  const std::string folder = remote ? RemoteFolder() : LocalFolder();
  if (folder.empty()) return;
  std::vector<std::string> entries = SelectedEntries(Item(remote ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST));
  std::vector<std::string> confirmed;
  HINSTANCE instance = ResourceModuleOf(m_pApp);
  for (const std::string& entry : entries) {
    const bool isFolder = ft::IsBracketed(entry);
    const std::string name = isFolder ? ft::Unbracketed(entry) : entry;
    if (isFolder && (name.size() == 2 && name[1] == ':')) continue;  // a drive
    const int question = remote ? (isFolder ? IDS_FT_ASK_DELETE_REMOTE_FOLDER : IDS_FT_ASK_DELETE_REMOTE_FILE)
                                : (isFolder ? IDS_FT_ASK_DELETE_LOCAL_FOLDER : IDS_FT_ASK_DELETE_LOCAL_FILE);
    const std::string content = "< " + folder + name + " >";
    if (ShowWarningTaskDialog(instance, m_hDlg.load(),
                              UiText(isFolder ? IDS_FT_FOLDER_DELETE_WARNING : IDS_FT_FILE_DELETE_WARNING),
                              UiText(question), content.c_str(), "", "", nullptr) != IDOK)
      continue;
    confirmed.push_back(entry);
  }
  if (confirmed.empty()) return;
  if (remote) {
    DeleteRemote(confirmed);
    return;
  }
  for (const std::string& entry : confirmed) {
    const bool isFolder = ft::IsBracketed(entry);
    const std::string path = folder + (isFolder ? ft::Unbracketed(entry) : entry);
    if (path.size() >= MAX_PATH) continue;
    // To the recycle bin, silently: the question was asked above.
    std::string from = path;
    from.push_back('\0');
    SHFILEOPSTRUCTA op{};
    op.hwnd = m_hDlg.load();
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO | FOF_NOERRORUI;
    const bool ok = SHFileOperationA(&op) == 0 && !op.fAnyOperationsAborted;
    if (ok)
      Status("%s < %s > %s", UiText(isFolder ? IDS_FT_FOLDER : IDS_FT_FILE), path, UiText(IDS_FT_HAS_BEEN_DELETED));
    else
      Status("%s < %s >", UiText(isFolder ? IDS_FT_CANNOT_DELETE_LOCAL_FOLDER : IDS_FT_CANNOT_DELETE_LOCAL_FILE), path);
  }
  ListLocalFolder();
}

void FileTransfer::NewFolder() {
  if (Transferring()) return;
  const bool remote = m_remoteSide;
  const std::string folder = remote ? RemoteFolder() : LocalFolder();
  if (folder.empty()) return;
  std::string name;
  if (!AskInput(UiText(IDS_FT_CREATE_FOLDER_TITLE), UiText(remote ? IDS_FT_NEW_REMOTE_FOLDER : IDS_FT_NEW_LOCAL_FOLDER),
                &name))
    return;
  const std::string path = folder + name;
  char buf[kMaxStatus + 64];
  if (ListHas(remote ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST, ft::Bracketed(name)) ||
      ListHas(remote ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST, name)) {
    if (remote)
      std::snprintf(buf, sizeof buf, "%s < %s > %s: %s", UiText(IDS_FT_CANNOT_CREATE_FOLDER), path.c_str(),
                    UiText(IDS_FT_ON_REMOTE), UiText(IDS_FT_NAME_EXISTS));
    else
      std::snprintf(buf, sizeof buf, "%s < %s >: %s", UiText(IDS_FT_CANNOT_CREATE_LOCAL_FOLDER), path.c_str(),
                    UiText(IDS_FT_NAME_EXISTS));
    SetStatus(buf);
    return;
  }
  if (remote) {
    // The server gets the path twice over in its reply: keep both within its limit.
    if (path.size() * 2 > 248) return;
    CreateRemoteFolder(name);
    return;
  }
  if (path.size() > 248) return;
  if (CreateDirectoryA(path.c_str(), nullptr))
    Status("%s < %s > %s", UiText(IDS_FT_LOCAL_FOLDER), path, UiText(IDS_FT_HAS_BEEN_CREATED));
  else
    Status("%s < %s >", UiText(IDS_FT_CANNOT_CREATE_LOCAL_FOLDER), path);
  ListLocalFolder();
}

void FileTransfer::RenameEntry() {
  if (Transferring()) return;
  const bool remote = m_remoteSide;
  const int listId = remote ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST;
  const std::string folder = remote ? RemoteFolder() : LocalFolder();
  if (folder.empty()) return;
  const std::vector<std::string> entries = SelectedEntries(Item(listId));
  if (entries.size() != 1) {
    ShowMessageTaskDialog(ResourceModuleOf(m_pApp), m_hDlg.load(), UiText(IDS_FT_RENAME_ONE),
                          UiText(IDS_FT_RENAME_WARNING), MB_ICONWARNING);
    return;
  }
  const std::string& entry = entries[0];
  std::string name;
  if (!AskInput(UiText(IDS_FT_RENAME_TITLE), UiText(IDS_FT_NEW_NAME), &name)) return;
  if (name.empty() || name.find('*') != std::string::npos) return;
  if (ListHas(listId, name) || ListHas(listId, ft::Bracketed(name))) {
    Status(" %s < %s > %s", UiText(IDS_FT_RENAME_FAILED), name, UiText(IDS_FT_NAME_EXISTS));
    return;
  }
  if (remote) {
    RenameRemote(entry, name);
    return;
  }
  const std::string oldPath = folder + (ft::IsBracketed(entry) ? ft::Unbracketed(entry) : entry);
  const std::string newPath = folder + name;
  if (oldPath.size() >= MAX_PATH || newPath.size() >= MAX_PATH) return;
  if (MoveFileA(oldPath.c_str(), newPath.c_str()))
    Status(" %s < %s > %s < %s >", UiText(IDS_FT_RENAMED_LOCAL), oldPath, UiText(IDS_FT_TO), newPath);
  else
    Status(" %s < %s > %s", UiText(IDS_FT_RENAME_FAILED), oldPath, "");
  ListLocalFolder();
}

namespace {
struct ConfirmState {
  std::string title, text;
};
}  // namespace

INT_PTR CALLBACK FileTransfer::ConfirmProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_INITDIALOG: {
      const auto* state = reinterpret_cast<const ConfirmState*>(lParam);
      SetWindowTextA(hwnd, state->title.c_str());
      SetDlgItemTextA(hwnd, IDC_FT_CONFIRM_TEXT, state->text.c_str());
      return TRUE;
    }
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDYES:
        case IDNO:
        case IDC_FT_YES_ALL:
        case IDC_FT_NO_ALL: EndDialog(hwnd, LOWORD(wParam)); return TRUE;
        case IDCANCEL: EndDialog(hwnd, IDNO); return TRUE;
        default: return FALSE;
      }
    default: return FALSE;
  }
}

int FileTransfer::AskOverwrite(bool upload, const std::string& entry) {
  const bool isFolder = ft::IsBracketed(entry);
  const std::string name = isFolder ? ft::Unbracketed(entry) : entry;
  const char* what = isFolder ? UiText(upload ? IDS_FT_THE_REMOTE_FOLDER : IDS_FT_THE_LOCAL_FOLDER) : UiText(IDS_FT_FILE);
  const char* rest = isFolder ? UiText(IDS_FT_FOLDER_EXISTS) : UiText(upload ? IDS_FT_EXISTS_REMOTE : IDS_FT_EXISTS_LOCAL);
  char text[1024];
  std::snprintf(text, sizeof text, upload ? "%s < %s >\n%s" : "%s < %s >\n\n%s", what, name.c_str(), rest);
  ConfirmState state{UiText(isFolder ? IDS_FT_FOLDER_WARNING : IDS_FT_FILE_WARNING), text};
  HINSTANCE module = DialogModule(m_pApp, IDD_FT_CONFIRM);
  const INT_PTR r = DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_FT_CONFIRM), m_hDlg.load(), ConfirmProc,
                                    reinterpret_cast<LPARAM>(&state));
  return r > 0 ? static_cast<int>(r) : IDNO;
}

namespace {
// The list being sorted (the GUI thread sorts one list at a time).
HWND g_sortList = nullptr;

std::string SubItemText(HWND list, int item, int column) {
  char buf[MAX_PATH + 8] = {};
  LVITEMA it{};
  it.iSubItem = column;
  it.pszText = buf;
  it.cchTextMax = sizeof buf;
  SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(item), reinterpret_cast<LPARAM>(&it));
  return buf;
}

ft::ListRow RowOf(HWND list, int item) {
  return {SubItemText(list, item, 0), SubItemText(list, item, 1), SubItemText(list, item, 2)};
}
}  // namespace

// The list's comparison: param encodes the list and column (see ft::SortParam).
int CALLBACK FileListSortCallback(LPARAM item1, LPARAM item2, LPARAM param) {
  return ft::CompareListRows(RowOf(g_sortList, static_cast<int>(item1)), RowOf(g_sortList, static_cast<int>(item2)),
                             static_cast<int>(param));
}

void FileTransfer::SortList(bool remote, int column) {
  if (column < 0 || column > 2) return;
  bool& next = m_nextDescending[remote ? 1 : 0][column];
  const int param = ft::SortParam(remote, column, next);
  next = !next;
  g_sortList = Item(remote ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST);
  SendMessageA(g_sortList, LVM_SORTITEMSEX, static_cast<WPARAM>(param), reinterpret_cast<LPARAM>(FileListSortCallback));
  g_sortList = nullptr;
}

// ---------------------------------------------------------------------------------------
// Sizing

void FileTransfer::KeepMinimumSize(WPARAM edge, RECT* r) const {
  const int minW = kMinWidth + 2 * GetSystemMetrics(SM_CXSIZEFRAME);
  const int minH = kMinHeight + 2 * GetSystemMetrics(SM_CYSIZEFRAME);
  if (r->right - r->left < minW) {
    if (edge == WMSZ_LEFT || edge == WMSZ_TOPLEFT || edge == WMSZ_BOTTOMLEFT) r->left = r->right - minW;
    else r->right = r->left + minW;
  }
  if (r->bottom - r->top < minH) {
    if (edge == WMSZ_TOP || edge == WMSZ_TOPLEFT || edge == WMSZ_TOPRIGHT) r->top = r->bottom - minH;
    else r->bottom = r->top + minH;
  }
}

void FileTransfer::Layout(int width, int height) {
  if (m_placed.empty() || width <= 0 || height <= 0) return;
  const int dx = width - m_templateWidth, dy = height - m_templateHeight;
  const int half = dx / 2;  // the local pane grows by half, the remote one by the rest
  const int middle = m_templateWidth / 2;
  HDWP defer = BeginDeferWindowPos(static_cast<int>(m_placed.size()));
  for (const Placed& p : m_placed) {
    int x = p.rect.left, y = p.rect.top, w = p.rect.right - p.rect.left, h = p.rect.bottom - p.rect.top;
    switch (p.id) {
      case IDC_FT_LOCAL_DRIVES:
      case IDC_FT_LOCAL_PATH: w += half; break;
      case IDC_FT_LOCAL_LIST: w += half, h += dy; break;
      case IDC_FT_LOCAL_COUNT: w += half, y += dy; break;
      case IDC_FT_LOCAL_ROOT:
      case IDC_FT_LOCAL_UP:
      case IDC_FT_SEND:
      case IDC_FT_RECEIVE:
      case IDC_FT_STOP:
      case IDC_FT_FORCED_STOP:
      case IDC_FT_MINIMIZE: x += half; break;
      case IDC_FT_REMOTE_DRIVES:
      case IDC_FT_REMOTE_PATH: x += half, w += dx - half; break;
      case IDC_FT_REMOTE_LIST: x += half, w += dx - half, h += dy; break;
      case IDC_FT_REMOTE_COUNT: x += half, w += dx - half, y += dy; break;
      case IDC_FT_REMOTE_ROOT:
      case IDC_FT_REMOTE_UP: x += dx; break;
      case IDC_FT_HISTORY: w += dx, y += dy; break;
      case IDCANCEL:
      case IDC_FT_FORCED_CLOSE: x += dx, y += dy; break;
      case IDC_FT_PROGRESS:
      case IDC_FT_PERCENT:
      case IDC_FT_FILE_NUMBER:
      case IDC_FT_DELETE:
      case IDC_FT_NEW_FOLDER:
      case IDC_FT_RENAME: y += dy; break;
      default:
        if (x >= middle) x += half;  // the remote pane's label
        break;
    }
    if (defer)
      defer = DeferWindowPos(defer, p.hwnd, nullptr, x, y, w > 1 ? w : 1, h > 1 ? h : 1, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (defer) EndDeferWindowPos(defer);
  InvalidateRect(m_hDlg.load(), nullptr, TRUE);
}

// ---------------------------------------------------------------------------------------
// Transfers and modes

void FileTransfer::StartTransfer(bool upload) {
  if (Transferring()) return;
  if ((upload ? RemoteFolder() : LocalFolder()).empty()) return;
  // Entries that exist at the target are taken only when the user says so.
  std::vector<std::string> entries;
  const int target = upload ? IDC_FT_REMOTE_LIST : IDC_FT_LOCAL_LIST;
  bool ask = true;
  for (const std::string& entry : SelectedEntries(Item(upload ? IDC_FT_LOCAL_LIST : IDC_FT_REMOTE_LIST))) {
    if (ask && ListHas(target, entry)) {
      const int answer = AskOverwrite(upload, entry);
      if (answer == IDC_FT_NO_ALL) break;
      if (answer == IDC_FT_YES_ALL) ask = false;
      else if (answer != IDYES) continue;
    }
    entries.push_back(entry);
  }
  if (entries.empty()) return;
  HWND dlg = m_hDlg.load();
  const int n = static_cast<int>(entries.size());
  SetDlgItemTextA(dlg, upload ? IDC_FT_LOCAL_COUNT : IDC_FT_REMOTE_COUNT,
                  CountLine(n, IDS_FT_SELECTED_FOR_TRANSFER).c_str());
  char buf[256];
  if (upload)
    std::snprintf(buf, sizeof buf, "%s %d %s", UiText(IDS_FT_START_SENDING), n, UiText(IDS_FT_TO_REMOTE));
  else
    std::snprintf(buf, sizeof buf, "%s %d %s ", UiText(IDS_FT_START_RECEIVING), n, UiText(IDS_FT_FROM_REMOTE));
  SetStatus(buf);
  EnterTransferMode(true);
  ShowStopButtons(true);
  const bool started = upload ? StartUploads(entries) : StartDownloads(entries);
  if (!started) {
    ShowStopButtons(false);
    LeaveTransferMode();
  }
}

void FileTransfer::EnterTransferMode(bool batch) {
  if (batch) {
    HMENU menu = GetSystemMenu(m_hDlg.load(), FALSE);
    const int n = menu ? GetMenuItemCount(menu) : 0;
    for (int i = n - 2; i >= 0 && i < n; ++i) EnableMenuItem(menu, static_cast<UINT>(i), MF_BYPOSITION | MF_GRAYED);
  }
  for (int id : {IDC_FT_SEND, IDC_FT_RECEIVE, IDC_FT_DELETE, IDC_FT_NEW_FOLDER, IDC_FT_RENAME, IDCANCEL,
                 IDC_FT_FORCED_CLOSE})
    ShowWindow(Item(id), SW_HIDE);
  ShowWindow(Item(IDC_FT_MINIMIZE), SW_SHOW);
  for (int id : {IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST, IDC_FT_LOCAL_DRIVES, IDC_FT_REMOTE_DRIVES, IDC_FT_LOCAL_ROOT,
                 IDC_FT_LOCAL_UP, IDC_FT_REMOTE_ROOT, IDC_FT_REMOTE_UP})
    EnableWindow(Item(id), FALSE);
}

void FileTransfer::LeaveTransferMode() {
  if (HMENU menu = GetSystemMenu(m_hDlg.load(), FALSE)) {
    const int n = GetMenuItemCount(menu);
    for (int i = n - 2; i >= 0 && i < n; ++i) EnableMenuItem(menu, static_cast<UINT>(i), MF_BYPOSITION | MF_ENABLED);
  }
  for (int id : {IDC_FT_STOP, IDC_FT_FORCED_STOP, IDC_FT_MINIMIZE}) ShowWindow(Item(id), SW_HIDE);
  for (int id : {IDC_FT_SEND, IDC_FT_RECEIVE, IDC_FT_DELETE, IDC_FT_NEW_FOLDER, IDCANCEL, IDC_FT_FORCED_CLOSE})
    ShowWindow(Item(id), SW_SHOW);
  // The server of protocol version 1 cannot rename.
  ShowWindow(Item(IDC_FT_RENAME), ProtocolVersion() != 1 ? SW_SHOW : SW_HIDE);
  for (int id : {IDC_FT_LOCAL_LIST, IDC_FT_REMOTE_LIST, IDC_FT_LOCAL_DRIVES, IDC_FT_REMOTE_DRIVES, IDC_FT_LOCAL_ROOT,
                 IDC_FT_LOCAL_UP, IDC_FT_REMOTE_ROOT, IDC_FT_REMOTE_UP})
    EnableWindow(Item(id), TRUE);
  UpdateButtons();
}

void FileTransfer::UpdateButtons() {
  const bool both = !LocalFolder().empty() && !RemoteFolder().empty() && AccessGranted();
  EnableWindow(Item(IDC_FT_SEND), both);
  EnableWindow(Item(IDC_FT_RECEIVE), both);
  const bool side = m_remoteSide ? !RemoteFolder().empty() && AccessGranted() : !LocalFolder().empty();
  for (int id : {IDC_FT_DELETE, IDC_FT_NEW_FOLDER, IDC_FT_RENAME}) EnableWindow(Item(id), side);
}

void FileTransfer::SetFolderField(int id, const std::string& text) { SetDlgItemTextA(m_hDlg.load(), id, text.c_str()); }

// ---------------------------------------------------------------------------------------
// The connection's side

LRESULT ClientConnection::FileTransferPacket() {
  try {
    m_pFileTransfer->ProcessFileTransferMsg();
    return 1;
  } catch (const rdr::Exception& e) {
    m_fileTransferError = e.str();
  } catch (const std::exception& e) {
    m_fileTransferError = e.what();
  }
  return 0;
}

void ClientConnection::FileTransferMessage() {
  if (!m_pFileTransfer) {
    SkipFileTransferMessage();
    return;
  }
  if (!m_hwndMain) {
    m_pFileTransfer->ProcessFileTransferMsg();
    return;
  }
  // The GUI thread reads the message while this thread waits; a stream error there ends
  // the connection here.
  if (SendMessageA(m_hwndMain, FileTransfer::PacketMessage(), 1, 0) != 1)
    throw rdr::Exception(m_fileTransferError.empty() ? "file transfer failed" : m_fileTransferError.c_str());
}

bool ClientConnection::FileTransferInProgress() { return m_pFileTransfer && m_pFileTransfer->Transferring(); }

bool ClientConnection::HoldUpdatesAndInput() {
  return m_pFileTransfer && m_pFileTransfer->Transferring() &&
         (m_pFileTransfer->WindowShown() || m_pFileTransfer->ProtocolVersion() == 1);
}
