// The clipboard and the text chat of a session: server message 3 (plain text or an
// extended-clipboard message) and 11 (chat), ClientCutText in both forms, the extended
// clipboard's capabilities, requests and preferences, and the chat's messages.
#include <memory>
#include <string>

#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "filetransfer/TextChatMessages.h"
#include "rdr/ByteOrder.h"
#include "rdr/Exception.h"
#include "session/CutText.h"
#include "session/RfbSession.h"

namespace {

constexpr std::uint8_t kClientCutText = 6;
const char kPrefsSection[] = "connection";
const char kPrefsKey[] = "ClipboardPrefs";
constexpr int kDefaultPrefs = 7;


}  // namespace

// ---------------------------------------------------------------------------------------
// Server messages

void RfbSession::ReadServerCutText() {
  std::uint8_t b[8] = {3};
  kebLog.Print(6, "Read remote clipboard change\n");
  ReadMessageBody(b, sizeof b);
  const std::int32_t length = cuttext::HeaderLength(b);
  const std::uint64_t size = cuttext::PayloadSize(length);
  if (length < 0) {
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    m_clip.serverSupports = true;
    kebLog.Print(6, "Read remote extended clipboard change\n");
  }
  // Taking more would hold the connection for a clipboard nobody can use: the stream
  // cannot be followed past it without reading it, so the connection ends.
  if (size > cuttext::kMaxLength) {
    kebLog.Print(0, "Server cut text of %llu bytes is longer than %u\n", static_cast<unsigned long long>(size),
                 cuttext::kMaxLength);
    throw rdr::Exception("Server cut text too long");
  }
  // A grow buffer asked for n bytes holds at least n + 1: room for the terminating zero
  // even at the largest length taken (asking for size + 1 would pass the cap there).
  std::uint8_t* buf = m_cutTextBuf.Ensure(size);
  ReadExact(buf, static_cast<long>(size));
  buf[size] = 0;
  const bool refuse = m_opts.m_disableclipboard || m_opts.m_viewonly;

  if (length >= 0) {
    if (refuse) return;
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    const char* text = reinterpret_cast<const char*>(buf);
    if (UpdateLocalClipboard(text, static_cast<std::size_t>(size))) m_clip.lastPlainText.assign(text, size);
    return;
  }

  if (size < 4) {
    kebLog.Print(0, "Extended clipboard message of %u bytes has no flags\n", static_cast<unsigned>(size));
    return;
  }
  const std::uint32_t flags = rdr::LoadU32BE(buf);
  if (flags & extclip::kCaps) {
    {
      std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
      m_clip.ReadServerCaps(buf, static_cast<std::size_t>(size), true);
    }
    PostClipboardCaps();
  } else if (flags & extclip::kRequest) {
    if (!refuse) PostClipboardRequest(flags);
  } else if (flags & extclip::kNotify) {
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    m_clip.notifiedFormats = flags & extclip::kFormatMask;
  } else if (flags & extclip::kProvide) {
    if (refuse) return;
    ClipboardContent content;
    std::string error;
    if (!content.ReadProvide(buf, static_cast<std::size_t>(size), &error)) {
      // The stream stays in step (the message was read whole); only its content is dropped.
      kebLog.Print(0, "Extended clipboard data not usable: %s\n", error.c_str());
      kebLog.Print(6, "Failed to set new clipboard data\n");
      return;
    }
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    if (SetLocalClipboard(content)) {
      kebLog.Print(6, "Successfuly restored new clipboard data\n");
      m_clip.lastChecksum = content.checksum;
      m_clip.notifiedFormats = 0;
    } else {
      kebLog.Print(6, "Failed to set new clipboard data\n");
    }
  }
}

void RfbSession::ReadTextChatMessage() {
  std::uint8_t b[TextChatMsgHeader::kSize] = {textchat::kMessageType};
  ReadMessageBody(b, sizeof b);
  const TextChatMsgHeader h = TextChatMsgHeader::Decode(b);
  std::string text;
  switch (textchat::Classify(h.length)) {
    case textchat::Kind::kTooLong:
      // No text of the chat is this long: what follows cannot be told from the next message.
      kebLog.Print(0, "Text chat message of %u bytes is longer than %u\n", h.length, textchat::kMaxText);
      throw rdr::Exception("Text chat message too long");
    case textchat::Kind::kText:
      text.resize(h.length);
      ReadExact(&text[0], static_cast<long>(h.length));
      break;
    default: break;
  }
  TextChatReceived(h.length, text);
}

