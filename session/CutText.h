// Plain clipboard text on the wire (ServerCutText 3, ClientCutText 6) and the text
// conversions between the wire and the Windows clipboard: line ends, and UTF-8 to and from
// UTF-16 for the extended clipboard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace cuttext {

// The largest text or extended message taken from the server, and sent to it (100 MiB).
constexpr std::uint32_t kMaxLength = 104857600;

// The s32 length of a cut-text header: [type, 3 padding, length]. A negative length
// announces an extended-clipboard message of -length bytes.
std::int32_t HeaderLength(const std::uint8_t header[8]);
// The bytes that follow the header: |length|, as a 64-bit count (INT32_MIN included).
std::uint64_t PayloadSize(std::int32_t length);

// ClientCutText with plain text: [6, 0, 0, 0, length u32, text].
std::vector<std::uint8_t> ClientCutText(const char* text, std::size_t length);
// ClientCutText carrying an extended-clipboard message: the length field is minus its size.
std::vector<std::uint8_t> ClientCutTextExtended(const std::uint8_t* message, std::size_t length);

// Server text for the Windows clipboard: every line feed becomes carriage return + line
// feed. The text ends at its first zero byte, as the clipboard keeps it.
std::string ToLocalLineEnds(const char* text, std::size_t length);
// Windows clipboard text for the server: every carriage return is removed.
std::string RemoveCarriageReturns(const char* text, std::size_t length);

// UTF-16 (the clipboard's Unicode text) to UTF-8, up to the first zero unit or n units.
// An unpaired surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const char16_t* text, std::size_t n);
// UTF-8 to UTF-16, up to the first zero byte or n bytes. Bytes that are not UTF-8
// (stray continuation bytes, overlong forms, surrogates, values above U+10FFFF, sequences
// cut short) become U+FFFD, one for each maximal bad part.
std::u16string Utf8ToUtf16(const char* text, std::size_t n);

}  // namespace cuttext
