#include "display/SnapshotName.h"

#include <cstring>

namespace snapshot {

std::string FileName(const char* folder, const char* prefix, const std::tm& localTime, const char* extension) {
  char stamp[32];
  if (std::strftime(stamp, sizeof stamp, "%Y%m%d_%H%M%S", &localTime) == 0) stamp[0] = 0;
  return std::string(folder) + "\\" + prefix + "_" + stamp + extension;
}

const char* EncoderMimeType(const char* extension) {
  static const struct {
    const char* extension;
    const char* mime;
  } kFormats[] = {{".jpeg", "image/jpeg"}, {".png", "image/png"}, {".gif", "image/gif"}, {".bmp", "image/bmp"}};
  for (const auto& f : kFormats)
    if (extension && std::strcmp(extension, f.extension) == 0) return f.mime;
  return nullptr;
}

}  // namespace snapshot
