// The command engine on the in-memory file system: actions, date limits, result codes,
// repair, offsets, growing in place, line ends, and what survives a failure.
#include "tests/unit/zipper/ZipperFixture.h"
#include "zip/ZipRun.h"

namespace {

using namespace zipper;

constexpr std::int64_t kJan2019 = 1546300800 + 12 * 3600;  // noon, far from any date line
constexpr std::int64_t kJun2021 = 1622548800;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The bytes of an entry from its local header to the end of its data.
std::vector<std::uint8_t> EntryBytes(const std::vector<std::uint8_t>& z, const Entry& e) {
  return std::vector<std::uint8_t>(z.begin() + e.offset, z.begin() + static_cast<std::ptrdiff_t>(e.dataOffset + e.csize));
}

TEST_F(ZipperTest, UpdateFreshenAndDelete) {
  fs.AddFile("/w/a.txt", Text(1000), kZipAttrArchive, kJan2019);
  fs.AddFile("/w/b.txt", Text(1500), kZipAttrArchive, kJan2019);
  ASSERT_EQ(Zip({"a.zip", "a.txt", "b.txt"}).code, 0);
  std::vector<std::uint8_t> first = Data("/w/a.zip");
  Archive before = Parse(first);

  fs.AddFile("/w/a.txt", Text(2000), kZipAttrArchive, kJun2021);
  fs.AddFile("/w/c.txt", Text(300), kZipAttrArchive, kJun2021);
  Result r = Zip({"-f", "a.zip"});  // no names: every entry is looked at
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "freshening: a.txt"));
  Archive a = Read("/w/a.zip");
  ASSERT_EQ(a.Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
  EXPECT_EQ(a.Find("a.txt")->usize, 2000u);
  // The unchanged entry is copied byte for byte.
  EXPECT_EQ(EntryBytes(Data("/w/a.zip"), *a.Find("b.txt")), EntryBytes(first, *before.Find("b.txt")));

  r = Zip({"-u", "a.zip", "a.txt", "b.txt", "c.txt"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_FALSE(Contains(r.out, "updating"));
  EXPECT_TRUE(Contains(r.out, "adding: c.txt"));
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));

  r = Zip({"-u", "a.zip", "a.txt"});  // nothing newer: 12, and no error message
  EXPECT_EQ(r.code, 12);
  EXPECT_FALSE(Contains(r.err, "zip error"));

  r = Zip({"-d", "a.zip", "b.txt"});
  ASSERT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.out, "deleting: b.txt"));
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"a.txt", "c.txt"}));

  r = Zip({"-d", "a.zip", "nothere"});
  EXPECT_EQ(r.code, 12);
  EXPECT_TRUE(Contains(r.err, "name not matched: nothere"));
  EXPECT_TRUE(Contains(r.err, "zip error: Nothing to do!"));
  EXPECT_TRUE(TempFiles().empty());
}

TEST_F(ZipperTest, FreshenSkipsAFileThatBecameAFolder) {
  fs.AddFile("/w/x", Text(100), kZipAttrArchive, kJan2019);
  fs.AddFile("/w/y", Text(100), kZipAttrArchive, kJan2019);
  ASSERT_EQ(Zip({"a.zip", "x", "y"}).code, 0);
  fs.Remove("/w/x");
  fs.AddDirectory("/w/x");
  ZipFileTimes t;
  t.present = ZipFileTimes::kModification;
  t.modification = kJun2021;
  ASSERT_EQ(fs.SetTimes("/w/x", t, true, nullptr), 0);
  fs.AddFile("/w/y", Text(200), kZipAttrArchive, kJun2021);
  Result r = Zip({"-f", "a.zip"});
  EXPECT_EQ(r.code, 0);
  EXPECT_TRUE(Contains(r.err, "file and directory with the same name: x"));
  EXPECT_EQ(Read("/w/a.zip").Find("x")->usize, 100u);
  EXPECT_EQ(Read("/w/a.zip").Find("y")->usize, 200u);
}

