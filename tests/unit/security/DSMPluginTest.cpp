// The plug-in loader: temporary copies, the architecture check, the twelve exports, the
// description fields and unloading, over a loader that records what it is asked and
// works on real files in a scratch folder; then the real test plug-in libraries.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/UiText.h"
#include "app/UserInterface.h"
#include "security/DSMPlugin.h"
#include "tests/unit/session/SessionTestSupport.h"

namespace fs = std::filesystem;

namespace {

using sessiontest::RecordingUI;

// ---- exports of a library that lives in this test ----

const char* g_description = "Crypt,2.1.0,03-04-2020,Someone Else,Crypt.dsm";
int g_shutdownAnswer = 1;
int g_shutdowns = 0;
int g_configs = 0, g_setParams = 0;
std::vector<unsigned char*> g_freed;
unsigned char g_buffer[16];

extern "C" {
const char* FakeDescription() { return g_description; }
int FakeStartup() { return 0; }
int FakeShutdown() {
  g_shutdowns++;
  return g_shutdownAnswer;
}
int FakeSetParams(void*, const char*) { return ++g_setParams; }
const char* FakeGetParams() { return "NoPassword"; }
unsigned char* FakeTransform(unsigned char*, int n, int* out) {
  *out = n;
  return g_buffer;
}
unsigned char* FakeRestore(unsigned char* d, int n, int* out) {
  *out = n;
  return d ? d : g_buffer + 1;
}
void FakeFree(unsigned char* b) { g_freed.push_back(b); }
int FakeReset() { return 1; }
DSMPluginInterface* FakeCreate() { return nullptr; }
int FakeConfig(void*, const char*, int, void*) { return ++g_configs; }
}

std::map<std::string, void*> AllExports() {
  return {{"Description", reinterpret_cast<void*>(&FakeDescription)},
          {"Startup", reinterpret_cast<void*>(&FakeStartup)},
          {"Shutdown", reinterpret_cast<void*>(&FakeShutdown)},
          {"SetParams", reinterpret_cast<void*>(&FakeSetParams)},
          {"GetParams", reinterpret_cast<void*>(&FakeGetParams)},
          {"TransformBuffer", reinterpret_cast<void*>(&FakeTransform)},
          {"RestoreBuffer", reinterpret_cast<void*>(&FakeRestore)},
          {"FreeBuffer", reinterpret_cast<void*>(&FakeFree)},
          {"Reset", reinterpret_cast<void*>(&FakeReset)},
          {"CreatePluginInterface", reinterpret_cast<void*>(&FakeCreate)},
          {"CreateIntegratedPluginInterface", reinterpret_cast<void*>(&FakeCreate)},
          {"Config", reinterpret_cast<void*>(&FakeConfig)}};
}

// A PE header: "MZ", the header offset at 0x3C, "PE\0\0" and the machine there.
std::string PeFile(std::uint16_t machine, std::uint32_t offset = 0x80) {
  std::string b(offset + 24, '\0');
  b[0] = 'M';
  b[1] = 'Z';
  for (int i = 0; i < 4; i++) b[0x3C + i] = static_cast<char>(offset >> (8 * i));
  b.replace(offset, 4, std::string("PE\0\0", 4));
  b[offset + 4] = static_cast<char>(machine & 0xFF);
  b[offset + 5] = static_cast<char>(machine >> 8);
  return b;
}

void WriteFile(const fs::path& p, const std::string& bytes) {
  std::ofstream f(p, std::ios::binary);
  f << bytes;
}

// Libraries are found by the name of the file they were loaded from, with a temporary
// copy's "-tmp.dN" taken off; only files that exist load when named by path.
class RecordingSystem : public PluginLibrarySystem {
public:
  fs::path program, temp;
  std::map<std::string, std::map<std::string, void*>> libraries;  // file name -> exports
  std::set<std::string> loadableByName;   // found by the normal library search
  std::set<std::string> unwritable;       // copy targets that cannot be written
  std::vector<std::string> loads, freed, removed;

