// UnzipExtract on the process's own file system: POSIX natively, Win32 under Wine.
// Times, attributes, replacing read-only files and the end of file on a real disk.
#include <gtest/gtest.h>

#include <ctime>
#include <string>

#include "tests/unit/zip/UnzipTestSupport.h"

using namespace ziptest;

namespace {

void RemoveTree(ZipFileSystem& fs, const std::string& path) {
  ZipFileStat st;
  if (!fs.Stat(path.c_str(), &st)) return;
  if (!st.isDirectory) {
    fs.SetAttributes(path.c_str(), kZipAttrArchive);
    fs.Remove(path.c_str());
    return;
  }
  if (auto scan = fs.Scan(path.c_str())) {
    ZipDirEntry e;
    std::vector<std::string> names;
    while (scan->Next(&e)) names.push_back(e.name);
    scan.reset();
    for (const auto& n : names) RemoveTree(fs, path + "/" + n);
  }
  fs.RemoveFolder(path.c_str());
}

class SystemExtract : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(fs.CurrentFolder(&cwd));
    dir = cwd + "/zip_system_" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RemoveTree(fs, dir);
    ASSERT_TRUE(fs.MakeFolder(dir.c_str()));
  }
  void TearDown() override {
    fs.ChangeFolder(cwd.c_str());
    RemoveTree(fs, dir);
  }
  void WriteArchive(const Bytes& bytes) {
    auto f = fs.Open((dir + "/a.zip").c_str(), ZipFileSystem::OpenMode::kCreate, nullptr);
    ASSERT_TRUE(f);
    ASSERT_EQ(f->Write(bytes.data(), bytes.size()), static_cast<long>(bytes.size()));
    ASSERT_TRUE(f->Close());
  }
  int Extract(UnzipOptions* o = nullptr) {
    archive = dir + "/a.zip";
    out = dir + "/out";
    UnzipOptions local = ViewerOptions(archive.c_str(), out.c_str());
    if (o == nullptr) o = &local;
    Recorder::Current() = &rec;
    UnzipCallbacks cb = RecordingCallbacks();
    int r = UnzipExtract(0, nullptr, 0, nullptr, o, &cb);
    Recorder::Current() = nullptr;
    return r;
  }
  std::string Read(const std::string& path) {
    auto f = fs.Open(path.c_str(), ZipFileSystem::OpenMode::kRead, nullptr);
    if (!f) return "<missing>";
    std::string s;
    char buf[4096];
    long n;
    while ((n = f->Read(buf, sizeof buf)) > 0) s.append(buf, static_cast<std::size_t>(n));
    return s;
  }
  ZipFileStat Stat(const std::string& path) {
    ZipFileStat st;
    EXPECT_TRUE(fs.Stat(path.c_str(), &st)) << path;
    return st;
  }

  ZipFileSystem& fs = ZipSystemFileSystem();
  std::string cwd, dir, archive, out;
  Recorder rec;
};

std::time_t LocalTime(int year, int month, int day, int hour, int minute, int second) {
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = month - 1;
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  tm.tm_isdst = -1;
  return std::mktime(&tm);
}

TEST_F(SystemExtract, TimesAndAttributes) {
  Archive a;
  Entry ut = File("t/ut.txt", "universal");
  ut.localExtra = TimeExtra(1600000000);
  ut.centralExtra = TimeExtra(1600000000);
  Entry dos = File("t/dos.txt", "dos time", 0);
  dos.dosTime = (44u << 25) | (5u << 21) | (1u << 16) | (13u << 11) | (32u << 5) | 10u;  // 2024-05-01 13:32:20
  Entry ro = File("t/ro.txt", "read only");
  ro.external = kZipAttrReadOnly;
  Entry hidden = File("t/hidden.txt", "hidden");
  hidden.external = kZipAttrHidden;
  Entry folder = Folder("t/d/");
  folder.localExtra = TimeExtra(1500000000);
  Entry inside = File("t/d/f.txt", "in the folder");
  inside.localExtra = TimeExtra(1700000000);
  a.entries = {ut, dos, ro, hidden, folder, inside};
  WriteArchive(a.Build());

  ASSERT_EQ(Extract(), kUnzipOk) << rec.output;
  EXPECT_EQ(Read(out + "/t/ut.txt"), "universal");
  EXPECT_EQ(Stat(out + "/t/ut.txt").mtime, 1600000000);
  EXPECT_EQ(Stat(out + "/t/dos.txt").mtime, LocalTime(2024, 5, 1, 13, 32, 20));
  EXPECT_TRUE(Stat(out + "/t/ro.txt").attributes & kZipAttrReadOnly);
  EXPECT_FALSE(Stat(out + "/t/ut.txt").attributes & kZipAttrReadOnly);
#ifdef _WIN32
  EXPECT_TRUE(Stat(out + "/t/hidden.txt").attributes & kZipAttrHidden);
  EXPECT_TRUE(Stat(out + "/t/ut.txt").attributes & kZipAttrArchive);
#endif
  // The folder's time is set after the file inside it was written.
  EXPECT_EQ(Stat(out + "/t/d/f.txt").mtime, 1700000000);
  EXPECT_EQ(Stat(out + "/t/d").mtime, 1500000000);
}

TEST_F(SystemExtract, ReadOnlyTargetsAreReplaced) {
  Archive first;
  Entry ro = File("ro.txt", "first");
  ro.external = kZipAttrReadOnly;
  first.entries = {ro};
  WriteArchive(first.Build());
  ASSERT_EQ(Extract(), kUnzipOk) << rec.output;
  ASSERT_TRUE(Stat(out + "/ro.txt").attributes & kZipAttrReadOnly);

  Archive second;
  second.entries = {File("ro.txt", "second version")};
  WriteArchive(second.Build());
  ASSERT_EQ(Extract(), kUnzipOk) << rec.output;
  EXPECT_EQ(Read(out + "/ro.txt"), "second version");
  EXPECT_FALSE(Stat(out + "/ro.txt").attributes & kZipAttrReadOnly);
}

TEST_F(SystemExtract, FileEndsWhereItsDataEnds) {
  Archive a;
  Entry e = File("claims", "ten bytes!");
  e.setUncompressed = true;
  e.uncompressedSize = 5u << 20;
  a.entries = {e};
  WriteArchive(a.Build());
  Extract();
  EXPECT_EQ(Read(out + "/claims"), "ten bytes!");
  EXPECT_EQ(Stat(out + "/claims").size, 10u);
}

TEST_F(SystemExtract, RelativeNamesStayWhereTheRunBegan) {
  Archive a;
  a.entries = {File("one", "1"), File("two", "2")};
  WriteArchive(a.Build());
  ASSERT_TRUE(fs.MakeFolder((dir + "/elsewhere").c_str()));
  ASSERT_TRUE(fs.ChangeFolder(dir.c_str()));
  UnzipOptions o = ViewerOptions("a.zip", "out");
  rec.onProgress = [&] {
    fs.ChangeFolder((dir + "/elsewhere").c_str());
    return 0;
  };
  ASSERT_EQ(Extract(&o), kUnzipOk) << rec.output;
  EXPECT_EQ(Read(dir + "/out/one"), "1");
  EXPECT_EQ(Read(dir + "/out/two"), "2");
  ZipFileStat st;
  EXPECT_FALSE(fs.Stat((dir + "/elsewhere/out").c_str(), &st));
}

}  // namespace
