// The platform-free part of one viewer connection: its socket and input stream, the
// output path, the handshake (ProtocolVersion, security negotiation, ClientInit,
// ServerInit, pixel format and encodings), the client-message writers and the work
// buffers. The Win32 ClientConnection derives from it and supplies the socket connect,
// the dialogs and the framebuffer bitmap through the virtual operations below; tests
// supply them over socket pairs.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "decoders/DecoderState.h"
#include "decoders/Framebuffer.h"
#include "decoders/GrowBuffer.h"
#include "decoders/PixelFormat.h"
#include "decoders/RectHeader.h"
#include "rdr/FdInStream.h"
#include "session/ChannelInStream.h"
#include "rdr/Sys.h"
#include "security/Credentials.h"
#include "session/AutoResetEvent.h"
#include "security/IPlugin.h"
#include "session/ClientMessages.h"
#include "session/ExtendedClipboard.h"
#include "session/OutputBuffer.h"

class CDSMPlugin;
class DSMPluginChannel;
class KEXHost;
namespace RSAKEX {
class Crypto;
}
class TLSSession;
class KEBOptions;

// ServerInit (24 bytes on the wire, big-endian), held in host order.
struct ServerInitData {
  static constexpr std::size_t kWireSize = 24;
  std::uint16_t framebufferWidth = 0;
  std::uint16_t framebufferHeight = 0;
  PixelFormat format;
  std::uint32_t nameLength = 0;
};

// A question with two answers for the user (a choice task dialog in the product).
struct ChoicePrompt {
  const char* instruction;
  const char* content;
  const char* first;     // the answer that goes on
  const char* second;    // the answer that stops
  const char* checkbox;  // "" or nullptr: no check box
};

// Controls of the connection-status dialog that the handshake writes to.
enum StatusControl { kStatusPort = 1019, kStatusHost = 1020, kStatusLine = 1036, kStatusPlugin = 1040 };

class RfbSession : public FramebufferHost {
public:
  static constexpr int kHostCapacity = 250;
  static constexpr std::size_t kDesktopNameCapacity = 2024;  // bytes of a ServerInit name kept
  static constexpr std::size_t kDesktopNameShown = 256;      // characters of it used as the title
  static constexpr int kMaxFramebufferSide = 20000;
  static constexpr int kOversizeWidth = 1024, kOversizeHeight = 800;
  static constexpr std::size_t kMaxServerText = 1024;  // 3.14 text and type-104 text
  static constexpr std::size_t kHelpdeskEntryBytes = 128;
  static constexpr std::size_t kMaxReasonShown = 2047;  // characters of a reason put in a message
  static constexpr int kInputTimeoutSec = 5;            // timed sends of requests and input
  static constexpr int kMaxPluginChunk = 0x40000000;    // bytes handed to a plug-in in one call
  // The socket stream's buffer. Every read is a system call (under Wine three round trips
  // to the Wine server: recv_socket, set_async_direct_result, select), and a full-screen
  // update is megabytes: 8 KiB reads cost hundreds of calls per update. Measured with
  // bench_decoders over loopback, 8 KiB to 1 MiB: 1 MiB the fastest for Hextile, ZRLE and
  // Tight, a few percent slower than 256 KiB for Raw (more of it copied through the
  // buffer) but with a third of the reads; and under Wine: a full-screen Hextile update
  // took a median 35 reads with 1 MiB against 49 with 256 KiB.
  static constexpr std::size_t kSocketBufferSize = 1024 * 1024;

  explicit RfbSession(KEBOptions& opts);
  virtual ~RfbSession();
  RfbSession(const RfbSession&) = delete;
  RfbSession& operator=(const RfbSession&) = delete;

  // ---- Connect sequence and handshake ----

  // The whole set-up on the calling thread: socket (unless one was accepted), proxy or
  // repeater prologue, ProtocolVersion, security, ClientInit, ServerInit, pixel format and
  // encodings. Holds the connection lock throughout; every failure leaves by an exception
  // (a cancelled attempt by a QuietException) with the lock released and the attempt's
  // flags cleared.
  void DoConnection();
  // The encryption plug-in named by the options, loaded before connecting ("UseDSMPlugin"
  // on); with reload a loaded one is unloaded and loaded again. A library that cannot be
  // loaded or started is disabled, with a warning box.
  void LoadDSMPlugin(bool reload);
  void NegotiateProxy();
  void NegotiateProtocolVersion();
  void NegotiateSecurityType(std::vector<std::uint32_t>& layersDone);
  void Authenticate(std::uint32_t type, std::vector<std::uint32_t>& layersDone);
  void SendClientInit();
  void ReadServerInit();
  // A framebuffer wider or taller than 20000 pixels: the user chooses 1024 x 800 or ends
  // the connection (QuietException). The second form checks a size about to be applied.
  void CheckFramebufferSize();
  void CheckFramebufferSize(std::uint16_t& width, std::uint16_t& height);
  void SelectSessionPixelFormat();
  void SendFormatAndEncodings();
  // The presets of the option pages' "Quick enc" page (the "QuickOption" value) applied
  // to the options given.
  static void ApplyQuickOption(KEBOptions& opts);

