// What a snapshot file is called and which image encoder writes it (no window needed).
#pragma once

#include <ctime>
#include <string>

namespace snapshot {

constexpr std::size_t kFolderCapacity = 260;  // folder buffer, with its terminator
constexpr std::size_t kPrefixCapacity = 56;   // prefix buffer: at most 55 characters
constexpr std::size_t kPathCapacity = 260;    // the whole name after expansion

// folder "\" prefix "_" yyyymmdd_hhmmss extension, the time given as local time. Two
// snapshots within one second get the same name.
std::string FileName(const char* folder, const char* prefix, const std::tm& localTime, const char* extension);

// The MIME type of the image encoder for an extension (".jpeg", ".png", ".gif", ".bmp");
// null for any other extension: nothing is saved then.
const char* EncoderMimeType(const char* extension);

}  // namespace snapshot
