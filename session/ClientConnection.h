// One viewer connection to one server (Win32 shell). The protocol lives in RfbSession;
// this class adds what needs Windows: the Winsock connect (IPv4, IPv6, names), socket
// options, the task dialogs of the handshake, registration with the application, the
// connection thread (omni_thread, running the session's message loop), the frame and
// viewer windows and the framebuffer bitmap (a DIB section) that the decoders write.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include <omnithread.h>

#include <memory>
#include <mutex>
#include <string>

#include "display/KeyboardWin32.h"
#include "display/MonitorTable.h"
#include "display/MultiTouchHandler.h"
#include "display/PointerInputWin32.h"
#include "display/TitleBar.h"
#include "dialogs/StatusDialog.h"
#include "session/RfbSession.h"

class Exception;
class KEBviewerApp;
class ViewerDirectxClass;
class FileTransfer;
class TextChat;

class ClientConnection : public omni_thread, public RfbSession {
public:
  // The server is chosen later (options, or the session dialog).
  explicit ClientConnection(KEBviewerApp* app);
  // A socket accepted in listening mode; the host becomes the peer's address.
  ClientConnection(KEBviewerApp* app, SOCKET sock);
  ClientConnection(KEBviewerApp* app, const char* host, int port);
  ~ClientConnection() override;

  // Obtains the server, performs the handshake (DoConnection), creates the windows and the
  // framebuffer bitmap and starts the connection thread. Throws on failure, with no window
  // left; the caller reports and deletes the connection. Once it has returned, the frame
  // window owns the connection and deletes it when it is destroyed.
  void Run();
  // Closes and deletes the connection (application shut-down).
  void CloseAndDestroy();

  // Connection files and the session dialog (dialogs/ConnectionFileWin32.cpp).
  // Reads a connection file (browse: the user picks it): its server, repeater, stored
  // password and options; unless it came from the command line the session dialog is then
  // shown over it (cancelled: QuietException). -1 when the file names no usable port or
  // none was picked, else 0.
  int LoadConnectionFile(const char* file, bool browse, bool fromCommandLine);
  // Asks for a file and saves the server, repeater, optionally the password, and the options.
  void SaveConnection();
  // Writes the options to the options file unless a configuration file was named.
  void SaveConnectionSettings();
  // The server for Run: a connection file named on the command line, the options, or the
  // session dialog (cancelled: QuietException).
  void ObtainServer();

  // SO_RCVTIMEO / SO_SNDTIMEO on the socket; a negative value means "FileTransferTimeout"
  // seconds. False when setsockopt fails.
  bool SetRecvTimeout(int ms);
  bool SetSendTimeout(int ms);

  KEBviewerApp* m_pApp = nullptr;
  HWND m_hwndMain = nullptr;    // frame window
  HWND m_hwndcn = nullptr;      // viewer window
  // Queued update requests held back behind input (GUI thread; at most one per kind, as
  // the connection thread queues at most one per kind). Posted messages are served before
  // input: a server that floods the viewer with updates would otherwise keep a request
  // message in the queue all the time, and input would only get through in the gaps. A
  // timer's message comes after input, so the request goes out once the input is served.
  std::vector<std::uint32_t> m_deferredRequests;
  HWND m_hwndStatus = nullptr;  // connection-status dialog
  RTL_OSVERSIONINFOW m_osVersion = {};

  // ---- Connection-status dialog (dialogs/StatusDialog.cpp) ----

  // Starts the dialog on a thread of its own and waits (at most 5 s) for its window; one
  // that is already open comes to the front instead.
  void StartStatusDialogThread();
  // The dialog while a connection is made, unless "nostatus" is on; on a reconnect only
  // with onReconnect.
  void ShowStatusWhileConnecting(bool onReconnect) override;
  void EndStatusWhileConnecting() override { EndStatusDialog(); }
  // Counters and the last encoding's name (the dialog's timer, once the session runs).
  void UpdateStatusDialog();
  // Closes the dialog and waits (bounded) for its thread.
  void EndStatusDialog();
  StatusDialogState m_statusDialog;

