#include "security/Mnemonic.h"

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kBase = 1626;
constexpr std::size_t kExtra = 7;

// The published list (resources/mnemonicode-words.txt), with its notice there.
const char* const kWords[] = {
#include "security/MnemonicWords.inc"
};
static_assert(sizeof kWords / sizeof kWords[0] == kBase + kExtra, "the mnemonicode list has 1626 + 7 words");

}  // namespace

const char* MnemonicWord(std::size_t i) { return i < kBase + kExtra ? kWords[i] : nullptr; }

int FormatMnemonicFingerprint(const std::uint8_t* data, std::size_t length, char* out, std::size_t size,
                              const char* format) {
  if (!format || !*format) format = "x-x-x--";
  bool letters = false;
  for (const char* f = format; *f; f++) letters = letters || std::isalpha(static_cast<unsigned char>(*f));
  if (!letters) return -8;

  std::vector<std::size_t> words;
  for (std::size_t at = 0; at < length; at += 4) {
    const std::size_t n = std::min<std::size_t>(4, length - at);
    std::uint32_t x = 0;
    for (std::size_t i = 0; i < n; i++) x |= std::uint32_t(data[at + i]) << (8 * i);
    words.push_back(x % kBase);
    if (n >= 2) words.push_back((x / kBase) % kBase);
    if (n == 3) words.push_back(kBase + (x / (kBase * kBase)) % kExtra);
    if (n == 4) words.push_back((x / (kBase * kBase)) % kBase);
  }

  std::string text;
  const char* f = format;
  for (std::size_t w = 0; w < words.size();) {
    if (!*f) f = format;
    const char c = *f++;
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      text += c;
      continue;
    }
    std::string word = kWords[words[w]];
    if ((w == 0 || w == 3) && !word.empty()) word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
    text += word;
    w++;
  }
  if (!out || text.size() + 1 > size) return -2;
  std::memcpy(out, text.c_str(), text.size() + 1);
  return 0;
}