TEST_F(ZipperTest, DateLimits) {
  fs.AddFile("/w/old.txt", Text(100), kZipAttrArchive, kJan2019);
  fs.AddFile("/w/new.txt", Text(100), kZipAttrArchive, kJun2021);
  ASSERT_EQ(Zip({"-t", "2020-01-01", "since.zip", "old.txt", "new.txt"}).code, 0);
  EXPECT_EQ(Read("/w/since.zip").Names(), (std::vector<std::string>{"new.txt"}));
  ASSERT_EQ(Zip({"-tt", "01012020", "before.zip", "old.txt", "new.txt"}).code, 0);
  EXPECT_EQ(Read("/w/before.zip").Names(), (std::vector<std::string>{"old.txt"}));
  ASSERT_EQ(Zip({"all.zip", "old.txt", "new.txt"}).code, 0);
  ASSERT_EQ(Zip({"-d", "-t", "2020-01-01", "all.zip", "*"}).code, 0);  // deletes only what is recent
  EXPECT_EQ(Read("/w/all.zip").Names(), (std::vector<std::string>{"old.txt"}));
  EXPECT_EQ(Zip({"-t", "2020-13-01", "x.zip", "old.txt"}).code, 16);
  EXPECT_EQ(Zip({"-t", "2020-01-01", "-t", "2020-02-01", "x.zip", "old.txt"}).code, 16);
}

// With -v every action says which files and entries the dates leave out, and why.
TEST_F(ZipperTest, DateDiagnosticsForEveryAction) {
  fs.AddFile("/w/old.txt", Text(100), kZipAttrArchive, kJan2019);
  fs.AddFile("/w/new.txt", Text(100), kZipAttrArchive, kJun2021);
  ASSERT_EQ(Zip({"all.zip", "old.txt", "new.txt"}).code, 0);
  const std::vector<std::uint8_t> all = Data("/w/all.zip");
  const struct {
    std::vector<std::string> args;
    std::vector<std::string> said, notSaid;
  } cases[] = {
      // A new archive: the file before the date is left out.
      {{"-v", "-t", "2020-01-01", "n.zip", "old.txt", "new.txt"},
       {"zip diagnostic: old.txt missing or early"}, {"new.txt missing", "up to date"}},
      // Adding to an archive that holds both: the old entry stays as it was.
      {{"-v", "-t", "2020-01-01", "all.zip", "old.txt", "new.txt"},
       {"zip diagnostic: old.txt missing or early"}, {"new.txt missing"}},
      // Deleting: only what is recent goes; the older entry is kept and said so.
      {{"-v", "-d", "-t", "2020-01-01", "all.zip", "*"}, {"zip diagnostic: old.txt missing or early", "deleting: new.txt"},
       {"new.txt missing"}},
      // Updating: nothing is newer than its entry.
      {{"-v", "-u", "all.zip", "old.txt", "new.txt"},
       {"zip diagnostic: old.txt up to date", "zip diagnostic: new.txt up to date"}, {"missing"}},
      // Without -v nothing of this is said.
      {{"-t", "2020-01-01", "q.zip", "old.txt", "new.txt"}, {}, {"zip diagnostic"}},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& a : c.args) line += a + " ";
    SCOPED_TRACE(line);
    fs.AddFile("/w/all.zip", all);
    const Result r = Zip(c.args);
    ASSERT_TRUE(r.code == 0 || r.code == 12) << r.code << r.err;
    for (const std::string& text : c.said) EXPECT_TRUE(Contains(r.out, text)) << text << "\n" << r.out;
    for (const std::string& text : c.notSaid) EXPECT_FALSE(Contains(r.out, text)) << text << "\n" << r.out;
  }
}

