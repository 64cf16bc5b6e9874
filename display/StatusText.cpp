#include "display/StatusText.h"

#include <cinttypes>
#include <cstdio>

namespace status {

namespace {

constexpr std::uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;

struct NamedEncoding {
  std::int32_t number;
  const char* name;
};

const NamedEncoding kEncodingNames[] = {
    {0, "Raw"},     {2, "RRE"},     {4, "CoRRE"},      {5, "Hextile"},  {6, "Zlib"},     {7, "Tight"},
    {8, "ZlibHex"}, {9, "Opalo"},   {10, "Opalo2"},    {16, "ZRLE"},    {17, "ZYWRLE"},  {18, "XZ"},
    {19, "XZYW"},   {25, "ZSTD"},   {26, "TightZstd"}, {27, "ZstdHex"}, {28, "ZSTDRLE"}, {29, "ZSTDYWRLE"},
};

bool EqualNoCase(const char* a, const char* b) {
  for (;; a++, b++) {
    const unsigned char x = static_cast<unsigned char>(*a), y = static_cast<unsigned char>(*b);
    const int lx = (x >= 'A' && x <= 'Z') ? x + 32 : x, ly = (y >= 'A' && y <= 'Z') ? y + 32 : y;
    if (lx != ly) return false;
    if (!x) return true;
  }
}

}  // namespace

std::string FormatByteSize(std::uint64_t count) {
  char text[64];
  if (count <= kKiB)
    std::snprintf(text, sizeof text, "%" PRIu64 " bytes", count);
  else if (count <= kMiB)
    std::snprintf(text, sizeof text, "%" PRIu64 ".%2.2" PRIu64 " Kb", count / kKiB, ((count % kKiB) * 25) >> 8);
  else if (count <= kGiB)
    std::snprintf(text, sizeof text, "%" PRIu64 ".%3.3" PRIu64 " Mb", count / kMiB, ((count % kMiB) * 1000) >> 20);
  else
    std::snprintf(text, sizeof text, "%" PRIu64 ".%4.4" PRIu64 " Gb", count / kGiB, ((count % kGiB) * 10000) >> 30);
  return text;
}

std::string EncodingName(std::int32_t encoding, bool cache) {
  for (const NamedEncoding& e : kEncodingNames)
    if (e.number == encoding) return cache ? std::string(e.name) + ", Cache" : std::string(e.name);
  return std::string();
}

std::string EncryptionText(const std::string& channelDescription, PluginKind kind, const char* params) {
  if (!channelDescription.empty()) return channelDescription;
  switch (kind) {
    case PluginKind::Integrated: return "(plugin default encryption)";
    case PluginKind::Old:
      return params && EqualNoCase(params, "NoPassword") ? "(old plugin, rc4.key, encryption)"
                                                         : "(old plugin, encryption)";
    case PluginKind::None: break;
  }
  return "(no encryption)";
}

std::string PluginLine(const std::string& label, const std::string& name, const std::string& version) {
  return label + " (" + name + "-v" + version + ")";
}

}  // namespace status
