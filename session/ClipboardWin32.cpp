// The Windows side of the clipboard: the viewer window in the clipboard-viewer chain, the
// local clipboard read for the server (plain CF_TEXT, or Unicode text, RTF, HTML and
// bitmaps for the extended clipboard) and written with what the server sends.
#include <algorithm>
#include <cstring>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "display/ViewerMessages.h"
#include "session/ClientConnection.h"
#include "session/CutText.h"

namespace {

// The registered formats of RTF and HTML, registered on first use.
UINT RtfFormat() {
  static const UINT f = RegisterClipboardFormatA("Rich Text Format");
  return f;
}
UINT HtmlFormat() {
  static const UINT f = RegisterClipboardFormatA("HTML Format");
  return f;
}
// The Windows format of each extended-clipboard format, in their order.
UINT WindowsFormat(int index) {
  switch (index) {
    case 0: return CF_UNICODETEXT;
    case 1: return RtfFormat();
    case 2: return HtmlFormat();
    default: return CF_DIBV5;
  }
}

// Another program (or Wine's own clipboard manager, right after a change) may hold the
// clipboard open for a moment: a few tries, 20 ms apart.
bool OpenClipboardSoon(HWND window) {
  for (int i = 0; i < 10; i++) {
    if (OpenClipboard(window)) return true;
    Sleep(20);
  }
  return false;
}

// A movable global block holding the bytes; nullptr when it cannot be made.
HGLOBAL GlobalCopy(const void* data, std::size_t n) {
  HGLOBAL h = GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, n ? n : 1);
  if (!h) return nullptr;
  void* p = GlobalLock(h);
  if (!p) {
    GlobalFree(h);
    return nullptr;
  }
  if (n) std::memcpy(p, data, n);
  GlobalUnlock(h);
  return h;
}

// Sets a block under a format; the clipboard owns it then, else it is freed.
bool SetBlock(UINT format, HGLOBAL block) {
  if (!block) return false;
  if (SetClipboardData(format, block)) return true;
  GlobalFree(block);
  return false;
}

const char* const kFormatNames[extclip::kFormatCount] = {"text", "RTF", "HTML", "image"};

// What one reading of the clipboard may hold in all: as much as a provide message may carry
// to a viewer, so that what goes out stays within every length the message has.
bool WithinBudget(int index, std::uint64_t size, std::uint64_t& budget) {
  if (size <= budget) {
    budget -= size;
    return true;
  }
  kebLog.Print(6, "Clipboard %s of %llu bytes left out: only %llu bytes may travel\n", kFormatNames[index],
               static_cast<unsigned long long>(size), static_cast<unsigned long long>(extclip::kMaxProvidedBytes));
  return false;
}

