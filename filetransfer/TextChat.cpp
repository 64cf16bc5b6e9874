#include "filetransfer/TextChat.h"

#include <richedit.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "filetransfer/TextChatMessages.h"
#include "resources/StringIds.h"
#include "resources/resource.h"
#include "session/ClientConnection.h"
#include "session/CutText.h"

namespace {

// A text from the server is waiting for the dialog (posted by the connection thread).
constexpr UINT kChatReceived = WM_APP + 1;
// The frame window's command that opens the chat.
constexpr WPARAM kChatCommand = 50112;
// Texts kept for a dialog that cannot show them yet: at most this much, the oldest go first.
constexpr std::size_t kReceivedCapacity = 4 * textchat::kHistoryCapacity;

const wchar_t kHistoryFace[] = L"\uFF2D\uFF33 \u30B4\u30B7\u30C3\u30AF";  // "MS Gothic", full width
const wchar_t kDefaultFace[] = L"MS Sans Serif";
constexpr int kHistoryTwips = 180;
constexpr int kDefaultTwips = 117;

// Layout, in pixels of the client area.
constexpr int kMargin = 4;
constexpr int kButtonWidth = 72;
constexpr int kMinHistoryHeight = 92;
constexpr int kSplitMargin = 80;
constexpr int kMinWidth = 240, kMinHeight = 179;

TextChat* ChatOf(HWND dialog) { return reinterpret_cast<TextChat*>(GetWindowLongPtrA(dialog, DWLP_USER)); }

// String 50022 from the resource module, or the built-in text.
std::string NotEncryptedText(HINSTANCE module) {
  char buf[256];
  int n = LoadStringA(module, IDS_CHAT_NOT_ENCRYPTED, buf, sizeof buf);
  if (n <= 0) n = LoadStringA(GetModuleHandleA(nullptr), IDS_CHAT_NOT_ENCRYPTED, buf, sizeof buf);
  if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
  const char* builtin = BuiltinUiText(IDS_CHAT_NOT_ENCRYPTED);
  return builtin ? builtin : "";
}

std::string ComputerName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof name;
  if (!GetComputerNameA(name, &n)) return "local";
  return textchat::BoundedName(std::string(name, n));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Object

TextChat::TextChat(KEBviewerApp* app, ClientConnection* connection)
    : m_pApp(app), m_pCC(connection), m_localName(ComputerName()) {
  m_hRichEdit = LoadLibraryA("RICHED32.DLL");
  if (!m_hRichEdit)
    MessageBoxA(nullptr, UiText(IDS_RICHEDIT_MISSING), UiText(IDS_RICHEDIT_TITLE),
                MB_OK | MB_ICONWARNING | MB_SETFOREGROUND);
}

TextChat::~TextChat() {
  m_open = false;
  if (HWND dlg = m_hDlg.load()) {
    SendMessageA(dlg, WM_COMMAND, IDOK, 0);
    // The dialog goes when its modal loop ends, after this object: it must not reach it,
    // nor a history whose library is unloaded below.
    SetWindowLongPtrA(dlg, DWLP_USER, 0);
    if (m_hHistory) DestroyWindow(m_hHistory);
    m_hHistory = nullptr;
    m_hDlg = nullptr;
  }
  if (m_hRichEdit) FreeLibrary(m_hRichEdit);
}

void TextChat::DoDialog() {
  if (m_hDlg.load()) {
    ShowChatWindow(true);
    return;
  }
  const LPARAM self = reinterpret_cast<LPARAM>(this);
  HINSTANCE module = ResourceModuleOf(m_pApp);
  // A language module without the chat dialog: the program's own.
  if (!FindResourceA(module, MAKEINTRESOURCEA(IDD_TEXTCHAT), reinterpret_cast<LPCSTR>(RT_DIALOG)))
    module = GetModuleHandleA(nullptr);
  DialogBoxParamA(module, MAKEINTRESOURCEA(IDD_TEXTCHAT), nullptr, DialogProc, self);
}

void TextChat::PostClose() {
  if (HWND dlg = m_hDlg.load()) PostMessageA(dlg, WM_COMMAND, IDCANCEL, 0);
}

void TextChat::EndWithoutAnswer() {
  if (HWND dlg = m_hDlg.load()) PostMessageA(dlg, WM_COMMAND, IDOK, 0);
}

// ---------------------------------------------------------------------------------------
// Server messages (connection thread)

void TextChat::ProcessTextChatMsg(std::uint32_t length, const std::string& text) {
  switch (textchat::Classify(length)) {
    case textchat::Kind::kOpen:
      PostMessageA(m_pCC->m_hwndMain, WM_SYSCOMMAND, kChatCommand, 0);
      break;
    case textchat::Kind::kClose:
      // Closed by the server: no close message goes back.
      if (m_open) PostMessageA(m_hDlg.load(), WM_COMMAND, IDOK, 0);
      break;
    case textchat::Kind::kFinished:
      if (m_open.exchange(false)) m_pCC->PostNewFormatRequest();
      break;
    case textchat::Kind::kText: {
      {
        std::lock_guard<std::mutex> g(m_receivedLock);
        m_received.push_back(text);
        m_receivedBytes += text.size();
        while (m_receivedBytes > kReceivedCapacity && m_received.size() > 1) {
          m_receivedBytes -= m_received.front().size();
          m_received.erase(m_received.begin());
        }
      }
      // An open dialog shows it now; one being opened shows it once its history exists.
      if (HWND dlg = m_hDlg.load()) PostMessageA(dlg, kChatReceived, 0, 0);
      break;
    }
    default: break;
  }
}

void TextChat::ShowReceivedTexts() {
  std::vector<std::string> texts;
  {
    std::lock_guard<std::mutex> g(m_receivedLock);
    texts.swap(m_received);
    m_receivedBytes = 0;
  }
  if (texts.empty()) return;
  for (const std::string& t : texts) AppendToHistory(t.c_str(), m_remoteName.c_str(), kRemoteColour);
  ShowChatWindow(true);
}

// ---------------------------------------------------------------------------------------
// History

void TextChat::SetHistoryCharFormat(bool bold, bool italic, int twips, const wchar_t* face, COLORREF colour) {
  if (!m_hHistory) return;
  CHARFORMATW cf = {};
  cf.cbSize = sizeof cf;
  cf.dwMask = CFM_BOLD | CFM_ITALIC | CFM_SIZE | CFM_FACE | CFM_COLOR;
  cf.dwEffects = (bold ? CFE_BOLD : 0) | (italic ? CFE_ITALIC : 0);
  cf.yHeight = twips;
  cf.crTextColor = colour;
  wcsncpy(cf.szFaceName, face, LF_FACESIZE - 1);
  SendMessageW(m_hHistory, EM_SETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&cf));
}

