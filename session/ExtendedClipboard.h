// The extended clipboard: Unicode text, RTF, HTML and device-independent bitmaps inside
// cut-text messages with a negative length. Every message starts with a flags word (u32,
// big-endian): bits 0-15 the formats, bits 24-31 the action. The state of one connection
// decides what goes to the server for a local change or a server's request; the content
// record is one reading of a clipboard. The Windows clipboard itself is read and written
// by the shell (ClipboardWin32.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#ifdef _WIN32
struct HWND__;
#endif

namespace extclip {

// Formats, in the order they travel.
constexpr std::uint32_t kText = 0x1, kRtf = 0x2, kHtml = 0x4, kDib = 0x8;
constexpr int kFormatCount = 4;
constexpr std::uint32_t kFormatMask = 0xFFFF;

// Actions.
constexpr std::uint32_t kCaps = 0x01000000, kRequest = 0x02000000, kPeek = 0x04000000, kNotify = 0x08000000,
                        kProvide = 0x10000000;
constexpr std::uint32_t kActionMask = 0xFF000000;

// Capabilities: caps, request and provide for all four formats; every connection announces
// the variant with notify, the one with peek is kept beside it.
constexpr std::uint32_t kBaseCaps = 0x1300000F;
constexpr std::uint32_t kCapsWithNotify = kBaseCaps | kNotify;
constexpr std::uint32_t kCapsWithPeek = kBaseCaps | kPeek;
// Capabilities that accept nothing (view-only or clipboard off).
constexpr std::uint32_t kCapsNone = kCaps | 0xF;

// The client's own limits per format: text 10 MiB, RTF and HTML 2 MiB, DIB never unasked.
constexpr std::array<std::uint32_t, kFormatCount> kClientLimits = {10485760, 2097152, 2097152, 0};

// The largest provide payload taken apart: all its formats together, decompressed (100 MiB).
constexpr std::uint64_t kMaxProvidedBytes = 104857600;

// Request of every format (text, RTF, HTML, DIB).
constexpr std::uint32_t kRequestAll = kRequest | 0xF;
// Sends every local format now, whatever its size.
constexpr std::uint32_t kProvideAll = kProvide | 0xF;

inline std::uint32_t FormatBit(int index) { return 1u << index; }

}  // namespace extclip

// A growable message whose first u32 is the flags word (big-endian).
class ExtendedClipboardBuffer {
public:
  ExtendedClipboardBuffer() : bytes_(4, 0) {}
  // Back to the flags word alone, zeroed.
  void Clear() { bytes_.assign(4, 0); }
  void OrFlags(std::uint32_t v);
  void AppendU32(std::uint32_t v);
  void Append(const std::uint8_t* data, std::size_t n) { bytes_.insert(bytes_.end(), data, data + n); }
  void Reserve(std::size_t n) { bytes_.reserve(n); }
  const std::uint8_t* Data() const { return bytes_.data(); }
  std::size_t Length() const { return bytes_.size(); }
  std::uint32_t Flags() const;

private:
  std::vector<std::uint8_t> bytes_;
};

// One reading of a clipboard: for text (UTF-8 with its terminating zero), RTF, HTML and DIB
// the bytes, and the crc32 of the text (the text alone decides whether content changed).
struct ClipboardContent {
  std::array<std::vector<std::uint8_t>, extclip::kFormatCount> data;
  std::uint32_t checksum = 0;  // crc32 of nothing

  std::size_t Size(int index) const { return data[index].size(); }
  bool HasAny() const;
  // The checksum anew from the text.
  void UpdateChecksum();

  // Takes a provide message apart: its flags word, then a zlib stream with a u32 size and
  // the bytes of each format present, in format order. Only what is sound is kept: a
  // stream that is not zlib, ends early or holds more than kMaxProvidedBytes leaves the
  // formats read so far and returns false with the reason in *error.
  bool ReadProvide(const std::uint8_t* message, std::size_t length, std::string* error);

#ifdef _WIN32
  // The Windows clipboard: Unicode text (as UTF-8), "Rich Text Format", "HTML Format" and
  // CF_DIBV5, in that order while they fit kMaxProvidedBytes together (a format that would
  // pass it is left out). True when any format had data.
  bool ReadLocalClipboard(HWND__* window);
  // Puts a provide message on the Windows clipboard (opened for window); true when the
  // clipboard was written. Fills this record with what was set.
  bool WriteLocalClipboard(HWND__* window, const std::uint8_t* message, std::size_t length);
  // Puts this record on the Windows clipboard; true when it was written.
  bool SetLocalClipboard(HWND__* window) const;
#endif
};

// The extended-clipboard state of one connection (guarded by its clipboard lock).
class ExtendedClipboardState {
public:
  ExtendedClipboardState();

  // A capabilities message (flags word first): the server's flags and its limit for each
  // of the four formats (0 for a format it leaves out, or when the message ends early).
  // With adopt the send limits become the server's, except for formats the preferences
  // switched off.
  void ReadServerCaps(const std::uint8_t* message, std::size_t length, bool adopt);
  // The client's capabilities: its caps word, then the four fixed limits.
  void WriteCaps(ExtendedClipboardBuffer& buffer) const;
  // What goes to the server for content: flags 0 for a local change, else the server's
  // request (or another asking action, such as sending every format). Returns whether a
  // provide or a notify message is pending.
  bool BuildOutgoingMessages(const ClipboardContent& content, std::uint32_t flags);
  // Empties both pending messages once they went out.
  void ClearPending();

  // Automatic synchronisation preferences: "ClipboardPrefs" bit 1 text, 2 RTF, 4 HTML.
  // Text is always on. Applying switches the send limit of an unwanted format to 0 (and
  // back to the server's limit when wanted again).
  void ApplyPreferences(int prefs);
  int Preferences() const;
  bool AutoSync(int index) const { return sendLimits[index] > 0; }

  bool serverSupports = false;
  std::array<std::uint32_t, extclip::kFormatCount> sendLimits;
  std::array<std::uint32_t, extclip::kFormatCount> serverLimits;
  std::uint32_t clientCaps = extclip::kCapsWithNotify;
  std::uint32_t serverFlags = 0;
  std::uint32_t lastChecksum = 0;
  std::uint32_t notifiedFormats = 0;  // formats the server last announced
  bool providePending = false, notifyPending = false;
  ExtendedClipboardBuffer provide, notify;
  std::string lastPlainText;

private:
  int prefs_ = 7;
};