// ---------------------------------------------------------------------------------------
// Client messages

void RfbSession::SendClientCutText(const char* text, std::size_t length) {
  if (FileTransferInProgress()) {
    kebLog.Print(6, "Ignoring SendClientCutText due to in-progress File Transfer\n");
    return;
  }
  if (TextChatActive()) {
    kebLog.Print(6, "Ignoring SendClientCutText due to in-progress Text Chat\n");
    return;
  }
  if (length > cuttext::kMaxLength) {
    kebLog.Print(0, "Clipboard text of %llu bytes not sent: longer than %u\n",
                 static_cast<unsigned long long>(length), cuttext::kMaxLength);
    return;
  }
  {
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    if (m_clip.lastPlainText.size() == length && m_clip.lastPlainText.compare(0, length, text, length) == 0) {
      kebLog.Print(6, "Ignoring SendClientCutText due to identical data\n");
      return;
    }
    m_clip.lastPlainText.assign(text, length);
  }
  const std::vector<std::uint8_t> msg = cuttext::ClientCutText(text, length);
  WriteMessage(msg.data(), msg.size(), kClientCutText);
  kebLog.Print(6, "Sent %d bytes of clipboard\n", static_cast<int>(length));
}

namespace {

// An extended-clipboard message as ClientCutText with its negative length.
std::vector<std::uint8_t> Extended(const ExtendedClipboardBuffer& b) {
  return cuttext::ClientCutTextExtended(b.Data(), b.Length());
}

}  // namespace

bool RfbSession::ExtendedClipboardInUse() {
  std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
  return m_clip.serverSupports;
}

void RfbSession::RequestClipboardFormats() {
  if (!ExtendedClipboardInUse()) return;
  ExtendedClipboardBuffer request;
  request.OrFlags(extclip::kRequestAll);
  const std::vector<std::uint8_t> msg = Extended(request);
  WriteMessage(msg.data(), msg.size(), kClientCutText);
}

void RfbSession::SendClipboardCaps(bool save) {
  if (!ExtendedClipboardInUse()) return;
  ExtendedClipboardBuffer caps;
  if (m_opts.m_viewonly || m_opts.m_disableclipboard) {
    caps.OrFlags(extclip::kCapsNone);
    for (int i = 0; i < extclip::kFormatCount; i++) caps.AppendU32(0);
  } else {
    std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
    const char* file = m_opts.GetOptionsFile();
    if (save && file[0]) {
      kebLog.Print(1, "Saving to %s\n", file);
      if (std::unique_ptr<IniStore> ini = OpenIniFile(file))
        ini->WriteInt(kPrefsSection, kPrefsKey, m_clip.Preferences());
    }
    m_clip.WriteCaps(caps);
  }
  const std::vector<std::uint8_t> msg = Extended(caps);
  WriteMessage(msg.data(), msg.size(), kClientCutText);
}

void RfbSession::LoadClipboardPrefs() {
  std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
  const char* file = m_opts.GetOptionsFile();
  int prefs = kDefaultPrefs;
  if (file[0]) {
    kebLog.Print(1, "Saving to %s\n", file);
    if (std::unique_ptr<IniStore> ini = OpenIniFile(file)) prefs = ini->GetInt(kPrefsSection, kPrefsKey, kDefaultPrefs);
  }
  m_clip.ApplyPreferences(prefs);
}

void RfbSession::SendExtendedClipboard(const ClipboardContent& content, std::uint32_t flags) {
  std::lock_guard<std::recursive_mutex> g(m_clipboardPrefsLock);
  if (content.checksum == m_clip.lastChecksum && flags == 0) {
    kebLog.Print(6, "Ignoring extended SendClientCutText due to identical data\n");
    return;
  }
  if (!m_clip.BuildOutgoingMessages(content, flags)) return;
  if (m_clip.providePending) {
    const std::vector<std::uint8_t> msg = Extended(m_clip.provide);
    WriteMessage(msg.data(), msg.size(), kClientCutText);
  }
  if (m_clip.notifyPending) {
    const std::vector<std::uint8_t> msg = Extended(m_clip.notify);
    WriteMessage(msg.data(), msg.size(), kClientCutText);
  }
  kebLog.Print(6, "Sent extended clipboard\n");
  m_clip.ClearPending();
}

void RfbSession::SendTextChat(std::uint32_t length, const char* text) {
  const std::vector<std::uint8_t> msg = textchat::Message(length, text);
  WriteMessage(msg.data(), msg.size(), textchat::kMessageType);
}