// The bytes of a clipboard format (its global block whole) when it fits the budget, or
// false when it has none or is left out.
bool CopyFormat(int index, std::vector<std::uint8_t>& out, std::uint64_t& budget) {
  HANDLE h = GetClipboardData(WindowsFormat(index));
  if (!h) return false;
  const SIZE_T n = GlobalSize(h);
  if (!WithinBudget(index, n, budget)) return false;
  const void* p = GlobalLock(h);
  if (!p) return false;
  out.assign(static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + n);
  GlobalUnlock(h);
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ClipboardContent: the Windows clipboard

bool ClipboardContent::ReadLocalClipboard(HWND window) {
  for (auto& d : data) d.clear();
  UpdateChecksum();
  if (!OpenClipboardSoon(window)) return false;
  std::uint64_t budget = extclip::kMaxProvidedBytes;
  if (HANDLE h = GetClipboardData(CF_UNICODETEXT)) {
    if (const auto* p = static_cast<const char16_t*>(GlobalLock(h))) {
      const std::string utf8 = cuttext::Utf16ToUtf8(p, GlobalSize(h) / sizeof(char16_t));
      GlobalUnlock(h);
      if (WithinBudget(0, utf8.size() + 1, budget)) {
        data[0].assign(utf8.begin(), utf8.end());
        data[0].push_back(0);
        UpdateChecksum();
      }
    }
  }
  for (int i = 1; i < extclip::kFormatCount; i++) CopyFormat(i, data[i], budget);
  CloseClipboard();
  return HasAny();
}

bool ClipboardContent::SetLocalClipboard(HWND window) const {
  if (!OpenClipboardSoon(window)) return false;
  bool written = EmptyClipboard() != FALSE;
  for (int i = 0; written && i < extclip::kFormatCount; i++) {
    if (data[i].empty()) continue;
    HGLOBAL block;
    if (i == 0) {
      std::u16string text = cuttext::Utf8ToUtf16(reinterpret_cast<const char*>(data[0].data()), data[0].size());
      text.push_back(0);
      block = GlobalCopy(text.data(), text.size() * sizeof(char16_t));
    } else {
      block = GlobalCopy(data[i].data(), data[i].size());
    }
    // Without its text the rest is not worth setting.
    if (!SetBlock(WindowsFormat(i), block) && i == 0) written = false;
  }
  CloseClipboard();
  return written;
}

bool ClipboardContent::WriteLocalClipboard(HWND window, const std::uint8_t* message, std::size_t length) {
  std::string error;
  if (!ReadProvide(message, length, &error)) return false;
  return SetLocalClipboard(window);
}

// ---------------------------------------------------------------------------------------
// The clipboard-viewer chain (GUI thread)

void ClientConnection::JoinClipboardChain() {
  if (!m_hwndcn || m_inClipboardChain) return;
  // Joining notifies the new member at once: that first notice is no change of the user's.
  m_clipboardInitialising = true;
  SetLastError(0);
  m_hwndNextViewer = SetClipboardViewer(m_hwndcn);
  kebLog.Print(6, "SetClipboardViewer to 0x%08x; next is 0x%08x. Last error 0x%08x",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndcn)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndNextViewer)),
               static_cast<unsigned>(GetLastError()));
  m_inClipboardChain = true;
  m_clipboardInitialising = false;
}

void ClientConnection::LeaveClipboardChain() {
  if (!m_inClipboardChain) return;
  const BOOL removed = ChangeClipboardChain(m_hwndcn, m_hwndNextViewer);
  kebLog.Print(6, "WndProchwnd ChangeClipboardChain hwnd 0x%08x / m_hwndcn 0x%08x, 0x%08x (%li)\n",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndcn)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndcn)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndNextViewer)), static_cast<long>(removed));
  m_hwndNextViewer = nullptr;
  m_inClipboardChain = false;
}

void ClientConnection::HandleClipboardChainChange(HWND removed, HWND next) {
  kebLog.Print(6, "WM_CHANGECBCHAIN remove 0x%08x, next 0x%08x (current m_hwndcn 0x%08x / hwnd 0x%08x, next 0x%08x)\n",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(removed)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(next)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndcn)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndcn)),
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndNextViewer)));
  if (removed == m_hwndNextViewer)
    m_hwndNextViewer = next;
  else if (m_hwndNextViewer)
    SendNotifyMessageA(m_hwndNextViewer, WM_CHANGECBCHAIN, reinterpret_cast<WPARAM>(removed),
                       reinterpret_cast<LPARAM>(next));
}

void ClientConnection::HandleClipboardChange() {
  kebLog.Print(6, "Clipboard changed\n");
  if (m_clipboardInitialising) {
    kebLog.Print(6, "Ignore Clipboard while initializing!\n");
  } else if (m_settingClipboard) {
    kebLog.Print(6, "Ignore Clipboard while setting viewer!\n");
  } else if (FileTransferInProgress()) {
    kebLog.Print(6, "Ignore Clipboard while File Transfer is buzy!\n");
  } else if (GetClipboardOwner() == m_hwndcn) {
    kebLog.Print(6, "We changed it - ignore!\n");
  } else if (!m_opts.m_disableclipboard && !m_opts.m_viewonly) {
    // Read from a message of its own: whoever changed the clipboard may still hold it
    // open while the chain is told.
    PostMessageA(m_hwndcn, WM_UPDATEREMOTECLIPBOARD, 0, 0);
  }
  if (!m_hwndNextViewer) {
    kebLog.Print(6, "No next window in chain; WM_DRAWCLIPBOARD will not be passed\n");
    return;
  }
  kebLog.Print(6, "Passing WM_DRAWCLIPBOARD to 0x%08x\n",
               static_cast<unsigned>(reinterpret_cast<UINT_PTR>(m_hwndNextViewer)));
  SendNotifyMessageA(m_hwndNextViewer, WM_DRAWCLIPBOARD, 0, 0);
}

