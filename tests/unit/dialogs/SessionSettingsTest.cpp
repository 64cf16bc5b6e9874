// The session dialog's settings: settings files written and read back, the defaults it
// restores, the command-line switches it applies again and the server fields it reads.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/KEBOptions.h"
#include "app/PortableIni.h"
#include "dialogs/SessionSettings.h"
#include "tests/unit/dialogs/DialogsTestSupport.h"
#include "tests/unit/options/OptionsTestSupport.h"

namespace {

using opttest::Changes;
using opttest::OptionsTest;
using opttest::Picture;
using dlgtest::ChangeEverySetting;

using SessionSettingsTest = OptionsTest;

TEST_F(SessionSettingsTest, WrittenSettingsReadBackIntoAnotherRecord) {
  KEBOptions written;
  ChangeEverySetting(written);
  g_sponsor = true;
  PortableIniText ini;
  sessionsettings::WriteSettings(ini, written, "SRV", 5902);
  g_sponsor = false;

  KEBOptions read;
  sessionsettings::ReadSettings(ini, read);
  EXPECT_EQ(Changes(Picture(written), Picture(read)), "");
  EXPECT_TRUE(g_sponsor);

  // The dialog's order, host and port first; "GiiEnable" is written too.
  const std::string& text = ini.Text();
  std::vector<std::string> order = {"host=SRV", "port=5902", "proxyhost=REPEATER", "proxyport=5501",
                                    "use_encoding_0=", "use_encoding_29=", "preferred_encoding=16",
                                    "viewonly=", "showtoolbar=", "8bit=3", "scale_num=3", "compresslevel=2",
                                    "DSMPlugin=crypt.dsm", "InfoMsg=hello there", "AutoReconnect=9",
                                    "GiiEnable=1", "UseOnlyDefaultConfigFile=0", "sponsor=1",
                                    "PreemptiveUpdates=1"};
  std::size_t at = 0;
  for (const auto& piece : order) {
    std::size_t found = text.find(piece, at);
    ASSERT_NE(found, std::string::npos) << piece << " after position " << at << " in\n" << text;
    at = found;
  }
  // Not settings of the dialog: not in its files.
  for (const char* key : {"localcursor=", "ExitCheck=", "emulate3timeout=", "belldeiconify="})
    EXPECT_EQ(text.find(key), std::string::npos) << key;
}

TEST_F(SessionSettingsTest, MissingKeysKeepWhatWasSetAndOtherKeysAreNotRead) {
  KEBOptions o;
  ChangeEverySetting(o);
  o.m_localcursor = 2;
  o.m_ExitCheck = true;
  const auto before = Picture(o);
  PortableIniText ini("[options]\r\nviewonly=0\r\nlocalcursor=0\r\nExitCheck=0\r\nemulate3timeout=1\r\n"
                      "[connection]\r\nhost=OTHER\r\n");
  sessionsettings::ReadSettings(ini, o);
  EXPECT_EQ(Changes(before, Picture(o)), "viewonly: 1 -> 0\n");
}

TEST_F(SessionSettingsTest, HostileValuesAreBroughtIntoRange) {
  KEBOptions o;
  PortableIniText ini("[options]\r\nscale_num=0\r\nscale_den=100\r\n8bit=99\r\nFileTransferTimeout=900\r\n"
                      "KeepAliveInterval=700\r\ncompresslevel=-4\r\nquality=77\r\npreferred_encoding=-7\r\n"
                      "ServerScale=10\r\nListenPort=70000\r\nInfoMsg=" + std::string(2000, 'i') + "\r\n"
                      "DSMPlugin=" + std::string(2000, 'd') + "\r\nflagvalue=1\r\nviewonly=5\r\n"
                      "[connection]\r\nproxyhost=" + std::string(600, 'p') + "\r\nproxyport=123456\r\n");
  sessionsettings::ReadSettings(ini, o);
  EXPECT_EQ(o.m_scale_num, 100);
  EXPECT_EQ(o.m_scale_den, 100);
  EXPECT_EQ(o.m_Use8Bit, 0);
  EXPECT_EQ(o.m_FileTransferTimeout, 600);
  EXPECT_EQ(o.m_KeepAliveInterval, 599);
  EXPECT_EQ(o.m_compresslevel, 0);
  EXPECT_EQ(o.m_quality, 9);
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{10});
  EXPECT_EQ(o.m_ServerScale, 1);
  EXPECT_EQ(o.m_listenPort, 5500);
  EXPECT_EQ(std::strlen(o.m_InfoMsg), 253u);
  EXPECT_EQ(std::strlen(o.m_DSMPlugin), 259u);
  EXPECT_TRUE(o.m_viewonly);
  EXPECT_EQ(std::strlen(o.m_proxyhost), 249u);
  EXPECT_EQ(o.m_proxyport, -1);  // out of range: kept
}

