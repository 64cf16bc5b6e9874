// Archives made on the in-memory file system: header fields, extra fields, names, the
// option interface, and round trips through our own extractor.
#include <ctime>

#include "tests/unit/zipper/ZipperFixture.h"
#include "zip/ZipCrc32.h"

namespace {

using namespace zipper;

std::uint32_t Crc(const std::vector<std::uint8_t>& d) { return ZipUpdateCrc32(0, d.data(), d.size()); }

struct FieldCase {
  const char* level;
  const char* name;
  std::vector<std::uint8_t> data;
  std::uint16_t method, needed, flags;
};

TEST_F(ZipperTest, NewEntriesFollowTheFieldRules) {
  const FieldCase cases[] = {
      {"-1", "t.txt", Text(10000), 8, 20, 4},
      {"-2", "t.txt", Text(10000), 8, 20, 4},
      {"-6", "t.txt", Text(10000), 8, 20, 0},
      {"-9", "t.txt", Text(10000), 8, 20, 2},
      {"-8", "t.txt", Text(10000), 8, 20, 2},
      {"-1", "r.bin", Random(10000, 1), 0, 10, 0},  // does not shrink: stored
      {"-6", "e.txt", {}, 0, 10, 0},
      {"-0", "t.txt", Text(10000), 0, 10, 0},
      {"-6", "x.ZIP", Text(10000), 0, 10, 0},  // a suffix that is stored
      {"-9", "x.ZIP", Text(10000), 8, 20, 2},  // except at level 9
  };
  for (const FieldCase& c : cases) {
    SCOPED_TRACE(std::string(c.level) + " " + c.name);
    fs.AddFile(std::string("/w/") + c.name, c.data, kZipAttrArchive, 1700000000);
    fs.Remove("/w/a.zip");
    Result r = Zip({c.level, "a.zip", c.name});
    ASSERT_EQ(r.code, 0) << r.err;
    Archive a = Read("/w/a.zip");
    ASSERT_TRUE(a.ok) << a.error;
    ASSERT_EQ(a.entries.size(), 1u);
    const Entry& e = a.entries[0];
    EXPECT_EQ(e.madeBy, 0x0B17);
    EXPECT_EQ(e.method, c.method);
    EXPECT_EQ(e.needed, c.needed);
    EXPECT_EQ(e.flags, c.flags);
    // The local header was rewritten with the real values: no data descriptor.
    EXPECT_EQ(e.localFlags, c.flags);
    EXPECT_EQ(e.localMethod, c.method);
    EXPECT_EQ(e.localNeeded, c.needed);
    EXPECT_EQ(e.localCrc, Crc(c.data));
    EXPECT_EQ(e.crc, Crc(c.data));
    EXPECT_EQ(e.localCsize, e.csize);
    EXPECT_EQ(e.usize, c.data.size());
    EXPECT_EQ(e.localUsize, c.data.size());
    EXPECT_FALSE(e.descriptorFollows);
    EXPECT_EQ(e.external & 0xFF, kZipAttrArchive);
    EXPECT_EQ(e.external >> 16, 0100644u);
    if (c.method == 0) {
      std::vector<std::uint8_t> z = Data("/w/a.zip");
      EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), z.begin() + static_cast<std::ptrdiff_t>(e.dataOffset)));
    }
  }
}