  void* Load(const std::string& nameOrPath) override {
    loads.push_back(nameOrPath);
    fs::path p(nameOrPath);
    std::string name = p.filename().string();
    if (!p.has_parent_path()) return loadableByName.count(name) ? &libraries[name] : nullptr;
    if (!fs::exists(p)) return nullptr;
    const std::size_t tmp = name.find("-tmp.d");
    if (tmp != std::string::npos) name = name.substr(0, tmp) + ".dsm";
    auto it = libraries.find(name);
    return it == libraries.end() ? nullptr : &it->second;
  }
  void* Resolve(void* library, const char* name) override {
    auto& exports = *static_cast<std::map<std::string, void*>*>(library);
    auto it = exports.find(name);
    return it == exports.end() ? nullptr : it->second;
  }
  void Free(void* library) override { freed.push_back("freed"); }
  std::string ProgramFolder() override { return (program / "").string(); }
  std::string TempFolder() override { return temp.empty() ? std::string() : (temp / "").string(); }
  bool CopyFileTo(const std::string& from, const std::string& to) override {
    if (unwritable.count(fs::path(to).filename().string())) return false;
    std::error_code ec;
    return fs::copy_file(from, to, fs::copy_options::overwrite_existing, ec);
  }
  void RemoveFile(const std::string& path) override {
    removed.push_back(path);
    fs::remove(path);
  }
  std::vector<std::string> FilesEndingIn(const std::string& folder, const char* suffix) override {
    return DefaultPluginLibrarySystem().FilesEndingIn(folder, suffix);
  }
};

class PluginLoader : public ::testing::Test {
protected:
  fs::path root;
  RecordingSystem sys;