// A shared file must not make the viewer load a library from elsewhere or write snapshots
// as another kind of file.
TEST_F(SessionSettingsTest, PluginsByNameOnlyAndSnapshotsAsImages) {
  const struct {
    const char* plugin;
    const char* format;
    const char* wantPlugin;
    bool wantUse;
    const char* wantFormat;
  } cases[] = {
      {"crypt.dsm", ".png", "crypt.dsm", true, ".png"},
      {"\\\\attacker\\share\\evil.dsm", ".bat", "NoPlugin", false, ".jpeg"},
      {"C:evil.dsm", ".exe", "NoPlugin", false, ".jpeg"},
      {"../evil.dsm", ".JPEG", "NoPlugin", false, ".jpeg"},
  };
  for (const auto& c : cases) {
    KEBOptions o;
    PortableIniText ini(std::string("[options]\r\nUseDSMPlugin=1\r\nDSMPlugin=") + c.plugin + "\r\nimageFormat=" +
                        c.format + "\r\n");
    sessionsettings::ReadSettings(ini, o);
    EXPECT_STREQ(o.m_DSMPlugin, c.wantPlugin) << c.plugin;
    EXPECT_EQ(o.m_UseDSMPlugin, c.wantUse) << c.plugin;
    EXPECT_STREQ(o.m_imageFormat, c.wantFormat) << c.format;
  }
  // A path given on the command line stays when a file without a plug-in key is loaded.
  KEBOptions o;
  std::strcpy(o.m_DSMPlugin, "C:\\plugins\\mine.dsm");
  PortableIniText ini("[options]\r\nviewonly=1\r\n");
  o.LoadOptions(ini);
  EXPECT_STREQ(o.m_DSMPlugin, "C:\\plugins\\mine.dsm");
}

TEST_F(SessionSettingsTest, RestoringDefaultsKeepsTheServerAndTheCommandLine) {
  KEBOptions o;
  ChangeEverySetting(o);
  std::strcpy(o.m_host_options, "SRV");
  o.m_port = 5905;
  std::strcpy(o.m_CmdLine, "-viewonly SRV:5");
  std::strcpy(o.m_optionfile, "C:\\p\\options.keb");
  std::strcpy(o.m_password, "secret");
  o.m_logLevel = 5;
  sessionsettings::ResetToDefaults(o);

  KEBOptions defaults;
  std::strcpy(defaults.m_folder, "C:\\shots here");
  std::strcpy(defaults.m_host_options, "SRV");
  defaults.m_port = 5905;
  std::strcpy(defaults.m_password, "secret");
  std::strcpy(defaults.m_proxyhost, "REPEATER");
  defaults.m_proxyport = 5501;
  defaults.m_logLevel = 5;
  EXPECT_EQ(Changes(Picture(defaults), Picture(o)), "");
  EXPECT_STREQ(o.m_CmdLine, "-viewonly SRV:5");
  EXPECT_STREQ(o.m_optionfile, "C:\\p\\options.keb");
  // The values the dialog names.
  EXPECT_EQ(o.m_PreferredEncodings, std::vector<int>{10});
  EXPECT_EQ(o.m_compresslevel, 6);
  EXPECT_EQ(o.m_quality, 8);
  EXPECT_TRUE(o.m_compresslevelGiven && o.m_qualityGiven && o.m_shared && o.m_showtoolbar);
  EXPECT_TRUE(o.m_UseOnlyDefaultConfigFile);
  EXPECT_FALSE(o.m_viewonly || o.m_fullscreen || o.m_directx || o.m_autoDetect || o.m_UseDSMPlugin);
  EXPECT_STREQ(o.m_prefix, "brandwyn_");
  EXPECT_STREQ(o.m_imageFormat, ".jpeg");
}

TEST_F(SessionSettingsTest, CommandLineSwitchesWinOverALoadedFile) {
  KEBOptions o;
  std::strcpy(o.m_CmdLine,
              "-config conn.keb -viewonly -password -notoolbar -scale 150/100 -user me "
              "-encodings zrle hextile SERVER:1 -InfoMsg \"two words\" -position 1 2 3 4 -quality 3 "
              "-listen 5600 -proxy rep:1 -logfile log.txt -8bit");
  g_configSpecified = true;
  const std::string line = o.m_CmdLine;
  sessionsettings::ApplyCommandLineSwitches(o);

  EXPECT_TRUE(o.m_viewonly);
  EXPECT_TRUE(o.m_showtoolbar);  // "-notoolbar" was the password
  EXPECT_EQ(o.m_scale_num, 3);
  EXPECT_EQ(o.m_scale_den, 2);
  EXPECT_EQ(o.m_PreferredEncodings, (std::vector<int>{16, 5}));
  EXPECT_STREQ(o.m_InfoMsg, "two words");
  EXPECT_EQ(o.m_quality, 3);
  EXPECT_EQ(o.m_listenPort, 5600);
  EXPECT_EQ(o.m_Use8Bit, 1);
  // Not settings: left alone.
  EXPECT_STREQ(o.m_host_options, "");
  EXPECT_STREQ(o.m_user, "");
  EXPECT_STREQ(o.m_password, "");
  EXPECT_STREQ(o.m_configFilename, "");
  EXPECT_FALSE(o.m_UseProxy);
  EXPECT_FALSE(o.m_logToFile);
  EXPECT_EQ(o.m_x, 0);
  EXPECT_EQ(o.m_CmdLine, line);
  EXPECT_TRUE(g_configSpecified);
  EXPECT_TRUE(ui.boxes.empty());
  EXPECT_TRUE(ui.quits.empty());
}