TEST_F(ZipperTest, TimesRoundUpToEvenSecondsAndStartIn1980) {
  // Seconds do not depend on the time zone: 33 rounds up to 34.
  const std::int64_t odd = 1700000013;
  ASSERT_EQ(odd % 60, 33);
  fs.AddFile("/w/odd.txt", Text(100), kZipAttrArchive, odd);
  fs.AddFile("/w/even.txt", Text(100), kZipAttrArchive, odd + 1);
  fs.AddFile("/w/old.txt", Text(100), kZipAttrArchive, 298252800);  // 1979-06-15
  fs.AddFile("/w/ancient.txt", Text(100), kZipAttrArchive, -86400 * 400);  // 1968
  ASSERT_EQ(Zip({"a.zip", "odd.txt", "even.txt", "old.txt", "ancient.txt"}).code, 0);
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ((a.Find("odd.txt")->dosTime & 0x1F) * 2, 34u);
  EXPECT_EQ(a.Find("odd.txt")->dosTime, a.Find("even.txt")->dosTime);
  EXPECT_EQ(a.Find("old.txt")->dosTime, 0x210000u);
  EXPECT_EQ(a.Find("ancient.txt")->dosTime, 0x210000u);

  // The extended timestamp keeps the exact seconds; before 1970 it holds 0.
  std::size_t size = 0;
  const std::uint8_t* t = FindExtra(a.Find("odd.txt")->localExtra, 0x5455, &size);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(size, 13u);
  EXPECT_EQ(t[0], 7);
  EXPECT_EQ(Get32(t + 1), static_cast<std::uint32_t>(odd));
  EXPECT_EQ(Get32(t + 5), static_cast<std::uint32_t>(odd));
  EXPECT_EQ(Get32(t + 9), static_cast<std::uint32_t>(odd));
  t = FindExtra(a.Find("odd.txt")->centralExtra, 0x5455, &size);
  ASSERT_NE(t, nullptr);
  ASSERT_EQ(size, 5u);
  EXPECT_EQ(t[0], 7);
  EXPECT_EQ(Get32(t + 1), static_cast<std::uint32_t>(odd));
  t = FindExtra(a.Find("ancient.txt")->localExtra, 0x5455, &size);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(Get32(t + 1), 0u);
}

TEST_F(ZipperTest, NoExtraFieldsWithX) {
  fs.AddFile("/w/f.txt", Text(100));
  ASSERT_EQ(Zip({"-X", "a.zip", "f.txt"}).code, 0);
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok);
  EXPECT_TRUE(a.entries[0].localExtra.empty());
  EXPECT_TRUE(a.entries[0].centralExtra.empty());
}

TEST_F(ZipperTest, FolderEntriesAndStoredNames) {
  fs.AddFile("/w/d/sub/f.txt", Text(100));
  fs.AddDirectory("/w/d/empty");
  ASSERT_EQ(Zip({"a.zip", "-r", "./d"}).code, 0);
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok);
  EXPECT_EQ(a.Names(), (std::vector<std::string>{"d/", "d/empty/", "d/sub/", "d/sub/f.txt"}));
  const Entry* d = a.Find("d/empty/");
  EXPECT_EQ(d->method, 0);
  EXPECT_EQ(d->needed, 10);
  EXPECT_EQ(d->usize, 0u);
  EXPECT_EQ(d->csize, 0u);
  EXPECT_EQ(d->external & 0xFF, kZipAttrDirectory);

  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-D", "a.zip", "-r", "/w/d"}).code, 0);  // absolute: the root's slash goes
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"w/d/sub/f.txt"}));
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-j", "a.zip", "-r", "d"}).code, 0);  // junked paths: no folders either
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"f.txt"}));
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-k", "a.zip", "d/sub/f.txt"}).code, 0);
  fs.AddFile("/w/long name.text", Text(10));
  ASSERT_EQ(Zip({"-k", "a.zip", "long name.text"}).code, 0);
  a = Read("/w/a.zip");
  ASSERT_EQ(a.Names(), (std::vector<std::string>{"D/SUB/F.TXT", "LONGNAME.TEX"}));
  EXPECT_EQ(a.entries[1].madeBy, 20);  // MS-DOS 2.0
  EXPECT_EQ(a.entries[1].external >> 16, 0u);
}

TEST_F(ZipperTest, ArchiveNameGetsZipWhenItHasNoDot) {
  fs.AddFile("/w/f.txt", Text(100));
  ASSERT_EQ(Zip({"out", "f.txt"}).code, 0);
  EXPECT_TRUE(Exists("/w/out.zip"));
  ASSERT_EQ(Zip({"my.archive", "f.txt"}).code, 0);
  EXPECT_TRUE(Exists("/w/my.archive"));
}

TEST_F(ZipperTest, HiddenAndSystemFilesOnlyWithS) {
  fs.AddFile("/w/d/plain.txt", Text(10));
  fs.AddFile("/w/d/hidden.txt", Text(10), kZipAttrArchive | kZipAttrHidden);
  fs.AddFile("/w/d/sub/system.txt", Text(10), kZipAttrArchive | kZipAttrSystem);
  fs.AddFile("/w/d/README", Text(10));
  fs.ChangeFolder("/w/d");
  ASSERT_EQ(Zip({"-r", "/w/a.zip", "*.*"}).code, 0);
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"README", "plain.txt", "sub/"}));
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-r", "-S", "/w/a.zip", "*.*"}).code, 0);
  Archive a = Read("/w/a.zip");
  EXPECT_EQ(a.Names(), (std::vector<std::string>{"README", "hidden.txt", "plain.txt", "sub/", "sub/system.txt"}));
  EXPECT_EQ(a.Find("hidden.txt")->external & 0xFF, kZipAttrArchive | kZipAttrHidden);
}

