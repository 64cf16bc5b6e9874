// The frame window's system menu with the viewer's commands, its check states, and the
// commands themselves as the menu, the accelerators, the keyboard hook, the toolbar and
// the full-screen title bar deliver them.
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/KEBviewerApp.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "dialogs/InfoDialogs.h"
#include "display/FrameCommands.h"
#include "display/ViewerMessages.h"
#include "security/DSMPlugin.h"
#include "session/ClientConnection.h"
#include "session/ExtendedClipboard.h"

using namespace framecmd;

namespace {

// A menu label of the string table: the UI texts loaded at start-up, others from the
// language module (or the texts built in).
std::string Label(HINSTANCE module, int id) {
  if (id >= kUiTextFirst && id <= kUiTextLast) return UiText(id);
  char buf[256];
  const int n = module ? LoadStringA(module, static_cast<UINT>(id), buf, sizeof buf) : 0;
  if (n > 0) return std::string(buf, static_cast<std::size_t>(n));
  const char* builtin = BuiltinUiText(id);
  return builtin ? builtin : "";
}

void Check(HMENU menu, UINT id, bool on) { CheckMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); }
void Enable(HMENU menu, UINT id, bool on) { EnableMenuItem(menu, id, MF_BYCOMMAND | (on ? MF_ENABLED : MF_GRAYED)); }

}  // namespace

void ClientConnection::BuildSystemMenu() {
  HMENU sys = GetSystemMenu(m_hwndMain, FALSE);
  if (!sys) return;
  const HINSTANCE lang = m_pApp && m_pApp->m_instance ? m_pApp->m_instance : GetModuleHandleA(nullptr);
  auto item = [&](HMENU m, int id, UINT flags = 0) {
    AppendMenuA(m, MF_STRING | flags, static_cast<UINT_PTR>(id), Label(lang, id).c_str());
  };
  auto literal = [](HMENU m, int id, const char* text) { AppendMenuA(m, MF_STRING, static_cast<UINT_PTR>(id), text); };
  auto separator = [](HMENU m) { AppendMenuA(m, MF_SEPARATOR, 0, nullptr); };
  auto popup = [](HMENU m, HMENU sub, const char* text) {
    AppendMenuA(m, MF_POPUP, reinterpret_cast<UINT_PTR>(sub), text);
  };

  separator(sys);
  item(sys, kFileTransfer);
  item(sys, kChat);
  separator(sys);
  item(sys, kShowToolbar);
  separator(sys);
  literal(sys, kSnapshot, "Take Snapshot  \tCtrl+Alt+Shift+S");
  separator(sys);
  item(sys, kRemoteInputOff);
  item(sys, kRemoteInputOn);
  item(sys, kViewOnly);

  HMENU clipboard = CreatePopupMenu();
  literal(clipboard, kClipboardSync, "Enable Automatic Synchronization");
  HMENU formats = CreatePopupMenu();
  literal(formats, kClipboardText, "Text (Unicode)");
  literal(formats, kClipboardRtf, "Rich Text (RTF)");
  literal(formats, kClipboardHtml, "HTML");
  literal(formats, kClipboardImage, "Image (Send or Request only)");
  popup(clipboard, formats, "Automatically Synchronized Formats");
  separator(clipboard);
  literal(clipboard, kClipboardSendAll, "Send All Formats Now...");
  literal(clipboard, kClipboardRequestAll, "Request All Formats Now...");
  popup(sys, clipboard, "Clipboard");

  HMENU display = CreatePopupMenu();
  item(display, kFullScreen);
  separator(display);
  item(display, kAutoScale);
  item(display, kHalfSize);
  item(display, kFuzzyScreen);
  item(display, kNormalScreen);
  separator(display);
  item(display, kFullColours);
  item(display, k256Colours);
  popup(sys, display, "Display");

  HMENU keyboard = CreatePopupMenu();
  item(keyboard, kCtrlAltDel);
  item(keyboard, kCtrlEsc);
  item(keyboard, kCtrlDown);
  item(keyboard, kCtrlUp);
  item(keyboard, kAltDown);
  item(keyboard, kAltUp);
  popup(sys, keyboard, "Keyboard");

  separator(sys);
  item(sys, kConnectionOptions);
  item(sys, kConnectionInfo);
  item(sys, kRefresh);
  separator(sys);
  item(sys, kNewConnection);
  item(sys, kSaveConnection, m_opts.m_restricted ? MF_GRAYED : 0);
  separator(sys);
  item(sys, kAbout);
  if (m_opts.m_listening) {
    separator(sys);
    item(sys, kCloseDaemon);
  }
  DrawMenuBar(m_hwndMain);
}