  // ---- Snapshot (display/Snapshot.cpp) ----

  // Saves the framebuffer as an image file named from the "folder", "prefix" and
  // "imageFormat" options, which keep what the settings dialog changed.
  void TakeSnapshot();

  // ---- Viewer window and framebuffer bitmap (display/ViewerWindow.cpp) ----

  // The viewer window, a child of the frame window, with its 30 s update timer.
  void CreateDisplayWindow();
  // Builds (or rebuilds) the DIB section for the framebuffer size and the session format,
  // mid grey, with the cache buffer when "EnableCache" is on. Call with the framebuffer
  // lock held. Throws ErrorException when the DIB cannot be made.
  void CreateLocalFramebuffer();
  void PaintViewerWindow(HWND hwnd);
  void HandleUpdateRequestMessage(WPARAM wParam);
  // A request the connection thread queued: sent now, or, while input waits in this
  // thread's queue, from a timer once the input has been served (see m_deferredRequests).
  void QueuedUpdateRequestMessage(std::uint32_t kind);
  void SendDeferredUpdateRequests();
  // The view is the whole framebuffer fitted to the window ("directx" on, "showExtend"
  // off): painting, sizing and the pointer all go by this.
  bool FittedView() const;
  // "directx" or "showExtend" changed: the framebuffer is made again (a Direct3D surface
  // or a DIB, whichever the view now takes) and the frame laid out for the view.
  void PresentationChanged();
  // Key and mouse input ends the dormancy that the server's idle interval started.
  void LeaveDormantMode();
  static LRESULT CALLBACK ViewerWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  // ---- Keyboard, mouse and touch input of the viewer and frame windows ----

  ConnectionKeyboard m_keyboard{*this};
  ViewerPointerHost m_pointerHost{*this};
  PointerInput m_pointer{m_opts, m_pointerHost};
  MultiTouchHandler m_multitouch{*this};
  // A key message of the viewer or frame window to the server (while running and not
  // view-only), flushed; a failing send closes the connection with the reconnect attempts
  // left.
  void ProcessKeyMessage(WPARAM wParam, LPARAM lParam);
  // The window lost the keyboard focus: every key still held is released at the server.
  void ReleaseHeldKeys();

  // ---- Frame window (display/FrameWindow.cpp: creation, messages, closing and
  // reconnecting; display/FrameSizing.cpp: sizing and scrolling; display/SystemMenu.cpp:
  // the system menu and its commands) ----

  void CreateFrameWindow();
  // The viewer's commands appended to the frame's system menu.
  void BuildSystemMenu();
  // The check and enable states of the menu items.
  void UpdateMenuChecks();
  // A command of the system menu, the accelerators, the keyboard hook, the toolbar or the
  // title bar. False when the frame's default handling is to follow.
  bool HandleSystemCommand(UINT command);
  // Sizes and places the frame for the (scaled) framebuffer in the work area of its monitor,
  // with automatic scaling; keepPosition leaves the frame where it is, keepSize its size.
  void SizeWindow(bool keepPosition, bool keepSize);
  // Moves the view to (dx, dy) (absolute) or by them; false when it did not move.
  bool ScrollScreen(int dx, int dy, bool absolute);
  void UpdateScrollbars();
  // Shrinks the frame to no more than the scaled framebuffer with scroll bars and toolbar.
  void LimitFrameWindowSize();
  // Asks the viewer and frame windows to close (the connection ends with them).
  void CloseWindows();
  // ---- Full screen (display/FullScreen.cpp) ----