  // The status dialog's Cancel: ends the current connect attempt of this connection
  // only. The attempt's watchdog closes the socket, which aborts a blocking connect or read.
  void CancelConnect() { m_cancelConnect = true; }
  bool Connecting() const { return m_connecting.load(); }

  // Marks the connection closing, shuts down and closes the socket, empties the output
  // buffer and, once a connection thread was started, waits up to 6000 ms for it to end
  // (first event).
  void CloseConnection();

  // ---- Connection loss and reconnect (session/Reconnect.cpp) ----

  // Prepares a reconnect after a loss (GUI thread): paused and not running, the socket
  // closed and the output emptied; once the connection thread has parked (waited for at
  // most waitMs: the streams it reads are replaced) fresh decompression streams, the
  // plug-in loaded anew, no pre-read data, no plug-in streaming. False, with nothing
  // replaced, when the thread did not park in time.
  bool ResetForReconnect(int waitMs);
  // Starts a reconnect thread (ReconnectThreadProc); false when one still runs.
  bool StartReconnectThread();
  // The body of a reconnect thread: waits the reconnect delay (a close ends the wait at
  // once), then connects anew. Success resumes the parked connection thread on the new
  // socket with a new pixel format, bitmap and full request; a failure costs one attempt
  // (never below 0) and tells the frame again (ConnectionLost). Returns 0.
  int ReconnectThreadProc();
  bool ReconnectRunning() const { return m_reconnectActive.load(); }
  // The attempts a loss may use: "Reconnect", none for a connection accepted in listening
  // mode. Set when the connection thread starts and again after each successful reconnect.
  int FullReconnectAttempts() const;
  // Waits (WaitForThreadEvent) until no reconnect thread runs, at most ms; true when none
  // runs any more.
  bool WaitForReconnectThread(int ms);
  // The connection is closing: the connection thread is to end, a reconnect waiting for
  // its delay gives up at once and a connect attempt in progress is cancelled. Any thread.
  void BeginClose();

  // ---- Connection thread: server messages ----

  // The kinds of update request the GUI thread is asked for (the viewer window's
  // WM_REQUESTUPDATE wParam): incremental, full, or "apply a pending pixel-format change,
  // else incremental unless dormant".
  static constexpr std::uint32_t kRequestFull = 0;
  static constexpr std::uint32_t kRequestIncremental = 1;
  static constexpr std::uint32_t kRequestNewFormat = 0xFFFFFFFF;
  // The longest interval a window timer takes (about 24.8 days).
  static constexpr std::uint32_t kMaxTimerMs = 0x7FFFFFFF;

  // The body of the connection thread: the first (full) update request, then one server
  // message at a time. A lost connection parks the thread (paused) and tells the display
  // (ConnectionLost); it then polls every 2000 ms until the connection resumes or
  // EndConnectionThread is called. Catches everything; returns when the thread is to end.
  void RunConnectionThread();
  // Lets the connection thread end at its next look (the reconnect delay becomes 0) and
  // wakes it from its poll. Any thread.
  void EndConnectionThread();
  bool ConnectionThreadEnded() const { return m_threadEnded.load(); }

  // One server message, its type byte included. Stream errors and messages that end the
  // connection throw.
  void ReadServerMessage();
  // Message 0 after its type byte: every rectangle, the update region, the next request.
  void ReadFramebufferUpdate();
  // Message 173: keep-alive interval, idle interval and remote input state.
  void ReadServerState();
  // Message 3: plain text for the local clipboard, or an extended-clipboard message.
  void ReadServerCutText();
  // Message 11: the text chat's states and texts, handed to TextChatReceived.
  void ReadTextChatMessage();
  // Messages whose handling lives elsewhere are read whole and dropped here, so that the
  // stream stays in step: 7 (file transfer, when no file transfer handles it), 253 (gii).
  void SkipFileTransferMessage();
  void SkipGiiMessage();

  // ---- Update requests (GUI thread) ----