void TextChat::ScrollHistoryToEnd() {
  if (m_hHistory) SendMessageA(m_hHistory, WM_VSCROLL, SB_BOTTOM, 0);
}

void TextChat::AppendToHistory(const char* text, const char* name, COLORREF colour) {
  if (!m_hHistory) return;
  if (textchat::HistoryFull(static_cast<std::size_t>(GetWindowTextLengthA(m_hHistory))))
    SetWindowTextA(m_hHistory, textchat::HistorySeparator().c_str());
  if (name) {
    SendMessageA(m_hHistory, EM_SETSEL, INT_MAX, INT_MAX);
    SetHistoryCharFormat(false, false, kHistoryTwips, kHistoryFace, colour);
    const std::string prefix = "<" + std::string(name) + ">: ";
    SendMessageA(m_hHistory, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(prefix.c_str()));
  }
  if (text) {
    SendMessageA(m_hHistory, EM_SETSEL, INT_MAX, INT_MAX);
    SetHistoryCharFormat(false, false, kHistoryTwips, kHistoryFace, colour == kNoticeColour ? kNoticeColour : 0);
    SendMessageA(m_hHistory, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
  }
  ScrollHistoryToEnd();
}

// ---------------------------------------------------------------------------------------
// Sending (GUI thread)

void TextChat::SendText(const std::string& text) {
  const std::string wire = text.substr(0, textchat::kMaxText);
  m_lastSent = wire;
  AppendToHistory(wire.c_str(), m_localName.c_str(), kLocalColour);
  m_pCC->SendTextChat(static_cast<std::uint32_t>(wire.size()), wire.data());
  if (HWND dlg = m_hDlg.load()) SetDlgItemTextA(dlg, IDC_CHAT_INPUT, "");
}

std::string TextChat::InputText() const {
  HWND dlg = m_hDlg.load();
  std::string text(textchat::kMaxText, '\0');
  const UINT n = GetDlgItemTextA(dlg, IDC_CHAT_INPUT, &text[0], static_cast<int>(text.size()));
  text.resize(n);
  return text;
}

void TextChat::OnSendButton() {
  std::string text = InputText();
  text += '\n';
  SendText(cuttext::RemoveCarriageReturns(text.data(), text.size()));
  SetFocus(GetDlgItem(m_hDlg.load(), IDC_CHAT_INPUT));
}

void TextChat::OnInputChanged() {
  const std::string text = InputText();
  // Enter in the multi-line box: the line goes, with its line feed.
  if (text.find('\n') != std::string::npos) SendText(cuttext::RemoveCarriageReturns(text.data(), text.size()));
}

// ---------------------------------------------------------------------------------------
// Window

void TextChat::ShowChatWindow(bool show) {
  HWND dlg = m_hDlg.load();
  if (!dlg) return;
  ShowWindow(dlg, show ? SW_RESTORE : SW_MINIMIZE);
  SetForegroundWindow(dlg);
  if (!show) m_pCC->PostNewFormatRequest();
  if (show && m_pCC->IsFullScreen()) SetWindowPos(dlg, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
}

void TextChat::OnInitDialog(HWND hwnd) {
  SetWindowLongPtrA(hwnd, DWLP_USER, reinterpret_cast<LONG_PTR>(this));
  m_hDlg = hwnd;
  m_open = true;
  HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_MAINICON));
  SendMessageA(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
  SendMessageA(hwnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
  if (m_pCC->IsFullScreen()) SetWindowPos(hwnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
  SetWindowTextA(hwnd, textchat::ChatTitle(m_pCC->m_desktopName).c_str());
  m_remoteName = textchat::RemoteSpeakerName(m_pCC->m_desktopName);

  if (m_hRichEdit) {
    m_hHistory = CreateWindowExA(WS_EX_CLIENTEDGE, "RICHEDIT", "",
                                 WS_CHILD | WS_VISIBLE | WS_VSCROLL | WS_TABSTOP | ES_MULTILINE | ES_READONLY |
                                     ES_AUTOVSCROLL,
                                 kMargin, kMargin, 100, 100, hwnd, reinterpret_cast<HMENU>(IDC_CHAT_HISTORY),
                                 GetModuleHandleA(nullptr), nullptr);
  }
  if (m_hHistory) {
    SendMessageA(m_hHistory, EM_EXLIMITTEXT, 0, 4 * textchat::kHistoryCapacity);
    CHARFORMATW cf = {};
    cf.cbSize = sizeof cf;
    cf.dwMask = CFM_BOLD | CFM_ITALIC | CFM_SIZE | CFM_FACE | CFM_COLOR;
    cf.yHeight = kDefaultTwips;
    wcsncpy(cf.szFaceName, kDefaultFace, LF_FACESIZE - 1);
    SendMessageW(m_hHistory, EM_SETCHARFORMAT, SCF_ALL, reinterpret_cast<LPARAM>(&cf));
    SendMessageA(m_hHistory, EM_SETBKGNDCOLOR, 0, 0xFFFFFF);
  }
  m_lastSent.clear();
  if (!m_pCC->m_fUsePlugin) AppendToHistory(NotEncryptedText(ResourceModuleOf(m_pApp)).c_str(), nullptr, kNoticeColour);
  ScrollHistoryToEnd();
  m_pCC->SendTextChat(textchat::kOpen);
  SetForegroundWindow(hwnd);

  HWND splitter = GetDlgItem(hwnd, IDC_CHAT_SPLITTER);
  if (splitter) {
    SetWindowLongPtrA(splitter, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    m_oldSplitterProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrA(splitter, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(SplitterProc)));
  }
  RECT rc;
  GetClientRect(hwnd, &rc);
  Layout(rc.right, rc.bottom);
  ShowReceivedTexts();
  SetFocus(GetDlgItem(hwnd, IDC_CHAT_INPUT));
}

void TextChat::EndChatDialog() {
  HWND dlg = m_hDlg.load();
  if (!dlg) return;
  HWND splitter = GetDlgItem(dlg, IDC_CHAT_SPLITTER);
  if (splitter && m_oldSplitterProc)
    SetWindowLongPtrA(splitter, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(m_oldSplitterProc));
  m_oldSplitterProc = nullptr;
  EndDialog(dlg, 0);
}

void TextChat::Layout(int w, int h) {
  HWND dlg = m_hDlg.load();
  HWND input = GetDlgItem(dlg, IDC_CHAT_INPUT);
  RECT ir;
  GetWindowRect(input, &ir);
  // The input keeps its height, as long as the history keeps its least.
  int i = ir.bottom - ir.top;
  i = std::max(0, std::min(i, h - 16 - kMinHistoryHeight));
  if (m_hHistory) MoveWindow(m_hHistory, kMargin, kMargin, w - 8, h - i - 16, TRUE);
  MoveWindow(GetDlgItem(dlg, IDC_CHAT_SPLITTER), kMargin, h - i - 12, w - 8, 8, TRUE);
  MoveWindow(input, kMargin, h - i - 4, w - 88, i, TRUE);
  MoveWindow(GetDlgItem(dlg, IDC_CHAT_SEND), w - 76, h - 64, kButtonWidth, 20, TRUE);
  MoveWindow(GetDlgItem(dlg, IDC_CHAT_MINIMIZE), w - 76, h - 40, kButtonWidth, 18, TRUE);
  MoveWindow(GetDlgItem(dlg, IDCANCEL), w - 76, h - 22, kButtonWidth, 18, TRUE);
}

int TextChat::ClampSplit(int y) const {
  RECT rc;
  GetClientRect(m_hDlg.load(), &rc);
  return std::max(kSplitMargin, std::min(y, static_cast<int>(rc.bottom) - kSplitMargin));
}

void TextChat::LayoutAtSplit(int y) {
  HWND dlg = m_hDlg.load();
  RECT rc;
  GetClientRect(dlg, &rc);
  const int width = rc.right, height = rc.bottom;
  if (m_hHistory) MoveWindow(m_hHistory, kMargin, kMargin, width - 8, y - 4, TRUE);
  MoveWindow(GetDlgItem(dlg, IDC_CHAT_SPLITTER), kMargin, y, width - 8, 8, TRUE);
  MoveWindow(GetDlgItem(dlg, IDC_CHAT_INPUT), kMargin, y + 8, width - 88, height - y - 12, TRUE);
}

void TextChat::DrawSplitBand(int y) {
  HWND dlg = m_hDlg.load();
  RECT rc;
  GetClientRect(dlg, &rc);
  HDC dc = GetDC(dlg);
  if (!dc) return;
  // Drawn twice, the band is gone again.
  const int old = SetROP2(dc, R2_NOTXORPEN);
  for (int k = 0; k < 4; k++) {
    MoveToEx(dc, 0, y + k, nullptr);
    LineTo(dc, rc.right, y + k);
  }
  SetROP2(dc, old);
  ReleaseDC(dlg, dc);
}

LRESULT CALLBACK TextChat::SplitterProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  auto* chat = reinterpret_cast<TextChat*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (!chat || !chat->m_oldSplitterProc) return DefWindowProcA(hwnd, msg, wParam, lParam);
  HWND dlg = chat->m_hDlg.load();
  auto cursorY = [&]() {
    POINT pt;
    GetCursorPos(&pt);
    ScreenToClient(dlg, &pt);
    return chat->ClampSplit(pt.y);
  };
  switch (msg) {
    case WM_SETCURSOR: SetCursor(LoadCursorA(nullptr, IDC_SIZENS)); return TRUE;
    case WM_LBUTTONDOWN:
      SetCapture(hwnd);
      chat->m_blinkTime = GetCaretBlinkTime();
      SetCaretBlinkTime(0x7FFFFFFF);
      chat->m_tracking = true;
      chat->m_trackY = cursorY();
      chat->DrawSplitBand(chat->m_trackY);
      return 0;
    case WM_MOUSEMOVE:
      if (chat->m_tracking && (wParam & MK_LBUTTON)) {
        chat->DrawSplitBand(chat->m_trackY);
        chat->m_trackY = cursorY();
        chat->DrawSplitBand(chat->m_trackY);
      }
      return 0;
    case WM_LBUTTONUP:
      if (chat->m_tracking) {
        ReleaseCapture();
        SetCaretBlinkTime(chat->m_blinkTime);
        chat->DrawSplitBand(chat->m_trackY);
        chat->m_tracking = false;
        chat->LayoutAtSplit(cursorY());
      }
      return 0;
    default: return CallWindowProcA(chat->m_oldSplitterProc, hwnd, msg, wParam, lParam);
  }
}

INT_PTR CALLBACK TextChat::DialogProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg == WM_INITDIALOG) {
    auto* chat = reinterpret_cast<TextChat*>(lParam);
    try {
      chat->OnInitDialog(hwnd);
    } catch (...) {
      kebLog.Print(0, "The chat could not be opened\n");
      chat->EndChatDialog();
    }
    return FALSE;  // the input has the focus
  }
  TextChat* chat = ChatOf(hwnd);
  if (!chat) return FALSE;
  try {
    return chat->OnMessage(hwnd, msg, wParam, lParam);
  } catch (...) {
    // A send that failed: the connection's own road reports it; the chat goes on.
    kebLog.Print(0, "Chat message not sent\n");
    return TRUE;
  }
}