  // Whether the frame covers its monitor: the realised state (the opposite while a switch
  // sizes the frame for the state it is going into).
  bool IsFullScreen() const { return m_fullScreenSwitching ? !m_fullScreenRealised : m_fullScreenRealised; }
  // Into full screen (the toolbar setting and the frame's rectangle kept for the way back)
  // or out of it.
  void SetFullScreenMode(bool on);
  // Gives the frame the style, place and title bar of the "fullscreen" option's state.
  void ApplyFullScreenMode();
  // Puts the frame back on the rectangle it had before full screen or minimising.
  void RestoreSavedWindowRect();
  // Full screen: topmost while the frame is the active window (and no chat, file-transfer
  // or options window of its own is open), out of the topmost band and behind the window
  // the user switched to otherwise.
  void KeepFrameOnTop(bool active);
  void SetFrameTopmost(bool topmost);
  // Once the active window has changed: the same by the window that is active now.
  void SettleZOrder();
  // The keyboard focus goes to a window of this frame (itself, a child, a window it owns).
  bool FocusStaysInFrame(HWND gaining) const;
  // Full screen with the pointer at (x, y) of the frame near an edge: scrolls the view;
  // true when it moved (the mouse event is then dropped).
  bool EdgeScroll(int x, int y);
  bool m_fullScreenRealised = false;
  bool m_fullScreenSwitching = false;
  int m_savedShowToolbar = -1;  // "showtoolbar" before full screen; -1 for none kept
  bool m_savedScrollSet = false;
  POINT m_savedScroll = {};
  CTitleBar m_titleBar;
  static LRESULT CALLBACK FrameWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  // ---- Clipboard (session/ClipboardWin32.cpp) ----

  // The viewer window joins the clipboard-viewer chain (the notice that joining brings is
  // no change of the user's) and leaves it when it goes.
  void JoinClipboardChain();
  void LeaveClipboardChain();
  // WM_DRAWCLIPBOARD and WM_CHANGECBCHAIN of the viewer window.
  void HandleClipboardChange();
  void HandleClipboardChainChange(HWND removed, HWND next);
  // Sends the local clipboard to the server (GUI thread): flags 0 because it changed, else
  // the server's request or a command's flags (extended clipboard).
  void UpdateRemoteClipboard(std::uint32_t flags);
  // The clipboard commands of the system menu (201-206, 208); false for other commands.
  bool ClipboardCommand(UINT command);
  HWND m_hwndNextViewer = nullptr;  // the next window of the clipboard-viewer chain
  bool m_inClipboardChain = false;
  bool m_clipboardInitialising = false;          // joining the chain
  std::atomic<bool> m_settingClipboard{false};  // the connection thread writes the clipboard

  // ---- Text chat (filetransfer/TextChat.cpp) ----

  std::unique_ptr<TextChat> m_pTextChat;
  // Opens the chat window (modal; returns when it closes) when the server offers the
  // extension; a notice otherwise, or while the file-transfer window is open.
  void OpenTextChat();
  // Asks the viewer window for a pending pixel format or an incremental update: posted, or
  // sent when post is false.
  void PostNewFormatRequest(bool post = true);

  // ---- File transfer (filetransfer/FileTransfer.cpp) ----

  std::unique_ptr<FileTransfer> m_pFileTransfer;
  // Opens the file-transfer window (modal; returns when it closes) when the server offers
  // the extension; a notice otherwise, or while the chat window is open.
  void OpenFileTransfer();
  // The frame's close with the chat or the file-transfer window open: the window is told to
  // close and true is returned (the close goes no further now). A user's close shows a
  // notice and ends there; a loss ends the window and is closed again once its modal loop
  // has returned, so the connection is never deleted under that loop.
  bool CloseSideWindowsFirst(WPARAM attempts, LPARAM lost);
  // A button of the toolbar or the full-screen title bar: the open window (chat or file
  // transfer) closes as by its own Close, else the frame's command opens it.
  void ToggleSideWindow(bool chat);
  int m_sideWindowLoops = 0;        // chat / file-transfer modal loops on the stack
  bool m_sideCloseDeferred = false;  // a loss's WM_CLOSE waits for those loops
  WPARAM m_sideCloseW = 0;
  LPARAM m_sideCloseL = 0;
  // The frame window's packet message: the GUI thread reads a message 7 while the
  // connection thread waits. 1 when it was read, 0 after a stream error (kept below).
  LRESULT FileTransferPacket();
  std::string m_fileTransferError;
  // Forced Stop: closing the socket ends the connection.
  void CloseSocketNow() { CloseSocket(); }

  // ---- FramebufferHost: the DIB section ----

