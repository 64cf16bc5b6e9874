// The archiver on the process's own file system: POSIX natively, Win32 under Wine.
#include <filesystem>
#include <fstream>

#include "tests/unit/zipper/ZipperSupport.h"

namespace {

using namespace zipper;
namespace stdfs = std::filesystem;

class ZipperSystem : public ::testing::Test {
protected:
  void SetUp() override {
    callbacks.Install();
    base = stdfs::temp_directory_path() / ("keb-zipper-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                            "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    stdfs::remove_all(base);
    stdfs::create_directories(base);
    ASSERT_TRUE(fs.CurrentFolder(&saved));
    ASSERT_TRUE(fs.ChangeFolder(base.string().c_str()));
  }
  void TearDown() override {
    fs.ChangeFolder(saved.c_str());
    // Read-only files must become writable before they can go.
    for (const auto& e : stdfs::recursive_directory_iterator(base))
      fs.SetAttributes(e.path().string().c_str(), e.is_directory() ? kZipAttrDirectory : kZipAttrArchive);
    stdfs::remove_all(base);
  }
  void Write(const std::string& rel, const std::vector<std::uint8_t>& data) {
    stdfs::create_directories((base / rel).parent_path());
    std::ofstream(base / rel, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                       static_cast<std::streamsize>(data.size()));
  }
  std::vector<std::uint8_t> ReadFile(const std::string& rel) {
    std::ifstream in(base / rel, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Leftovers() {
    std::vector<std::string> out;
    for (const auto& e : stdfs::recursive_directory_iterator(base)) {
      std::string name = e.path().filename().string();
      if (name.compare(0, 2, "zi") == 0) out.push_back(name);
    }
    return out;
  }

  ZipFileSystem& fs = ZipSystemFileSystem();
  Callbacks callbacks;
  stdfs::path base;
  std::string saved;
};

TEST_F(ZipperSystem, TheArchiveInsideTheFolderIsNotTakenIntoItself) {
  // The archive is known by its identity on the volume (the file index on Windows,
  // the inode elsewhere), not by its name.
  Write("folder/f.txt", Text(3000));
  ASSERT_EQ(RunZip(&fs, {"-r", "folder/a.zip", "folder"}).code, 0);
  Write("folder/g.txt", Text(100));
  Result r = RunZip(&fs, {"-r", "-v", "folder/a.zip", "folder"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.out.find("file matches zip file -- skipping"), std::string::npos);
  Archive a = Parse(ReadFile("folder/a.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.Find("folder/a.zip"), nullptr);
  EXPECT_NE(a.Find("folder/g.txt"), nullptr);
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(ZipperSystem, AnExistingArchiveIsReplaced) {
  Write("a.txt", Text(1000));
  Write("b.txt", Text(2000));
  ASSERT_EQ(RunZip(&fs, {"out.zip", "a.txt"}).code, 0);
  ASSERT_EQ(RunZip(&fs, {"out.zip", "b.txt"}).code, 0);
  EXPECT_EQ(Parse(ReadFile("out.zip")).Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(ZipperSystem, FolderCallRoundTripKeepsReadOnlyFiles) {
  Write("src/a.txt", Text(5000));
  Write("src/ro.txt", Text(100));
  Write("src/sub/deep/b.bin", Random(70000, 4));
  stdfs::create_directories(base / "src" / "empty");
  ASSERT_TRUE(fs.SetAttributes((base / "src" / "ro.txt").string().c_str(), kZipAttrReadOnly | kZipAttrArchive));
  std::string root = (base / "src").string();
  std::string archive = (base / "out.zip").string();
  std::string cwdBefore;
  fs.CurrentFolder(&cwdBefore);

  ZipOptions o{};
  o.includeSystemHidden = 1;
  o.quiet = 1;
  o.recurse = 1;
  o.level = '1';
  o.rootDir = root.c_str();
  o.tempDir = "";
  ZipSetOptions(&o);
  std::string pattern = root + "\\*.*";
  const char* names[] = {pattern.c_str()};
  ASSERT_EQ(ZipRunCommand(ZipCommandBlock{1, archive.c_str(), names}), 0);
  std::string cwdAfter;
  fs.CurrentFolder(&cwdAfter);
  EXPECT_EQ(cwdAfter, cwdBefore);

  Archive a = Parse(ReadFile("out.zip"));
  ASSERT_TRUE(a.ok) << a.error;
  ASSERT_NE(a.Find("ro.txt"), nullptr);
  EXPECT_EQ(a.Find("ro.txt")->external & 1, 1u);
  EXPECT_NE(a.Find("empty/"), nullptr);
  EXPECT_EQ(a.Find("a.txt")->flags, 4);
  EXPECT_TRUE(Leftovers().empty());

  ASSERT_EQ(Extract(&fs, archive, (base / "back").string()), 0);
  EXPECT_EQ(ReadFile("back/sub/deep/b.bin"), ReadFile("src/sub/deep/b.bin"));
  EXPECT_EQ(ReadFile("back/a.txt"), ReadFile("src/a.txt"));
  ZipFileStat st;
  ASSERT_TRUE(fs.Stat((base / "back" / "ro.txt").string().c_str(), &st));
  EXPECT_NE(st.attributes & kZipAttrReadOnly, 0u);
  EXPECT_TRUE(stdfs::is_directory(base / "back" / "empty"));
}

}  // namespace