TEST_F(ZipperTest, VolumeLabelEntry) {
  fs.volumeLabel = "MYDISK";
  fs.AddFile("/w/f.txt", Text(100));
  ASSERT_EQ(Zip({"-$", "a.zip", "f.txt"}).code, 0);
  Archive a = Read("/w/a.zip");
  ASSERT_EQ(a.Names(), (std::vector<std::string>{"MYDISK", "f.txt"}));
  const Entry& l = a.entries[0];
  EXPECT_EQ(l.external, kZipAttrVolumeLabel | kZipAttrArchive);
  EXPECT_EQ(l.dosTime, 0x210000u);
  EXPECT_EQ(l.method, 0);
  EXPECT_EQ(l.csize, 0u);
}

TEST_F(ZipperTest, SecurityDescriptorsTravelInTheirExtraField) {
  fs.volume.persistentAcls = true;
  // Self-relative, revision 1, no owner, group or lists: sound for any reader; then data.
  std::vector<std::uint8_t> sd(20, 0);
  sd[0] = 1;
  sd[3] = 0x80;
  std::vector<std::uint8_t> tail = Random(280, 9);
  sd.insert(sd.end(), tail.begin(), tail.end());
  for (int i = 0; i < 100; i++) sd.push_back(static_cast<std::uint8_t>(i % 4));
  fs.AddFile("/w/f.txt", Text(1000));
  ASSERT_EQ(fs.ApplySecurity("/w/f.txt", false, sd.data(), sd.size(), 1), ZipSecurityResult::kApplied);
  ASSERT_EQ(Zip({"a.zip", "f.txt"}).code, 0);
  EXPECT_EQ(callbacks.printed, " (400 bytes security)");
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok);
  const Entry& e = a.entries[0];
  std::size_t size = 0;
  const std::uint8_t* local = FindExtra(e.localExtra, 0x4453, &size);
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(Get32(local), sd.size());
  EXPECT_EQ(local[4], 0);                     // version
  EXPECT_EQ(Get16(local + 5), 8);             // deflated
  EXPECT_EQ(Get32(local + 7), Crc(sd));
  EXPECT_EQ(e.localExtra[0] | e.localExtra[1] << 8, 0x4453);  // before the time stamp
  const std::uint8_t* central = FindExtra(e.centralExtra, 0x4453, &size);
  ASSERT_NE(central, nullptr);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(Get32(central), sd.size());

  // Our extractor puts the same descriptor back.
  ASSERT_EQ(Extract(&fs, "/w/a.zip", "/out", nullptr, 1), 0);
  ASSERT_NE(fs.Find("/out/f.txt"), nullptr);
  EXPECT_EQ(fs.Find("/out/f.txt")->security, sd);

  callbacks.printed.clear();
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-q", "a.zip", "f.txt"}).code, 0);
  EXPECT_EQ(callbacks.printed, "");
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-X", "a.zip", "f.txt"}).code, 0);
  EXPECT_TRUE(Read("/w/a.zip").entries[0].localExtra.empty());
}

// The viewer's folder call: options and one name, through the interface.
int ZipFolder(ZipMemoryFileSystem* fs, const std::string& folder, const std::string& archive, char level = '1') {
  ZipOptions o{};
  o.includeSystemHidden = 1;
  o.quiet = 1;
  o.recurse = 1;
  o.level = level;
  o.rootDir = folder.c_str();
  o.tempDir = "";
  ZipSetOptions(&o);
  std::string pattern = folder + "\\*.*";
  const char* names[] = {pattern.c_str()};
  ZipCommandBlock command{1, archive.c_str(), names};
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  int r = ZipRunCommand(command, fs);
  testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return r;
}