  void SetUp() override {
    LoadBuiltinUiTexts();  // the loader's boxes and answers are texts of the string table
    root = fs::temp_directory_path() / ("keb-plugin-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                        "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root);
    sys.program = root / "program";
    sys.temp = root / "temp";
    fs::create_directories(sys.program);
    fs::create_directories(sys.temp);
    sys.libraries["Crypt.dsm"] = AllExports();
    WriteFile(sys.program / "Crypt.dsm", PeFile(0x8664));
    g_description = "Crypt,2.1.0,03-04-2020,Someone Else,Crypt.dsm";
    g_shutdownAnswer = 1;
    g_shutdowns = g_configs = g_setParams = 0;
    g_freed.clear();
  }
  void TearDown() override { fs::remove_all(root); }
};

TEST_F(PluginLoader, TemporaryCopyTakesTheFirstNumberThatCanBeWritten) {
  sys.unwritable = {"Crypt-tmp.d1", "Crypt-tmp.d2"};
  CDSMPlugin plugin(sys);
  ASSERT_TRUE(plugin.LoadPlugin("Crypt.dsm", true));
  const std::string copy = (sys.temp / "Crypt-tmp.d3").string();
  EXPECT_EQ(plugin.TempCopyPath(), copy);
  EXPECT_EQ(sys.loads, std::vector<std::string>{copy});
  EXPECT_TRUE(plugin.IsLoaded());
  EXPECT_TRUE(plugin.UnloadPlugin());
  EXPECT_EQ(g_shutdowns, 1);
  EXPECT_FALSE(fs::exists(copy));  // the copy goes with the library
  EXPECT_EQ(sys.freed.size(), 1u);
}

TEST_F(PluginLoader, NoWritableNumberOrNoTempFolder) {
  for (int i = 1; i <= 99; i++) sys.unwritable.insert("Crypt-tmp.d" + std::to_string(i));
  CDSMPlugin plugin(sys);
  EXPECT_FALSE(plugin.LoadPlugin("Crypt.dsm", true));
  EXPECT_TRUE(sys.loads.empty());
  // Without a temp folder the copy is made beside the program.
  sys.unwritable.clear();
  sys.temp.clear();
  CDSMPlugin other(sys);
  ASSERT_TRUE(other.LoadPlugin("Crypt.dsm", true));
  EXPECT_EQ(other.TempCopyPath(), (sys.program / "Crypt-tmp.d1").string());
}

TEST_F(PluginLoader, LibraryLackingAnExportIsNotLoadedAndItsCopyIsDeleted) {
  for (const char* missing : {"Config", "Description", "CreateIntegratedPluginInterface"}) {
    SCOPED_TRACE(missing);
    sys.libraries["Crypt.dsm"] = AllExports();
    sys.libraries["Crypt.dsm"].erase(missing);
    sys.freed.clear();
    CDSMPlugin plugin(sys);
    EXPECT_FALSE(plugin.LoadPlugin("Crypt.dsm", true));
    EXPECT_FALSE(plugin.IsLoaded());
    EXPECT_EQ(sys.freed.size(), 1u);
    EXPECT_FALSE(fs::exists(sys.temp / "Crypt-tmp.d1"));
    EXPECT_TRUE(plugin.TempCopyPath().empty());
  }
}

TEST_F(PluginLoader, ThirtyTwoBitLibrariesAreRefusedWithABox) {
  WriteFile(sys.program / "Crypt.dsm", PeFile(0x014C));
  struct Case {
    bool tempCopy;
    const char* box;
  } cases[] = {{true, "Brandwyn - Plugin|plugin has wrong arch (x86)"},
               {false, "Brandwyn - Plugin|The encryption plugin has wrong arch (x86)"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.box);
    RecordingUI ui;
    sys.loads.clear();
    CDSMPlugin plugin(sys);
    EXPECT_FALSE(plugin.LoadPlugin("Crypt.dsm", c.tempCopy));
    EXPECT_EQ(ui.boxes, std::vector<std::string>{c.box});
    EXPECT_EQ(ui.icons, std::vector<MessageIcon>{MessageIcon::Error});
    EXPECT_FALSE(fs::exists(sys.temp / "Crypt-tmp.d1"));
    // Without the copy, only the normal library search was tried before the check.
    EXPECT_EQ(sys.loads.size(), c.tempCopy ? 0u : 1u);
  }
}

TEST_F(PluginLoader, MissingFileIsNotCalledTheWrongArchitecture) {
  RecordingUI ui;
  CDSMPlugin plugin(sys);
  EXPECT_FALSE(plugin.LoadPlugin("Missing.dsm", false));
  EXPECT_FALSE(plugin.LoadPlugin("Missing.dsm", true));
  EXPECT_TRUE(ui.boxes.empty());
}

TEST_F(PluginLoader, NormalSearchFirstThenTheProgramFolder) {
  CDSMPlugin byName(sys);
  sys.loadableByName = {"Crypt.dsm"};
  ASSERT_TRUE(byName.LoadPlugin("Crypt.dsm", false));
  EXPECT_EQ(sys.loads, std::vector<std::string>{"Crypt.dsm"});

  sys.loadableByName.clear();
  sys.loads.clear();
  CDSMPlugin byPath(sys);
  ASSERT_TRUE(byPath.LoadPlugin("Crypt.dsm", false));
  EXPECT_EQ(sys.loads, (std::vector<std::string>{"Crypt.dsm", (sys.program / "Crypt.dsm").string()}));
  EXPECT_TRUE(byPath.TempCopyPath().empty());
}

TEST_F(PluginLoader, DescriptionFields) {
  struct Case {
    const char* text;
    const char* name;
    const char* version;
    const char* date;
    const char* author;
    const char* file;
  } cases[] = {
      {"Crypt,2.1.0,03-04-2020,Someone Else,Crypt.dsm", "Crypt", "2.1.0", "03-04-2020", "Someone Else", "Crypt.dsm"},
      {"Just a name", "Just a name", "0.0.0", "12-12-2002", "Someone", "Plugin.dsm"},
      {"Crypt,12345678901234567890", "Crypt", "123456789012345", "12-12-2002", "Someone", "Plugin.dsm"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    g_description = c.text;
    CDSMPlugin plugin(sys);
    EXPECT_STREQ(plugin.DescribePlugin(), "No Plugin loaded");
    ASSERT_TRUE(plugin.LoadPlugin("Crypt.dsm", false));
    EXPECT_STREQ(plugin.DescribePlugin(), c.text);
    EXPECT_EQ(plugin.Name(), c.name);
    EXPECT_EQ(plugin.Version(), c.version);
    EXPECT_EQ(plugin.Date(), c.date);
    EXPECT_EQ(plugin.Author(), c.author);
    EXPECT_EQ(plugin.FileName(), c.file);
  }
}

TEST_F(PluginLoader, UnloadFreesTheLastBuffersAndKeepsALibraryThatRefusesToStop) {
  CDSMPlugin plugin(sys);
  ASSERT_TRUE(plugin.LoadPlugin("Crypt.dsm", true));
  int n = 0;
  std::uint8_t data[3] = {1, 2, 3};
  plugin.TransformBuffer(data, 3, &n);
  plugin.RestoreBufferPrepare(3, &n);
  EXPECT_TRUE(plugin.Configure(nullptr, "NoPassword,viewer", 0, nullptr));
  EXPECT_EQ(g_configs, 1);  // Config, not SetParams
  EXPECT_EQ(g_setParams, 0);

  g_shutdownAnswer = 0;
  EXPECT_FALSE(plugin.UnloadPlugin());
  EXPECT_EQ(g_freed, (std::vector<unsigned char*>{g_buffer, g_buffer + 1}));
  EXPECT_FALSE(plugin.IsLoaded());
  EXPECT_TRUE(sys.freed.empty());
  EXPECT_TRUE(fs::exists(plugin.TempCopyPath()));
  // The library still in memory serves again for the same file.
  EXPECT_TRUE(plugin.LoadPlugin("Crypt.dsm", true));
  g_shutdownAnswer = 1;
  EXPECT_TRUE(plugin.UnloadPlugin());
  EXPECT_EQ(sys.freed.size(), 1u);
}

TEST_F(PluginLoader, ArchitectureOfAFile) {
  struct Case {
    const char* name;
    std::string bytes;
    bool x64;
  } cases[] = {
      {"x64", PeFile(0x8664), true},
      {"i386", PeFile(0x014C), false},
      {"arm64", PeFile(0xAA64), false},
      {"no MZ", "ZM" + PeFile(0x8664).substr(2), false},
      {"header offset past the end", PeFile(0x8664).substr(0, 0x40), false},
      {"offset near 4 GiB", [] {
         std::string b = PeFile(0x8664);
         b[0x3C] = b[0x3D] = b[0x3E] = b[0x3F] = '\xFF';
         return b;
       }(), false},
      {"too short", "MZ", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(root / "f.dll", c.bytes);
    EXPECT_EQ(IsPluginDllX64((root / "f.dll").string()), c.x64);
  }
  EXPECT_FALSE(IsPluginDllX64((root / "missing.dll").string()));
}

TEST_F(PluginLoader, ListsTheDsmFilesOfTheProgramFolder) {
  for (const char* f : {"b.DSM", "c.dsmx", "d.txt"}) WriteFile(sys.program / f, "x");
  fs::create_directories(sys.program / "folder.dsm");
  CDSMPlugin plugin(sys);
  std::vector<std::string> names;
  EXPECT_EQ(plugin.ListPlugins(names), 2);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"Crypt.dsm", "b.DSM"}));
}

