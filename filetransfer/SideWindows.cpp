// The chat and the file-transfer window as the frame window sees them: each opens only
// when the server announced its extensions, only one of the two is open at a time, and
// the frame does not close under either of them.
//
// Both windows run modal loops inside the frame's WM_SYSCOMMAND. A close that reached the
// frame from within such a loop would delete the connection (and the window's object)
// while the loop is still on the stack; the frame therefore ends the window first and
// takes the close up again once the loop has returned.
#include <windows.h>

#include "app/UiText.h"
#include "display/FrameCommands.h"
#include "filetransfer/FileTransfer.h"
#include "filetransfer/TextChat.h"
#include "resources/StringIds.h"
#include "session/ClientConnection.h"

namespace {

// Counts a modal loop of this connection's side windows (or one of their notices) while it
// is on the stack; when the last one returns, a close that waited for it is posted again.
class SideLoop {
public:
  explicit SideLoop(ClientConnection* cc) : m_cc(cc) { ++m_cc->m_sideWindowLoops; }
  ~SideLoop() {
    if (--m_cc->m_sideWindowLoops > 0 || !m_cc->m_sideCloseDeferred) return;
    m_cc->m_sideCloseDeferred = false;
    if (m_cc->m_hwndMain) PostMessageA(m_cc->m_hwndMain, WM_CLOSE, m_cc->m_sideCloseW, m_cc->m_sideCloseL);
  }
  SideLoop(const SideLoop&) = delete;
  SideLoop& operator=(const SideLoop&) = delete;

private:
  ClientConnection* m_cc;
};

}  // namespace

void ClientConnection::OpenFileTransfer() {
  if (!m_pFileTransfer) return;
  if (m_pFileTransfer->Window()) {  // open already: to the front
    m_pFileTransfer->DoDialog();
    return;
  }
  SideLoop loop(this);
  // The file-transfer and chat extensions come with the server's own protocol versions.
  if (!m_serverExtB) {
    MessageBoxA(m_hwndMain, UiText(IDS_FT_NOT_OFFERED), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (m_pTextChat && m_pTextChat->Window()) {
    m_pTextChat->PostClose();
    MessageBoxA(m_hwndMain, UiText(IDS_CHAT_CLOSED_FOR_FT), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
    return;
  }
  m_pFileTransfer->DoDialog();
}

void ClientConnection::OpenTextChat() {
  if (!m_pTextChat) return;
  if (m_pTextChat->Window()) {
    m_pTextChat->DoDialog();
    return;
  }
  SideLoop loop(this);
  if (!m_serverExtB) {
    MessageBoxA(m_hwndMain, UiText(IDS_CHAT_NOT_OFFERED), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
    return;
  }
  if (m_pFileTransfer && m_pFileTransfer->Window()) {
    SendMessageA(m_pFileTransfer->Window(), WM_COMMAND, IDCANCEL, 0);
    MessageBoxA(m_hwndMain, UiText(IDS_FT_CLOSED_FOR_CHAT), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
    return;
  }
  m_pTextChat->DoDialog();
}

void ClientConnection::ToggleSideWindow(bool chat) {
  if (chat && m_pTextChat && m_pTextChat->Window())
    m_pTextChat->PostClose();
  else if (!chat && m_pFileTransfer && m_pFileTransfer->Window())
    PostMessageA(m_pFileTransfer->Window(), WM_CLOSE, 0, 0);
  else
    SendMessageA(m_hwndMain, WM_SYSCOMMAND, chat ? framecmd::kChat : framecmd::kFileTransfer, 0);
}

bool ClientConnection::CloseSideWindowsFirst(WPARAM attempts, LPARAM lost) {
  // The windows exist only inside their loops; without a loop there is nothing to wait for.
  if (m_sideWindowLoops == 0) return false;
  HWND ft = m_pFileTransfer ? m_pFileTransfer->Window() : nullptr;
  HWND chat = m_pTextChat ? m_pTextChat->Window() : nullptr;
  auto deferClose = [this](WPARAM w, LPARAM l) {
    m_sideCloseDeferred = true;
    m_sideCloseW = w;
    m_sideCloseL = l;
  };
  if (lost == 1 || (!ft && !chat)) {
    // The connection is gone (or only a notice of ours is open): the windows end without a
    // word to the server, and the close runs again when their loops have returned.
    if (ft) m_pFileTransfer->EndForLoss();
    if (chat) m_pTextChat->EndWithoutAnswer();
    deferClose(attempts, lost);
    return true;
  }
  SideLoop notice(this);
  m_closeBoxOpen = true;
  if (ft) {
    SendMessageA(ft, WM_COMMAND, IDCANCEL, 0);
    MessageBoxA(m_hwndMain, UiText(IDS_FT_OPEN_AT_CLOSE), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
  } else {
    m_pTextChat->PostClose();
    MessageBoxA(m_hwndMain, UiText(IDS_CHAT_OPEN_AT_CLOSE), UiText(IDS_INFO_TITLE), MB_OK | MB_ICONINFORMATION);
  }
  m_closeBoxOpen = false;
  // A close that came while the notice was open (a loss) waits for the loops as well.
  if (m_closeDeferred) {
    m_closeDeferred = false;
    deferClose(m_deferredCloseW, m_deferredCloseL);
  }
  return true;
}