TEST_F(SessionSettingsTest, SwitchMessagesAndQuitsAreNotRepeated) {
  KEBOptions o;
  std::strcpy(o.m_CmdLine, "-scale 500 -quality abc -encoding nosuch -autoreconnect");
  sessionsettings::ApplyCommandLineSwitches(o);
  // Only the scale check speaks: its values may be new.
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Invalid scale factor - resetting to normal scale");
  EXPECT_TRUE(ui.quits.empty());
  EXPECT_EQ(o.m_scale_num, 1);
  EXPECT_EQ(o.m_quality, 8);
}

TEST_F(SessionSettingsTest, WithoutSwitchesTheScaleIsChecked) {
  KEBOptions o;
  std::strcpy(o.m_CmdLine, "SERVER:1 -config x.keb");
  o.m_scale_num = 150;
  o.m_scale_den = 100;
  sessionsettings::ApplyCommandLineSwitches(o);
  EXPECT_EQ(o.m_scale_num, 3);
  EXPECT_EQ(o.m_scale_den, 2);
  EXPECT_TRUE(ui.boxes.empty());

  o.m_scale_num = 500;
  o.m_scale_den = 100;
  o.m_Scaling = true;
  sessionsettings::ApplyCommandLineSwitches(o);
  EXPECT_EQ(o.m_scale_num, 1);
  EXPECT_EQ(o.m_scale_den, 1);
  EXPECT_FALSE(o.m_Scaling);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, "Invalid scale factor - resetting to normal scale");
  EXPECT_EQ(ui.boxes[0].title, "Argument error");
  EXPECT_EQ(ui.boxes[0].icon, MessageIcon::Warning);
}

TEST(SessionServerFields, HostTextsAndRepeaters) {
  const struct {
    const char* host;
    bool repeater;
    const char* repeaters;
    bool ok;
    const char* wantHost;
    int wantPort;
    const char* wantProxy;
    int wantProxyPort;
  } cases[] = {
      {"srv:1", false, "", true, "SRV", 5901, "", 0},
      {"srv::1", false, "", true, "SRV", 1, "", 0},
      {"srv", false, "", true, "SRV", 5900, "", 0},
      {"srv:5905", false, "", true, "SRV", 5905, "", 0},
      {"[fe80::a]:2", false, "", true, "FE80::A", 5902, "", 0},
      {"srv:abc", false, "", false, "", 0, "", 0},
      {"srv:1", false, "not a:repeater", true, "SRV", 5901, "", 0},  // hidden field, not used
      {"srv:1", true, "rep::5500", true, "SRV", 5901, "rep", 5500},
      {"srv:1", true, "rep:x", false, "", 0, "", 0},
      // An ID entry picks one of several repeaters by its number modulo their count.
      {"ID:12345679", true, "r1:1;r2::6000", true, "ID", 12345679, "r2", 6000},
      {"ID:12345678", true, "r1:1;r2::6000", true, "ID", 12345678, "r1", 5901},
      {"ID:12345678", true, "r1;r2;r3", true, "ID", 12345678, "r1", 5900},
      {"ID:12345679", false, "", false, "", 0, "", 0},  // no such port without a repeater
      {"ID:99999999999", true, "r1", false, "", 0, "", 0},
      {"host:1", true, "r1:1;r2:2", true, "HOST", 5901, "r1:1;r2:2", -1},  // not an ID: the whole text
  };
  for (const auto& c : cases) {
    sessionsettings::ServerFields fields;
    fields.hostText = c.host;
    fields.useRepeater = c.repeater;
    fields.repeaterText = c.repeaters;
    sessionsettings::ServerAddress a;
    ASSERT_EQ(sessionsettings::ReadServerFields(fields, &a), c.ok) << c.host << " " << c.repeaters;
    if (!c.ok) continue;
    EXPECT_EQ(a.host, c.wantHost) << c.host;
    EXPECT_EQ(a.port, c.wantPort) << c.host;
    EXPECT_EQ(a.useProxy, c.repeater);
    if (c.wantProxyPort >= 0) {
      EXPECT_EQ(a.proxyhost, c.wantProxy) << c.host;
      EXPECT_EQ(a.proxyport, c.wantProxyPort) << c.host;
    }
  }
}

}  // namespace
