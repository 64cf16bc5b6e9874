// The command line: one row per switch (line -> changed fields, boxes, quit codes), the
// server argument forms, repeaters, quoting, the usage box and configuration files.
#include <cstring>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "OptionsTestSupport.h"
#include "app/OptionsSys.h"

namespace {

using opttest::Picture;
using opttest::ScratchDir;

std::set<std::string> ChangeSet(const std::map<std::string, std::string>& before, const KEBOptions& after) {
  std::set<std::string> out;
  std::istringstream lines(opttest::Changes(before, Picture(after)));
  for (std::string line; std::getline(lines, line);) out.insert(line);
  return out;
}

std::string Show(const std::set<std::string>& s) {
  std::string out;
  for (const auto& l : s) out += "  " + l + "\n";
  return out;
}

int exitCode = -1;
void RecordExit(int code) { exitCode = code; }

class CommandLine : public opttest::OptionsTest {
protected:
  void SetUp() override {
    OptionsTest::SetUp();
    exitCode = -1;
    oldHook = SetExitProcessHook(RecordExit);
  }
  void TearDown() override {
    SetExitProcessHook(oldHook);
    OptionsTest::TearDown();
  }
  ExitProcessHook oldHook = nullptr;
  ScratchDir dir;
};

std::string T(int id) { return BuiltinUiText(id) ? BuiltinUiText(id) : "?"; }

struct Row {
  const char* line;
  std::set<std::string> changes;  // "field: before -> after"
  std::vector<std::string> boxes = {};  // texts of the argument-error boxes, in order
  std::vector<int> quits = {};
  void (*setup)(KEBOptions&) = nullptr;
  const char* kept = nullptr;  // the line the record keeps, when not the line given
};

void Check(opttest::RecordingUI& ui, const Row& r) {
  SCOPED_TRACE(r.line);
  ui.boxes.clear();
  ui.quits.clear();
  KEBOptions before;
  // The scale check after the last switch reduces the built-in 100/100 to 1/1; start there.
  before.m_scale_num = before.m_scale_den = 1;
  if (r.setup) r.setup(before);
  KEBOptions o = before;
  const auto picture = Picture(before);
  o.SetFromCommandLine(r.line);
  EXPECT_STREQ(o.m_CmdLine, r.kept ? r.kept : r.line);
  std::set<std::string> got = ChangeSet(picture, o);
  EXPECT_EQ(got, r.changes) << "got:\n" << Show(got) << "want:\n" << Show(r.changes);
  std::vector<std::string> texts;
  for (const auto& b : ui.boxes) {
    texts.push_back(b.text);
    EXPECT_EQ(b.title, T(50035));
    EXPECT_EQ(b.icon, MessageIcon::Error);
  }
  EXPECT_EQ(texts, r.boxes);
  EXPECT_EQ(ui.quits, r.quits);
}

TEST_F(CommandLine, FlagSwitches) {
  const Row rows[] = {
      {"-askexit", {"ExitCheck: 0 -> 1"}},
      {"-restricted", {"restricted: 0 -> 1"}},
      {"-ipv6", {"ipv6: 0 -> 1"}},
      {"-AllowUntrustedServers", {"AllowUntrustedServers: 0 -> 1"}, {}, {},
       [](KEBOptions& o) { o.m_AllowUntrustedServers = false; }},
      {"-viewonly", {"viewonly: 0 -> 1"}},
      {"-nostatus", {"nostatus: 0 -> 1"}},
      {"-nohotkeys", {"nohotkeys: 0 -> 1"}},
      {"-fullscreen", {"fullscreen: 0 -> 1"}},
      {"-savepos", {"SavePos: 0 -> 1"}},
      {"-savesize", {"SaveSize: 0 -> 1"}},
      {"-gnome", {"GNOME: 0 -> 1"}},
      {"-directx", {"directx: 0 -> 1"}},
      {"-shared", {"shared: 0 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_shared = false; }},
      {"-swapmouse", {"swapmouse: 0 -> 1"}},
      {"-belldeiconify", {"belldeiconify: 0 -> 1"}},
      {"-emulate3", {"emulate3: 0 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_emulate3 = false; }},
      {"-JapKeyboard", {"JapKeyboard: 0 -> 1"}},
      {"-disableclipboard", {"disableclipboard: 0 -> 1"}},
      {"-hideendofstreamerror", {"HideEOStreamError: 0 -> 1"}},
      {"-notoolbar", {"showtoolbar: 1 -> 0"}},
      {"-autoscaling", {"AutoScaling: 0 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_AutoScaling = false; }},
      {"-noauto", {"autoDetect: 1 -> 0", "QuickOption: 1 -> 0"}, {}, {}, [](KEBOptions& o) { o.m_autoDetect = true; }},
      {"-8bit", {"8bit: 0 -> 1"}},
      {"-256colors", {"8bit: 0 -> 1"}},
      {"-fullcolors", {"8bit: 3 -> 0"}, {}, {}, [](KEBOptions& o) { o.m_Use8Bit = 3; }},
      {"-64colors", {"8bit: 0 -> 2"}},
      {"-8colors", {"8bit: 0 -> 3"}},
      {"-8greycolors", {"8bit: 0 -> 4"}},
      {"-4greycolors", {"8bit: 0 -> 5"}},
      {"-2greycolors", {"8bit: 0 -> 6"}},
      {"-nocursor", {"localcursor: 1 -> 0"}},
      {"-dotcursor", {"localcursor: 2 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_localcursor = 2; }},
      {"-normalcursor", {"localcursor: 1 -> 2"}},
      {"-noemulate3", {"emulate3: 1 -> 0"}},
      {"-nocursorshape", {"cursorshape: 1 -> 0"}},
      {"-noremotecursor", {"cursorshape: 0 -> 1", "noremotecursor: 0 -> 1"}, {}, {},
       [](KEBOptions& o) { o.m_cursorshape = false; }},
      {"-console", {"@logToConsole: 0 -> 1"}},
      {"-register", {}, {}, {0}},
      {"-noborder", {"@NoBorder: 0 -> 1"}},
      {"-disablesponsor", {"sponsor: 0 -> 1"}},
      {"-autoacceptincoming", {"AutoAcceptIncoming: 0 -> 1"}},
      {"-giienable", {"@GiiEnable: 0 -> 1"}},
      {"-autoacceptnodsm", {"AutoAcceptNoDSM: 0 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_AutoAcceptNoDSM = false; }},
      {"-requireencryption", {"RequireEncryption: 0 -> 1"}},
      {"-preemptiveupdates", {"PreemptiveUpdates: 0 -> 1"}},
      {"-enablecache", {"EnableCache: 0 -> 1"}},
      // Names compare without regard to case, after "-" or "/".
      {"/VIEWONLY", {"viewonly: 0 -> 1"}},
      {"/JAPKEYBOARD -allowuntrustedservers", {"JapKeyboard: 0 -> 1", "AllowUntrustedServers: 0 -> 1"}, {}, {},
       [](KEBOptions& o) { o.m_AllowUntrustedServers = false; }},
  };
  for (const Row& r : rows) Check(ui, r);
}

TEST_F(CommandLine, NumberSwitches) {
  const Row rows[] = {
      {"-listen", {"@listening: 0 -> 1"}},
      {"-listen 5901", {"@listening: 0 -> 1", "ListenPort: 5500 -> 5901"}},
      {"-listen 70000", {"@listening: 0 -> 1"}, {T(50037)}},
      {"-listen 0", {"@listening: 0 -> 1"}, {T(50037)}},
      {"-listen 99999999999", {"@listening: 0 -> 1"}, {T(50037)}},
      {"-fttimeout 45", {"FileTransferTimeout: 30 -> 45"}},
      {"-fttimeout 900", {"FileTransferTimeout: 30 -> 600"}},
      {"-fttimeout", {}},
      {"-fttimeout x", {"@host: -> X", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      {"-keepalive 20", {"KeepAliveInterval: 5 -> 20"}},
      {"-keepalive 50", {"KeepAliveInterval: 5 -> 29"}},
      // The keep-alive clamp does not depend on the order of the switches.
      {"-keepalive 50 -fttimeout 100", {"KeepAliveInterval: 5 -> 50", "FileTransferTimeout: 30 -> 100"}},
      {"-fttimeout 100 -keepalive 50", {"KeepAliveInterval: 5 -> 50", "FileTransferTimeout: 30 -> 100"}},
      {"-socketkeepalivetimeout 10", {}},
      {"-scale 3", {"scale_num: 1 -> 3"}},
      {"-scale 150/100", {"scale_num: 1 -> 3", "scale_den: 1 -> 2"}},
      {"-scale 7/x", {"scale_num: 1 -> 7"}},
      {"-scale 3 /2", {"scale_num: 1 -> 3", "@host: -> /2", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      {"-scale", {}, {T(50038)}},
      {"-scale abc", {}, {T(50039)}},
      {"-emulate3timeout 50", {"emulate3timeout: 100 -> 50"}},
      {"-emulate3timeout", {}, {T(50040)}},
      {"-emulate3timeout x", {}, {T(50041)}},
      {"-emulate3fuzz 9", {"emulate3fuzz: 4 -> 9"}},
      {"-emulate3fuzz", {}, {T(50042)}},
      {"-emulate3fuzz x", {}, {T(50043)}},
      {"-delay 3", {"@delay: 0 -> 3"}},
      {"-delay", {}, {T(50044)}},
      {"-delay x", {}, {T(50045)}},
      {"-loglevel 10", {"@logLevel: 0 -> 10"}},
      {"-loglevel", {}, {T(50046)}},
      {"-loglevel ten", {}, {T(50047)}},
      {"-compresslevel 3", {"compresslevel: 6 -> 3", "@compresslevel: 6/1 -> 3/1"}},
      {"-compresslevel 3", {"compresslevel: (absent) -> 3", "@compresslevel: 6/0 -> 3/1"}, {}, {},
       [](KEBOptions& o) { o.m_compresslevelGiven = false; }},
      {"-compresslevel 10", {}, {T(50055)}},
      {"-compresslevel -1", {}, {T(50055)}},
      {"-compresslevel", {}, {T(50054)}},
      {"-compresslevel x", {}, {T(50055)}},
      {"-quality 0", {"quality: 8 -> 0", "@quality: 8/1 -> 0/1"}},
      {"-quality 50", {}, {T(50057)}},
      {"-quality", {}, {T(50056)}},
      {"-serverscale 4", {"ServerScale: 1 -> 4"}},
      {"-serverscale 12", {}},
      {"-serverscale 12", {"ServerScale: 3 -> 1"}, {}, {}, [](KEBOptions& o) { o.m_ServerScale = 3; }},
      {"-serverscale", {}, {T(50059)}},
      {"-serverscale x", {}, {T(50059)}, {}, [](KEBOptions& o) { o.m_ServerScale = 3; }},
      {"-quickoption 3", {"QuickOption: 1 -> 3"}},
      {"-quickoption", {}, {T(50060)}},
      {"-quickoption x", {}, {T(50060)}},
      {"-reconnectcounter 5", {"Reconnect: 3 -> 5"}},
      {"-reconnectcounter", {}, {"You must specify a reconnect counter number"}, {1}},
      {"-reconnectcounter x", {}, {"You must specify a reconnect counter number"}, {1}},
      {"-autoreconnect 7", {"AutoReconnect: 3 -> 7"}},
      {"-autoreconnect -5", {"AutoReconnect: 3 -> 0"}},
      {"-autoreconnect", {}, {"You must specify an autoreconnect delay (default is 10s)"}, {1}},
      {"-position 1 2 3 4", {"@position: 0 0 0 0 -> 1 2 3 4"}},
      {"-position 1 2 3", {"@host: -> 3", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}, {"You must specify x y w y"}, {1}},
      {"-position 1 2 3 x", {}, {"You must specify x y w y"}, {1}},
      {"-throttlemouse 20", {"ThrottleMouse: 0 -> 20"}},
      {"-throttlemouse", {}, {T(50056)}},
      {"-throttlemouse x", {}, {T(50057)}},
  };
  for (const Row& r : rows) Check(ui, r);
}

TEST_F(CommandLine, TextSwitches) {
  const std::string longName(300, 'n');
  const std::string longInfo = "-InfoMsg " + std::string(300, 'i');
  const std::string longLog = "-logfile " + longName;
  const Row rows[] = {
      {"-logfile keb.log", {"@logToFile: 0 -> 1", "@logFilename: -> keb.log"}},
      {"-logfile", {}, {T(50048)}},
      {longLog.c_str(), {}, {T(50049)}},
      {"-InfoMsg \"Hello there\"", {"InfoMsg: -> Hello there"}},
      {"-InfoMsg", {}, {"No InfoMsg"}},
      {longInfo.c_str(), {"InfoMsg: -> " + std::string(254, 'i')}},
      {"-encoding zrle", {"@preferred list: 10, -> 16,", "preferred_encoding: 10 -> 16"}},
      {"-encoding RRE", {"@preferred list: 10, -> 2,", "preferred_encoding: 10 -> 2"}},
      {"-encoding zlibhex", {"@preferred list: 10, -> 8,", "preferred_encoding: 10 -> 8", "use_encoding_8: 0 -> 1"}, {}, {},
       [](KEBOptions& o) { o.m_use_encoding[8] = false; }},
      {"-encoding", {}, {T(50052)}},
      {"-encoding bogus", {}, {T(50053)}},
      {"-encodings tight zrle tight -viewonly",
       {"@preferred list: 10, -> 7,16,", "preferred_encoding: 10 -> 7", "viewonly: 0 -> 1"}},
      {"-encodings xz xzyw", {"@preferred list: 10, -> 18,19,", "preferred_encoding: 10 -> 18", "use_encoding_18: 0 -> 1"},
       {}, {}, [](KEBOptions& o) { o.m_use_encoding[18] = false; }},
      {"-encodings", {}, {T(50052)}},
      {"-encodings bogus", {}, {T(50053)}},
      {"-user admin", {"@user: -> admin"}},
      {"-user", {}, {T(50058)}},
      {"-password \"p w\"", {"@password: -> p w"}, {}, {}, nullptr, ""},
      {"-password", {}, {T(50058)}},
      {"-dsmplugin My.dsm", {"UseDSMPlugin: 0 -> 1", "DSMPlugin: NoPlugin -> My.dsm"}},
      {"-dsmplugin", {}, {T(50061)}},
      {"-proxy rep:5500", {"UseProxy: 0 -> 1", "@proxyText: -> rep:5500", "@proxyhost: -> rep:5500"}},
      {"-proxy rep::5500 srv", {"UseProxy: 0 -> 1", "@proxyText: -> rep::5500", "@proxyhost: -> rep",
                                "@proxyport: -1 -> 5500", "@host: -> SRV", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      {"-proxy", {}, {T(50061)}},
      {"-cloud somewhere", {}},
      {"-cloud", {}, {"no cloud server defined"}},
      {"-classname MyFrame", {"@ClassName: -> MyFrame"}},
      {"-classname", {}, {"No classname"}},
  };
  for (const Row& r : rows) Check(ui, r);
}

TEST_F(CommandLine, ServerArgument) {
  const Row rows[] = {
      {"myhost", {"@host: -> MYHOST", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      {"myhost:1", {"@host: -> MYHOST", "@hostGiven: 0 -> 1", "@port: -1 -> 5901"}},
      {"[fe80::1]:2", {"@host: -> FE80::1", "@hostGiven: 0 -> 1", "@port: -1 -> 5902"}},
      // The listen switch takes only a number; a name that follows is the server.
      {"-listen myhost", {"@listening: 0 -> 1", "@host: -> MYHOST", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      // An unknown switch is not a switch: it names the server.
      {"-bogus", {"@host: -> -BOGUS", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      // Two blanks make an empty token, which names no server.
      {"-viewonly  myhost ", {"viewonly: 0 -> 1", "@host: -> MYHOST", "@hostGiven: 0 -> 1", "@port: -1 -> 5900"}},
      {"\"-viewonly\"", {"viewonly: 0 -> 1"}},
  };
  for (const Row& r : rows) Check(ui, r);

  // A bad server shows the usage box with its reason, ends the start-up, and parsing goes on.
  for (const char* line : {"h::70000 -viewonly", "h:-5 -viewonly", "[::1 -viewonly", "h:x -viewonly"}) {
    SCOPED_TRACE(line);
    ui.boxes.clear();
    ui.quits.clear();
    KEBOptions o;
    o.SetFromCommandLine(line);
    EXPECT_TRUE(o.m_viewonly);
    EXPECT_FALSE(o.m_hostGiven);
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].text.rfind(T(50062) + "\r\nUsage includes:\r\n", 0), 0u);
    EXPECT_EQ(ui.boxes[0].title, T(50024));
    EXPECT_EQ(ui.quits, std::vector<int>{1});
  }
}

TEST_F(CommandLine, Quoting) {
  KEBOptions o;
  o.SetFromCommandLine("-InfoMsg \"a  b\" -user \"x\"y -password \"\" -classname \"c d");
  EXPECT_STREQ(o.m_InfoMsg, "a  b");
  EXPECT_STREQ(o.m_user, "x");  // what follows a closing quote is dropped
  EXPECT_STREQ(o.m_password, "");
  EXPECT_STREQ(o.m_ClassName, "c d");  // an unclosed quote runs to the end
  EXPECT_FALSE(o.m_hostGiven);
  EXPECT_TRUE(ui.boxes.empty());
}

// The password is taken, and the line the record keeps for applying the switches again
// keeps everything but it.
TEST_F(CommandLine, TheKeptLineHoldsNoPassword) {
  struct Case {
    const char* line;
    const char* password;
    const char* kept;
  } cases[] = {
      {"-password Sesame99 SRV:5", "Sesame99", "SRV:5"},
      {"SRV:5 -password \"open  sesame\" -viewonly", "open  sesame", "SRV:5 -viewonly"},
      {"-viewonly /PASSWORD x\"Sesame99\"y", "Sesame99", "-viewonly"},
      {"-password first -user kim -password second", "second", "-user kim"},
      {"-password", "", "-password"},  // no password given, nothing to take out
      {"-user kim", "", "-user kim"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    KEBOptions o;
    o.SetFromCommandLine(c.line);
    EXPECT_STREQ(o.m_password, c.password);
    EXPECT_STREQ(o.m_CmdLine, c.kept);
    // Nothing of the line is left behind the kept text.
    const std::size_t n = std::strlen(o.m_CmdLine);
    EXPECT_EQ(std::string(o.m_CmdLine + n, std::strlen(c.line) + 1 - n), std::string(std::strlen(c.line) + 1 - n, '\0'));
  }
  // Defaults wipe the whole kept line.
  KEBOptions o;
  o.SetFromCommandLine("-viewonly SRV:5");
  o.SetDefaults();
  EXPECT_EQ(std::string(o.m_CmdLine, 16), std::string(16, '\0'));
}

TEST_F(CommandLine, HelpShowsTheUsageAndEndsTheProcess) {
  for (const char* line : {"-help", "/?", "-H", "-viewonly /HELP -fullscreen"}) {
    SCOPED_TRACE(line);
    ui.boxes.clear();
    exitCode = -1;
    KEBOptions o;
    o.SetFromCommandLine(line);
    EXPECT_EQ(exitCode, 1);
    EXPECT_TRUE(o.m_nostatus);
    EXPECT_FALSE(o.m_fullscreen);  // nothing after it is applied
    ASSERT_EQ(ui.boxes.size(), 1u);
    EXPECT_EQ(ui.boxes[0].title, T(50024));
    EXPECT_EQ(ui.boxes[0].icon, MessageIcon::Information);
    EXPECT_EQ(ui.boxes[0].text.rfind("\r\nUsage includes:\r\nKEBviewer ", 0), 0u);
  }
}

TEST_F(CommandLine, UsageTextListsTheSwitchesInOrder) {
  KEBOptions::ShowUsage("Why");
  ASSERT_EQ(ui.boxes.size(), 1u);
  const std::string& text = ui.boxes[0].text;
  EXPECT_EQ(text.rfind("Why\r\nUsage includes:\r\nKEBviewer [/8bit]", 0), 0u) << text;
  const char* order[] = {"[/8bit]", "[/swapmouse]", "[/shared]", "[/belldeiconify]", "[/listen [portnum]]",
                         "[/fullscreen]", "[/viewonly]", "[/notoolbar]", "[/scale a/b]", "[/config configfile]",
                         "server:display", "[/emulate3]", "[/quickoption n]", "[/serverscale n]", "[/askexit]",
                         "[/user msuser]", "[/password clearpassword]", "[/nostatus]",
                         "[/dsmplugin pluginfilename.dsm]", "[/autoscaling]", "[/autoreconnect delayInSeconds]",
                         "[/reconnectcounter number_reconnect_attempt]", "[/nohotkeys]",
                         "[/proxy proxyhost [portnum]]", "[/256colors]", "[/64colors]", "[/8colors]",
                         "[/8greycolors]", "[/4greycolors]", "[/2greycolors]",
                         "[/encoding xz | xzyw | zrle | zywrle | tight |",
                         "zlib | zlibhex | opalo | opalo2 | corre | rre | raw]",
                         "[/encodings xz zrle ...]  (in order of priority)", "[/autoacceptincoming]",
                         "[/autoacceptnodsm]", "[/disablesponsor]", "[/InfoMsg \"", "[/requireencryption]",
                         "[/enablecache]", "[/throttlemouse n]", "[/socketkeepalivetimeout n]", "[/gnome]",
                         "[/hideendofstreamerror]"};
  std::size_t at = 0;
  for (const char* item : order) {
    std::size_t found = text.find(item, at);
    ASSERT_NE(found, std::string::npos) << item;
    at = found + std::strlen(item);
  }
  EXPECT_EQ(text.substr(text.size() - 35), "For full details see documentation.");
}

TEST_F(CommandLine, EmptyLineChangesNothing) {
  KEBOptions o;
  o.m_scale_num = 0;  // would make the scale check complain
  const auto before = Picture(o);
  g_configSpecified = true;
  o.SetFromCommandLine("");
  EXPECT_TRUE(ChangeSet(before, o).empty());
  EXPECT_FALSE(g_configSpecified);
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(CommandLine, ScaleCheckRunsAfterTheLastSwitch) {
  KEBOptions o;
  o.SetFromCommandLine("-scale 0/5");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, T(50036));
  EXPECT_EQ(ui.boxes[0].icon, MessageIcon::Warning);
  EXPECT_EQ(o.m_scale_num, 1);
  EXPECT_EQ(o.m_scale_den, 1);
}

TEST_F(CommandLine, CanBeAppliedAgain) {
  const char* line = "-encodings zrle tight -proxy a:1;b:2;c:3 -quality 2 ID:1234 -viewonly";
  KEBOptions once;
  once.m_RepeaterChoice = 4;
  once.SetFromCommandLine(line);
  KEBOptions twice = once;
  twice.m_viewonly = false;
  twice.m_PreferredEncodings = {5};
  twice.SetFromCommandLine(line);
  EXPECT_TRUE(ChangeSet(Picture(once), twice).empty()) << Show(ChangeSet(Picture(once), twice));
  EXPECT_STREQ(twice.m_proxyhost, "b");
  EXPECT_EQ(twice.m_proxyport, 5902);

  // From the line the record keeps, as the session dialog does after loading a file.
  KEBOptions kept = once;
  kept.m_viewonly = false;
  kept.SetFromCommandLine(kept.m_CmdLine);
  EXPECT_TRUE(kept.m_viewonly);
  EXPECT_STREQ(kept.m_CmdLine, line);
}

TEST_F(CommandLine, RepeaterChoice) {
  struct Case {
    const char* line;
    int choice;
    const char* host;
    int port;
  };
  const Case cases[] = {
      {"-proxy r1:1;r2::6000;r3:3 ID:55", 4, "r2", 6000},  // 4 mod 3 = 1
      {"-proxy r1:1;r2::6000;r3:3 ID:55", 3, "r1", 5901},
      {"ID:55 -proxy r1:1;r2::6000;r3:3", 2, "r3", 5903},  // order of host and proxy does not matter
      {"-proxy r1:1;r2::6000 ID:55", -1, "r1", 5901},      // no choice: the whole text
      {"-proxy r1:1;r2::6000 id:55", 1, "r2", 6000},       // the host is upper-cased before the choice
      {"-proxy r1:1;r2::6000 HOST", 1, "r1", 5901},        // not an ID: the whole text
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    KEBOptions o;
    o.m_RepeaterChoice = c.choice;
    o.SetFromCommandLine(c.line);
    EXPECT_STREQ(o.m_proxyhost, c.host);
    EXPECT_EQ(o.m_proxyport, c.port);
    EXPECT_TRUE(o.m_UseProxy);
  }
  EXPECT_TRUE(ui.boxes.empty());

  KEBOptions bad;
  bad.SetFromCommandLine("-proxy [rep host");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text.rfind(T(50062), 0), 0u);
  EXPECT_EQ(ui.quits, std::vector<int>{1});
}

TEST_F(CommandLine, ConfigurationFiles) {
  const std::string cfg = dir.Write("[connection]\r\nhost=x\r\n[options]\r\nviewonly=1\r\nquality=3\r\n", ".keb");

  KEBOptions o;
  o.SetFromCommandLine(("-config \"" + cfg + "\" -quality 5").c_str());
  EXPECT_TRUE(o.m_viewonly);
  EXPECT_EQ(o.m_quality, 5);  // later switches still win
  EXPECT_TRUE(o.m_configSpecified);
  EXPECT_TRUE(g_configSpecified);
  EXPECT_FALSE(o.m_hostGiven);
  char full[KEBOptions::kPathCapacity];
  ASSERT_TRUE(FullPathName(cfg.c_str(), full, sizeof full));
  EXPECT_STREQ(o.m_configFilename, full);
  EXPECT_TRUE(ui.boxes.empty());

  // An existing file as first argument is loaded the same way.
  KEBOptions first;
  first.SetFromCommandLine(("\"" + cfg + "\"").c_str());
  EXPECT_TRUE(first.m_viewonly);
  EXPECT_TRUE(first.m_configSpecified);
  EXPECT_TRUE(g_configSpecified);

  // A file that cannot be read: box, end of start-up.
  KEBOptions missing;
  missing.SetFromCommandLine(("-config \"" + dir.NewPath("none", ".keb") + "\"").c_str());
  EXPECT_FALSE(missing.m_configSpecified);
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, T(50051));
  EXPECT_EQ(ui.quits, std::vector<int>{1});

  ui.boxes.clear();
  KEBOptions none;
  none.SetFromCommandLine("-config");
  ASSERT_EQ(ui.boxes.size(), 1u);
  EXPECT_EQ(ui.boxes[0].text, T(50050));
}

TEST_F(CommandLine, FileAsSecondArgumentIsAServerName) {
  // A relative name, so that it reads as a host on every platform.
  const char* name = "keb_options_cmdline_test.keb";
  { std::ofstream(name) << "[options]\r\nviewonly=1\r\n"; }
  KEBOptions o;
  o.SetFromCommandLine((std::string("-fullscreen ") + name).c_str());
  std::remove(name);
  EXPECT_FALSE(o.m_viewonly);
  EXPECT_FALSE(g_configSpecified);
  EXPECT_STREQ(o.m_host_options, "KEB_OPTIONS_CMDLINE_TEST.KEB");
  EXPECT_EQ(o.m_port, 5900);
}

}  // namespace