  // WM_REQUESTUPDATE: 1 incremental, kRequestNewFormat RequestNewFormatOrUpdate, any other
  // value a full request; always for the whole framebuffer.
  void HandleUpdateRequest(std::uint32_t kind);
  // The connection thread's way to ask the GUI thread for a request (PostUpdateRequest,
  // not waiting). A request of a kind that still waits in the GUI thread's queue is not
  // asked for again: a server that sends updates without waiting for requests must not
  // fill that queue, where input and painting would wait behind thousands of requests.
  // Should the post fail, the request is sent from the calling thread instead.
  void QueueUpdateRequest(std::uint32_t kind);
  // The GUI thread's handling of a request asked for by QueueUpdateRequest.
  void HandleQueuedUpdateRequest(std::uint32_t kind);
  // With a pixel-format change pending: the new session format, a new bitmap,
  // SetPixelFormat and SetEncodings and a full request. Otherwise an incremental request
  // unless dormant (a connection entering dormancy sends this last one).
  void RequestNewFormatOrUpdate();

  // The automatic encoding choice: feeds one rate sample (kbit/s) into the estimate and
  // switches the preferred encoding when the estimate moved into another band.
  void AutoDetectSample(std::uint32_t kbits, std::uint64_t nowMs);

  // ---- Output path (send lock inside; message lock taken by the message writers) ----

  bool WriteBuffered(const std::uint8_t* data, std::size_t len, bool queue, bool timed, int timeoutSec);
  bool WriteExactTransformed(const void* data, std::size_t len, bool queue);
  bool WriteExactTimed(const void* data, std::size_t len, int timeoutSec, bool queue);
  bool WriteExact(const void* data, std::size_t len) { return WriteExactTransformed(data, len, false); }
  bool WriteExactQueue(const void* data, std::size_t len) { return WriteExactTransformed(data, len, true); }
  bool WriteMessageEx(const void* data, std::size_t len, std::uint8_t type, bool queue);
  bool WriteMessage(const void* data, std::size_t len, std::uint8_t type);
  bool WriteMessageHeader(const void* data, std::size_t len, std::uint8_t type) {
    return WriteMessageEx(data, len, type, true);
  }
  bool FlushOutputBuffer(bool timed, int timeoutSec);
  long SendWithTimeout(const std::uint8_t* data, std::size_t len, int seconds);

  // ---- Input ----

  // Reads n bytes (nothing for n <= 0) through the plug-in's decryption when one is
  // active. Stream failures become ErrorException.
  void ReadExact(void* buf, long n);
  void ReadExactPlain(void* buf, std::size_t n);
  // What the decoders read: the socket's stream, or the plain bytes of the channel or
  // plug-in that deciphers it.
  rdr::InStream& DecoderInput();
  // Reads n bytes into buf (which holds n + 1) and terminates them.
  void ReadString(char* buf, std::size_t n);

  // ---- Client messages ----

  void SendFramebufferUpdateRequest(int x, int y, int w, int h, bool incremental);
  void SendKeyEvent(std::uint32_t key, bool down);
  void SendPointerEvent(int x, int y, std::uint8_t buttonMask);
  void SendServerScale(int scale);
  void SendDesktopSelection(int x, int y);
  // Sends a keep-alive when the server supports them and the interval has passed (or force).
  void SendKeepAlive(bool force);
  void SendCopyDataValue(std::uint8_t value);
  // Client message 9: the server's input and monitor off (disable) or on again.
  void SendServerInput(bool disable);
  // Client message 251 for the local monitors (the display code enumerates them). Sends
  // nothing and returns false without the "ChangeServerRes" option (the caller then asks
  // for a full update instead) or when the layout did not change since the last message.
  struct MonitorLayout {
    std::uint16_t headerA = 0, headerB = 0;   // the two header values of the monitor table
    std::vector<clientmsg::MonitorEntry> monitors;
    clientmsg::MonitorEntry table{0, 0, 0, 0};  // the monitor table's own size
  };
  bool SendMonitorInfo(const MonitorLayout& layout);

  // ---- Clipboard (the clipboard lock guards m_clip) ----

  // Plain text for the server (ClientCutText), unless a file transfer or the chat is busy
  // or the text is the one last exchanged.
  void SendClientCutText(const char* text, std::size_t length);
  // The extended clipboard, when the server uses it: a request for every format; the
  // client's capabilities (none with "viewonly" or "disableclipboard"; save: the
  // preferences go to the options file first); the preferences read from the options file.
  void RequestClipboardFormats();
  void SendClipboardCaps(bool save);
  void LoadClipboardPrefs();
  // The extended half of sending the local clipboard: content just read, flags 0 for a
  // local change or the server's request.
  void SendExtendedClipboard(const ClipboardContent& content, std::uint32_t flags);
  bool ExtendedClipboardInUse();