// What the file system cannot tell is said, and the archive goes on with the defaults:
// the archive attribute alone, and long names.
TEST_F(ZipperTest, FileSystemDiagnostics) {
  fs.AddFile("/w/plain.txt", Text(100), kZipAttrArchive | kZipAttrReadOnly);
  fs.AddFile("/w/A Long File Name.text", Text(100), kZipAttrReadOnly);
  fs.attributesUnknown = {"/w/A Long File Name.text"};
  Result r = Zip({"a.zip", "plain.txt", "A Long File Name.text"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "zip diagnostic: GetFileAttributes failed\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "GetVolumeInformation"));
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.Find("A Long File Name.text")->external & 0xFF, kZipAttrArchive);
  EXPECT_EQ(a.Find("plain.txt")->external & 0xFF, kZipAttrArchive | kZipAttrReadOnly);

  fs.attributesUnknown.clear();
  fs.volume.known = false;
  r = Zip({"b.zip", "A Long File Name.text"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "zip diagnostic: GetVolumeInformation failed\n")) << r.out;
  EXPECT_FALSE(Contains(r.out, "GetFileAttributes"));
  EXPECT_EQ(Read("/w/b.zip").Names(), (std::vector<std::string>{"A Long File Name.text"}));
}

TEST_F(ZipperTest, NothingToDoAndMissingArchives) {
  fs.AddFile("/w/f.txt", Text(100));
  Result r = Zip({"a.zip", "nothing*.here"});
  EXPECT_EQ(r.code, 12);
  EXPECT_TRUE(Contains(r.err, "name not matched: nothing*.here"));
  EXPECT_FALSE(Exists("/w/a.zip"));
  EXPECT_EQ(Zip({"-MM", "a.zip", "f.txt", "nothing.here"}).code, 18);
  EXPECT_FALSE(Exists("/w/a.zip"));
  // Unmatched names only warn: the rest is added.
  r = Zip({"a.zip", "f.txt", "nothing.here"});
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"f.txt"}));
  EXPECT_EQ(Zip({"-T", "a.zip"}).code, 0);
  EXPECT_EQ(Zip({"a.zip"}).code, 12);
  r = Zip({"-o", "missing.zip"});
  EXPECT_EQ(r.code, 13);
  r = Zip({"-d", "missing.zip", "f.txt"});
  EXPECT_EQ(r.code, 12);
  EXPECT_TRUE(Contains(r.err, "missing.zip not found or empty"));
}

TEST_F(ZipperTest, TwoFilesWithOneStoredNameStopTheRun) {
  fs.AddFile("/w/d1/a.txt", Text(100));
  fs.AddFile("/w/d2/a.txt", Text(200));
  fs.AddFile("/w/f.txt", Text(100));
  ASSERT_EQ(Zip({"old.zip", "f.txt"}).code, 0);
  std::vector<std::uint8_t> old = Data("/w/old.zip");
  Result r = Zip({"-j", "old.zip", "d1/a.txt", "d2/a.txt"});
  EXPECT_EQ(r.code, 16);
  EXPECT_TRUE(Contains(r.err, "name in zip file repeated: a.txt"));
  EXPECT_TRUE(Contains(r.err, "first full name: d1/a.txt"));
  EXPECT_TRUE(Contains(r.err, "second full name: d2/a.txt"));
  EXPECT_TRUE(Contains(r.err, "cannot repeat names in zip file"));
  EXPECT_EQ(Data("/w/old.zip"), old);
  EXPECT_TRUE(TempFiles().empty());
}

TEST(ZipperSwap, OldArchiveSurvivesAFailedSwap) {
  // The archive lives on another volume, so the new one must be copied there; the medium
  // has room for the temporary archive but not for the copy.
  ZipMemoryFileSystem fs(450 * 1024);
  Callbacks cb;
  cb.Install();
  fs.separateVolumes = {"/vol"};
  fs.AddDirectory("/vol");
  fs.AddDirectory("/w");
  fs.ChangeFolder("/w");
  fs.AddFile("/w/f.bin", Random(100 * 1024, 1));
  ASSERT_EQ(RunZip(&fs, {"/vol/a.zip", "f.bin"}).code, 0);  // copied across: fine
  std::vector<std::uint8_t> old = fs.Find("/vol/a.zip")->data;
  ASSERT_TRUE(Parse(old).ok);
  for (const std::string& p : fs.Paths()) EXPECT_EQ(p.find("/zi"), std::string::npos) << p;

  fs.AddFile("/w/g.bin", Random(60 * 1024, 2));
  Result r = RunZip(&fs, {"/vol/a.zip", "g.bin"});
  EXPECT_EQ(r.code, 14);
  EXPECT_TRUE(Contains(r.err, "new zip file left as: "));
  EXPECT_TRUE(Contains(r.err, "was replacing the original zip file"));
  ASSERT_NE(fs.Find("/vol/a.zip"), nullptr);
  EXPECT_EQ(fs.Find("/vol/a.zip")->data, old);
  // The partial copy is gone; the new archive waits beside the files.
  std::vector<std::string> left;
  for (const std::string& p : fs.Paths())
    if (p.find("/zi") != std::string::npos) left.push_back(p);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].compare(0, 5, "/w/zi"), 0);
  Archive fresh = Parse(fs.Find(left[0])->data);
  EXPECT_EQ(fresh.Names(), (std::vector<std::string>{"f.bin", "g.bin"}));
}

