// The file-transfer window of a connection (Win32 shell): a modal dialog with the local
// machine on the left and the remote machine on the right, each with its drive combo,
// folder field and file list; Send and Receive, Stop and Forced Stop, the status bar and
// its history, the progress of the current file. The protocol is FileTransferProtocol;
// this class shows what it reports and supplies the platform (socket time-outs, the
// upload timer, free disk space).
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "filetransfer/FileTransferProtocol.h"

class ClientConnection;
class KEBviewerApp;

class FileTransfer : public FileTransferProtocol {
public:
  FileTransfer(KEBviewerApp* app, ClientConnection* connection);
  ~FileTransfer() override;

  // The registered window message "Brandwyn.Viewer.FileTransferSendPacketMessage": the
  // connection thread sends it to the frame window (wParam 1) and waits while the GUI
  // thread reads the rest of a message 7.
  static UINT PacketMessage();

  // Shows the window modally (GUI thread); an open window only comes to the front.
  void DoDialog();
  // Minimise (false) or restore and bring to the front (true).
  void ShowFileTransferWindow(bool show);
  // The connection is gone: a running transfer stops and the window ends.
  void EndForLoss();
  HWND Window() const { return m_hDlg.load(); }
  // The window is open and not minimised.
  bool WindowShown() const;

protected:
  void SetStatus(const std::string& text) override;
  void ShowFileNumber(int number, int count) override;
  void ShowProgress(std::uint64_t done, std::uint64_t total) override;
  void ShowRemoteFolder(const std::string& folder) override;
  void ClearRemoteList() override;
  void AddRemoteEntry(const ft::RemoteEntry& entry) override;
  void ShowRemoteDrives(const std::vector<DriveItem>& drives) override;
  void RemoteListingDone(int count) override;
  void ShowRemoteCount(const std::string& text) override;
  void AccessRefused() override;
  void OldServerDetected() override {}
  void ShowStopButtons(bool shown) override;
  void BatchDone(bool upload, bool interrupted) override;
  void PumpMessages() override;
  bool WindowMinimisedOrHidden() override;

  void SetRecvTimeout(int ms) override;
  void SetSendTimeout(int ms) override;
  void PostKeepAlive() override;
  bool FreeDiskSpace(const std::string& root, std::uint64_t* freeBytes) override;
  void StartUploadTimer() override;
  void StopUploadTimer() override;

private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void OnInitDialog(HWND hwnd);
  void OnCommand(int id, int code);
  void OnListNotify(NMHDR* n);
  void CloseWindow(bool forced);

  // Runs fn on the window's thread: at once there, else queued for it (dropped when the
  // window is gone).
  void OnGuiThread(std::function<void()> fn);
  void RunQueued();
  bool IsGuiThread() const;

  // The local side.
  void ListLocalDrives();
  void ListLocalFolder();
  void OpenLocalEntry(const std::string& entry);
  void OpenLocalDriveFromCombo();
  // The remote side.
  void OpenRemoteDriveFromCombo();
  void OpenRemoteEntry(const std::string& entry);

  // Delete, New Folder and Rename act on the side whose list had the focus last.
  void SetCommandSide(bool remote);
  void DeleteEntries();
  void NewFolder();
  void RenameEntry();
  // The one-line input dialog; false when it was cancelled.
  bool AskInput(const char* title, const char* prompt, std::string* text);
  static INT_PTR CALLBACK InputProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // The question before an entry that exists at the target is overwritten: IDYES, IDNO,
  // IDC_FT_YES_ALL or IDC_FT_NO_ALL (closing the question counts as No).
  int AskOverwrite(bool upload, const std::string& entry);
  static INT_PTR CALLBACK ConfirmProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  bool ListHas(int listId, const std::string& entry) const;

  // A column header was clicked: that list is sorted by it, ascending first, then the
  // other way at each further click.
  void SortList(bool remote, int column);

  // Sizing: the window stays at least kMinWidth x kMinHeight plus its sizing frame; the
  // panes share the width equally and the lists take the height.
  static constexpr int kMinWidth = 611, kMinHeight = 429;
  void KeepMinimumSize(WPARAM edge, RECT* r) const;
  void Layout(int width, int height);
  struct Placed {
    HWND hwnd;
    int id;
    RECT rect;  // in the client area at the template's size
  };
  std::vector<Placed> m_placed;
  int m_templateWidth = 0, m_templateHeight = 0;

  void StartTransfer(bool upload);
  // batch: a transfer (not a listing); the window menu's last two items are greyed then.
  void EnterTransferMode(bool batch = false);
  void LeaveTransferMode();
  void UpdateButtons();
  void SetFolderField(int id, const std::string& text);
  HWND Item(int id) const { return GetDlgItem(m_hDlg.load(), id); }

  KEBviewerApp* m_pApp;
  ClientConnection* m_pCC;
  HMODULE m_hRichEdit = nullptr;
  std::atomic<HWND> m_hDlg{nullptr};
  DWORD m_guiThread = 0;
  HWND m_hStatusBar = nullptr;
  HIMAGELIST m_images = nullptr;
  int m_lastPercent = -1;
  bool m_remoteSide = false;         // the commands act on the remote side
  bool m_nextDescending[2][3] = {};  // per list (local, remote) and column
  std::vector<std::string> m_remoteSelection;  // selected before the remote list was cleared
  std::string m_commandLabels[3];    // Delete, New Folder, Rename as the template has them
  std::atomic<std::uint64_t> m_progressStartMs{0};  // for the rate of the current file

  std::mutex m_queueLock;
  std::vector<std::function<void()>> m_queue;

  // The upload timer: a thread ticking every 10 ms while an upload runs.
  std::thread m_timerThread;
  std::atomic<bool> m_timerRunning{false};
};
