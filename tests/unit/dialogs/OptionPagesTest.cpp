// The option pages: what each control shows, how a page reads back, and the rules that tie
// controls together, over controls held in memory.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/KEBOptions.h"
#include "dialogs/OptionPages.h"
#include "resources/resource.h"
#include "session/SessionFormat.h"
#include "tests/unit/dialogs/DialogsTestSupport.h"
#include "tests/unit/options/OptionsTestSupport.h"

namespace {

using dlgtest::ChangeEverySetting;
using dlgtest::FakeControls;
using opttest::Changes;
using opttest::Picture;
using namespace optionpages;

using OptionPagesTest = opttest::OptionsTest;

void FillAll(const KEBOptions& o, FakeControls& c) {
  for (int p = 0; p < kPageCount; ++p) Fill(static_cast<Page>(p), o, c);
}
void ReadAll(KEBOptions& o, FakeControls& c) {
  for (int p = 0; p < kPageCount; ++p) Read(static_cast<Page>(p), o, c);
}

TEST_F(OptionPagesTest, EverySettingOfThePagesReadsBack) {
  KEBOptions written;
  ChangeEverySetting(written);
  written.m_cursorshape = true;  // the cursor radios: shape and no remote cursor
  written.m_shared = true;       // else the reconnect values read as 0
  FakeControls c;
  FillAll(written, c);
  KEBOptions read;
  // What the pages do not show (the other encodings' switches, the repeater, the limit of
  // automatic scaling, the keep-alive) or show through controls of the dialog's own (the
  // plug-in name, the requested size).
  std::memcpy(read.m_use_encoding, written.m_use_encoding, sizeof read.m_use_encoding);
  std::strcpy(read.m_DSMPlugin, written.m_DSMPlugin);
  std::strcpy(read.m_proxyhost, written.m_proxyhost);
  read.m_proxyport = written.m_proxyport;
  read.m_UseProxy = written.m_UseProxy;
  read.m_AutoScalingLimit = written.m_AutoScalingLimit;
  read.m_requestedWidth = written.m_requestedWidth;
  read.m_requestedHeight = written.m_requestedHeight;
  read.m_KeepAliveInterval = written.m_KeepAliveInterval;
  ReadAll(read, c);
  EXPECT_EQ(Changes(Picture(written), Picture(read)), "");
}

TEST_F(OptionPagesTest, ScaleAndServerScaleAreChecked) {
  const struct {
    const char* scale;
    int serverScale;
    int num, den, wantServerScale;
    bool warned;
  } cases[] = {
      {"150", 1, 3, 2, 1, false}, {"100", 3, 1, 1, 3, false}, {"500", 1, 1, 1, 1, true},
      {"400", 0, 4, 1, 1, false}, {"25", 10, 1, 4, 1, false},
  };
  for (const auto& k : cases) {
    ui.boxes.clear();
    KEBOptions o;
    FakeControls c;
    Fill(kDisplay, o, c);
    c.SetText(IDC_SCALE_COMBO, k.scale);
    c.SetNumber(IDC_SERVERSCALE, k.serverScale);
    Read(kDisplay, o, c);
    EXPECT_EQ(o.m_scale_num, k.num) << k.scale;
    EXPECT_EQ(o.m_scale_den, k.den) << k.scale;
    EXPECT_EQ(o.m_ServerScale, k.wantServerScale) << k.scale;
    EXPECT_EQ(ui.boxes.size(), k.warned ? 1u : 0u) << k.scale;
    if (k.warned) EXPECT_EQ(ui.boxes[0].text, "Invalid scale factor - resetting to normal scale");
  }
}

TEST_F(OptionPagesTest, ReconnectValuesOnlyForSharedSessions) {
  KEBOptions o;
  o.m_Reconnect = 4;
  o.m_AutoReconnect = 6;
  o.m_shared = false;
  FakeControls c;
  Fill(kMisc, o, c);
  EXPECT_EQ(c.texts[IDC_RECONNECT], "0");
  EXPECT_EQ(c.texts[IDC_AUTORECONNECT], "0");
  c.SetNumber(IDC_RECONNECT, 9);
  Read(kMisc, o, c);
  EXPECT_EQ(o.m_Reconnect, 0);
  EXPECT_EQ(o.m_AutoReconnect, 0);

  o.m_shared = true;
  c.SetNumber(IDC_RECONNECT, 9);
  c.SetNumber(IDC_AUTORECONNECT, -3);
  c.SetNumber(IDC_FILETRANSFERTIMEOUT, 5000);
  Read(kMisc, o, c);
  EXPECT_EQ(o.m_Reconnect, 9);
  EXPECT_EQ(o.m_AutoReconnect, 0);  // a negative delay would never reconnect
  EXPECT_EQ(o.m_FileTransferTimeout, 600);
}

TEST_F(OptionPagesTest, TypedValuesStayInRange) {
  KEBOptions o;
  o.m_ThrottleMouse = 7;
  FakeControls c;
  FillAll(o, c);
  c.SetText(IDC_THROTTLEMOUSE, "fast");  // not a number: kept
  c.SetNumber(IDC_COMPRESSLEVEL, 42);
  c.SetNumber(IDC_QUALITY, -1);
  c.SetText(IDC_IMAGE_FORMAT, ".exe");  // not a snapshot format: kept
  c.texts[IDC_SNAPSHOT_PREFIX] = std::string(300, 'p') + "\r\nx";
  c.texts[IDC_INFOMSG] = std::string(400, 'i');
  c.SetNumber(IDC_LISTEN_PORT, 70000);
  c.SetChecked(IDC_DISALLOW_UNTRUSTED, true);  // checked = not allowed
  ReadAll(o, c);
  EXPECT_EQ(o.m_ThrottleMouse, 7);
  EXPECT_EQ(o.m_compresslevel, 9);
  EXPECT_EQ(o.m_quality, 0);
  EXPECT_STREQ(o.m_imageFormat, ".jpeg");
  EXPECT_EQ(std::string(o.m_prefix), std::string(55, 'p'));
  EXPECT_EQ(std::string(o.m_InfoMsg).size(), 244u);
  EXPECT_EQ(o.m_listenPort, 5500);
  EXPECT_FALSE(o.m_AllowUntrustedServers);
}

TEST_F(OptionPagesTest, EncodersPageRules) {
  KEBOptions o;
  FakeControls c;
  Fill(kEncoders, o, c);
  EXPECT_TRUE(c.checks[IDC_ENCODING_BASE + 10]);          // preferred 10
  EXPECT_FALSE(c.Enabled(IDC_ENCODING_BASE + 28));        // switched off encoding
  EXPECT_TRUE(c.Enabled(IDC_ENCODING_BASE + 16));

  // Auto select: every choice off, and the quick option follows.
  c.SetChecked(IDC_AUTODETECT, true);
  OnCommand(kEncoders, IDC_AUTODETECT, o, c);
  for (int id : {IDC_ENCODING_BASE + 16, IDC_COLOUR_256, IDC_COMPRESSLEVEL, IDC_QUALITY_USE, IDC_ENABLECACHE})
    EXPECT_FALSE(c.Enabled(id)) << id;
  EXPECT_EQ(o.m_QuickOption, 1);
  c.SetChecked(IDC_AUTODETECT, false);
  OnCommand(kEncoders, IDC_AUTODETECT, o, c);
  EXPECT_TRUE(c.Enabled(IDC_ENCODING_BASE + 16));
  EXPECT_FALSE(c.Enabled(IDC_ENCODING_BASE + 28));
  EXPECT_EQ(o.m_QuickOption, 8);

  // Opalo2 and reduced colours exclude each other; Zlib brings the cache encoding.
  c.SetChecked(IDC_COLOUR_64, true);
  OnCommand(kEncoders, IDC_ENCODING_BASE + 10, o, c);
  EXPECT_TRUE(c.checks[IDC_COLOUR_FULL]);
  EXPECT_FALSE(c.checks[IDC_COLOUR_64]);
  c.SetChecked(IDC_COLOUR_FULL, false);
  c.SetChecked(IDC_COLOUR_8, true);
  OnCommand(kEncoders, IDC_COLOUR_8, o, c);
  EXPECT_FALSE(c.checks[IDC_ENCODING_BASE + 10]);
  EXPECT_TRUE(c.checks[IDC_ENCODING_BASE + 9]);
  c.SetChecked(IDC_ENCODING_BASE + 9, false);
  c.SetChecked(IDC_ENCODING_BASE + 6, true);
  OnCommand(kEncoders, IDC_ENCODING_BASE + 6, o, c);
  EXPECT_TRUE(c.checks[IDC_ENABLECACHE]);

  // Reading rebuilds the preferred list from the checked radios in id order.
  c.SetChecked(IDC_ENCODING_BASE + 16, true);
  Read(kEncoders, o, c);
  EXPECT_EQ(o.m_PreferredEncodings, (std::vector<int>{6, 16}));
  EXPECT_EQ(o.m_Use8Bit, 3);
  EXPECT_TRUE(o.m_EnableCache);
}

TEST_F(OptionPagesTest, DisplayPageEnablesByServerResolution) {
  KEBOptions o;
  FakeControls c;
  Fill(kDisplay, o, c);
  EXPECT_TRUE(c.checks[IDC_NO_EXTEND]);
  for (int id : {IDC_EXTEND_DISPLAY, IDC_USE_VIRT, IDC_USE_ALL_MONITORS, IDC_RESOLUTION_SLIDER, IDC_SHOW_EXTEND})
    EXPECT_FALSE(c.Enabled(id)) << id;
  c.SetChecked(IDC_CHANGE_SERVER_RES, true);
  OnCommand(kDisplay, IDC_CHANGE_SERVER_RES, o, c);
  for (int id : {IDC_EXTEND_DISPLAY, IDC_USE_VIRT, IDC_USE_ALL_MONITORS, IDC_RESOLUTION_SLIDER})
    EXPECT_TRUE(c.Enabled(id)) << id;
  EXPECT_FALSE(c.Enabled(IDC_SHOW_EXTEND));
  c.SetChecked(IDC_EXTEND_DISPLAY, true);
  c.SetChecked(IDC_USE_ALL_MONITORS, true);
  OnCommand(kDisplay, IDC_EXTEND_DISPLAY, o, c);
  EXPECT_TRUE(c.Enabled(IDC_SHOW_EXTEND));
  EXPECT_FALSE(c.Enabled(IDC_RESOLUTION_SLIDER));
  c.SetChecked(IDC_SHOW_EXTEND, true);
  OnCommand(kDisplay, IDC_SHOW_EXTEND, o, c);
  EXPECT_FALSE(c.Enabled(IDC_MONITOR_SPANNING));
  EXPECT_FALSE(c.Enabled(IDC_DIRECTX));
}

TEST_F(OptionPagesTest, QuickOptions) {
  const struct {
    int quick;
    std::vector<int> preferred;
    int mode;
    bool cache, autoDetect, qualityGiven, copyRect, cursorshape;
  } cases[] = {
      {1, {5}, 0, false, true, true, true, true},    {2, {5}, 0, false, false, true, true, true},
      {3, {16}, 1, false, false, true, true, true},  {4, {16}, 2, true, false, true, true, true},
      {5, {16}, 3, true, false, false, true, true},  {7, {9}, 0, false, false, true, false, false},
      {8, {10}, 4, true, false, true, true, true},
  };
  for (const auto& k : cases) {
    KEBOptions o;
    o.m_Use8Bit = 4;
    o.m_EnableCache = true;
    o.m_autoDetect = true;
    FakeControls c;
    Fill(kQuick, o, c);
    EXPECT_TRUE(c.checks[IDC_QUICK_1]);
    c.SetChecked(IDC_QUICK_1, false);
    for (int id : {IDC_QUICK_2, IDC_QUICK_3, IDC_QUICK_4, IDC_QUICK_5, IDC_QUICK_7, IDC_QUICK_OTHER})
      c.SetChecked(id, false);
    const int id = k.quick == 7 ? IDC_QUICK_7 : k.quick == 8 ? IDC_QUICK_OTHER : IDC_QUICK_1 + k.quick - 1;
    c.SetChecked(id, true);
    Read(kQuick, o, c);
    ASSERT_EQ(o.m_QuickOption, k.quick);
    sessionformat::ApplyQuickOption(o);
    EXPECT_EQ(o.m_PreferredEncodings, k.preferred) << k.quick;
    EXPECT_EQ(o.m_Use8Bit, k.mode) << k.quick;
    EXPECT_EQ(o.m_EnableCache, k.cache) << k.quick;
    EXPECT_EQ(o.m_autoDetect, k.autoDetect) << k.quick;
    EXPECT_EQ(o.m_qualityGiven, k.qualityGiven) << k.quick;
    EXPECT_EQ(o.m_use_encoding[1], k.copyRect) << k.quick;
    EXPECT_EQ(o.m_cursorshape, k.cursorshape) << k.quick;
  }
}

}  // namespace