  // ---- Text chat ----

  // Message 11 with a state (open, close, finished) or a text of that many bytes.
  void SendTextChat(std::uint32_t length, const char* text = nullptr);

  // ---- Work buffers (each grows to n + 256 bytes under its own lock; above 100 MiB throws) ----

  std::uint8_t* CheckBufferSize(std::uint64_t n);
  std::uint8_t* CheckZipBufferSize(std::uint64_t n);
  std::uint8_t* CheckFileZipBufferSize(std::uint64_t n);
  std::uint8_t* CheckFileChunkBufferSize(std::uint64_t n);
  std::uint8_t* CheckInjectBufferSize(std::uint64_t n);

  // ---- Pixel-rectangle operations on bitmaps with 4-byte aligned rows ----

  bool IsRectInFramebuffer(long long x, long long y, long long w, long long h) const;
  static void CopyPixelRect(int w, int h, int x, int y, int bpp, const std::uint8_t* src, std::uint8_t* dstBits,
                            int dstWidth, int dstHeight);
  static void CopyPixelRectChecked(int w, int h, int x, int y, int bpp, const std::uint8_t* src,
                                   std::uint8_t* dstBits, int dstWidth, int dstHeight, std::size_t srcBytes);
  static void CopyRectBetweenBitmaps(int w, int h, int x, int y, int bpp, const std::uint8_t* srcBits,
                                     std::uint8_t* dstBits, int width, int height);
  // Converts w x h pixels of 4 bytes (red, green, blue, unused) to the session format.
  const std::uint8_t* ConvertRgbRect(int x, int y, int w, int h, int bpp, const std::uint8_t* src,
                                     std::uint8_t* dstBits, int width, int height) const;

  // ---- FramebufferHost: the framebuffer lock, and no bitmap until the display code
  // builds one (it overrides these) ----

  void LockFramebuffer() override { m_bitmapLock.lock(); }
  void UnlockFramebuffer() override { m_bitmapLock.unlock(); }
  Framebuffer CurrentFramebuffer() override { return Framebuffer(); }
  void AddRectToUpdateRegion(int, int, int, int) override {}
  void InvalidateScreenRect(int, int, int, int) override {}

  // ---- State the next stages read ----

  KEBOptions& m_opts;

  // Server address.
  char m_host[kHostCapacity] = {};
  int m_port = 0;
  char m_proxyhost[kHostCapacity] = {};
  int m_proxyport = 0;
  bool m_fUseProxy = false;
  bool m_accepted = false;  // accepted in listening mode

  // Socket and input. m_sock is replaced or invalidated only under m_sockLock.
  std::atomic<rdr::SocketHandle> m_sock{rdr::kInvalidSocket};
  bool m_proxySocket = false;  // m_sock leads to the proxy/repeater
  std::unique_ptr<rdr::FdInStream> m_fdin;
  rdr::ChannelInStream m_channelIn;  // the decoders' input while a channel deciphers

  // Protocol state.
  int m_majorVersion = 0;
  int m_minorVersion = 0;
  bool m_serverExtA = false, m_serverExtB = false;  // extension flags from the version exchange
  ServerInitData m_si;
  std::string m_desktopName;          // at most 256 characters
  std::string m_desktopNameViewOnly;  // name + " viewonly"
  PixelFormat m_myFormat;             // the session pixel format
  int m_myBytesPerPixel = 4;
  std::atomic<bool> m_pendingFormatChange{false};
  bool m_zywrle = false;  // 17 was in the preferred list sent
  bool m_xzyw = false;    // 19 was
  int m_nServerScale = 1;
  std::atomic<std::uint8_t> m_copyDataValue{0};  // message 252's value
  std::atomic<bool> m_keepAliveSupported{false};
  std::atomic<bool> m_extendedDesktopSizeReceived{false};
  bool m_securityType17 = false;    // authenticated with type 17 (encodings and update requests)
  bool m_securityType17Ui = false;  // the same, read by the toolbar and its window
  bool m_infoMsgRequested = false;  // the server offered 117: ClientInit carries "InfoMsg"
  bool m_msLogonRequested = false;  // type 112 chose MS-Logon for the password scheme
  ConnectionCredentials m_credentials;  // passwords given, stored or entered for this connection

  // Encryption plug-in state, set up by the security schemes.
  bool m_fUsePlugin = false;         // a plug-in is in use for this session
  bool m_pluginEnabled = false;      // the loaded plug-in is enabled
  bool m_pluginIntegrated = false;   // its channel came from the integrated interface
  std::atomic<bool> m_fPluginStreamingOut{false}, m_fPluginStreamingIn{false};
  std::unique_ptr<CDSMPlugin> m_pDSMPlugin;  // the plug-in library (none loaded until LoadDSMPlugin)
  std::unique_ptr<IPlugin> m_pluginStream;   // its stream transform as a channel
  IPlugin* m_pluginTransform = nullptr;  // the loaded plug-in's own transform
  std::unique_ptr<IPlugin> m_channel;    // the in-process channel, when one exists

