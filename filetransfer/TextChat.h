// The text chat of a connection (Win32 shell): the chat dialog with its rich-edit history
// (coloured sender names), the input box and the splitter bar between them, and the
// handling of the server's chat messages. The wire format and the text rules are in
// TextChatMessages.h.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class ClientConnection;
class KEBviewerApp;

class TextChat {
public:
  static constexpr COLORREF kRemoteColour = 0x0000FF;  // red
  static constexpr COLORREF kLocalColour = 0xFF0000;   // blue
  static constexpr COLORREF kNoticeColour = 0x888888;  // grey

  // Loads the rich-edit library; without it a warning is shown and the chat has no history.
  TextChat(KEBviewerApp* app, ClientConnection* connection);
  virtual ~TextChat();
  TextChat(const TextChat&) = delete;
  TextChat& operator=(const TextChat&) = delete;

  // Shows the chat dialog modally (GUI thread) and returns when it closes; an open chat is
  // only brought to the front. Nothing of this object is used once the dialog has ended,
  // so the connection may be gone by then.
  void DoDialog();
  // One message 11 from the server (connection thread): open asks the frame window to open
  // the chat, close ends the dialog without an answer, finished marks the chat closed, a
  // text goes to the history under the remote name.
  void ProcessTextChatMsg(std::uint32_t length, const std::string& text);
  // A text the user typed (ending with a line feed): into the history and to the server.
  void SendText(const std::string& text);
  // A line of the history: "<name>: " in the given colour (none without a name), then the
  // text in black, or grey when that colour is the notice grey.
  void AppendToHistory(const char* text, const char* name, COLORREF colour);
  void SetHistoryCharFormat(bool bold, bool italic, int twips, const wchar_t* face, COLORREF colour);
  // Restores (and brings forward) or minimises the dialog.
  void ShowChatWindow(bool show);
  // Asks the dialog to close as the user's Close does (the server is told).
  void PostClose();
  // Ends the dialog without telling the server (the connection is gone).
  void EndWithoutAnswer();
  // The chat is open (the dialog shows and the server was not told it finished).
  bool IsOpen() const { return m_open.load(); }
  HWND Window() const { return m_hDlg.load(); }

private:
  static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK SplitterProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
  void OnInitDialog(HWND hwnd);
  void OnInputChanged();
  void OnSendButton();
  void EndChatDialog();
  // The texts that came from the server while the history could not show them yet.
  void ShowReceivedTexts();
  // WM_SIZE: history, splitter, input and buttons for a client area of w x h.
  void Layout(int w, int h);
  // The splitter bar released at height y of the client area.
  void LayoutAtSplit(int y);
  void DrawSplitBand(int y);
  int ClampSplit(int y) const;
  void ScrollHistoryToEnd();
  std::string InputText() const;

  KEBviewerApp* m_pApp;
  ClientConnection* m_pCC;
  HMODULE m_hRichEdit = nullptr;
  std::atomic<HWND> m_hDlg{nullptr};
  std::atomic<bool> m_open{false};
  HWND m_hHistory = nullptr;
  std::string m_remoteName;
  std::string m_localName;
  std::string m_lastSent;  // the last text sent

  std::mutex m_receivedLock;
  std::vector<std::string> m_received;  // texts waiting for the GUI thread
  std::size_t m_receivedBytes = 0;

  // The splitter bar while it is dragged.
  WNDPROC m_oldSplitterProc = nullptr;
  bool m_tracking = false;
  int m_trackY = 0;
  UINT m_blinkTime = 0;
};