void ClientConnection::UpdateMenuChecks() {
  HMENU sys = GetSystemMenu(m_hwndMain, FALSE);
  if (!sys) return;
  Check(sys, kShowToolbar, m_opts.m_showtoolbar);
  Check(sys, kViewOnly, m_opts.m_viewonly);
  Check(sys, kAutoScale, m_opts.m_AutoScaling);
  Check(sys, kFullScreen, IsFullScreen());
  Check(sys, kClipboardSync, !m_opts.m_disableclipboard);
  Enable(sys, kClipboardSync, !m_opts.m_viewonly);
  // Plain text always travels; the other formats need the server's extended clipboard.
  Check(sys, kClipboardText, true);
  Enable(sys, kClipboardText, false);
  int prefs;
  std::uint32_t serverFlags;
  {
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    prefs = m_clip.Preferences();
    serverFlags = m_clip.serverSupports ? m_clip.serverFlags : 0;
  }
  Check(sys, kClipboardRtf, (prefs & 2) != 0);
  Check(sys, kClipboardHtml, (prefs & 4) != 0);
  Enable(sys, kClipboardRtf, (serverFlags & extclip::kRtf) != 0);
  Enable(sys, kClipboardHtml, (serverFlags & extclip::kHtml) != 0);
  Enable(sys, kClipboardImage, false);
  Enable(sys, kClipboardRequestAll, (serverFlags & extclip::kRequest) != 0);
}

// ---------------------------------------------------------------------------------------
// Commands

void ClientConnection::SendKeyCommand(int command) {
  if (m_opts.m_viewonly || !m_running) return;
  m_keyboard.SendKeyCommand(command);
  FlushOutputBuffer(true, kInputTimeoutSec);
}

void ClientConnection::SetScaleCommand(int serverScale, bool scaling, int num, int den) {
  m_opts.m_AutoScaling = false;
  m_autoScaled = false;
  m_opts.m_ServerScale = serverScale;
  m_opts.m_Scaling = scaling;
  m_opts.m_scale_num = num;
  m_opts.m_scale_den = den;
  if (serverScale != m_nServerScale) {
    // The server scales its desktop; the display follows the size it then announces.
    m_nServerScale = serverScale;
    if (m_running) SendServerScale(serverScale);
    return;
  }
  SizeWindow(true, false);
  InvalidateRect(m_hwndcn, nullptr, FALSE);
}

void ClientConnection::ToggleViewOnly() {
  m_opts.m_viewonly = !m_opts.m_viewonly;
  SetWindowTitle();
  // What the clipboard accepts changed with it; a viewer that may send again sends what
  // it holds now.
  SendClipboardCaps(false);
  if (!m_opts.m_viewonly && !m_opts.m_disableclipboard) UpdateRemoteClipboard(0);
}

void ClientConnection::ShowConnectionInfo() {
  ConnectionInfo i;
  {
    std::lock_guard<std::recursive_mutex> g(m_bitmapLock);
    i.width = m_si.framebufferWidth;
    i.height = m_si.framebufferHeight;
    i.serverDepth = m_si.format.depth;
    i.sessionDepth = m_myFormat.depth;
  }
  i.desktopName = m_desktopName;
  i.host = m_host;
  i.port = m_port;
  if (m_fUseProxy && m_proxyhost[0]) {
    i.proxyHost = m_proxyhost;
    i.proxyPort = m_proxyport;
  }
  // The input stream is replaced while a reconnect runs.
  if (m_running && m_fdin) i.kbitsPerSecond = m_fdin->KbitsPerSecond();
  i.majorVersion = m_majorVersion;
  i.minorVersion = m_minorVersion;
  char layout[KL_NAMELENGTH] = "";
  if (GetKeyboardLayoutNameA(layout)) i.keyboardName = layout;
  if (m_fUsePlugin && m_pluginEnabled && m_pDSMPlugin) {
    i.pluginName = m_pDSMPlugin->Name();
    i.pluginVersion = m_pDSMPlugin->Version();
  }
  MessageBoxA(m_hwndMain, FormatConnectionInfo(i).c_str(), "Quillmar Remote - Connection Info",
              MB_OK | MB_ICONINFORMATION | MB_SETFOREGROUND);
}

void ClientConnection::OpenConnectionOptions() {
  if (m_optionsDialogOpen) return;
  const bool autoScaling = m_opts.m_AutoScaling, even = m_opts.m_AutoScalingEven, limit = m_opts.m_AutoScalingLimit;
  const int serverScale = m_opts.m_ServerScale;
  const bool scaling = m_opts.m_Scaling, toolbar = m_opts.m_showtoolbar, fitted = FittedView();
  const int num = m_opts.m_scale_num, den = m_opts.m_scale_den;
  m_optionsDialogOpen = true;
  const int result = m_opts.DoDialog(true, m_hwndMain);
  m_optionsDialogOpen = false;
  if (result != IDOK) return;
  if (autoScaling != m_opts.m_AutoScaling || even != m_opts.m_AutoScalingEven || limit != m_opts.m_AutoScalingLimit)
    m_autoScaled = false;
  const int newServerScale = std::clamp(m_opts.m_ServerScale, 1, 9);
  if (newServerScale != serverScale) {
    m_nServerScale = newServerScale;
    if (m_running) SendServerScale(newServerScale);
  } else {
    if (m_opts.m_AutoScaling && !m_autoScaled) {
      SizeWindow(true, false);
      if (m_running) PostMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestFull, 0);
    } else {
      if (scaling != m_opts.m_Scaling || num != m_opts.m_scale_num || den != m_opts.m_scale_den)
        InvalidateRect(m_hwndcn, nullptr, FALSE);
      if (toolbar != m_opts.m_showtoolbar || fitted != FittedView()) SizeWindow(true, false);
    }
    if (fitted != FittedView()) PresentationChanged();
    m_pendingFormatChange = true;
  }
  // The mouse-throttle interval is read from the options at each move; the clipboard
  // settings may have changed.
  SendClipboardCaps(false);
}