TEST_F(ZipperTest, ServiceCallbackStopsTheRun) {
  fs.AddFile("/w/a.txt", Text(100));
  fs.AddFile("/w/b.txt", Text(100));
  ASSERT_EQ(Zip({"z.zip", "a.txt"}).code, 0);
  std::vector<std::uint8_t> old = Data("/w/z.zip");
  callbacks.serviced.clear();
  callbacks.serviceAnswerAt = 0;
  Result r = Zip({"z.zip", "b.txt"});
  EXPECT_EQ(r.code, 9);
  EXPECT_TRUE(Contains(r.err, "User terminated operation"));
  EXPECT_EQ(Data("/w/z.zip"), old);
  EXPECT_TRUE(TempFiles().empty());
}

// Files whose reading fails: "bad" ones after 50000 bytes, "gone" ones at once.
class FaultyFs : public ZipMemoryFileSystem {
public:
  FaultyFs() : ZipMemoryFileSystem(std::uint64_t(256) << 20) {}
  class Failing : public ZipFile {
  public:
    explicit Failing(std::unique_ptr<ZipFile> f) : f_(std::move(f)) {}
    long Read(void* buf, std::size_t len) override {
      if (done_ >= 50000) return -1;
      long n = f_->Read(buf, len);
      if (n > 0) done_ += static_cast<std::size_t>(n);
      return n;
    }
    long Write(const void* b, std::size_t n) override { return f_->Write(b, n); }
    bool Seek(std::int64_t o, int w) override { return f_->Seek(o, w); }
    std::int64_t Tell() override { return f_->Tell(); }
    bool SetSize(std::uint64_t s) override { return f_->SetSize(s); }
    bool Close() override { return f_->Close(); }

  private:
    std::unique_ptr<ZipFile> f_;
    std::size_t done_ = 0;
  };
  std::unique_ptr<ZipFile> Open(const char* path, OpenMode mode, int* error) override {
    std::string p = path;
    if (mode == OpenMode::kRead && p.find("gone") != std::string::npos) return nullptr;
    auto f = ZipMemoryFileSystem::Open(path, mode, error);
    if (f && mode == OpenMode::kRead && p.find("bad") != std::string::npos) return std::make_unique<Failing>(std::move(f));
    return f;
  }
  bool Stat(const char* path, ZipFileStat* st) override {
    if (!ZipMemoryFileSystem::Stat(path, st)) return false;
    if (std::string(path).find("huge") != std::string::npos) st->size = std::uint64_t(5) << 30;
    return true;
  }
};

TEST(ZipperFaults, ReadErrorInTheMiddleIsAnError) {
  FaultyFs fs;
  Callbacks cb;
  cb.Install();
  fs.AddDirectory("/w");
  fs.ChangeFolder("/w");
  fs.AddFile("/w/ok.txt", Text(1000));
  fs.AddFile("/w/bad.bin", Text(200000));
  ASSERT_EQ(RunZip(&fs, {"a.zip", "ok.txt"}).code, 0);
  std::vector<std::uint8_t> old = fs.Find("/w/a.zip")->data;
  for (const char* level : {"-0", "-6"}) {
    for (const char* ends : {"-q", "-ll"}) {
      Result r = RunZip(&fs, {level, ends, "a.zip", "bad.bin"});
      EXPECT_EQ(r.code, 11) << level << ends;
      EXPECT_TRUE(Contains(r.err, "Input file read failure"));
      EXPECT_EQ(fs.Find("/w/a.zip")->data, old);
    }
  }
  for (const std::string& p : fs.Paths()) EXPECT_EQ(p.find("/w/zi"), std::string::npos);
}