  Framebuffer CurrentFramebuffer() override;
  void AddRectToUpdateRegion(int x, int y, int w, int h) override;
  void InvalidateScreenRect(int x, int y, int w, int h) override;

  // ---- Monitors: window sizing, full screen, the title bar and message 251 ----

  MonitorTable m_monitors;
  // The table's entry of the frame's monitor (refreshed first).
  int FrameMonitorIndex();

protected:
  // The connection thread: the session's message loop.
  void* run_undetached(void* arg) override;

  // What the connection thread asks of the windows (each posted to the GUI thread, except
  // the first update request, which is sent).
  bool PostUpdateRequest(std::uint32_t kind, bool wait) override;
  void RebuildFramebuffer() override { CreateLocalFramebuffer(); }
  void LockFramebufferForUpdate() override;
  void FramebufferResized() override;
  void UpdateStarting() override;
  void InvalidateUpdateRegion() override;
  void CursorShapeArrived() override;
  void ShowDesktopRect() override;
  void Bell() override;
  void SetKeepAliveTimer(int ms) override;
  void SetIdleTimer(std::uint32_t ms) override;
  void ServerStateChanged() override;
  void PostStreamingAck() override;
  void ConnectionThreadStarted() override;
  bool ConnectionLost(int attemptsLeft, const char* warning) override;
  void Reconnected() override;
  void ReadGiiMessage() override;
  MonitorLayout LocalMonitorLayout() override;
  bool WaitForThreadEvent(AutoResetEvent& event, int timeoutMs) override;

