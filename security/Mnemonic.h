// Fingerprints as words: the mnemonicode encoding and its published word list.
#pragma once

#include <cstddef>
#include <cstdint>

// Writes the words for data into out (size bytes, terminated). Every group of 4 bytes,
// read as a little-endian number x, gives three words: x mod 1626, (x / 1626) mod 1626 and
// (x / 2643876) mod 1626; a last group of 3 bytes takes its third word from the list's
// seven extra words; (3 * length + 3) / 4 words in all. Each letter of the template stands
// for one word (the template starts again when it runs out), other characters are copied,
// and output stops after the last word; the first letter of words 0 and 3 is upper-cased.
// An empty template means "x-x-x--". 0, -2 when out is too small, -8 for a template
// without letters.
int FormatMnemonicFingerprint(const std::uint8_t* data, std::size_t length, char* out, std::size_t size,
                              const char* format);

// Word i of the list (0 .. 1632), or nullptr.
const char* MnemonicWord(std::size_t i);