// ---------------------------------------------------------------------------------------
// Local clipboard to the server (GUI thread)

void ClientConnection::UpdateRemoteClipboard(std::uint32_t flags) {
  try {
    if (ExtendedClipboardInUse()) {
      ClipboardContent content;
      if (!content.ReadLocalClipboard(m_hwndcn)) {
        kebLog.Print(6, "Failed to load local clipboard!\n");
        return;
      }
      SendExtendedClipboard(content, flags);
      return;
    }
    kebLog.Print(6, "Checking clipboard...\n");
    if (!OpenClipboardSoon(m_hwndcn)) return;
    kebLog.Print(6, "Opened...\n");
    HANDLE h = GetClipboardData(CF_TEXT);
    if (!h) {
      kebLog.Print(6, "No CF_TEXT!\n");
      CloseClipboard();
      return;
    }
    kebLog.Print(6, "Got CF_TEXT!\n");
    std::string text;
    if (const char* p = static_cast<const char*>(GlobalLock(h))) {
      const SIZE_T size = GlobalSize(h);
      text = cuttext::RemoveCarriageReturns(p, strnlen(p, size));
      GlobalUnlock(h);
    }
    CloseClipboard();
    SendClientCutText(text.data(), text.size());
  } catch (const WarningException& e) {
    kebLog.Print(0, "Exception while sending clipboard text : %s\n", e.Message());
    // The connection cannot go on without its sends: it closes, no reconnect.
    PostMessageA(m_hwndMain, WM_CLOSE, 0, 1);
  }
}

// ---------------------------------------------------------------------------------------
// Server clipboard to the local one (connection thread)

bool ClientConnection::UpdateLocalClipboard(const char* text, std::size_t length) {
  const std::string local = cuttext::ToLocalLineEnds(text, length);
  m_settingClipboard = true;
  bool written = false;
  if (!OpenClipboardSoon(m_hwndcn)) {
    kebLog.Print(2, "UpdateLocalClipboard: Failed to open clipboard! Last error 0x%08x",
                 static_cast<unsigned>(GetLastError()));
  } else {
    if (!EmptyClipboard())
      kebLog.Print(2, "UpdateLocalClipboard: Failed to empty clipboard! Last error 0x%08x",
                   static_cast<unsigned>(GetLastError()));
    else
      written = SetBlock(CF_TEXT, GlobalCopy(local.c_str(), local.size() + 1));
    CloseClipboard();
  }
  m_settingClipboard = false;
  return written;
}

bool ClientConnection::SetLocalClipboard(const ClipboardContent& content) {
  m_settingClipboard = true;
  const bool written = content.SetLocalClipboard(m_hwndcn);
  m_settingClipboard = false;
  return written;
}

void ClientConnection::PostClipboardCaps() { PostToGuiThread(m_hwndcn, WM_SENDCLIPBOARDCAPS, 0, 0); }

void ClientConnection::PostClipboardRequest(std::uint32_t flags) {
  PostToGuiThread(m_hwndcn, WM_UPDATEREMOTECLIPBOARD, flags, 0);
}

// ---------------------------------------------------------------------------------------
// The clipboard commands of the system menu (GUI thread)

bool ClientConnection::ClipboardCommand(UINT command) {
  switch (command) {
    case 201:  // automatic synchronisation on or off
      m_opts.m_disableclipboard = !m_opts.m_disableclipboard;
      SendClipboardCaps(false);
      if (!m_opts.m_viewonly && !m_opts.m_disableclipboard) UpdateRemoteClipboard(0);
      return true;
    case 203:  // RTF
    case 204: {  // HTML
      {
        std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
        m_clip.ApplyPreferences(m_clip.Preferences() ^ (command == 203 ? 2 : 4));
      }
      SendClipboardCaps(true);
      return true;
    }
    case 205: UpdateRemoteClipboard(extclip::kProvideAll); return true;
    case 206: RequestClipboardFormats(); return true;
    case 202:  // text always travels
    case 208:  // images only when sent or asked for
      return true;
    default: return false;
  }
}