  // Data a plug-in delivered ahead of the decoder that reads it.
  struct PreReadBlock {
    GrowBuffer data;
    bool pending = false;
    std::size_t pos = 0;
    std::size_t size = 0;
  } m_preRead;

  // Work buffers. The receive buffer is the decoders' (m_decoder.receive).
  DecoderState m_decoder;
  GrowBuffer m_zipBuf{"zipbufsize expanded to %d\n"};
  GrowBuffer m_fileZipBuf{"zipbufsize expanded to %d\n"};
  GrowBuffer m_fileChunkBuf{"m_filechunkbufsize expanded to %d\n"};
  GrowBuffer m_injectBuf;
  GrowBuffer m_reasonBuf;

  // Output.
  SocketSink m_sink{m_sock};
  OutputBuffer m_out{m_sink};
  std::uint32_t m_requestCount = 0;
  std::atomic<std::uint32_t> m_requestsPerSecond{0};
  std::uint64_t m_requestCountStartMs = 0;
  int m_lastPointerX = 0, m_lastPointerY = 0;
  std::uint8_t m_lastPointerMask = 0;
  int m_hScrollPos = 0, m_vScrollPos = 0;  // view offset (display code)
  std::vector<std::uint8_t> m_lastMonitorInfo;

  // Life cycle.
  std::atomic<bool> m_threadStarted{false};  // the connection thread was started (events in use)
  std::atomic<bool> m_running{false};
  std::atomic<bool> m_paused{false};   // closing or connection lost
  std::atomic<bool> m_closing{false};  // the user or the application closes this connection
  std::atomic<int> m_reconnectAttempts{3};
  std::atomic<int> m_reconnectDelay{0};  // seconds; the connection thread runs while above 0
  AutoResetEvent m_event1;
  AutoResetEvent m_event2{true};

  // Connection thread and display state.
  int m_typeByteConsumed = 1;  // 0: an old-style plug-in repeats the type byte
  std::atomic<int> m_dormant{0};  // 0 awake, 1 dormant (no requests), 2 one more request, then 1
  std::atomic<std::uint32_t> m_idleInterval{0};  // seconds (ServerState 3); 0: off
  std::atomic<bool> m_remoteInputEnabled{true};  // ServerState 1
  struct DesktopRect {
    int x = 0, y = 0, w = 0, h = 0;
  } m_desktopRect;  // the part of the remote desktop shown (0xFFFFFECD, ExtendedDesktopSize)
  std::int32_t m_lastEncoding = 0;  // last real encoding received (shown in the connection info)

  // Automatic encoding choice ("autoDetect").
  int m_autoLevel = 0;
  std::uint32_t m_kbitsEstimate = 0;
  std::uint64_t m_autoLastChangeMs = 0;
  std::uint64_t m_autoCheckIntervalMs = 0;

  // Locks. Order: message -> send -> plug-in transform; framebuffer -> send.
  std::recursive_mutex m_connectionLock;
  std::recursive_mutex m_messageLock;
  std::recursive_mutex m_sendLock;
  std::recursive_mutex m_bitmapLock;  // the framebuffer lock
  std::recursive_mutex m_clipboardPrefsLock;  // the clipboard lock
  ExtendedClipboardState m_clip;
  GrowBuffer m_cutTextBuf;  // ServerCutText
  std::mutex m_preReadLock;
  std::mutex m_pluginLock;         // the plug-in's transform (sending)
  std::mutex m_pluginRestoreLock;  // the plug-in's restore (the reading thread)
  std::mutex m_recvBufLock, m_zipBufLock, m_fileZipBufLock, m_fileChunkBufLock, m_injectBufLock;

protected:
  // ---- What the platform supplies ----