TEST(ZipperFaults, FileThatCannotBeOpenedIsLeftOutWith18) {
  FaultyFs fs;
  Callbacks cb;
  cb.Install();
  fs.AddDirectory("/w");
  fs.ChangeFolder("/w");
  fs.AddFile("/w/ok.txt", Text(1000));
  fs.AddFile("/w/gone.txt", Text(1000));
  Result r = RunZip(&fs, {"a.zip", "ok.txt", "gone.txt"});
  EXPECT_EQ(r.code, 18);
  EXPECT_TRUE(Contains(r.err, "could not open for reading: gone.txt"));
  EXPECT_EQ(Parse(fs.Find("/w/a.zip")->data).Names(), (std::vector<std::string>{"ok.txt"}));

  // Replacing an entry whose file cannot be read keeps the old entry.
  fs.AddFile("/w/gone2.txt", Text(500));
  fs.AddFile("/w/keep.txt", Text(500));
  ASSERT_EQ(RunZip(&fs, {"b.zip", "keep.txt"}).code, 0);
  fs.Rename("/w/keep.txt", "/w/keep-gone.txt");
  Result u = RunZip(&fs, {"-j", "b.zip", "keep-gone.txt"});
  EXPECT_EQ(u.code, 18);
  EXPECT_EQ(Parse(fs.Find("/w/b.zip")->data).Names(), (std::vector<std::string>{"keep.txt"}));
}

TEST(ZipperFaults, FilesPast4GiBAreTooBig) {
  FaultyFs fs;
  Callbacks cb;
  cb.Install();
  fs.AddDirectory("/w");
  fs.ChangeFolder("/w");
  fs.AddFile("/w/huge.bin", Text(100));
  Result r = RunZip(&fs, {"a.zip", "huge.bin"});
  EXPECT_EQ(r.code, 6);
  EXPECT_TRUE(Contains(r.err, "file exceeds Zip's 4GB uncompressed size limit"));
  EXPECT_EQ(fs.Find("/w/a.zip"), nullptr);
}

TEST_F(ZipperTest, MoreThan65535EntriesAreTooBig) {
  for (int i = 0; i < 65536; i++) fs.AddFile("/w/d/" + std::to_string(i), {});
  Result r = Zip({"-X", "-D", "-q", "a.zip", "-r", "d"});
  EXPECT_EQ(r.code, 6);
  EXPECT_FALSE(Exists("/w/a.zip"));
  EXPECT_TRUE(TempFiles().empty());
  fs.Remove("/w/d/0");
  r = Zip({"-X", "-D", "-q", "a.zip", "-r", "d"});
  ASSERT_EQ(r.code, 0);
  EXPECT_EQ(Read("/w/a.zip").entries.size(), 65535u);
}