TEST_F(ZipperTest, FolderCallPacksTheFolderContents) {
  fs.AddFile("/data/My Folder/a.txt", Text(3000), kZipAttrArchive, 1600000000);
  fs.AddFile("/data/My Folder/sub/b.txt", Text(5000), kZipAttrArchive, 1600000000);
  fs.AddFile("/data/My Folder/.hidden", Random(10, 1), kZipAttrArchive | kZipAttrHidden, 1600000000);
  fs.AddDirectory("/tmp");
  ASSERT_EQ(ZipFolder(&fs, "/data/My Folder", "/tmp/!ZELKDIR-My Folder.zip"), 0);
  std::string cwd;
  fs.CurrentFolder(&cwd);
  EXPECT_EQ(cwd, "/w");  // the caller's folder is back
  Archive a = Read("/tmp/!ZELKDIR-My Folder.zip");
  ASSERT_TRUE(a.ok) << a.error;
  EXPECT_EQ(a.Names(), (std::vector<std::string>{".hidden", "a.txt", "sub/", "sub/b.txt"}));
  EXPECT_EQ(a.Find("a.txt")->flags, 4);
  EXPECT_EQ(a.Find("a.txt")->method, 8);
  EXPECT_TRUE(TempFiles().empty());

  ASSERT_EQ(Extract(&fs, "/tmp/!ZELKDIR-My Folder.zip", "/back"), 0);
  EXPECT_EQ(Tree(fs, "/back"), Tree(fs, "/data/My Folder"));
}

TEST_F(ZipperTest, RoundTripThroughOurExtractorAtEveryLevel) {
  std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {
      {"empty", {}},
      {"one", {0x42}},
      {"r32k-1", Random(32767, 1)},
      {"r32k", Random(32768, 2)},
      {"r32k+1", Random(32769, 3)},
      {"t64k-1", Text(65535)},
      {"t64k", Text(65536)},
      {"t64k+1", Text(65537)},
      {"crlf.txt", Bytes(std::string(3000, 'a') + "\r\nline\r\n")},
      {".zip", Text(4000)},
      {"nested/deeper/deepest/f", Random(100000, 4)},
      {"big.bin", Random(300000, 5)},
  };
  for (const auto& f : files) fs.AddFile("/src/" + f.first, f.second, kZipAttrArchive, 1650000000);
  fs.AddDirectory("/src/empty folder");
  fs.AddFile("/src/ro.txt", Text(10), kZipAttrArchive | kZipAttrReadOnly, 1650000000);
  for (char level = '0'; level <= '9'; level++) {
    SCOPED_TRACE(level);
    fs.AddDirectory("/t");
    std::string archive = std::string("/t/l") + level + ".zip";
    ASSERT_EQ(ZipFolder(&fs, "/src", archive, level), 0);
    std::string out = std::string("/out") + level;
    ASSERT_EQ(Extract(&fs, archive, out), 0);
    EXPECT_EQ(Tree(fs, out), Tree(fs, "/src"));
    EXPECT_NE(fs.Find(out + "/ro.txt")->attributes & kZipAttrReadOnly, 0u);
    if (level == '0') {
      for (const Entry& e : Read(archive).entries) EXPECT_EQ(e.method, 0) << e.name;
    }
  }
}

TEST_F(ZipperTest, EncryptedEntriesNeedThePassword) {
  fs.AddFile("/w/secret.txt", Text(20000), kZipAttrArchive, 1650000000);
  fs.AddFile("/w/noise.bin", Random(5000, 3), kZipAttrArchive, 1650000000);
  fs.AddDirectory("/w/folder");
  callbacks.passwordAnswers = {{0, "pw"}, {0, "pw"}};
  ASSERT_EQ(Zip({"-e", "a.zip", "secret.txt", "noise.bin", "folder"}).code, 0);
  EXPECT_EQ(callbacks.passwordPrompts, (std::vector<std::string>{"Enter password: ", "Verify password: "}));
  Archive a = Read("/w/a.zip");
  ASSERT_TRUE(a.ok) << a.error;
  const Entry* s = a.Find("secret.txt");
  EXPECT_EQ(s->flags & 0x9, 0x9);
  EXPECT_TRUE(s->descriptorFollows);
  EXPECT_EQ(a.Find("noise.bin")->csize, 5000u + 12);  // stored, behind the 12-byte header
  EXPECT_EQ(a.Find("folder/")->flags & 1, 0);          // a folder has no data to hide

  ASSERT_EQ(Extract(&fs, "/w/a.zip", "/out", "pw"), 0);
  EXPECT_EQ(Data("/out/secret.txt"), Data("/w/secret.txt"));
  EXPECT_EQ(Data("/out/noise.bin"), Data("/w/noise.bin"));
  EXPECT_NE(Extract(&fs, "/w/a.zip", "/wrong", "px"), 0);
  EXPECT_EQ(fs.Find("/wrong/secret.txt"), nullptr);
}