  // Open m_sock to the server, or to the proxy/repeater (then set m_proxySocket). Called
  // with the attempt's flags set; start the watchdog with StartConnectWatchdog once the
  // socket exists and before a blocking connect.
  virtual void ConnectToHost() = 0;
  virtual void ConnectToProxy() = 0;
  // Socket options of an open socket (TCP_NODELAY); throws on failure.
  virtual void ConfigureSocket() {}
  // The encryption plug-in for this session (the security code); without one nothing.
  virtual void ConfigureDSMPlugin();
  // A question for the user: true for the first answer; *checked gets the check box.
  virtual bool AskChoice(const ChoicePrompt& prompt, bool* checked) = 0;
  // The helpdesk list of type 105: index + 1 of the chosen entry, 0 when cancelled.
  virtual std::uint32_t ChooseHelpdesk(const std::vector<std::string>& entries) = 0;
  // An authentication dialog of that type for this server, with its two status texts:
  // false when the user cancelled (or nobody can be asked); else the entries are in *entry.
  virtual bool AskCredentials(AuthDialogType type, const char* status1, const char* status2, AuthEntry* entry) {
    return false;
  }
  virtual void SetStatusText(int control, const char* text) {}
  // The connection-status window while a connection is made (unless the options say no);
  // on a reconnect only when onReconnect.
  virtual void ShowStatusWhileConnecting(bool onReconnect) {}
  // Ends that window (a reconnect's attempt has ended, made or failed).
  virtual void EndStatusWhileConnecting() {}
  // "Don't ask anymore" was ticked for untrusted servers: the option is set, and written to
  // the options file when only that file is in use.
  virtual void SaveAllowUntrustedServers();
  // The version answer went out on a connection accepted in listening mode.
  virtual void PlayIncomingSound() {}
  // Keep-alive timer of the viewer window (the display code); ms <= 0 stops it. Called
  // on the GUI thread and, for ServerState, on the connection thread.
  virtual void SetKeepAliveTimer(int ms) {}
  // Whether update requests and input are held back (file transfer or chat in progress).
  virtual bool HoldUpdatesAndInput() { return false; }

  // ---- Clipboard and chat (the shell supplies the Windows side) ----

  // Puts server text on the local clipboard; true when it was set.
  virtual bool UpdateLocalClipboard(const char* text, std::size_t length) { return false; }
  // Puts provided extended-clipboard content on the local clipboard; true when it was set.
  virtual bool SetLocalClipboard(const ClipboardContent& content) { return false; }
  // The server's capabilities were read: the client's go back from the GUI thread.
  virtual void PostClipboardCaps() {}
  // The server asks for the local clipboard (its request's flags): the GUI thread answers.
  virtual void PostClipboardRequest(std::uint32_t flags) {}
  // Clipboard text is not sent while a file transfer runs or the chat is open.
  virtual bool FileTransferInProgress() { return false; }
  virtual bool TextChatActive() { return false; }
  // A message 11 from the server: its length field, and its text when it carries one.
  virtual void TextChatReceived(std::uint32_t length, const std::string& text) {}
  // A message 7 after its type byte: the file transfer reads the rest of it (the shell
  // hands it to the GUI thread and waits). Without one it is read whole and dropped.
  virtual void FileTransferMessage() { SkipFileTransferMessage(); }

  // ---- What the display supplies to the connection thread (the defaults do nothing) ----
  // None of these may wait for the GUI thread except PostUpdateRequest with wait, and
  // none is called with the framebuffer lock held except RebuildFramebuffer.