TEST_F(ZipperTest, RepairReadsThroughTheLocalHeaders) {
  fs.AddFile("/w/a.txt", Text(3000));
  fs.AddFile("/w/b.bin", Random(2000, 1));
  fs.AddFile("/w/c.txt", Text(5000));
  fs.AddFile("/w/new.txt", Text(700));
  ASSERT_EQ(Zip({"good.zip", "a.txt", "b.bin", "c.txt"}).code, 0);
  std::vector<std::uint8_t> good = Data("/w/good.zip");
  Archive g = Parse(good);

  // The central directory is lost.
  std::vector<std::uint8_t> cut(good.begin(), good.begin() + g.centralOffset);
  fs.AddFile("/w/cut.zip", cut);
  Result r = Zip({"cut.zip", "new.txt"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(Contains(r.err, "missing end signature"));
  r = Zip({"-F", "cut.zip", "new.txt"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(Contains(r.err, "Retry with option -qF to truncate"));
  EXPECT_EQ(Data("/w/cut.zip"), cut);
  r = Zip({"-qF", "cut.zip", "new.txt"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(Read("/w/cut.zip").Names(), (std::vector<std::string>{"a.txt", "b.bin", "c.txt", "new.txt"}));
  ASSERT_EQ(Extract(&fs, "/w/cut.zip", "/o1"), 0);
  EXPECT_EQ(Data("/o1/c.txt"), Data("/w/c.txt"));

  // A local header that lies about its size: only -FF finds the next header.
  std::vector<std::uint8_t> lying = good;
  const Entry& b = *g.Find("b.bin");
  lying[b.offset + 18] = 0x10;  // compressed size 16
  lying[b.offset + 19] = 0;
  lying[b.offset + 20] = 0;
  lying[b.offset + 21] = 0;
  fs.AddFile("/w/lying.zip", lying);
  EXPECT_EQ(Zip({"-F", "lying.zip", "new.txt"}).code, 3);
  r = Zip({"-FF", "lying.zip", "new.txt"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, " compressed size 16, actual size 2000 for b.bin"));
  ASSERT_EQ(Extract(&fs, "/w/lying.zip", "/o2"), 0);
  EXPECT_EQ(Data("/o2/b.bin"), Data("/w/b.bin"));

  // Entries with a data descriptor (encrypted ones keep it).
  callbacks.passwordAnswers = {{0, "pw"}, {0, "pw"}};
  ASSERT_EQ(Zip({"-e", "enc.zip", "a.txt", "c.txt"}).code, 0);
  std::vector<std::uint8_t> enc = Data("/w/enc.zip");
  fs.AddFile("/w/enc-cut.zip", std::vector<std::uint8_t>(enc.begin(), enc.begin() + Parse(enc).centralOffset));
  ASSERT_EQ(Zip({"-FF", "enc-cut.zip", "new.txt"}).code, 0);
  ASSERT_EQ(Extract(&fs, "/w/enc-cut.zip", "/o3", "pw"), 0);
  EXPECT_EQ(Data("/o3/c.txt"), Data("/w/c.txt"));
}

TEST_F(ZipperTest, DataInFrontOfTheArchive) {
  fs.AddFile("/w/a.txt", Text(3000));
  fs.AddFile("/w/b.txt", Text(100));
  ASSERT_EQ(Zip({"plain.zip", "a.txt"}).code, 0);
  std::vector<std::uint8_t> stub = Bytes(std::string(1000, 'S'));
  std::vector<std::uint8_t> sfx = stub;
  std::vector<std::uint8_t> plain = Data("/w/plain.zip");
  sfx.insert(sfx.end(), plain.begin(), plain.end());  // offsets still count from the stub's end
  fs.AddFile("/w/sfx.exe", sfx);
  Result r = Zip({"sfx.exe", "b.txt"});
  EXPECT_EQ(r.code, 3);
  EXPECT_TRUE(Contains(r.err, "local header not found for a.txt"));
  r = Zip({"-A", "sfx.exe", "b.txt"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "sfx.exe: adjusting offsets for a preamble of 1000 bytes"));
  std::vector<std::uint8_t> fixed = Data("/w/sfx.exe");
  EXPECT_TRUE(std::equal(stub.begin(), stub.end(), fixed.begin()));
  Archive a = Parse(fixed);  // offsets from the file's start now
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.entries[0].offset, 1000u);
  ASSERT_EQ(Extract(&fs, "/w/sfx.exe", "/o"), 0);
  EXPECT_EQ(Data("/o/a.txt"), Data("/w/a.txt"));

  r = Zip({"-J", "sfx.exe"});  // drop the stub
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<std::uint8_t> bare = Data("/w/sfx.exe");
  EXPECT_EQ(std::string(bare.begin(), bare.begin() + 4), "PK\3\4");
  EXPECT_EQ(Parse(bare).Names(), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(ZipperTest, GrowAppendsInPlaceAndRestoresOnFailure) {
  fs.AddFile("/w/a.txt", Text(3000));
  fs.AddFile("/w/b.txt", Text(2000));
  fs.AddFile("/w/c.txt", Text(1000));
  ASSERT_EQ(Zip({"a.zip", "a.txt", "b.txt"}).code, 0);
  std::vector<std::uint8_t> old = Data("/w/a.zip");
  std::uint32_t central = Parse(old).centralOffset;
  ASSERT_EQ(Zip({"-g", "a.zip", "c.txt"}).code, 0);
  std::vector<std::uint8_t> grown = Data("/w/a.zip");
  EXPECT_TRUE(std::equal(old.begin(), old.begin() + central, grown.begin()));
  EXPECT_EQ(Parse(grown).Names(), (std::vector<std::string>{"a.txt", "b.txt", "c.txt"}));
  EXPECT_TRUE(TempFiles().empty());

  callbacks.serviceAnswerAt = static_cast<int>(callbacks.serviced.size());
  fs.AddFile("/w/d.txt", Text(50000));
  Result r = Zip({"-g", "a.zip", "d.txt"});
  EXPECT_EQ(r.code, 9);
  EXPECT_TRUE(Contains(r.err, "attempting to restore a.zip to its previous state"));
  EXPECT_EQ(Data("/w/a.zip"), grown);
}

std::vector<std::uint8_t> Converted(ZipperTest* t, ZipMemoryFileSystem& fs, const char* option,
                                    const std::vector<std::uint8_t>& data, const char* level = "-6") {
  fs.AddFile("/w/in.txt", data);
  fs.Remove("/w/c.zip");
  Result r = RunZip(&fs, {level, option, "c.zip", "in.txt"});
  EXPECT_EQ(r.code, 0) << r.err;
  fs.Remove("/conv/in.txt");
  EXPECT_EQ(Extract(&fs, "/w/c.zip", "/conv"), 0);
  const auto* n = fs.Find("/conv/in.txt");
  return n ? n->data : std::vector<std::uint8_t>();
}

TEST_F(ZipperTest, LineEndConversions) {
  EXPECT_EQ(Converted(this, fs, "-ll", Bytes("a\r\nb\r\nc\rd\r\n")), Bytes("a\nb\nc\rd\n"));
  EXPECT_EQ(Converted(this, fs, "-l", Bytes("a\nb\r\nc")), Bytes("a\r\nb\r\r\nc"));
  // A CR that ends a read block still pairs with the LF that begins the next one.
  for (const char* level : {"-0", "-6"}) {
    std::vector<std::uint8_t> across(32767, 'x');
    std::string tail = "\r\nyz\r";
    across.insert(across.end(), tail.begin(), tail.end());
    std::vector<std::uint8_t> expect(32767, 'x');
    std::string expectTail = "\nyz\r";  // a lone CR at the very end stays
    expect.insert(expect.end(), expectTail.begin(), expectTail.end());
    EXPECT_EQ(Converted(this, fs, "-ll", across, level), expect) << level;
    // Ctrl-Z ends the text only at the end of the file.
    std::vector<std::uint8_t> z(32767, 'x');
    z.push_back(0x1A);
    z.push_back('y');
    z.push_back(0x1A);
    std::vector<std::uint8_t> zExpect(z.begin(), z.end() - 1);
    EXPECT_EQ(Converted(this, fs, "-ll", z, level), zExpect) << level;
  }
}

TEST_F(ZipperTest, MoveDeletesWhatWasAdded) {
  fs.AddFile("/w/d/a.txt", Text(100));
  fs.AddFile("/w/d/sub/b.txt", Text(100));
  fs.AddFile("/w/keep.txt", Text(100));
  ASSERT_EQ(Zip({"-m", "a.zip", "-r", "d"}).code, 0);
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"d/", "d/a.txt", "d/sub/", "d/sub/b.txt"}));
  EXPECT_FALSE(Exists("/w/d"));
  EXPECT_TRUE(Exists("/w/keep.txt"));
  ASSERT_EQ(Extract(&fs, "/w/a.zip", "/o"), 0);
  EXPECT_TRUE(Exists("/o/d/sub/b.txt"));
}

TEST_F(ZipperTest, LatestTimeGoesToTheArchive) {
  fs.AddFile("/w/a.txt", Text(100), kZipAttrArchive, kJan2019);
  fs.AddFile("/w/b.txt", Text(100), kZipAttrArchive, kJun2021 + 1);
  fs.AddDirectory("/w/dir");
  ASSERT_EQ(Zip({"-o", "a.zip", "a.txt", "b.txt", "dir"}).code, 0);
  EXPECT_EQ(fs.Find("/w/a.zip")->mtime, kJun2021 + 2);  // b's DOS time, rounded up
}

TEST_F(ZipperTest, IncludeExcludeAndRecursivePatterns) {
  fs.AddFile("/w/p/a.c", Text(10));
  fs.AddFile("/w/p/a.h", Text(10));
  fs.AddFile("/w/p/sub/b.c", Text(10));
  fs.AddFile("/w/p/sub/b.log", Text(10));
  ASSERT_EQ(Zip({"x.zip", "-r", "p", "-x", "*.log", "*.h"}).code, 0);
  EXPECT_EQ(Read("/w/x.zip").Names(), (std::vector<std::string>{"p/", "p/a.c", "p/sub/", "p/sub/b.c"}));
  ASSERT_EQ(Zip({"i.zip", "-r", "p", "-i", "*.c"}).code, 0);
  EXPECT_EQ(Read("/w/i.zip").Names(), (std::vector<std::string>{"p/a.c", "p/sub/b.c"}));
  fs.ChangeFolder("/w/p");
  ASSERT_EQ(Zip({"-R", "/w/r.zip", "*.c"}).code, 0);
  EXPECT_EQ(Read("/w/r.zip").Names(), (std::vector<std::string>{"a.c", "sub/b.c"}));
  ASSERT_EQ(Zip({"-R", "/w/r2.zip", "sub/*.c"}).code, 0);
  EXPECT_EQ(Read("/w/r2.zip").Names(), (std::vector<std::string>{"sub/b.c"}));
  Result r = Zip({"/w/n.zip", "-i", "*.c"});
  EXPECT_EQ(r.code, 16);
  EXPECT_TRUE(Contains(r.err, "nothing to select from"));
}

TEST_F(ZipperTest, TheArchiveDoesNotTakeItself) {
  fs.AddFile("/w/f.txt", Text(100));
  ASSERT_EQ(Zip({"a.zip", "f.txt"}).code, 0);
  Result r = Zip({"-v", "a.zip", "-r", "."});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "file matches zip file -- skipping"));
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"f.txt"}));
}