struct PasswordCase {
  std::vector<std::pair<int, std::string>> answers;
  int code;
};

TEST_F(ZipperTest, PasswordAnswers) {
  fs.AddFile("/w/f.txt", Text(100));
  const PasswordCase cases[] = {
      {{{0, "pw"}, {0, "px"}}, 16},  // verification failed
      {{{0, ""}, {0, ""}}, 16},      // zero length
      {{{-3, ""}}, 16},
      {{{7, ""}}, 7},
      {{{0, "pw"}, {-1, ""}}, 0},  // -1 takes the first entry as it is
      {{{0, "pw"}, {5, ""}}, 5},
  };
  for (const PasswordCase& c : cases) {
    callbacks.passwordPrompts.clear();
    callbacks.passwordAnswers = c.answers;
    fs.Remove("/w/a.zip");
    EXPECT_EQ(Zip({"-e", "a.zip", "f.txt"}).code, c.code);
    EXPECT_EQ(Exists("/w/a.zip"), c.code == 0);
  }
  // -P gives the password on the command line: no callback.
  callbacks.passwordPrompts.clear();
  fs.Remove("/w/a.zip");
  ASSERT_EQ(Zip({"-e", "-P", "cmdline", "a.zip", "f.txt"}).code, 0);
  EXPECT_TRUE(callbacks.passwordPrompts.empty());
  ASSERT_EQ(Extract(&fs, "/w/a.zip", "/o", "cmdline"), 0);
}

TEST_F(ZipperTest, CommentsAndTheServiceCallback) {
  fs.AddFile("/w/a.txt", Text(100));
  fs.AddFile("/w/b.txt", Text(200));
  callbacks.setComment = true;
  callbacks.comment = "made for the test";
  ASSERT_EQ(Zip({"-z", "a.zip", "a.txt", "b.txt"}).code, 0);
  EXPECT_EQ(Read("/w/a.zip").comment, "made for the test");
  EXPECT_EQ(callbacks.serviced,
            (std::vector<std::pair<std::string, unsigned long>>{{"a.txt", 100}, {"b.txt", 200}}));
  callbacks.serviced.clear();
  ASSERT_EQ(Zip({"-d", "a.zip", "a.txt"}).code, 0);
  EXPECT_EQ(callbacks.serviced, (std::vector<std::pair<std::string, unsigned long>>{{"a.txt", 0}}));
  EXPECT_EQ(Read("/w/a.zip").comment, "made for the test");  // kept when not asked again
}

TEST(ZipInterface, SetCallbacksNeedsPrintAndComment) {
  auto print = [](const char*, unsigned long) { return 0; };
  auto comment = [](char*) { return 0; };
  ZipCallbacks both{print, comment, nullptr, nullptr};
  ZipCallbacks noPrint{nullptr, comment, nullptr, nullptr};
  ZipCallbacks noComment{print, nullptr, nullptr, nullptr};
  EXPECT_TRUE(ZipSetCallbacks(&both));
  EXPECT_FALSE(ZipSetCallbacks(&noPrint));
  EXPECT_FALSE(ZipSetCallbacks(&noComment));
  EXPECT_EQ(ZipSetOptions(nullptr), 1);
}

std::vector<std::string> Args(const ZipOptions& o, std::vector<const char*> names, const char* zip = "z.zip") {
  ZipCommandBlock c{static_cast<int>(names.size()), zip, names.data()};
  return ZipBuildArguments(o, c);
}

TEST(ZipInterface, FolderCallGivesTheExactVector) {
  ZipOptions o{};
  o.includeSystemHidden = 1;
  o.quiet = 1;
  o.recurse = 1;
  o.level = '1';
  o.rootDir = "C:\\Users\\me\\Docs";
  o.tempDir = "";
  EXPECT_EQ(Args(o, {"C:\\Users\\me\\Docs\\*.*"}, "C:\\Temp\\!ZELKDIR-Docs.zip"),
            (std::vector<std::string>{"kap.exe", "-1", "-q", "-S", "-r", "C:\\Temp\\!ZELKDIR-Docs.zip", "*.*"}));
}

