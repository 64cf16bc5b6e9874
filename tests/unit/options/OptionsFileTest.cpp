// The options file: every key read and written, the given flags, the load clamps and the
// quiet sanitising of files that come from elsewhere.
#include <cstring>
#include <string>

#include "OptionsTestSupport.h"

namespace {

using opttest::Changes;
using opttest::Picture;
using opttest::ScratchDir;

class OptionsFile : public opttest::OptionsTest {
protected:
  std::string Read(const std::string& path, const char* key) {
    char buf[512];
    OpenIniFile(path.c_str())->GetString("options", key, "<absent>", buf, sizeof buf);
    return buf;
  }
  // Loads a file holding the given [options] lines into a record with built-in defaults.
  KEBOptions LoadLines(const std::string& lines) {
    KEBOptions o;
    o.LoadOptions(dir.Write("[options]\r\n" + lines).c_str());
    return o;
  }
  struct Row {
    const char* lines;
    const char* changes;  // against the built-in defaults
  };
  void ExpectLoads(std::initializer_list<Row> rows) {
    const auto base = Picture(KEBOptions());
    for (const Row& r : rows) EXPECT_EQ(Changes(base, Picture(LoadLines(r.lines))), r.changes) << r.lines;
  }
  ScratchDir dir;
};

const char* const kAllKeys[] = {
    "preferred_encoding", "restricted", "ipv6", "AllowUntrustedServers", "viewonly", "nostatus",
    "HideEOStreamError", "nohotkeys", "showtoolbar", "fullscreen", "SavePos", "SaveSize", "GNOME", "directx",
    "autoDetect", "8bit", "shared", "swapmouse", "belldeiconify", "BlockSameMouse", "emulate3", "JapKeyboard",
    "emulate3timeout", "emulate3fuzz", "disableclipboard", "localcursor", "Scaling", "AutoScaling",
    "AutoScalingEven", "AutoScalingLimit", "scale_num", "scale_den", "cursorshape", "noremotecursor",
    "compresslevel", "quality", "ServerScale", "Reconnect", "EnableCache", "EnableZstd", "QuickOption",
    "UseDSMPlugin", "UseProxy", "allowMonitorSpanning", "ChangeServerRes", "extendDisplay", "showExtend",
    "use_virt", "useAllMonitors", "requestedWidth", "requestedHeight", "DSMPlugin", "folder", "prefix",
    "imageFormat", "InfoMsg", "sponsor", "AutoReconnect", "ExitCheck", "FileTransferTimeout", "ListenPort",
    "KeepAliveInterval", "ThrottleMouse", "AutoAcceptIncoming", "AutoAcceptNoDSM", "RequireEncryption",
    "UseOnlyDefaultConfigFile", "PreemptiveUpdates",
};

// Every field the file holds, away from its default.
void SetEveryKey(KEBOptions& o) {
  for (int i = 0; i < KEBOptions::kEncodingCount; ++i) o.m_use_encoding[i] = !o.m_use_encoding[i];
  o.m_PreferredEncodings = {16};
  for (bool* b : {&o.m_restricted, &o.m_ipv6, &o.m_AllowUntrustedServers, &o.m_viewonly, &o.m_nostatus,
                  &o.m_HideEOStreamError, &o.m_nohotkeys, &o.m_showtoolbar, &o.m_fullscreen, &o.m_SavePos,
                  &o.m_SaveSize, &o.m_GNOME, &o.m_directx, &o.m_autoDetect, &o.m_shared, &o.m_swapmouse,
                  &o.m_belldeiconify, &o.m_BlockSameMouse, &o.m_emulate3, &o.m_JapKeyboard, &o.m_disableclipboard,
                  &o.m_Scaling, &o.m_AutoScaling, &o.m_AutoScalingEven, &o.m_AutoScalingLimit, &o.m_cursorshape,
                  &o.m_noremotecursor, &o.m_EnableCache, &o.m_EnableZstd, &o.m_UseDSMPlugin, &o.m_UseProxy,
                  &o.m_allowMonitorSpanning, &o.m_ChangeServerRes, &o.m_extendDisplay, &o.m_showExtend,
                  &o.m_use_virt, &o.m_useAllMonitors, &o.m_ExitCheck, &o.m_AutoAcceptIncoming, &o.m_AutoAcceptNoDSM,
                  &o.m_RequireEncryption, &o.m_UseOnlyDefaultConfigFile, &o.m_PreemptiveUpdates})
    *b = !*b;
  o.m_Use8Bit = 5;
  o.m_emulate3timeout = 250;
  o.m_emulate3fuzz = -2;
  o.m_localcursor = 2;
  o.m_scale_num = 3;
  o.m_scale_den = 2;
  o.m_compresslevel = 1;
  o.m_quality = 9;
  o.m_ServerScale = 4;
  o.m_Reconnect = 7;
  o.m_QuickOption = 5;
  o.m_requestedWidth = 1920;
  o.m_requestedHeight = 1080;
  std::strcpy(o.m_DSMPlugin, "Plug In.dsm");
  std::strcpy(o.m_folder, "D:\\Snap Shots");
  std::strcpy(o.m_prefix, "shot_");
  std::strcpy(o.m_imageFormat, ".png");
  std::strcpy(o.m_InfoMsg, "Hello = there; [x]");
  o.m_AutoReconnect = 12;
  o.m_FileTransferTimeout = 120;
  o.m_listenPort = 5600;
  o.m_KeepAliveInterval = 60;
  o.m_ThrottleMouse = 40;
  g_sponsor = true;
}

TEST_F(OptionsFile, EveryKeySurvivesARoundTrip) {
  KEBOptions saved;
  SetEveryKey(saved);
  saved.m_GiiEnable = true;
  std::string path = dir.NewPath();
  saved.SaveOptions(path.c_str());

  for (const char* key : kAllKeys) EXPECT_NE(Read(path, key), "<absent>") << key;
  for (int i = 0; i < KEBOptions::kEncodingCount; ++i)
    EXPECT_EQ(Read(path, ("use_encoding_" + std::to_string(i)).c_str()), saved.m_use_encoding[i] ? "1" : "0");
  EXPECT_EQ(Read(path, "GiiEnable"), "<absent>");
  EXPECT_EQ(Read(path, "8bit"), "5");
  EXPECT_EQ(Read(path, "DSMPlugin"), "Plug In.dsm");

  g_sponsor = false;
  KEBOptions loaded;
  loaded.LoadOptions(path.c_str());
  EXPECT_TRUE(g_sponsor);
  auto want = Picture(saved);
  want["@GiiEnable"] = "0";  // not written, so the default stays
  EXPECT_EQ(Changes(want, Picture(loaded)), "");
}

TEST_F(OptionsFile, AbsentKeysKeepWhatTheRecordHolds) {
  KEBOptions o;
  SetEveryKey(o);
  auto before = Picture(o);
  o.LoadOptions(dir.Write("[options]\r\n[other]\r\nviewonly=1\r\n").c_str());
  EXPECT_EQ(Changes(before, Picture(o)), "");
  o.LoadOptions(dir.NewPath().c_str());  // no file at all
  EXPECT_EQ(Changes(before, Picture(o)), "");
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(OptionsFile, SingleKeys) {
  ExpectLoads({
      {"use_encoding_3=1", "use_encoding_3: 0 -> 1\n"},
      {"preferred_encoding=16", "@preferred list: 10, -> 16,\npreferred_encoding: 10 -> 16\n"},
      {"viewonly=5", "viewonly: 0 -> 1\n"},      // any non-zero number is on
      {"shared=abc", "shared: 1 -> 0\n"},        // no number reads as 0
      {"compresslevel=3", "@compresslevel: 6/1 -> 3/1\ncompresslevel: 6 -> 3\n"},
      {"FileTransferTimeout=900\r\nKeepAliveInterval=700",
       "FileTransferTimeout: 30 -> 600\nKeepAliveInterval: 5 -> 599\n"},
      {"KeepAliveInterval=40", "KeepAliveInterval: 5 -> 29\n"},
      {"GiiEnable=1", "@GiiEnable: 0 -> 1\n"},
  });
}

TEST_F(OptionsFile, LongTextsAreCutToTheirFields) {
  KEBOptions o = LoadLines("DSMPlugin=" + std::string(400, 'd') + "\r\nfolder=" + std::string(400, 'f') +
                           "\r\nprefix=" + std::string(100, 'p') + "\r\nimageFormat=" + std::string(100, 'x') +
                           "\r\nInfoMsg=" + std::string(300, 'i') + "\r\n");
  EXPECT_EQ(std::strlen(o.m_DSMPlugin), 259u);
  EXPECT_EQ(std::strlen(o.m_folder), 259u);
  EXPECT_EQ(std::strlen(o.m_prefix), 55u);
  EXPECT_STREQ(o.m_imageFormat, ".jpeg");  // no image extension: the value before stays
  EXPECT_EQ(std::strlen(o.m_InfoMsg), 253u);
}

TEST_F(OptionsFile, PreferredEncodingRules) {
  KEBOptions o;
  o.m_PreferredEncodings = {7, 16, 5};
  std::string path = dir.NewPath();
  o.SaveOptions(path.c_str());
  EXPECT_EQ(Read(path, "preferred_encoding"), "7");

  // Reading replaces the list by the one number; an absent key keeps the first entry.
  o.LoadOptions(dir.Write("[options]\r\npreferred_encoding=16\r\n").c_str());
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{16});
  o.m_PreferredEncodings = {5, 7};
  o.LoadOptions(dir.Write("[options]\r\n").c_str());
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{5});