struct BadCase {
  std::vector<std::string> args;
  const char* text;
};

TEST_F(ZipperTest, InvalidCommandLines) {
  fs.AddFile("/w/f.txt", Text(10));
  const BadCase cases[] = {
      {{"-y", "a.zip", "f.txt"}, "no such option: y"},
      {{"-d", "-u", "a.zip", "f.txt"}, "specify just one action"},
      {{"-r", "-R", "a.zip", "f.txt"}, "do not specify both -r and -R"},
      {{"-M", "a.zip", "f.txt"}, "-M not supported, use -MM for Must Match"},
      {{"-mm", "a.zip", "f.txt"}, "mm not supported"},
      {{"a.zip", "-b", "/w", "f.txt"}, "use -b before zip file name"},
      {{"-x", "*.c", "a.zip", "f.txt"}, "use -x or -i after name of zipfile"},
      {{"-P", "a", "-P", "b", "a.zip", "f.txt"}, "can only have one -P"},
      {{"-b"}, "missing argument for -b or -P"},
      {{"-n"}, "missing suffix list"},
      {{"-q"}, "Invalid command arguments"},
  };
  for (const BadCase& c : cases) {
    Result r = Zip(c.args);
    EXPECT_EQ(r.code, 16) << c.text;
    EXPECT_TRUE(Contains(r.err, c.text)) << c.text << ": " << r.err;
    EXPECT_FALSE(Exists("/w/a.zip"));
  }
  Result r = Zip({"-d", "-m", "a.zip", "f.txt"});
  EXPECT_TRUE(Contains(r.err, "invalid option(s) used with -d; ignored."));
}

