#include "filetransfer/TextChatMessages.h"
#include "rdr/ByteOrder.h"

#include <cstring>

TextChatMsgHeader TextChatMsgHeader::Decode(const std::uint8_t b[kSize]) {
  TextChatMsgHeader h;
  h.type = b[0];
  h.length = rdr::LoadU32BE(b + 4);
  return h;
}

void TextChatMsgHeader::Encode(std::uint8_t b[kSize]) const {
  b[0] = type;
  b[1] = b[2] = b[3] = 0;
  for (int i = 0; i < 4; i++) b[4 + i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
}

namespace textchat {

Kind Classify(std::uint32_t length) {
  switch (length) {
    case kOpen: return Kind::kOpen;
    case kClose: return Kind::kClose;
    case kFinished: return Kind::kFinished;
    case 0: return Kind::kEmpty;
    default: return length <= kMaxText ? Kind::kText : Kind::kTooLong;
  }
}

std::vector<std::uint8_t> Message(std::uint32_t length, const char* text) {
  TextChatMsgHeader h;
  h.length = length;
  const std::size_t n = Classify(length) == Kind::kText && text ? length : 0;
  std::vector<std::uint8_t> m(TextChatMsgHeader::kSize + n);
  h.Encode(m.data());
  if (n) std::memcpy(m.data() + TextChatMsgHeader::kSize, text, n);
  return m;
}

std::vector<std::uint8_t> TextMessage(const std::string& text) {
  const std::size_t n = text.size() < kMaxText ? text.size() : kMaxText;
  return Message(static_cast<std::uint32_t>(n), text.data());
}

std::string BoundedName(const std::string& name) {
  std::string n = name.substr(0, name.find('\0'));
  if (n.size() < kNameCapacity) return n;
  return n.substr(0, kNameCapacity - 4) + "...";
}

std::string RemoteSpeakerName(const std::string& desktopName) {
  std::string n = BoundedName(desktopName);
  const std::size_t paren = n.find('(');
  if (paren != std::string::npos) n.resize(paren > 0 ? paren - 1 : 0);
  return n;
}

std::string ChatTitle(const std::string& desktopName) {
  return "Quillmar Remote - Chat with <" + BoundedName(desktopName) + ">";
}

std::string HistorySeparator() { return std::string(120, '-') + "\n"; }

}  // namespace textchat