TEST(ZipInterface, EveryOptionInItsFixedOrder) {
  ZipOptions o{};
  o.dateText = "2020-05-17";
  o.tempDir = "T";
  o.rootDir = "R";
  o.useTempDir = o.encrypt = o.includeSystemHidden = o.addVolumeLabel = o.omitExtraFields = o.omitDirEntries = 1;
  o.beforeDate = o.sinceDate = o.verbose = o.quiet = o.crlfToLf = o.lfToCrlf = o.junkPaths = o.grow = 1;
  o.forceDosNames = o.moveFiles = o.deleteEntries = o.updateOnly = o.freshenOnly = o.junkSfxPrefix = 1;
  o.latestTime = o.askComment = o.adjustOffsets = o.usePrivileges = o.reserved1 = o.reserved2 = 1;
  o.recurse = 2;
  o.repair = 1;
  o.level = '9';
  // Every switch of the block at once: the vector must hold them all.
  std::vector<std::string> expected = {"kap.exe", "-9", "-A", "-d", "-D", "-f", "-F", "-g", "-j", "-e", "-J",
                                       "-k", "-l", "-ll", "-m", "-o", "-z", "-q", "-S", "-tt", "2020-05-17",
                                       "-t", "2020-05-17", "-u", "-v", "-$", "-!", "-X", "-b", "T", "-R", "z.zip"};
  std::vector<const char*> names;
  std::vector<std::string> many;
  for (int i = 0; i < 40; i++) many.push_back("R\\n" + std::to_string(i));
  for (const auto& n : many) names.push_back(n.c_str());
  std::vector<std::string> got = Args(o, names);
  for (int i = 0; i < 40; i++) expected.push_back("n" + std::to_string(i));
  EXPECT_EQ(got, expected);
}

TEST(ZipInterface, SwitchEdgeCases) {
  ZipOptions o{};
  o.level = '0';
  o.repair = 2;
  o.recurse = 3;
  o.sinceDate = 1;
  o.beforeDate = 1;
  o.dateText = "";
  o.useTempDir = 1;
  o.tempDir = "";
  o.rootDir = "C:\\root";
  EXPECT_EQ(Args(o, {"C:\\rootless\\x", "C:\\root\\y", "D:\\other"}),
            (std::vector<std::string>{"kap.exe", "-0", "-FF", "z.zip", "C:\\rootless\\x", "y", "D:\\other"}));
  o.repair = 7;
  o.rootDir = nullptr;
  EXPECT_EQ(Args(o, {"C:\\root\\y"}), (std::vector<std::string>{"kap.exe", "-0", "-FF", "z.zip", "C:\\root\\y"}));
}

TEST_F(ZipperTest, RootFolderAtTheLengthLimit) {
  // A root of 4097 characters (the most the option block keeps) still has its
  // backslash added and names below it made relative.
  std::string root = "/r";
  while (root.size() < 4097) root += "/abcdefgh";
  root.resize(4097);
  while (root.back() == '/') root.back() = 'x';
  fs.AddFile(root + "/f.txt", Text(100));
  ASSERT_EQ(ZipFolder(&fs, root, "/w/a.zip"), 0);
  EXPECT_EQ(Read("/w/a.zip").Names(), (std::vector<std::string>{"f.txt"}));
  // A longer root is cut to that length: the folder it names then does not exist.
  std::string longer = "/q";
  while (longer.size() < 4200) longer += "/abcdefghi";
  ASSERT_NE(longer[4097], '/');
  fs.AddFile(longer + "/g.txt", Text(100));
  EXPECT_EQ(ZipFolder(&fs, longer, "/w/b.zip"), 18);
  EXPECT_FALSE(Exists("/w/b.zip"));
  std::string cwd;
  fs.CurrentFolder(&cwd);
  EXPECT_EQ(cwd, "/w");
}

// A file system whose current folder cannot be told (too long for the system).
class NoCurrentFolder : public ZipMemoryFileSystem {
public:
  bool CurrentFolder(std::string*) override { return false; }
  bool ChangeFolder(const char* path) override {
    changes++;
    return ZipMemoryFileSystem::ChangeFolder(path);
  }
  int changes = 0;
};

TEST(ZipInterfaceRun, CurrentFolderThatCannotBeKeptStopsTheRun) {
  NoCurrentFolder fs;
  fs.AddFile("/data/f.txt", Text(10));
  ASSERT_EQ(ZipFolder(&fs, "/data", "/a.zip"), 16);
  EXPECT_EQ(fs.changes, 0);  // never moved, so nothing to restore
  EXPECT_EQ(fs.Find("/a.zip"), nullptr);
}

}  // namespace