TEST_F(ZipperTest, TemporaryFolderAndSuffixList) {
  fs.AddDirectory("/tmpdir");
  fs.AddFile("/w/t.txt", Text(5000));
  fs.AddFile("/w/t.dat", Text(5000));
  ASSERT_EQ(Zip({"-b", "/tmpdir", "-n", ".dat:.xyz", "a.zip", "t.txt", "t.dat"}).code, 0);
  Archive a = Read("/w/a.zip");
  EXPECT_EQ(a.Find("t.txt")->method, 8);
  EXPECT_EQ(a.Find("t.dat")->method, 0);
  EXPECT_TRUE(TempFiles().empty());
}

struct MatchCase {
  const char* pattern;
  const char* name;
  int result;
};

TEST(ZipperMatch, Wildcards) {
  const MatchCase cases[] = {
      {"*.*", "README", 1},     {"*.*", "a.txt", 1},      {"*.txt", "a/b.txt", 1},  {"*.TXT", "a.txt", 1},
      {"[!a-c]x", "dx", 1},     {"[!a-c]x", "bx", 0},     {"[^a-c]x", "bx", 0},     {"[a-c]x", "Bx", 1},
      {"a\\*b", "a*b", 1},      {"a\\*b", "axb", 0},      {"?.c", "a.c", 1},        {"?.c", "ab.c", 0},
      {"[abc", "a", 0},         {"a**", "a", 1},          {"*a*b", "xxxx", -1},     {"abc", "abcd", 0},
      {"*", "", 1},             {"a*", "", -1},           {"[]]x", "]x", 1},        {"sub/*.c", "sub/b.c", 1},
  };
  for (const MatchCase& c : cases)
    EXPECT_EQ(ZipMatchWildcard(c.pattern, c.name, true), c.result) << c.pattern << " " << c.name;
  EXPECT_NE(ZipMatchWildcard("*.TXT", "a.txt", false), 1);
}

}  // namespace