bool ClientConnection::HandleSystemCommand(UINT command) {
  // The system's own commands keep four bits of their own.
  const UINT id = command >= 0xF000 ? (command & 0xFFF0) : command;
  switch (id) {
    case kConnectionInfo: ShowConnectionInfo(); return true;
    case kCtrlDown:
    case kCtrlUp:
    case kAltDown:
    case kAltUp:
    case kCtrlAltDel:
    case kCtrlEsc:
    case kSuperLDown:
    case kSuperRDown:
    case kMenuDown:
    case kSuperLUp:
    case kSuperRUp:
    case kMenuUp: SendKeyCommand(static_cast<int>(id)); return true;
    case kAbout: ShowAboutBox(m_hwndMain); return true;
    case kFullScreen: SetFullScreenMode(!IsFullScreen()); return true;
    case kRefresh:
      if (m_running) SendMessageA(m_hwndcn, WM_REQUESTUPDATE, kRequestFull, 0);
      return true;
    case kAutoScale:
      m_opts.m_AutoScaling = !m_opts.m_AutoScaling;
      SizeWindow(true, false);
      InvalidateRect(m_hwndcn, nullptr, FALSE);
      return true;
    case kViewOnly: ToggleViewOnly(); return true;
    case kSaveConnection:
      if (!m_opts.m_restricted) SaveConnection();
      return true;
    case kConnectionOptions: OpenConnectionOptions(); return true;
    case kCloseDaemon:
      if (MessageBoxA(m_hwndMain, "Close the listening daemon and quit Quillmar Remote?", "Quillmar Remote",
                      MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2 | MB_SETFOREGROUND) == IDYES)
        PostQuitMessage(0);
      return true;
    case kNewConnection:
      if (m_pApp) m_pApp->NewConnection(false);
      return true;
    case kHalfSize:
      if (IsFullScreen()) HandleSystemCommand(kAutoScale);
      SetScaleCommand(2, true, 100, 100);
      return true;
    case kFuzzyScreen:
      if (IsFullScreen()) HandleSystemCommand(kAutoScale);
      SetScaleCommand(2, true, 200, 100);
      return true;
    case kNormalScreen: SetScaleCommand(1, false, 100, 100); return true;
    case kFullColours:
      if (m_opts.m_Use8Bit) {
        m_opts.m_Use8Bit = 0;
        m_pendingFormatChange = true;
        InvalidateRect(m_hwndcn, nullptr, FALSE);
      }
      return true;
    case k256Colours:
      m_opts.m_Use8Bit = 1;
      m_pendingFormatChange = true;
      InvalidateRect(m_hwndcn, nullptr, FALSE);
      return true;
    case kShowToolbar:
      m_opts.m_showtoolbar = !m_opts.m_showtoolbar;
      SizeWindow(true, false);
      ApplyFullScreenMode();
      return true;
    case kRemoteInputOff:
    case kRemoteInputOn:
      m_remoteInputDisabled = id == kRemoteInputOff;
      if (m_hwndToolbar && m_opts.m_showtoolbar) {
        RecreateToolbarForWidth(m_hwndMain);
        LayoutView();
      }
      if (!m_opts.m_viewonly && m_running) SendServerInput(m_remoteInputDisabled);
      return true;
    case kChat: OpenTextChat(); return true;
    case kFileTransfer: OpenFileTransfer(); return true;
    case kSnapshot: TakeSnapshot(); return true;
    case kSelectDesktop:
      if (m_running) SendDesktopSelection(9999, 9999);
      return true;
    case SC_MINIMIZE:
      if (IsFullScreen()) return true;
      kebLog.Print(5, "%s dormant mode\n", "Entering");
      m_dormant = 1;
      if (m_hwndStatus) ShowWindow(m_hwndStatus, SW_MINIMIZE);
      return false;
    case SC_MAXIMIZE: SetFullScreenMode(!IsFullScreen()); return false;
    case SC_RESTORE:
      LeaveDormantFromFrame();
      if (m_hwndStatus) ShowWindow(m_hwndStatus, SW_SHOWNORMAL);
      ShowWindow(m_hwndMain, SW_SHOWNORMAL);
      if (m_restoreRectSet) {
        m_restoreRectSet = false;
        SetWindowPos(m_hwndMain, nullptr, m_restoreRect.left, m_restoreRect.top,
                     m_restoreRect.right - m_restoreRect.left, m_restoreRect.bottom - m_restoreRect.top, SWP_NOZORDER);
      }
      return false;
    default: return ClipboardCommand(id);
  }
}
