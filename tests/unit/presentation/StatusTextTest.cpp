// The connection-status dialog's texts and the snapshot file names.
#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>

#include "display/SnapshotName.h"
#include "display/StatusText.h"

namespace {

TEST(StatusText, ByteSizes) {
  struct Case {
    std::uint64_t count;
    const char* text;
  } cases[] = {
      {0, "0 bytes"},
      {1024, "1024 bytes"},
      {1025, "1.00 Kb"},  // the rest is cut, not rounded
      {1536, "1.50 Kb"},
      {2047, "1.99 Kb"},
      {1048576, "1024.00 Kb"},
      {1048577, "1.000 Mb"},
      {1572864, "1.500 Mb"},
      {1073741824, "1024.000 Mb"},
      {1073741825, "1.0000 Gb"},
      {1610612736, "1.5000 Gb"},
      // Beyond 4 GiB the whole part keeps counting instead of wrapping to a small number.
      {5ull * 1073741824 + 536870912, "5.5000 Gb"},
      {4294967296ull + 1024, "4.0000 Gb"},
  };
  for (const Case& c : cases) EXPECT_EQ(status::FormatByteSize(c.count), c.text) << c.count;
}

TEST(StatusText, EncodingNames) {
  struct Case {
    std::int32_t number;
    bool cache;
    const char* name;
  } cases[] = {
      {0, false, "Raw"},        {2, false, "RRE"},          {4, false, "CoRRE"},     {5, false, "Hextile"},
      {6, false, "Zlib"},       {7, false, "Tight"},        {8, false, "ZlibHex"},   {9, false, "Opalo"},
      {10, false, "Opalo2"},    {16, false, "ZRLE"},        {17, false, "ZYWRLE"},   {18, false, "XZ"},
      {19, false, "XZYW"},      {25, false, "ZSTD"},        {26, false, "TightZstd"}, {27, false, "ZstdHex"},
      {28, false, "ZSTDRLE"},   {29, false, "ZSTDYWRLE"},   {16, true, "ZRLE, Cache"},
      // No name: the dialog keeps what it showed before.
      {1, false, ""},           {3, false, ""},             {-239, false, ""},       {30, true, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(status::EncodingName(c.number, c.cache), c.name) << c.number;
}

TEST(StatusText, Encryption) {
  using status::PluginKind;
  struct Case {
    const char* channel;
    PluginKind kind;
    const char* params;
    const char* text;
  } cases[] = {
      {"AES-EAX 128", PluginKind::Integrated, nullptr, "AES-EAX 128"},
      {"", PluginKind::Integrated, nullptr, "(plugin default encryption)"},
      {"", PluginKind::Old, "NoPassword", "(old plugin, rc4.key, encryption)"},
      {"", PluginKind::Old, "nopassWORD", "(old plugin, rc4.key, encryption)"},
      {"", PluginKind::Old, "NoPassword2", "(old plugin, encryption)"},
      {"", PluginKind::Old, nullptr, "(old plugin, encryption)"},
      {"", PluginKind::None, "NoPassword", "(no encryption)"},
  };
  for (const Case& c : cases) EXPECT_EQ(status::EncryptionText(c.channel, c.kind, c.params), c.text) << c.text;
  EXPECT_EQ(status::PluginLine("Plugin", "SecureVNC", "2.3.0"), "Plugin (SecureVNC-v2.3.0)");
}

TEST(SnapshotName, FileNameAndEncoder) {
  std::tm t = {};
  t.tm_year = 2026 - 1900;
  t.tm_mon = 0;
  t.tm_mday = 5;
  t.tm_hour = 7;
  t.tm_min = 3;
  t.tm_sec = 9;
  EXPECT_EQ(snapshot::FileName("%USERPROFILE%\\Pictures", "shot", t, ".png"),
            "%USERPROFILE%\\Pictures\\shot_20260105_070309.png");
  // Within one second the name repeats: the second snapshot replaces the first.
  EXPECT_EQ(snapshot::FileName("C:", "a", t, ".bmp"), snapshot::FileName("C:", "a", t, ".bmp"));

  struct Case {
    const char* extension;
    const char* mime;
  } cases[] = {{".jpeg", "image/jpeg"}, {".png", "image/png"}, {".gif", "image/gif"}, {".bmp", "image/bmp"},
               {".jpg", nullptr},       {".PNG", nullptr},     {"", nullptr},          {nullptr, nullptr}};
  for (const Case& c : cases) {
    const char* mime = snapshot::EncoderMimeType(c.extension);
    if (c.mime)
      EXPECT_STREQ(mime, c.mime);
    else
      EXPECT_EQ(mime, nullptr) << (c.extension ? c.extension : "(null)");
  }
}

}  // namespace