  // Asks the GUI thread for HandleUpdateRequest(kind): sent and waited for, or posted
  // for HandleQueuedUpdateRequest(kind). False when it could not be posted (the caller
  // then sends the request itself).
  virtual bool PostUpdateRequest(std::uint32_t kind, bool wait) { return true; }
  // Builds the bitmap anew for m_si's size and m_myFormat (mid grey, a fresh cache).
  // Called with the framebuffer lock held, on either thread. A bitmap that can only hold
  // another format (a Direct3D surface) changes m_myFormat and sends it to the server.
  virtual void RebuildFramebuffer() {}
  // Before each rectangle is decoded, without the framebuffer lock: a framebuffer that
  // must be locked for writing (a Direct3D surface) is locked.
  virtual void LockFramebufferForUpdate() {}
  // The framebuffer size changed: the windows are to be sized and repainted.
  virtual void FramebufferResized() {}
  // The pixels of a FramebufferUpdate are about to be written (its rectangle count is not
  // 0): the display holds its paints until InvalidateUpdateRegion, so that it never shows
  // a picture made of two updates.
  virtual void UpdateStarting() {}
  // The update is complete (or ended by an error): the rectangles read
  // (AddRectToUpdateRegion) are to be repainted, and held paints may go ahead.
  virtual void InvalidateUpdateRegion() {}
  // The first cursor shape of this connection has been drawn: where the local pointer
  // rests over the view, the remote pointer (and with it the cursor) is to be brought under
  // it, as the first move of the mouse would.
  virtual void CursorShapeArrived() {}
  // The desktop rectangle changed (m_desktopRect): size the windows, scroll to its corner.
  virtual void ShowDesktopRect() {}
  // Server message 2.
  virtual void Bell() {}
  // The idle timer of ServerState 3; 0 stops it (and the dormancy timer).
  virtual void SetIdleTimer(std::uint32_t ms) {}
  // A ServerState message was handled (the toolbar shows the server's state).
  virtual void ServerStateChanged() {}
  // Message 80: the viewer window is to acknowledge plug-in streaming.
  virtual void PostStreamingAck() {}
  // The connection thread started: the windows are to be sized and shown.
  virtual void ConnectionThreadStarted() {}
  // The connection was lost (or is to end): the frame window is told, with the reconnect
  // attempts left. warning: the text of a box for the user (a string that lives as long as
  // the program), or nullptr. False when the news could not be handed over; the parked
  // connection thread then tries again at each of its polls.
  virtual bool ConnectionLost(int attemptsLeft, const char* warning) { return true; }
  // A reconnect succeeded (reconnect thread): the windows are to show the desktop again.
  virtual void Reconnected() {}
  // Server message 253 behind its type byte, for the gii device of the display; without
  // one it is read whole and dropped.
  virtual void ReadGiiMessage() { SkipGiiMessage(); }
  // The local monitors, for the answer to an ExtendedDesktopSize.
  virtual MonitorLayout LocalMonitorLayout() { return MonitorLayout(); }
  // A GUI-side wait for a connection-thread event (the shell keeps handling sent
  // messages meanwhile, so that a thread waiting for the GUI thread can finish).
  virtual bool WaitForThreadEvent(AutoResetEvent& event, int timeoutMs) { return event.Wait(timeoutMs); }
  // The pauses whose lengths the protocol names (the reconnect delay, the quiet rounds after
  // an unknown encoding): ms, or less when wake (if any) is set; true when woken.
  virtual bool TimedPause(int ms, AutoResetEvent* wake);

  // Client sides of the security schemes. Each sends and reads what its scheme needs
  // before the SecurityResult.
  virtual void AuthPasswordChallenge();
  virtual void AuthMsLogonI();
  virtual void AuthMsLogonII();
  virtual void AuthRsaAes(int keyBits, bool channel);
  virtual void AuthVeNCrypt();
  virtual void AuthSecureKEBPluginOld();
  virtual void AuthSecureKEBPlugin();
  // The integrated plug-in interface of this session, or nullptr.
  DSMPluginChannel* IntegratedPluginInterface();
  // The integrated interface starts enciphering (its description goes to the status).
  void PluginEncryptionReady();
  // The rounds of the plug-in challenge-response: 115 (current) or 114.
  void RunPluginChallenges(bool current);
  // A u16 length, little-endian, and the bytes, written at once.
  void WriteLengthAndBytes(const std::uint8_t* data, std::size_t n);
  // The password this connection already knows: given in clear (connection, options) or
  // stored. False when there is none.
  bool KnownPassword(SecretText& out);
  // The platform's cryptography for the RSA-AES key exchange (CryptoAPI in the product).
  virtual std::unique_ptr<RSAKEX::Crypto> NewKexCrypto();
  // The identity prompt of the RSA-AES schemes for a server key not remembered: true to
  // go on; *dontAsk when "Don't ask anymore" was ticked. Nobody is asked by default.
  virtual bool ConfirmIdentity(const char* fingerprint, bool* dontAsk) { return false; }
  friend class KEXHost;
  // The platform's TLS client for this host (SChannel in the product); nullptr where none.
  virtual std::unique_ptr<TLSSession> NewTlsSession();
  // The prompt for a server certificate that failed its check and is not remembered: true
  // to go on; *dontAsk when "Don't ask anymore" was ticked. Nobody is asked by default.
  virtual bool ConfirmCertificate(TLSSession& session, const char* error, bool* dontAsk) { return false; }
  // The user name and clear-text password that a scheme sends inside its channel: the
  // connection's (or the program's), else asked with the dialog of that type, and kept.
  // False when the user cancelled. withUser: the scheme sends a user name too.
  // user and password hold at least kPasswordBufferSize characters.
  bool ChannelCredentials(AuthDialogType type, const char* status1, const char* status2, bool withUser,
                          SecretText* user, SecretText* password);

  // ---- Helpers for the platform part ----

