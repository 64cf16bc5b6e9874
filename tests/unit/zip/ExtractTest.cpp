// UnzipExtract on the in-memory file system: the viewer's road, name mapping and
// confinement, overwrite rules, result codes, and damaged archives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/unit/zip/UnzipTestSupport.h"

using namespace ziptest;

namespace {

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::uint32_t UnzipGet32Test(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24;
}

TEST(UnzipInterface, UnusableCallbacksAndMissingName) {
  Archive a;
  a.entries.push_back(File("a.txt", "x"));
  MemoryRun noPrint(a.Build());
  noPrint.cb.print = nullptr;
  EXPECT_EQ(noPrint.Run(), kUnzipBadStructure);
  EXPECT_EQ(noPrint.rec.soundCalls, 0);
  EXPECT_TRUE(noPrint.rec.progress.empty());
  EXPECT_FALSE(noPrint.Has("/out"));

  MemoryRun noReplace(a.Build());
  noReplace.cb.replace = nullptr;
  EXPECT_EQ(noReplace.Run(), kUnzipBadStructure);
  EXPECT_TRUE(noReplace.rec.output.empty());

  MemoryRun noSound(a.Build());
  noSound.cb.sound = nullptr;
  EXPECT_EQ(noSound.Run(), kUnzipOk);
  EXPECT_EQ(noSound.Text("/out/a.txt"), "x");

  MemoryRun noName(a.Build());
  noName.options.zipFileName = nullptr;
  EXPECT_EQ(noName.Run(), kUnzipNoArchive);
  EXPECT_TRUE(noName.rec.output.empty());
}

TEST(UnzipInterface, ViewerRoadExtractsTreeSilently) {
  Archive a;
  std::string big(200000, 'q');
  for (std::size_t i = 0; i < big.size(); i += 7) big[i] = static_cast<char>('a' + i % 26);
  a.entries.push_back(File("a.txt", "alpha", 0));
  a.entries.push_back(Folder("sub/"));
  a.entries.push_back(File("sub/b.bin", big));
  a.entries.push_back(File("sub/deeper/c.txt", ""));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/out/a.txt"), "alpha");
  EXPECT_EQ(run.Text("/out/sub/b.bin"), big);
  EXPECT_EQ(run.Text("/out/sub/deeper/c.txt"), "");
  EXPECT_TRUE(run.rec.output.empty()) << run.rec.output;
  // Files are announced and reported; a folder entry is only created.
  EXPECT_EQ(run.rec.soundCalls, 3);
  ASSERT_EQ(run.rec.progress.size(), 3u);
  EXPECT_EQ(run.rec.progress[1].first, "sub/b.bin");
  EXPECT_EQ(run.rec.progress[1].second, big.size());
}

TEST(UnzipInterface, WarningsOnlyCountAsSuccess) {
  Archive a;
  a.entries.push_back(File("/abs/y", "y"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipWarning);
  EXPECT_EQ(run.Text("/out/abs/y"), "y");
  EXPECT_TRUE(Contains(run.rec.output, "warning:  stripped absolute path spec from /abs/y"));
  EXPECT_TRUE(UnzipSucceeded(run.result));
  EXPECT_TRUE(UnzipSucceeded(kUnzipOk));
  EXPECT_FALSE(UnzipSucceeded(kUnzipBadData));
  EXPECT_FALSE(UnzipSucceeded(kUnzipNoArchive));
}

// Stored names that try to leave the folder, and where they must land (empty: nowhere).
TEST(UnzipNames, NothingIsWrittenOutsideTheFolder) {
  struct Case {
    const char* stored;
    std::uint8_t host;
    int pathMode;
    const char* expected;
  } cases[] = {
      {"../../x1", 3, 1, "/out/x1"},
      {"a/../../x2", 3, 1, "/out/a/x2"},
      {"..\\..\\x3", 0, 1, "/out/x3"},           // FAT names use backslashes
      {"..\\..\\x4", 3, 1, "/out/.._.._x4"},     // elsewhere a backslash is a character
      {"C:\\win\\x5", 0, 1, "/out/C_/win/x5"},
      {"C:/x6", 3, 1, "/out/C_/x6"},
      {"//server/share/x7", 3, 1, "/out/server/share/x7"},
      {".../x8", 3, 1, "/out/x8"},                // "..." is the parent to Windows
      {". ./x9", 3, 1, "/out/x9"},
      {"d/.. /x10", 3, 1, "/out/d/x10"},
      {"CON/x11", 3, 1, "/out/_CON/x11"},
      {"aux.txt", 3, 1, "/out/_aux.txt"},
      {"COM\xB9", 3, 1, "/out/_COM\xB9"},        // superscript device numbers
      {"d/LPT\xB3.txt", 3, 1, "/out/d/_LPT\xB3.txt"},
      {"com1 .txt", 3, 1, "/out/_com1 .txt"},
      {"COM\xB9x", 3, 1, "/out/COM\xB9x"},        // a plain name
      {"../x12", 3, 2, ""},                       // ".." kept: it would leave, so skipped
      {"a/../../x13", 3, 2, ""},
      {"a/../x14", 3, 2, "/out/x14"},             // kept and still inside
      {"..", 3, 1, ""},
      {"a/...", 3, 1, ""},
  };
  for (const Case& c : cases) {
    Archive a;
    Entry e = File(c.stored, "data");
    e.hostSystem = c.host;
    a.entries.push_back(e);
    MemoryRun run(a.Build());
    run.options.pathMode = c.pathMode;
    run.options.quietLevel = 0;
    run.Run();
    EXPECT_TRUE(run.Outside().empty()) << c.stored << ": " << run.Outside()[0];
    if (*c.expected) {
      EXPECT_EQ(run.Text(c.expected), "data") << c.stored << "\n" << run.rec.output;
      EXPECT_LE(run.result, kUnzipWarning) << c.stored;
    } else {
      EXPECT_NE(run.result, kUnzipOk) << c.stored;
      std::vector<std::string> files;
      for (const auto& p : run.fs.Paths())
        if (run.fs.Find(p) && !run.fs.Find(p)->isDirectory && p != "/in.zip") files.push_back(p);
      EXPECT_TRUE(files.empty()) << c.stored << " wrote " << files[0];
    }
  }
}

TEST(UnzipNames, ViewerRoadDropsParentsSilently) {
  Archive a;
  a.entries.push_back(File("../../x", "x"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/out/x"), "x");
  EXPECT_TRUE(run.rec.output.empty());

  MemoryRun loud(a.Build());
  loud.options.quietLevel = 0;
  EXPECT_EQ(loud.Run(), kUnzipWarning);
  EXPECT_TRUE(Contains(loud.rec.output, "warning:  skipped \"../\" path component(s) in ../../x"));
}

TEST(UnzipNames, CharacterMapping) {
  struct Case {
    const char* stored;
    const char* expected;
  } cases[] = {
      {"a<b>c|d", "/out/a_b_c_d"},   {"q\"*:?.txt", "/out/q____.txt"}, {"ver;12", "/out/ver"},
      {"ver;1a", "/out/ver;1a"},     {"t\x01" "ab\x1f", "/out/tab"},   {"d1/./f", "/out/d1/f"},
      {"sp ace", "/out/sp ace"},
  };
  Archive a;
  for (const Case& c : cases) a.entries.push_back(File(c.stored, c.stored));
  MemoryRun run(a.Build());
  run.Run();
  for (const Case& c : cases) EXPECT_EQ(run.Text(c.expected), c.stored) << c.stored;

  Archive b;
  b.entries.push_back(File("sp ace", "s"));
  MemoryRun blanks(b.Build());
  blanks.options.blanksToUnderscore = 1;
  blanks.Run();
  EXPECT_EQ(blanks.Text("/out/sp_ace"), "s");
}

TEST(UnzipNames, BackslashWarningOncePerArchive) {
  Archive a;
  a.entries.push_back(File("d\\one", "1"));
  a.entries.push_back(File("d\\two", "2"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipWarning);
  EXPECT_EQ(run.Text("/out/d/one"), "1");
  EXPECT_EQ(run.Text("/out/d/two"), "2");
  std::size_t first = run.rec.output.find("appears to use backslashes");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(run.rec.output.find("appears to use backslashes", first + 1), std::string::npos);
}

TEST(UnzipNames, PathLimits) {
  // A folder path above 257 characters is an error; a file path is cut below 260.
  std::string name = std::string(240, 'd') + "/" + std::string(18, 'f');
  Archive a;
  a.entries.push_back(File(std::string(253, 'e') + "/x", "1"));  // folder path of 258
  a.entries.push_back(File(name, "2"));                          // file path of 264
  MemoryRun run(a.Build());
  run.Run();
  EXPECT_EQ(run.result, kUnzipBadData);
  EXPECT_TRUE(Contains(run.rec.output, "checkdir error:  path too long: /out/eeee"));
  EXPECT_TRUE(Contains(run.rec.output, "checkdir warning:  path too long; truncating"));
  std::string cut = ("/out/" + name).substr(0, 259);
  EXPECT_EQ(run.Text(cut), "2");
}

TEST(UnzipNames, CutNamesThatWouldMergeAreSkipped) {
  std::string common(280, 'n');
  Archive a;
  a.entries.push_back(File(common + "-first", "first"));
  a.entries.push_back(File(common + "-second", "second"));
  a.entries.push_back(File(std::string(256, 'm') + "-one", "one"));  // cut by the path limit
  a.entries.push_back(File(std::string(256, 'm') + "-two", "two"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipWarning);
  EXPECT_EQ(run.Text("/out/" + std::string(254, 'n')), "first");
  EXPECT_EQ(run.Text(("/out/" + std::string(256, 'm') + "-one").substr(0, 259)), "one");
  EXPECT_TRUE(Contains(run.rec.output, "cut name would replace another entry's"));
  // A name holding a zero byte ends there and is treated like a cut one.
  Archive z;
  Entry e1 = File("same", "plain");
  Entry e2 = File(std::string("same\0tail", 9), "zero");
  z.entries.push_back(e1);
  z.entries.push_back(e2);
  MemoryRun zero(z.Build());
  zero.Run();
  EXPECT_EQ(zero.Text("/out/same"), "plain");
}

TEST(UnzipOutput, NoPreExtensionLeftBehind) {
  // The central and local headers claim 1 MiB; the data inflates to 10 bytes.
  Archive a;
  Entry e = File("claims", "0123456789");
  e.setUncompressed = true;
  e.uncompressedSize = 1u << 20;
  a.entries.push_back(e);
  // Deflated data cut short: the file holds what was decoded, not the claimed size.
  std::string text(100000, 'z');
  for (std::size_t i = 0; i < text.size(); i += 3) text[i] = static_cast<char>(i * 7);
  Entry cut = File("cut", text);
  cut.payload = RawDeflate(cut.data);
  cut.payload.resize(cut.payload.size() / 2);
  a.entries.push_back(cut);
  MemoryRun run(a.Build());
  run.Run();
  EXPECT_EQ(run.Text("/out/claims"), "0123456789");
  ASSERT_TRUE(run.Has("/out/cut"));
  EXPECT_LT(run.fs.Find("/out/cut")->data.size(), text.size());
  EXPECT_EQ(run.result, kUnzipBadData);
  EXPECT_LT(run.fs.BytesUsed(), 400000u);
}

TEST(UnzipOverwrite, Rules) {
  auto archive = [] {
    Archive a;
    a.entries.push_back(File("f1", "new1"));
    a.entries.push_back(File("f2", "new2"));
    a.entries.push_back(File("f3", "new3"));
    return a.Build();
  };
  auto prepare = [](MemoryRun& r) {
    r.fs.AddFile("/out/f1", ToBytes("old1"));
    r.fs.AddFile("/out/f2", ToBytes("old2"), kZipAttrReadOnly);
    r.fs.AddFile("/out/f3", ToBytes("old3"));
  };
  {  // always: even a read-only target is replaced
    MemoryRun run(archive());
    prepare(run);
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/f2"), "new2");
    EXPECT_TRUE(run.rec.replaceAsked.empty());
  }
  {  // never
    MemoryRun run(archive());
    prepare(run);
    run.options.overwriteAll = run.options.promptOverwrite = 0;
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/f1"), "old1");
    EXPECT_TRUE(Contains(run.rec.output, "Target file exists.\nSkipping /out/f1\n"));
  }
  {  // ask: skip, then "overwrite all"
    MemoryRun run(archive());
    prepare(run);
    run.options.overwriteAll = 0;
    run.rec.replaceAnswers = {kUnzipReplaceSkip, kUnzipReplaceAll};
    run.Run();
    EXPECT_EQ(run.Text("/out/f1"), "old1");
    EXPECT_EQ(run.Text("/out/f2"), "new2");
    EXPECT_EQ(run.Text("/out/f3"), "new3");
    EXPECT_EQ(run.rec.replaceAsked, (std::vector<std::string>{"/out/f1", "/out/f2"}));
  }
  {  // ask: "none" stops asking
    MemoryRun run(archive());
    prepare(run);
    run.options.overwriteAll = 0;
    run.rec.replaceAnswers = {kUnzipReplaceNone};
    run.Run();
    EXPECT_EQ(run.Text("/out/f3"), "old3");
    EXPECT_EQ(run.rec.replaceAsked.size(), 1u);
  }
  // ask: the host renames; the new name is checked again. The name the host chose is kept
  // whole even when the archive's own folders are dropped.
  for (int pathMode : {1, 0}) {
    SCOPED_TRACE(pathMode);
    MemoryRun run(archive());
    prepare(run);
    run.options.overwriteAll = 0;
    run.options.pathMode = pathMode;
    run.rec.replaceAnswers = {kUnzipReplaceRenamed, kUnzipReplaceSkip, kUnzipReplaceSkip};
    run.rec.renameTo = "/elsewhere\\renamed";
    run.fs.AddDirectory("/elsewhere");
    run.Run();
    EXPECT_EQ(run.Text("/elsewhere/renamed"), "new1");
    EXPECT_FALSE(run.Has("/renamed"));
    EXPECT_EQ(run.Text("/out/f1"), "old1");
  }
}

TEST(UnzipOverwrite, UpdateAndFreshen) {
  Archive a;
  Entry older = File("older", "archive");  // target is newer than the entry
  Entry newer = File("newer", "archive");  // target is older
  newer.localExtra = TimeExtra(2000000000);
  Entry missing = File("missing", "archive");
  a.entries = {older, newer, missing};
  for (bool freshen : {false, true}) {
    MemoryRun run(a.Build());
    run.fs.AddFile("/out/older", ToBytes("disk"), kZipAttrArchive, 1900000000);
    run.fs.AddFile("/out/newer", ToBytes("disk"), kZipAttrArchive, 1000000000);
    (freshen ? run.options.freshenOnly : run.options.updateOnly) = 1;
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/older"), "disk");
    EXPECT_EQ(run.Text("/out/newer"), "archive");
    EXPECT_EQ(run.Has("/out/missing"), !freshen);
    EXPECT_TRUE(Contains(run.rec.output, "Target file newer.\nSkipping /out/older"));
  }
}

TEST(UnzipModes, TestModeWritesNothing) {
  Archive a;
  a.entries.push_back(File("d/f", "ok"));
  Entry bad = File("bad", "data", 0);
  bad.setCrc = true;
  bad.crc = 0x12345678;
  a.entries.push_back(bad);
  MemoryRun run(a.Build());
  run.options.testOnly = 1;
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipBadData);
  EXPECT_FALSE(run.Has("/out"));
  EXPECT_TRUE(Contains(run.rec.output, "    testing: d/f                      OK\n"));
  EXPECT_TRUE(Contains(run.rec.output, " bad CRC 1b2ce3a4  (should be 12345678)\n") ||
              Contains(run.rec.output, " bad CRC"));
  EXPECT_TRUE(Contains(run.rec.output, "At least one error was detected in /in.zip.\n"));
}

TEST(UnzipModes, StoredEntryWithWrongCrcStaysWritten) {
  Archive a;
  Entry bad = File("bad", "payload", 0);
  bad.setCrc = true;
  bad.crc = 1;
  a.entries.push_back(bad);
  a.entries.push_back(File("good", "fine"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipBadData);
  EXPECT_EQ(run.Text("/out/bad"), "payload");
  EXPECT_EQ(run.Text("/out/good"), "fine");
}

TEST(UnzipModes, ConsoleAndComment) {
  Archive a;
  a.entries.push_back(File("a", "first;"));
  a.entries.push_back(File("b", "second"));
  a.comment = "the\r\ncomment";
  MemoryRun console(a.Build());
  console.options.toConsole = 1;
  EXPECT_EQ(console.Run(), kUnzipOk);
  EXPECT_EQ(console.rec.output, "first;second");
  EXPECT_FALSE(console.Has("/out"));

  MemoryRun comment(a.Build());
  comment.options.commentOnly = 1;
  EXPECT_EQ(comment.Run(), kUnzipOk);
  EXPECT_EQ(comment.rec.output, "the\ncomment\n\n");
  EXPECT_EQ(comment.cb.commentLength, 12);
}

TEST(UnzipModes, TextConversion) {
  Archive a;
  Entry t = File("t.txt", "a\nb\r\nc\rd\n\n");
  t.internal = 1;
  a.entries.push_back(t);
  a.entries.push_back(File("bin", "x\ny"));
  MemoryRun run(a.Build());
  run.options.textConversion = 1;
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/out/t.txt"), "a\r\nb\r\nc\r\nd\r\n\r\n");
  EXPECT_EQ(run.Text("/out/bin"), "x\ny");
  MemoryRun all(a.Build());
  all.options.textConversion = 2;
  all.Run();
  EXPECT_EQ(all.Text("/out/bin"), "x\r\ny");
}

TEST(UnzipModes, FolderTimesAreSetLast) {
  Archive a;
  Entry d = Folder("d/");
  d.localExtra = TimeExtra(1234567890);
  a.entries.push_back(d);
  a.entries.push_back(File("d/f", "x"));
  MemoryRun run(a.Build());
  EXPECT_EQ(run.Run(), kUnzipOk);
  ASSERT_TRUE(run.Has("/out/d"));
  EXPECT_EQ(run.fs.Find("/out/d")->mtime, 1234567890);
  EXPECT_EQ(run.Text("/out/d/f"), "x");
}

TEST(UnzipModes, ProgressCanStopTheRun) {
  Archive a;
  for (int i = 0; i < 5; i++) a.entries.push_back(File("f" + std::to_string(i), "x"));
  MemoryRun run(a.Build());
  run.rec.onProgress = [&] { return run.rec.progress.size() == 2 ? 1 : 0; };
  EXPECT_EQ(run.Run(), kUnzipStopped);
  EXPECT_TRUE(run.Has("/out/f1"));
  EXPECT_FALSE(run.Has("/out/f2"));
}

TEST(UnzipSelection, IncludeExcludeAndCase) {
  Archive a;
  a.entries.push_back(File("keep/a.txt", "1"));
  a.entries.push_back(File("keep/b.dat", "2"));
  a.entries.push_back(File("skip/c.txt", "3"));
  Entry accented = File("\xC9t\xE9.txt", "4");
  accented.hostSystem = 3;  // no code-page conversion
  a.entries.push_back(accented);
  {
    MemoryRun run(a.Build());
    run.include = {"*.txt"};
    run.exclude = {"skip/*", "nomatch"};
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_TRUE(run.Has("/out/keep/a.txt"));
    EXPECT_FALSE(run.Has("/out/keep/b.dat"));
    EXPECT_FALSE(run.Has("/out/skip/c.txt"));
    EXPECT_TRUE(Contains(run.rec.output, "caution: excluded filename not matched:  nomatch\n"));
  }
  {
    MemoryRun run(a.Build());
    run.include = {"none*", "other"};
    EXPECT_EQ(run.Run(), kUnzipNoMatch);
    EXPECT_TRUE(Contains(run.rec.output, "caution: filename not matched:  none*\n"));
    EXPECT_TRUE(Contains(run.rec.output, "caution: filename not matched:  other\n"));
  }
  {
    MemoryRun run(a.Build());
    run.include = {"KEEP/A.TXT", "\xE9t\xE9.TXT"};
    run.options.ignoreCase = 1;
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_TRUE(run.Has("/out/keep/a.txt"));
    EXPECT_TRUE(run.Has("/out/\xC9t\xE9.txt"));
  }
}

TEST(UnzipSupport, UnsupportedEntriesAreSkipped) {
  Archive a;
  Entry bzip = File("b.bz2", "data");
  bzip.method = 12;
  bzip.payload = ToBytes("BZh...");
  bzip.versionNeeded = 46;
  Entry reduce = File("r", "data");
  reduce.method = 3;
  reduce.payload = ToBytes("xx");
  Entry zip64 = File("z", "data", 0);
  zip64.versionNeeded = 45;
  a.entries = {bzip, reduce, zip64};
  MemoryRun run(a.Build());
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipUnsupported);
  EXPECT_TRUE(Contains(run.rec.output, "   skipping: b.bz2                   need PK compat. v4.6 (can do v2.1)\n"));
  EXPECT_TRUE(Contains(run.rec.output, "   skipping: r                       `reduce' method not supported\n"));
  EXPECT_TRUE(Contains(run.rec.output, "need PK compat. v4.5"));
  EXPECT_FALSE(run.Has("/out/z"));

  a.entries.push_back(File("fine", "ok"));
  MemoryRun mixed(a.Build());
  EXPECT_EQ(mixed.Run(), kUnzipUnsupported);
  EXPECT_EQ(mixed.Text("/out/fine"), "ok");
}

TEST(UnzipPasswords, Outcomes) {
  auto encrypted = [](const std::string& pw, bool descriptor) {
    Archive a;
    Entry e1 = File("s1", "secret one");
    e1.password = pw;
    e1.dataDescriptor = descriptor;
    Entry e2 = File("s2", "secret two", 0);
    e2.password = pw;
    a.entries = {e1, e2};
    return a.Build();
  };
  {  // right password: asked once, remembered for the second entry
    MemoryRun run(encrypted("pw", false));
    run.rec.passwords = {"pw"};
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/s1"), "secret one");
    EXPECT_EQ(run.Text("/out/s2"), "secret two");
    EXPECT_EQ(run.rec.passwordPrompts, (std::vector<std::string>{"Enter password for: s1"}));
  }
  {  // with a data descriptor the check byte comes from the time
    MemoryRun run(encrypted("pw", true));
    run.rec.passwords = {"pw"};
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/s1"), "secret one");
  }
  {  // wrong, then declined: every entry skipped for its password
    MemoryRun run(encrypted("pw", false));
    run.rec.passwords = {"wrong"};
    EXPECT_EQ(run.Run(), kUnzipBadPassword);
    EXPECT_FALSE(run.Has("/out/s1"));
    ASSERT_EQ(run.rec.passwordPrompts.size(), 2u);
    EXPECT_EQ(run.rec.passwordPrompts[1], "Password incorrect--reenter: s1");
  }
  {  // the host gives up
    MemoryRun run(encrypted("pw", false));
    run.rec.passwordEnd = kUnzipPasswordCancel;
    EXPECT_EQ(run.Run(), kUnzipNoPassword);
  }
  {  // encrypted with the OEM spelling (0x82 is e-acute in code page 437); typed in ANSI (0xE9)
    MemoryRun run(encrypted("caf\x82", false));
    run.rec.passwords = {"caf\xE9"};
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/s2"), "secret two");
  }
}

TEST(UnzipOutput, DiskFullStopsTheWalk) {
  Archive a;
  std::string big(300000, 'b');
  for (std::size_t i = 0; i < big.size(); i++) big[i] = static_cast<char>(i * 131 + (i >> 8));
  a.entries.push_back(File("big", big));
  a.entries.push_back(File("after", "never"));
  Bytes archive = a.Build();
  ZipMemoryFileSystem small(archive.size() + 100000);
  small.AddFile("/in.zip", archive);
  Recorder rec;
  Recorder::Current() = &rec;
  UnzipCallbacks cb = RecordingCallbacks();
  UnzipOptions o = ViewerOptions("/in.zip", "/out");
  EXPECT_EQ(UnzipExtract(0, nullptr, 0, nullptr, &o, &cb, &small), kUnzipDiskFull);
  Recorder::Current() = nullptr;
  EXPECT_TRUE(Contains(rec.output, "write error (disk full?)"));
  EXPECT_TRUE(Contains(rec.output, "warning:  /out/big is probably truncated\n"));
  EXPECT_EQ(small.Find("/out/after"), nullptr);
}

TEST(UnzipArchiveShape, BatchesOf64) {
  for (int n : {64, 65, 130}) {
    Archive a;
    for (int i = 0; i < n; i++) a.entries.push_back(File("e" + std::to_string(i), std::to_string(i * i), i % 2 ? 8 : 0));
    MemoryRun run(a.Build());
    EXPECT_EQ(run.Run(), kUnzipOk) << n;
    for (int i = 0; i < n; i++) EXPECT_EQ(run.Text("/out/e" + std::to_string(i)), std::to_string(i * i)) << n;
  }
}

TEST(UnzipArchiveShape, PrefixCommentsAndEmpty) {
  Archive a;
  a.entries.push_back(File("a", "A"));
  a.prefix = Bytes(100, '#');
  MemoryRun prefixed(a.Build());
  prefixed.options.quietLevel = 0;
  EXPECT_EQ(prefixed.Run(), kUnzipWarning);
  EXPECT_EQ(prefixed.Text("/out/a"), "A");
  EXPECT_TRUE(Contains(prefixed.rec.output, "warning [/in.zip]:  100 extra bytes at beginning or within zipfile\n"));

  Archive c;
  c.entries.push_back(File("a", "A"));
  c.comment = std::string(65535, 'c');
  MemoryRun commented(c.Build());
  EXPECT_EQ(commented.Run(), kUnzipOk);
  EXPECT_EQ(commented.Text("/out/a"), "A");
  EXPECT_EQ(commented.cb.commentLength, 65535);

  Archive empty;
  MemoryRun none(empty.Build());
  EXPECT_EQ(none.Run(), kUnzipWarning);
  EXPECT_TRUE(Contains(none.rec.output, "warning [/in.zip]:  zipfile is empty\n"));
}

TEST(UnzipArchiveShape, EndRecordAcrossTheSearchBlocks) {
  // The end record at every offset around the 8 KiB boundary.
  for (int shift = -25; shift <= 5; shift++) {
    Archive a;
    Entry e = File("pad", "", 0);
    a.entries.push_back(e);
    Bytes probe = a.Build();
    std::size_t endAt = probe.size() - 22;
    std::size_t want = 8192 + static_cast<std::size_t>(shift + 25) - 25;
    a.prefix = Bytes(want - endAt, 'p');
    a.comment = std::string(static_cast<std::size_t>(40 + shift + 25), 'k');
    Bytes built = a.Build();
    MemoryRun run(built);
    run.Run();
    EXPECT_LE(run.result, kUnzipWarning) << shift << "\n" << run.rec.output;
    EXPECT_TRUE(run.Has("/out/pad")) << shift;
  }
}

TEST(UnzipArchiveShape, MissingFolderAndExtension) {
  Archive a;
  a.entries.push_back(File("a", "A"));
  {
    MemoryRun run;
    run.fs.AddFile("/arch.zip", a.Build());
    run.options.zipFileName = "/arch";
    EXPECT_EQ(run.Run(), kUnzipOk);
    EXPECT_EQ(run.Text("/out/a"), "A");
  }
  {
    MemoryRun run;
    run.options.zipFileName = "/nothing";
    run.options.quietLevel = 0;
    EXPECT_EQ(run.Run(), kUnzipNoArchive);
    EXPECT_TRUE(Contains(run.rec.output, "cannot find either /nothing or /nothing.zip.\n"));
  }
  {
    MemoryRun run;
    run.fs.AddDirectory("/folder");
    run.options.zipFileName = "/folder";
    EXPECT_EQ(run.Run(), kUnzipNoArchive);
  }
  {
    MemoryRun run;
    run.fs.AddFile("/junk.zip", ToBytes(std::string(5000, 'j')));
    run.options.zipFileName = "/junk.zip";
    EXPECT_EQ(run.Run(), kUnzipNoArchive);
    EXPECT_TRUE(Contains(run.rec.output, "End-of-central-directory signature not found"));
  }
}

TEST(UnzipArchiveShape, WildcardArchiveNames) {
  Archive a;
  a.entries.push_back(File("one", "1"));
  Archive b;
  b.entries.push_back(File("two", "2"));
  MemoryRun run;
  run.fs.AddFile("/arch/x1.zip", a.Build());
  run.fs.AddFile("/arch/x2.zip", b.Build());
  run.fs.AddFile("/arch/y.txt", ToBytes("no"));
  run.options.zipFileName = "/arch/x?.zip";
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/out/one"), "1");
  EXPECT_EQ(run.Text("/out/two"), "2");
  EXPECT_TRUE(Contains(run.rec.output, "2 archives were successfully processed.\n"));

  // A pattern that matches nothing is a failure, not success.
  MemoryRun none;
  none.fs.AddDirectory("/arch");
  none.options.zipFileName = "/arch/*.zip";
  EXPECT_EQ(none.Run(), kUnzipNoArchive);
  EXPECT_TRUE(Contains(none.rec.output, "cannot find any matches for wildcard specification \"/arch/*.zip\"."));
}

TEST(UnzipDamage, StructuralFaults) {
  Archive good;
  good.entries.push_back(File("a", "alpha"));
  good.entries.push_back(File("b", "beta"));
  {  // a wrong central offset is compensated from where the end record stands
    Archive a = good;
    a.setCentralOffset = true;
    a.centralOffset = 3;
    MemoryRun run(a.Build());
    EXPECT_EQ(run.Run(), kUnzipBadData);
    EXPECT_EQ(run.Text("/out/a"), "alpha");
    EXPECT_TRUE(Contains(run.rec.output, "(attempting to re-compensate)"));
  }
  {  // no central directory where the end record points
    Bytes built = good.Build();
    std::size_t end = built.size() - 22;
    std::uint32_t cd = UnzipGet32Test(built.data() + end + 16);
    built[cd] = 'X';
    MemoryRun run(built);
    EXPECT_EQ(run.Run(), kUnzipBadStructure);
    EXPECT_TRUE(Contains(run.rec.output, "start of central directory not found"));
  }
  {  // cut in the middle of the second entry's data and beyond
    Bytes built = good.Build();
    built.resize(40);
    MemoryRun run(built);
    EXPECT_EQ(run.Run(), kUnzipNoArchive);
  }
  {  // a local header offset that points nowhere costs that entry only
    Archive a = good;
    a.entries[0].setOffset = true;
    a.entries[0].offset = 7;
    MemoryRun run(a.Build());
    run.Run();
    EXPECT_GE(run.result, kUnzipBadData);
    EXPECT_EQ(run.Text("/out/b"), "beta");
  }
  {  // local and central names disagree: the central one is used
    Archive a = good;
    a.entries[0].setLocalName = true;
    a.entries[0].localName = "other";
    MemoryRun run(a.Build());
    EXPECT_EQ(run.Run(), kUnzipWarning);
    EXPECT_EQ(run.Text("/out/a"), "alpha");
    EXPECT_TRUE(Contains(run.rec.output, "mismatching \"local\" filename (other)"));
  }
  {  // the local header names a method the central one did not
    Archive a = good;
    Bytes built = a.Build();
    built[8] = 12;  // the first local header's method
    MemoryRun run(built);
    EXPECT_EQ(run.Run(), kUnzipWarning);
    EXPECT_TRUE(Contains(run.rec.output, "/out/a:  unknown compression method\n"));
    EXPECT_FALSE(run.Has("/out/a"));
    EXPECT_EQ(run.Text("/out/b"), "beta");
  }
  {  // sizes that lie
    Archive a = good;
    a.entries[0].setCompressed = true;
    a.entries[0].compressedSize = 0xFFFFFFF0u;
    a.entries[1].method = 0;
    a.entries[1].setUncompressed = true;
    a.entries[1].uncompressedSize = 3;
    MemoryRun run(a.Build());
    // A deflate stream ends by itself; the stored size mismatch is only a warning.
    EXPECT_EQ(run.Run(), kUnzipWarning);
    EXPECT_EQ(run.Text("/out/a"), "alpha");
    EXPECT_EQ(run.Text("/out/b"), "beta");
    EXPECT_TRUE(Contains(run.rec.output, "ucsize 3 <> csize 4 for STORED entry"));
  }
  {  // the directory claims more entries than it holds
    Archive a = good;
    a.setTotal = true;
    a.total = 3;
    MemoryRun run(a.Build());
    EXPECT_EQ(run.Run(), kUnzipBadStructure);
    EXPECT_TRUE(Contains(run.rec.output, "expected central file header signature not found (file #3)"));
    EXPECT_EQ(run.Text("/out/b"), "beta");
  }
  {  // a name length running past the end of the archive
    Archive a = good;
    a.entries[1].nameLengthOverride = 60000;
    MemoryRun run(a.Build());
    run.Run();
    EXPECT_GE(run.result, kUnzipBadData);
  }
}

TEST(UnzipDamage, BrokenHuffmanTablesCostOneEntry) {
  Archive a;
  Entry broken = File("broken", "whatever");
  broken.method = 8;
  broken.payload = {0x05, 0xE0, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};  // dynamic block, over-subscribed lengths
  a.entries.push_back(broken);
  a.entries.push_back(File("fine", "still here"));
  MemoryRun run(a.Build());
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipBadData);
  EXPECT_TRUE(Contains(run.rec.output, "error:  invalid compressed data to inflate"));
  EXPECT_EQ(run.Text("/out/fine"), "still here");
}

TEST(UnzipDamage, OldMethodsRejectWhatTheyCannotDecode) {
  // Shrink: 9-bit codes 'a' then 300, which nothing has defined yet (257 is next).
  Bytes shrunk;
  {
    unsigned acc = 0, n = 0;
    for (unsigned code : {97u, 300u, 97u}) {
      acc |= code << n;
      n += 9;
      while (n >= 8) {
        shrunk.push_back(static_cast<std::uint8_t>(acc));
        acc >>= 8;
        n -= 8;
      }
    }
    shrunk.push_back(static_cast<std::uint8_t>(acc));
  }
  Entry shrink = File("shrunk", "aXa");
  shrink.method = 1;
  shrink.payload = shrunk;
  // Implode: code lengths that leave most of the 64-entry length table unfilled.
  Entry implode = File("imploded", "abc");
  implode.method = 6;
  implode.payload = {0x00, 0xF3, 0x00, 0xF3};
  Archive a;
  a.entries = {shrink, implode, File("fine", "intact")};
  MemoryRun run(a.Build());
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipBadData);
  EXPECT_TRUE(Contains(run.rec.output, "error:  invalid compressed data to unshrink"));
  EXPECT_TRUE(Contains(run.rec.output, "error:  invalid compressed data to explode"));
  EXPECT_EQ(run.Text("/out/fine"), "intact");
}

TEST(UnzipListing, ListEntryAndTotals) {
  Archive a;
  Entry grown = File("grown", std::string(100, 'g'), 0);
  grown.method = 8;
  grown.payload = Bytes(110, 0);  // never decoded when listing
  grown.setCrc = true;
  grown.crc = 0xABCDEF01;
  grown.dosTime = (44u << 25) | (5u << 21) | (17u << 16) | (13u << 11) | (45u << 5);  // 2024-05-17 13:45
  a.entries.push_back(grown);
  Entry enc = File("secret", std::string(1000, 's'));
  enc.password = "x";
  a.entries.push_back(enc);
  MemoryRun run(a.Build());
  run.options.listMode = 1;
  run.options.quietLevel = 0;
  EXPECT_EQ(run.Run(), kUnzipOk);
  ASSERT_EQ(run.rec.listed.size(), 2u);
  const Listed& g = run.rec.listed[0];
  EXPECT_EQ(g.ucsize, 100u);
  EXPECT_EQ(g.csize, 110u);
  EXPECT_EQ(g.ratio, 10u);
  EXPECT_EQ(g.method, "Defl:N");
  EXPECT_EQ(g.crc, 0xABCDEF01u);
  EXPECT_EQ(g.hour, 13u);
  EXPECT_EQ(g.minute, 45u);
  EXPECT_EQ(g.d1 * 10000 + g.d2 * 100 + g.d3, 51724u);  // month-day-year here
  EXPECT_EQ(run.rec.listed[1].encrypted, 'E');
  EXPECT_EQ(run.cb.entryCount, 2u);
  EXPECT_EQ(run.cb.totalUncompressed, 1100u);
  EXPECT_FALSE(run.Has("/out"));

  MemoryRun detail(a.Build());
  detail.options.detailListing = 1;
  EXPECT_EQ(detail.Run(), kUnzipOk);
  EXPECT_TRUE(Contains(detail.rec.output, "  32-bit CRC value (hex):                           abcdef01\n"));
  EXPECT_TRUE(Contains(detail.rec.output, "2 files, 1100 bytes uncompressed"));
}

TEST(UnzipSecurity, StoredDescriptorsGoThroughTheFileSystem) {
  // A self-relative descriptor: owner SID S-1-5-32-544, a DACL with no entries.
  Bytes sd = {1, 0, 0x04, 0x80, 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 36, 0, 0, 0,
              1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0,
              2, 0, 8, 0, 0, 0, 0, 0};
  auto record = [](const Bytes& descriptor, std::uint8_t version) {
    Bytes packed = RawDeflate(descriptor);
    Bytes r;
    Put16(r, 0x4453);
    Put16(r, static_cast<unsigned>(11 + packed.size()));
    Put32(r, static_cast<std::uint32_t>(descriptor.size()));
    r.push_back(version);
    Put16(r, 8);
    Put32(r, Crc(descriptor));
    r.insert(r.end(), packed.begin(), packed.end());
    return r;
  };
  Bytes badSd = sd;
  badSd[36] = 9;  // ACL revision nobody knows
  Bytes huge = record(sd, 0);
  huge[4] = huge[5] = huge[6] = 0xFF;  // claims nearly 16 MiB
  Archive a;
  Entry f1 = File("f1", "one");
  f1.localExtra = record(sd, 0);
  Entry f2 = File("f2", "two");
  f2.localExtra = record(badSd, 0);
  Entry f3 = File("f3", "three");
  f3.localExtra = record(sd, 1);  // another version: ignored
  Entry f4 = File("f4", "four");
  f4.localExtra = huge;
  Entry d = Folder("d/");
  d.localExtra = record(sd, 0);
  a.entries = {f1, f2, f3, f4, d};
  MemoryRun run(a.Build());
  run.fs.volume.persistentAcls = true;
  run.options.restoreSecurity = 1;
  run.Run();
  EXPECT_EQ(run.fs.Find("/out/f1")->security, sd);
  EXPECT_TRUE(run.fs.Find("/out/f2")->security.empty());
  EXPECT_TRUE(run.fs.Find("/out/f3")->security.empty());
  EXPECT_TRUE(run.fs.Find("/out/f4")->security.empty());
  EXPECT_EQ(run.fs.Find("/out/d")->security, sd);
  EXPECT_EQ(run.Text("/out/f4"), "four");

  MemoryRun off(a.Build());
  off.fs.volume.persistentAcls = true;
  off.Run();
  EXPECT_TRUE(off.fs.Find("/out/f1")->security.empty());

  MemoryRun test(a.Build());
  test.options.testOnly = 1;
  test.options.quietLevel = 0;
  test.Run();
  EXPECT_TRUE(Contains(test.rec.output, "f1                       (44 bytes security) OK\n"));
  EXPECT_TRUE(Contains(test.rec.output, " EAs fail security check\n"));
}

TEST(UnzipProcessState, RelativeFoldersDoNotFollowTheCurrentDirectory) {
  Archive a;
  a.entries.push_back(File("one", "1"));
  a.entries.push_back(File("two", "2"));
  MemoryRun run;
  run.fs.AddFile("/home/in.zip", a.Build());
  run.fs.AddDirectory("/elsewhere");
  run.fs.ChangeFolder("/home");
  run.options.zipFileName = "in.zip";
  run.options.extractFolder = "out";
  // Another part of the program changes the current folder while the run goes on.
  run.rec.onProgress = [&] {
    run.fs.ChangeFolder("/elsewhere");
    return 0;
  };
  EXPECT_EQ(run.Run(), kUnzipOk);
  EXPECT_EQ(run.Text("/home/out/one"), "1");
  EXPECT_EQ(run.Text("/home/out/two"), "2");
  EXPECT_FALSE(run.Has("/elsewhere/out"));
}

}  // namespace