  // An empty list is not written, and reads back as 16 from a file without the key.
  o.m_PreferredEncodings.clear();
  path = dir.NewPath();
  o.SaveOptions(path.c_str());
  EXPECT_EQ(Read(path, "preferred_encoding"), "<absent>");
  o.LoadOptions(path.c_str());
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{16});
}

TEST_F(OptionsFile, LevelsAreReadWhenPresentAndWrittenWhileGiven) {
  KEBOptions o;
  o.m_compresslevelGiven = false;
  o.m_qualityGiven = false;
  o.m_compresslevel = 4;
  std::string path = dir.NewPath();
  o.SaveOptions(path.c_str());
  EXPECT_EQ(Read(path, "compresslevel"), "<absent>");
  EXPECT_EQ(Read(path, "quality"), "<absent>");

  o.LoadOptions(dir.Write("[options]\r\nquality=2\r\ncompresslevel=\r\n").c_str());
  EXPECT_TRUE(o.m_qualityGiven);
  EXPECT_EQ(o.m_quality, 2);
  EXPECT_FALSE(o.m_compresslevelGiven);  // an empty value counts as absent
  EXPECT_EQ(o.m_compresslevel, 4);
}

TEST_F(OptionsFile, GiiEnableIsReadButNeverWritten) {
  std::string path = dir.Write("[options]\r\nGiiEnable=0\r\n");
  KEBOptions o;
  o.m_GiiEnable = true;
  o.SaveOptions(path.c_str());
  EXPECT_EQ(Read(path, "GiiEnable"), "0");
  o.LoadOptions(path.c_str());
  EXPECT_FALSE(o.m_GiiEnable);
}