// ---- the real test plug-ins ----

#ifdef KEB_TESTPLUGIN_DIR
std::string TestPlugin(const char* name) { return std::string(KEB_TESTPLUGIN_DIR) + name + KEB_TESTPLUGIN_SUFFIX; }

TEST(TestPlugins, LoadDescribeAndHandOutTheirObjects) {
  struct Case {
    const char* file;
    bool loads;
    const char* name;
    bool plainObject, integratedObject;
  } cases[] = {
      {"KEBTestStream", true, "KEB test stream", false, false},
      {"KEBTestChannel", true, "KEB test channel", true, false},
      {"KEBTestAuth", true, "KEB test integrated", true, true},
      {"KEBTestNoConfig", false, "Unknown", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    CDSMPlugin plugin;
    ASSERT_EQ(plugin.LoadPlugin(TestPlugin(c.file).c_str(), false), c.loads);
    if (!c.loads) continue;
    ASSERT_NE(plugin.DescribePlugin(), nullptr);
    EXPECT_EQ(plugin.Name(), c.name);
    EXPECT_TRUE(plugin.Startup());
    EXPECT_TRUE(plugin.Configure(nullptr, "NoPassword,viewer", 0, nullptr));
    EXPECT_FALSE(plugin.Configure(nullptr, "refuse,viewer", 0, nullptr));
    EXPECT_TRUE(plugin.SupportsPluginInterface());
    DSMPluginInterface* o = plugin.CreatePluginInterface();
    EXPECT_EQ(o != nullptr, c.plainObject);
    if (o) {
      DSMPluginChannel channel(o);  // destroyed through its slot 0
      int n = 0;
      const std::uint8_t data[3] = {'a', 'b', 'c'};
      const std::uint8_t* enc = channel.Encrypt(data, 3, &n);
      ASSERT_NE(enc, nullptr);
      EXPECT_EQ(n, 4);  // one record: its length byte and three bytes
      EXPECT_EQ(enc[0], 3);
      // The session reads through the plug-in's common interface: a record the plug-in
      // refuses fails with the plug-in's own text, not the generic one.
      IPlugin& common = channel;
      channel.EncryptionReady();
      int raw = 0;
      std::uint8_t* room = common.Decrypt(nullptr, 1, &raw);
      ASSERT_NE(room, nullptr);
      ASSERT_EQ(raw, 1);
      room[0] = 0;  // a record of no bytes
      std::uint8_t plain = 0;
      EXPECT_EQ(common.Decrypt(&plain, 1, &raw), nullptr);
      EXPECT_STREQ(common.ErrorText(), "empty record");
    }
    DSMPluginInterface* i = plugin.CreateIntegratedPluginInterface();
    EXPECT_EQ(i != nullptr, c.integratedObject);
    if (i) DSMPluginChannel destroyed(i);
    EXPECT_TRUE(plugin.UnloadPlugin());
  }
}
#endif

}  // namespace
