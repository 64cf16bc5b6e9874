#include "rdr/ByteOrder.h"
#include "session/CutText.h"

#include <cstring>

namespace cuttext {

namespace {

std::vector<std::uint8_t> CutTextMessage(std::uint32_t lengthField, const void* data, std::size_t n) {
  std::vector<std::uint8_t> m(8 + n);
  m[0] = 6;
  rdr::StoreU32BE(&m[4], lengthField);
  if (n) std::memcpy(&m[8], data, n);
  return m;
}

constexpr char16_t kReplacement = 0xFFFD;

void PutUtf8(std::string& out, std::uint32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::int32_t HeaderLength(const std::uint8_t h[8]) {
  return static_cast<std::int32_t>(rdr::LoadU32BE(h + 4));
}

std::uint64_t PayloadSize(std::int32_t length) {
  return length < 0 ? std::uint64_t(-std::int64_t(length)) : std::uint64_t(length);
}

std::vector<std::uint8_t> ClientCutText(const char* text, std::size_t length) {
  return CutTextMessage(static_cast<std::uint32_t>(length), text, length);
}

std::vector<std::uint8_t> ClientCutTextExtended(const std::uint8_t* message, std::size_t length) {
  return CutTextMessage(static_cast<std::uint32_t>(-static_cast<std::int64_t>(length)), message, length);
}

std::string ToLocalLineEnds(const char* text, std::size_t length) {
  std::string out;
  out.reserve(length + length / 8 + 1);
  for (std::size_t i = 0; i < length && text[i]; i++) {
    if (text[i] == '\n') out += '\r';
    out += text[i];
  }
  return out;
}

std::string RemoveCarriageReturns(const char* text, std::size_t length) {
  std::string out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; i++)
    if (text[i] != '\r') out += text[i];
  return out;
}

std::string Utf16ToUtf8(const char16_t* text, std::size_t n) {
  std::string out;
  out.reserve(n);
  for (std::size_t i = 0; i < n && text[i]; i++) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (std::uint32_t(text[i + 1]) - 0xDC00);
      i++;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    PutUtf8(out, c);
  }
  return out;
}

std::u16string Utf8ToUtf16(const char* text, std::size_t n) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  std::u16string out;
  out.reserve(n);
  std::size_t i = 0;
  while (i < n && s[i]) {
    const unsigned b = s[i];
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      i++;
      continue;
    }
    // The lead byte fixes the length and the range of the second byte (no overlong forms,
    // no surrogates, nothing above U+10FFFF); later bytes are 0x80..0xBF.
    int more;
    unsigned lo = 0x80, hi = 0xBF;
    std::uint32_t c;
    if (b >= 0xC2 && b <= 0xDF) {
      more = 1;
      c = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      more = 2;
      c = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      more = 3;
      c = b & 0x07;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      out += kReplacement;
      i++;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < more; k++, j++) {
      const unsigned t = j < n ? s[j] : 0;
      const unsigned low = k == 0 ? lo : 0x80, high = k == 0 ? hi : 0xBF;
      if (t < low || t > high) {
        ok = false;
        break;
      }
      c = (c << 6) | (t & 0x3F);
    }
    // A bad sequence is replaced once; reading goes on at the byte that broke it.
    i = j;
    if (!ok) {
      out += kReplacement;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

}  // namespace cuttext
