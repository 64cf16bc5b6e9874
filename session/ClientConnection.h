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

#include "session/RfbSession.h"

class KEBviewerApp;

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
  HWND m_hwndStatus = nullptr;  // connection-status dialog
  RTL_OSVERSIONINFOW m_osVersion = {};

  // ---- Viewer window and framebuffer bitmap (display/ViewerWindow.cpp) ----

  // The viewer window, a child of the frame window, with its 30 s update timer.
  void CreateDisplayWindow();
  // Builds (or rebuilds) the DIB section for the framebuffer size and the session format,
  // mid grey, with the cache buffer when "EnableCache" is on. Call with the framebuffer
  // lock held. Throws ErrorException when the DIB cannot be made.
  void CreateLocalFramebuffer();
  void PaintViewerWindow(HWND hwnd);
  void HandleUpdateRequestMessage(WPARAM wParam);
  // Key and mouse input ends the dormancy that the server's idle interval started.
  void LeaveDormantMode();
  static LRESULT CALLBACK ViewerWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  // ---- Frame window (display/FrameWindow.cpp): the caption, the close box and the
  // connection's end; sizing follows the framebuffer ----

  void CreateFrameWindow();
  // Sizes the frame so that its client area shows the (scaled) framebuffer, within the
  // work area of its monitor; centred the first time, then where it is.
  void SizeWindow();
  static LRESULT CALLBACK FrameWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  // ---- FramebufferHost: the DIB section ----

  Framebuffer CurrentFramebuffer() override;
  void AddRectToUpdateRegion(int x, int y, int w, int h) override;
  void InvalidateScreenRect(int x, int y, int w, int h) override;

protected:
  // The connection thread: the session's message loop.
  void* run_undetached(void* arg) override;

  // What the connection thread asks of the windows (each posted to the GUI thread, except
  // the first update request, which is sent).
  void PostUpdateRequest(std::uint32_t kind, bool wait) override;
  void RebuildFramebuffer() override { CreateLocalFramebuffer(); }
  void FramebufferResized() override;
  void InvalidateUpdateRegion() override;
  void ShowDesktopRect() override;
  void Bell() override;
  void SetKeepAliveTimer(int ms) override;
  void SetIdleTimer(std::uint32_t ms) override;
  void ServerStateChanged() override;
  void PostStreamingAck() override;
  void ConnectionThreadStarted() override;
  void ConnectionLost(int attemptsLeft, const char* warning) override;
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

private:
  void Init(KEBviewerApp* app);
  // The question of AskChoice on the GUI thread (the connection thread asks through it).
  bool AskChoiceHere(const ChoicePrompt& prompt, bool* checked);
  // A viewer-window timer from any thread.
  void SetViewerTimer(UINT_PTR id, std::uint32_t ms);
  // Framebuffer coordinates to viewer-window coordinates (scaling, scrolling).
  RECT FramebufferToWindow(int x, int y, int w, int h) const;
  void ReleaseLocalFramebuffer();
  // The frame is being destroyed: the thread is ended and the connection deleted.
  void FinishAndDelete();
  // Waits (handling sent messages) until the connection thread has ended, at most ms.
  bool WaitForThreadEnd(int ms);

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

  // The warning the connection thread left for the frame window with its WM_CLOSE.
  std::mutex m_lostLock;
  std::string m_lostWarning;

  bool m_windowsOwnConnection = false;  // the frame deletes the connection when it goes
  bool m_closingWindows = false;        // the frame's close is under way
  bool m_framePlaced = false;           // SizeWindow placed the frame once
  // Connects m_sock to host:port (IPv4, or IPv6 first with the "ipv6" option).
  void ConnectTcp(const char* host, int port);
  bool ConnectAddress(const sockaddr* addr, int addrLen, int family);
  HWND DialogParent() const;
};
