// The text chat on the wire (RFB message type 11 in both directions) and the small text
// rules of the chat window: the names shown in front of each line and the size of the
// history. Platform-free.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace textchat {

constexpr std::uint8_t kMessageType = 11;
// Lengths that carry no text but a state.
constexpr std::uint32_t kOpen = 0xFFFFFFFF;
constexpr std::uint32_t kClose = 0xFFFFFFFE;
constexpr std::uint32_t kFinished = 0xFFFFFFFD;
// The longest text a message carries, and the size of each of the chat's buffers.
constexpr std::uint32_t kMaxText = 16384;
// The history is started again (a separator line) when it would grow past this.
constexpr std::size_t kHistoryCapacity = 16384;
constexpr std::size_t kHistoryReserve = 32;
constexpr std::size_t kNameCapacity = 128;  // remote and local name, terminator included

}  // namespace textchat

// The 8-byte header: type u8 = 11, 3 padding bytes (zero), length u32 (big-endian).
struct TextChatMsgHeader {
  static constexpr std::size_t kSize = 8;
  std::uint8_t type = textchat::kMessageType;
  std::uint32_t length = 0;

  static TextChatMsgHeader Decode(const std::uint8_t bytes[kSize]);
  void Encode(std::uint8_t bytes[kSize]) const;
};

namespace textchat {

// What an incoming header announces.
enum class Kind { kOpen, kClose, kFinished, kText, kEmpty, kTooLong };
Kind Classify(std::uint32_t length);

// A whole message: header, then the text (open, close and finished carry none).
std::vector<std::uint8_t> Message(std::uint32_t length, const char* text = nullptr);
std::vector<std::uint8_t> TextMessage(const std::string& text);

// A name of at most 127 characters; a longer one keeps its first 124 and ends in "...".
std::string BoundedName(const std::string& name);
// The remote name in front of the server's lines: the desktop name (bounded) cut before
// its first "(", the character in front of it dropped too ("host (user)" -> "host").
std::string RemoteSpeakerName(const std::string& desktopName);
// The dialog's title for a desktop name.
std::string ChatTitle(const std::string& desktopName);
// The first line of a history that was full: 120 "-" and a line feed.
std::string HistorySeparator();
// Whether appending to a history of this length first starts it again.
inline bool HistoryFull(std::size_t historyLength) { return historyLength + kHistoryReserve > kHistoryCapacity; }

}  // namespace textchat