  void ConnectToHost() override;
  void ConnectToProxy() override;
  void ConfigureSocket() override;
  bool AskChoice(const ChoicePrompt& prompt, bool* checked) override;
  std::uint32_t ChooseHelpdesk(const std::vector<std::string>& entries) override;
  bool AskCredentials(AuthDialogType type, const char* status1, const char* status2, AuthEntry* entry) override;
  void SetStatusText(int control, const char* text) override;
  void PlayIncomingSound() override;
  // With per-host settings in use, "AllowUntrustedServers" goes into a connection file the
  // user chooses (dialogs/ConnectionFileWin32.cpp).
  void SaveAllowUntrustedServers() override;
  // The Windows clipboard and the chat window.
  bool UpdateLocalClipboard(const char* text, std::size_t length) override;
  bool SetLocalClipboard(const ClipboardContent& content) override;
  void PostClipboardCaps() override;
  void PostClipboardRequest(std::uint32_t flags) override;
  bool TextChatActive() override;
  void TextChatReceived(std::uint32_t length, const std::string& text) override;
  // Message 7 goes to the GUI thread; a transfer holds back clipboard, updates and input.
  void FileTransferMessage() override;
  bool FileTransferInProgress() override;
  bool HoldUpdatesAndInput() override;
  // The identity prompt of the RSA-AES schemes (security/SecurityPromptsWin32.cpp).
  bool ConfirmIdentity(const char* fingerprint, bool* dontAsk) override;
  // The prompt for a TLS server certificate that failed its check (same file).
  bool ConfirmCertificate(TLSSession& session, const char* error, bool* dontAsk) override;

private:
  void Init(KEBviewerApp* app);
  // The question of AskChoice on the GUI thread (the connection thread asks through it).
  bool AskChoiceHere(const ChoicePrompt& prompt, bool* checked);
  // A viewer-window timer from any thread.
  void SetViewerTimer(UINT_PTR id, std::uint32_t ms);
  // Framebuffer coordinates to viewer-window coordinates (scaling, scrolling).
  RECT FramebufferToWindow(int x, int y, int w, int h) const;
  void ReleaseLocalFramebuffer();
  // The frame is being destroyed: the threads are ended and the connection deleted.
  void FinishAndDelete();
  // The window procedures' bodies; the procedures catch what they throw.
  LRESULT FrameMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT ViewerMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Runs a window procedure's body; what it throws is logged under the window's name and
  // ends the connection like a lost one.
  using WindowMessageBody = LRESULT (ClientConnection::*)(HWND, UINT, WPARAM, LPARAM);
  LRESULT GuardedMessage(const char* window, WindowMessageBody body, HWND hwnd, UINT msg, WPARAM wParam,
                         LPARAM lParam);
  // A window procedure caught an error of the session: reported unless a reconnect follows,
  // and the connection closes with the reconnect attempts left.
  void InputFailed(const Exception* e);
  // WM_CLOSE of the frame: attempts left and lost (1) from a lost connection, (0, 0) from
  // the user. Reconnects while attempts are left and reconnecting is on, else closes.
  void FrameClose(WPARAM attempts, LPARAM lost);
  void SaveWindowPlacement();
  // WM_SIZE: scroll bars, view size and offsets, the viewer window's place.
  void LayoutView();
  // WM_SIZING: the dragged frame rectangle kept within the framebuffer's size.
  void LimitDraggedRect(WPARAM edge, RECT* r);
  void OnScroll(int bar, int request);
  int ToolbarHeight() const;
  // The frame's size for a client area of w x h, with the frame's style.
  SIZE FrameSizeFor(int w, int h) const;
  void LeaveDormantFromFrame();
  void SendKeyCommand(int command);
  void SetScaleCommand(int serverScale, bool scaling, int num, int den);
  void ShowConnectionInfo();
  void OpenConnectionOptions();
  void ToggleViewOnly();
  void SetWindowTitle();
  HWND m_hwndToolbar = nullptr;  // the toolbar strip, when one is built
  // ---- Toolbar and custom keys (display/Toolbar.cpp) ----
  void CreateToolbarWindow();
  // The button bar (control 50016): small or big buttons; variant 1 carries the first nine.
  void CreateButtonBar(bool small, int variant);
  // Places the strip and its controls for the frame's width; the strip's rectangle (empty
  // with "showtoolbar" off).
  void LayoutToolbar(RECT* out);
  void RecreateToolbarForWidth(HWND frame);
  LRESULT ToolbarCommand(HWND hwnd, WPARAM wParam, LPARAM lParam);
  void SendCustomKey();
  static LRESULT CALLBACK ToolbarWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK CustomKeyDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
  HWND m_hwndButtonBar = nullptr, m_hwndHostCombo = nullptr, m_hwndConnectButton = nullptr;
  // The third control at the right: a light, green while the server's input and monitor
  // are on, red while the toolbar or commands 50108/50109 turned them off.
  HWND m_hwndInputLight = nullptr;
  HBITMAP m_toolbarImages[3] = {};  // big, small, other variants
  bool m_bigButtons = true;
  int m_toolbarWidth = 0;  // the frame width the button bar was made for

  // Frame state (GUI thread).
  int m_fullWidth = 0, m_fullHeight = 0;      // the scaled framebuffer
  int m_visibleWidth = 0, m_visibleHeight = 0;  // the part of it in view
  int m_winWidth = 0, m_winHeight = 0;          // the frame's size after the last sizing
  bool m_hScrollShown = true, m_vScrollShown = true;  // created with both bars
  bool m_layingOut = false;
  bool m_autoScaled = false;
  bool m_savedScaling = false;
  int m_savedScaleNum = 100, m_savedScaleDen = 100;
  int m_dpi = 96;
  bool m_dpiChangePending = false;
  bool m_restoreRectSet = false;
  RECT m_restoreRect = {};
  bool m_remoteInputDisabled = false;
  bool m_optionsDialogOpen = false;
  bool m_closeBoxOpen = false;    // a close question or the loss notice is shown
  WPARAM m_deferredCloseW = 0;    // a WM_CLOSE that came meanwhile
  LPARAM m_deferredCloseL = 0;
  bool m_closeDeferred = false;
  HMENU m_subMenus[4] = {};
  // Waits (handling sent messages) until the connection thread has ended, at most ms.
  bool WaitForThreadEnd(int ms);