  // Starts this attempt's watchdog on m_sock (stopping a previous one): while the
  // attempt runs it polls every 100 ms, and a cancel closes the socket.
  void StartConnectWatchdog();
  void StopConnectWatchdog();
  void ConnectWatchdogThreadProc();
  // Replaces m_sock (closing the previous one) under the socket lock.
  void SetSocket(rdr::SocketHandle s);
  // Shuts down and closes m_sock if open; true when this call closed it.
  bool CloseSocket();
  // The handshake's receive time-out: "FileTransferTimeout" seconds.
  int HandshakeTimeoutMs() const;

private:
  // The rest of a server message behind its type byte: total - 1 bytes into buf + 1, or,
  // with an old-style plug-in that repeats the type byte, all of it into buf.
  void ReadMessageBody(std::uint8_t* buf, std::size_t total);
  // Reads and drops n bytes of the input.
  void DiscardInput(std::uint64_t n);
  // A new framebuffer size from the server (NewFBSize, ExtendedDesktopSize, message 4).
  void ResizeFramebuffer(int width, int height);
  // Plug-in data ahead of a decoder (pre-read block or injected ZRLE data); true when a
  // block was read.
  bool ReadPluginBlock(std::int32_t encoding);
  // An unknown encoding: reads and drops whatever the server still sends, until it has
  // been silent for about 1 s.
  void DrainAfterUnknownEncoding();
  // 0xFFFFFECC.
  void ReadExtendedDesktopSize(const RectHeader& r);
  // One rectangle header through ReadExact.
  RectHeader ReadRectHeader();

  // The loss road: paused, and the frame told (unless this side is closing).
  void ConnectionLostRoad(int attempts, const char* warning);
  // Tells the display of a loss (ConnectionLost); news that could not be handed over is
  // kept and handed over again by RetryLossNews until it gets through.
  void TellLoss(int attempts, const char* warning);
  void RetryLossNews();
  std::mutex m_lossNewsLock;
  bool m_lossNewsOwed = false;  // guarded by m_lossNewsLock, like the two below
  int m_owedAttempts = 0;
  const char* m_owedWarning = nullptr;
  // The kinds of request asked for by QueueUpdateRequest and not yet handled (one bit per
  // kind: full, incremental, new format).
  std::atomic<unsigned> m_queuedRequests{0};
  static unsigned QueuedRequestBit(std::uint32_t kind);

  AutoResetEvent m_threadWake;  // wakes the parked connection thread
  // The connection thread stands in its poll and reads nothing (set each time it parks).
  std::atomic<bool> m_threadParked{false};
  AutoResetEvent m_parkedEvent;
  bool WaitUntilThreadParked(int ms);
  // The reconnect thread.
  std::thread m_reconnectThread;
  std::atomic<bool> m_reconnectActive{false};
  AutoResetEvent m_reconnectWake;   // a close ends the reconnect delay
  AutoResetEvent m_reconnectEnded;  // set when the reconnect thread ends
  std::atomic<bool> m_endThread{false};
  std::atomic<bool> m_threadEnded{false};
  bool m_formatResendDue = false;  // the ZRLE format rewrite: SetPixelFormat after this update
  bool m_cursorShapeSeen = false;  // a cursor shape came on this connection (CursorShapeArrived)

  void ReadExactUnconverted(void* buf, std::size_t n);
  // n plain bytes through a channel's or plug-in's receive contract.
  // `prefix` holds raw bytes already taken from the stream, used before it.
  void ReadThroughPlugin(IPlugin* t, std::uint8_t* out, std::size_t n, const std::uint8_t* prefix = nullptr,
                         std::size_t prefixLen = 0);
  // The 12 version bytes; true when they came plain (with a plug-in they may come
  // through it).
  bool ReadProtocolVersionBytes(std::uint8_t out[12]);
  // Reads a reason string (u32 length and text); the text is kept terminated in
  // m_reasonBuf and returned cut for messages.
  std::string ReadReasonString();
  void InsecureConnectionRule(std::uint32_t type, const std::vector<std::uint32_t>& layers);
  void UntrustedServerRule();
  // Asks whether to go on without encryption; refusing throws.
  void AskAcceptInsecure(bool withCheckbox);
  void SwitchOffPlugin();
  [[noreturn]] void ProtocolVersionFailure(const char* what, bool endOfStream);
  bool OldStylePlugin() const {
    return m_fUsePlugin && !m_fPluginStreamingOut && !m_channel;
  }
  // One client message of the fixed-size kind: whole, or for an old-style plug-in the
  // type byte alone first; nothing with an old-style plug-in that is not enabled.
  bool WriteTypedMessage(const std::uint8_t* msg, std::size_t len, bool queue, bool timed);
  std::uint8_t* GrowLocked(GrowBuffer& buf, std::mutex& lock, std::uint64_t n);

  std::mutex m_sockLock;
  std::atomic<bool> m_connecting{false};
  std::atomic<bool> m_cancelConnect{false};
  std::thread m_watchdog;
  std::atomic<bool> m_watchdogStop{false};
};