INT_PTR TextChat::OnMessage(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  switch (msg) {
    case WM_COMMAND:
      switch (LOWORD(wParam)) {
        case IDC_CHAT_SEND:
          if (HIWORD(wParam) == BN_CLICKED) OnSendButton();
          return TRUE;
        case IDC_CHAT_INPUT:
          if (HIWORD(wParam) == EN_UPDATE) OnInputChanged();
          return TRUE;
        case IDC_CHAT_MINIMIZE: ShowChatWindow(false); return TRUE;
        case IDCANCEL:
          m_pCC->SendTextChat(textchat::kClose);
          EndChatDialog();
          return TRUE;
        case IDOK: EndChatDialog(); return TRUE;
        default: return FALSE;
      }
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == SC_RESTORE) {
        ShowChatWindow(true);
        return TRUE;
      }
      return FALSE;
    case kChatReceived: ShowReceivedTexts(); return TRUE;
    case WM_SIZE:
      if (wParam != SIZE_MINIMIZED) Layout(LOWORD(lParam), HIWORD(lParam));
      return TRUE;
    case WM_SIZING: {
      auto* r = reinterpret_cast<RECT*>(lParam);
      const int minW = kMinWidth + 2 * GetSystemMetrics(SM_CXSIZEFRAME);
      const int minH = kMinHeight + 2 * GetSystemMetrics(SM_CYSIZEFRAME);
      if (r->right - r->left < minW) {
        if (wParam == WMSZ_LEFT || wParam == WMSZ_TOPLEFT || wParam == WMSZ_BOTTOMLEFT)
          r->left = r->right - minW;
        else
          r->right = r->left + minW;
      }
      if (r->bottom - r->top < minH) {
        if (wParam == WMSZ_TOP || wParam == WMSZ_TOPLEFT || wParam == WMSZ_TOPRIGHT)
          r->top = r->bottom - minH;
        else
          r->bottom = r->top + minH;
      }
      return TRUE;
    }
    case WM_DESTROY:
      m_open = false;
      m_hDlg = nullptr;
      m_hHistory = nullptr;
      SetWindowLongPtrA(hwnd, DWLP_USER, 0);
      return FALSE;
    default: return FALSE;
  }
}

// ---------------------------------------------------------------------------------------
// The connection's side

bool ClientConnection::TextChatActive() { return m_pTextChat && m_pTextChat->IsOpen(); }

void ClientConnection::TextChatReceived(std::uint32_t length, const std::string& text) {
  if (m_pTextChat) m_pTextChat->ProcessTextChatMsg(length, text);
}

void ClientConnection::PostNewFormatRequest(bool post) {
  if (post)
    QueueUpdateRequest(kRequestNewFormat);
  else
    PostUpdateRequest(kRequestNewFormat, true);
}