  // Direct3D as the framebuffer (display/ViewerWindow.cpp). The surface is adopted by
  // CreateLocalFramebuffer in the fitted view at 16 and 32 bits per pixel; the first
  // presentations of each surface are read back, and a window that does not show the
  // surface sends this connection back to the DIB for good.
  std::unique_ptr<ViewerDirectxClass> m_directx;
  // Direct3D presents into a window of its own: a window once used by a Direct3D device
  // may never show GDI drawing again (so it is under Wine), and the viewer window must stay
  // able to draw the DIB. It is a pop-up owned by the frame, never activated, laid over the
  // viewer window's client area (a child window's presentation never reaches the screen
  // under Wine); the input it gets goes on to the viewer window. Made with the viewer
  // window, shown while a surface is the framebuffer, destroyed when Direct3D is given up.
  HWND m_hwndPresent = nullptr;
  static LRESULT CALLBACK PresentWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  LRESULT PresentMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  // Lays the presentation window over the viewer window's client area, shown while the
  // surface is the framebuffer and the viewer window can be seen (GUI thread); with
  // `restack` (the frame's place among the windows changed) right above the frame again.
  void PlacePresentation(bool restack = false);
  std::atomic<bool> m_directxFramebuffer{false};  // the surface is the framebuffer (changed under its lock)
  bool m_directxRefused = false;  // a check failed: the DIB from now on (GUI thread)
  bool m_directxChecked = false;  // the current surface was checked (GUI thread)
  int m_directxChecks = 0;        // checks of the current surface so far
  unsigned m_directxCheckedGeneration = 0;  // the device whose picture was checked
  // The surface as the framebuffer, mid grey; false (nothing changed) when Direct3D does
  // not take this session. Under the framebuffer lock.
  bool AdoptDirectxSurface(int width, int height);
  // After a presentation: reads it back while the current surface is unchecked.
  void CheckDirectxPresentation();
  // The window does not show the surface, or the surface cannot stay: the DIB takes over.
  void LeaveDirectx(const char* why);
  void FillFramebufferGrey();

  // The framebuffer bitmap. Guarded by the framebuffer lock.
  HDC m_hBitmapDC = nullptr;
  HBITMAP m_hBitmap = nullptr;
  HGDIOBJ m_hOldBitmap = nullptr;
  std::uint8_t* m_bits = nullptr;
  std::unique_ptr<std::uint8_t[]> m_cacheBits;
  Framebuffer m_fb;  // the geometry of m_bits
  HPALETTE m_hPalette = nullptr;

  // The update region of the update being read (connection thread).
  HRGN m_hUpdateRgn = nullptr;
  // Whole updates only: while the connection thread writes the pixels of an update, paints
  // are held (their area is repainted with the update's region once it is complete),
  // unless the update has already taken kLongestHeldPaintMs (a slow line then shows its
  // progress). Guarded by the framebuffer lock.
  static constexpr std::uint64_t kLongestHeldPaintMs = 500;
  bool m_updateInProgress = false;
  std::uint64_t m_updateStartMs = 0;
  bool m_paintHeld = false;
  RECT m_heldPaint = {};
  bool m_paintOwed = false;  // an update was invalidated and not painted since
  // A paint happened (set by each WM_PAINT): the next update first waits a little for the
  // paint of the last one.
  AutoResetEvent m_painted;
  // Holds this paint (the framebuffer lock held) when an update is being written: true
  // when it was held and its area kept for later.
  bool HoldPaint(const RECT& area);

  // The warning the connection thread left for the frame window with its WM_CLOSE.
  std::mutex m_lostLock;
  std::string m_lostWarning;

  bool m_windowsOwnConnection = false;  // the frame deletes the connection when it goes
  bool m_closingWindows = false;        // the frame's close is under way
  // Connects m_sock to host:port (IPv4, or IPv6 first with the "ipv6" option).
  void ConnectTcp(const char* host, int port);
  bool ConnectAddress(const sockaddr* addr, int addrLen, int family);
  HWND DialogParent() const;

  // The status dialog's thread, procedure and first contents.
  static DWORD WINAPI StatusDialogThread(LPVOID param);
  static INT_PTR CALLBACK StatusDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
  void InitStatusDialog(HWND dlg);
  std::uint64_t StatusBytesReceived();
};