TEST_F(OptionsFile, SponsorIsReadOnlyWhileOff) {
  KEBOptions o;
  o.LoadOptions(dir.Write("[options]\r\nsponsor=1\r\n").c_str());
  EXPECT_TRUE(g_sponsor);
  o.LoadOptions(dir.Write("[options]\r\nsponsor=0\r\n").c_str());
  EXPECT_TRUE(g_sponsor);
}

// Connection files are shared between people: values that would misbehave are brought into
// range without a word, to the nearest valid value or the default.
TEST_F(OptionsFile, HostileValuesAreSanitisedQuietly) {
  ExpectLoads({
      {"scale_num=0\r\nscale_den=0", ""},
      {"scale_num=401", ""},
      {"scale_den=101", ""},
      {"scale_num=-5\r\nscale_den=3", ""},
      {"scale_num=150", "scale_num: 100 -> 150\n"},
      {"ServerScale=0", ""},
      {"ServerScale=10", ""},
      {"AutoReconnect=-4", "AutoReconnect: 3 -> 0\n"},
      {"FileTransferTimeout=0", ""},
      {"FileTransferTimeout=-30\r\nKeepAliveInterval=100", "KeepAliveInterval: 5 -> 29\n"},
      {"8bit=7", ""},
      {"8bit=-1", ""},
      {"8bit=6", "8bit: 0 -> 6\n"},
      {"preferred_encoding=-239", ""},
      {"preferred_encoding=30", ""},
      {"preferred_encoding=0x7fffffff", ""},
      {"preferred_encoding=29", "@preferred list: 10, -> 29,\npreferred_encoding: 10 -> 29\n"},
      {"quality=50", "@quality: 8/1 -> 9/1\nquality: 8 -> 9\n"},
      {"compresslevel=-3", "@compresslevel: 6/1 -> 0/1\ncompresslevel: 6 -> 0\n"},
      {"ListenPort=70000", ""},
      {"ListenPort=0", ""},
      {"ListenPort=65535", "ListenPort: 5500 -> 65535\n"},
  });
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(OptionsFile, TextsCannotAddLinesToTheFile) {
  KEBOptions o;
  std::strcpy(o.m_InfoMsg, "hi\r\n[connection]\r\nhost=evil");
  std::strcpy(o.m_prefix, "p\nrestricted=1");
  std::string path = dir.NewPath();
  o.SaveOptions(path.c_str());
  char buf[64];
  OpenIniFile(path.c_str())->GetString("connection", "host", "<absent>", buf, sizeof buf);
  EXPECT_STREQ(buf, "<absent>");
  KEBOptions back;
  back.LoadOptions(path.c_str());
  EXPECT_STREQ(back.m_InfoMsg, "hi");
  EXPECT_STREQ(back.m_prefix, "p");
  EXPECT_FALSE(back.m_restricted);
}

}  // namespace
