// The file-transfer protocol over a socket pair: the access probe and the server's
// version, drive lists and listings, downloads (plain, compressed, resumed from a partial
// file, aborted, stopped), uploads (compressed, reusing the server's blocks, empty,
// refused), folder commands, protocol version 1, and hostile servers: names that would
// leave the local folder, oversized bodies and packets. After every hostile message the
// viewer must still read the stream in step.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cctype>

#include "FileTransferTestSupport.h"
#include "app/UiText.h"
#include "resources/StringIds.h"

using namespace fttest;

namespace {

constexpr std::uint32_t kBlock = 8192;

Bytes U32BE(std::uint32_t v) { return U32(v); }
std::uint32_t Adler(const std::uint8_t* p, std::size_t n) {
  return static_cast<std::uint32_t>(adler32(adler32(0, nullptr, 0), p, static_cast<uInt>(n)));
}
Bytes Slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(std::min(b.size(), from + n)));
}
Bytes Deflate(const Bytes& b) {
  uLongf n = compressBound(static_cast<uLong>(b.size()));
  Bytes out(n);
  EXPECT_EQ(compress(out.data(), &n, b.data(), static_cast<uLong>(b.size())), Z_OK);
  out.resize(n);
  return out;
}
Bytes Inflate(const Bytes& b, std::size_t expect) {
  uLongf n = static_cast<uLongf>(expect);
  Bytes out(expect);
  EXPECT_EQ(uncompress(out.data(), &n, b.data(), static_cast<uLong>(b.size())), Z_OK);
  out.resize(n);
  return out;
}
// The file header a server sends: the name (with an optional time), the size's low part
// and, except in version 1, its high part.
Bytes FileHeader(const std::string& name, std::uint32_t low, std::uint32_t high = 0, int version = 2) {
  Bytes m = Msg(4, 0, low, Text(name));
  if (version != 1) m = Cat({m, U32BE(high)});
  return m;
}
Bytes EntryRecord(const std::string& name, std::uint32_t attributes, std::uint64_t size) {
  ft::RemoteEntry e;
  e.name = name;
  e.attributes = attributes;
  e.size = size;
  return ft::EncodeFindData(e);
}
const std::string kRemote = "C:\\remote\\";

// ---------------------------------------------------------------------------------------
// Access and version

TEST_F(FileTransferFixture, AccessProbeIsAnAbortWithParameterThree) {
  transfer->SendAccessProbe();
  EXPECT_EQ(ViewerSent(), (Bytes{7, 7, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
}

TEST_F(FileTransferFixture, TheAnswerToTheProbeTellsVersionAndAccess) {
  struct Case {
    const char* name;
    Bytes answer;
    int messages;
    int version;
    bool granted;
    std::vector<std::pair<int, int>> sent;  // type, param
  } cases[] = {
      {"version 3", Cat({Msg(17, 3, 0), Msg(14, 0, 0)}), 2, 3, true, {{15, 0}, {1, 2}}},
      {"version 2", Msg(14, 0, 0), 1, 2, true, {{1, 2}}},
      {"old server", Msg(7, 0, 0), 1, 1, true, {{1, 2}}},
      {"refused", Msg(14, 0, 0xFFFFFFFF), 1, 2, false, {}},
      {"old server refused", Msg(7, 0, 0xFFFFFFFF), 1, 1, false, {}},
      {"version out of range", Cat({Msg(17, 4, 0), Msg(17, 256, 0), Msg(14, 0, 0)}), 3, 2, true, {{1, 2}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    Deliver(c.answer, c.messages);
    EXPECT_EQ(transfer->ProtocolVersion(), c.version);
    EXPECT_EQ(transfer->BlockSize(), c.version == 1 ? 4096u : 8192u);
    EXPECT_EQ(transfer->AccessGranted(), c.granted);
    EXPECT_EQ(transfer->refused, c.granted ? 0 : 1);
    EXPECT_EQ(transfer->oldServer, c.version == 1 ? 1 : 0);
    EXPECT_TRUE(transfer->HasStatus(c.granted ? "Connected..." : "> WARNING: File Transfer is Disabled on the Remote Machine"))
        << transfer->Statuses();
    std::vector<std::pair<int, int>> sent;
    for (const Sent& m : SentByViewer(c.version)) sent.emplace_back(m.type, m.param);
    EXPECT_EQ(sent, c.sent);
  }
}

TEST_F(FileTransferFixture, AnAbortAfterAccessIsNoSignOfAnOldServer) {
  Deliver(Msg(14, 0, 0));
  ViewerSent();
  Deliver(Msg(7, 0, 0));
  EXPECT_EQ(transfer->ProtocolVersion(), 2);
  EXPECT_EQ(transfer->oldServer, 0);
  ExpectInStep();
}

// ---------------------------------------------------------------------------------------
// Drive lists and listings

TEST_F(FileTransferFixture, DriveListWithTheSpecialFolders) {
  Deliver(Msg(14, 0, 0));
  ViewerSent();
  Deliver(Msg(2, 3, 0, Bytes{'C', ':', 'l', 0, 'D', ':', 'c', 0, 'E', ':', 'x', 0, '?', '?', 'l', 0}));
  std::vector<std::string> names, types;
  for (const auto& d : transfer->drives) {
    names.push_back(d.name);
    types.push_back(d.typeText ? d.typeText : "-");
  }
  EXPECT_EQ(names, (std::vector<std::string>{"C:", "D:", "E:", "My Documents", "Desktop", "Network Favorites"}));
  EXPECT_EQ(types, (std::vector<std::string>{"Local Disk", "CD-ROM", "Unknown", "-", "-", "-"}));
  EXPECT_EQ(transfer->RemoteFolder(), "");

  // Longer than 255 bytes: not taken, and the stream stays in step.
  Deliver(Msg(2, 3, 0, Bytes(256, 'A')));
  EXPECT_EQ(transfer->drives.size(), 6u);
  ExpectInStep();
}

TEST_F(FileTransferFixture, VersionOneDriveListHasNoSpecialFolders) {
  Deliver(Msg(7, 0, 0));
  ViewerSent();
  Deliver(Msg(2, 3, 0, Bytes{'C', ':', 'l', 0}));
  ASSERT_EQ(transfer->drives.size(), 1u);
  EXPECT_EQ(transfer->drives[0].name, "C:");
}

TEST_F(FileTransferFixture, ListingOfARemoteFolder) {
  transfer->SetRemoteFolder("");
  ASSERT_TRUE(transfer->RequestRemoteDirectory("[ C: ]"));
  EXPECT_FALSE(transfer->RequestRemoteDirectory("[ D: ]"));  // one request at a time
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 1);
  EXPECT_EQ(sent[0].param, 1);
  EXPECT_EQ(sent[0].Body(), "C:\\");

  Bytes tooLong = EntryRecord("dropped", 0, 1);
  tooLong.resize(324);
  Deliver(Cat({Msg(2, 1, 0, Text("C:\\")), Msg(2, 1, 0, EntryRecord(".", 0x10, 0)),
               Msg(2, 1, 0, EntryRecord("..", 0x10, 0)), Msg(2, 2, 0, EntryRecord("file.txt", 0x20, 5)),
               Msg(2, 1, 0, tooLong), Msg(2, 1, 0, EntryRecord("sub", 0x10, 0)), Msg(2, 0, 0)}),
          7);
  std::vector<std::string> names;
  for (const auto& e : transfer->entries) names.push_back(e.name);
  EXPECT_EQ(names, (std::vector<std::string>{"..", "file.txt", "sub"}));
  EXPECT_EQ(transfer->RemoteFolder(), "C:\\");
  ASSERT_FALSE(transfer->countLines.empty());
  EXPECT_EQ(transfer->countLines.back(), " > 3 File(s)/Folder(s)");
  EXPECT_EQ(transfer->listingsDone, (std::vector<int>{3}));
  EXPECT_TRUE(transfer->HasStatus("> Browsing The Remote Directory. Please Wait..."));
  ExpectInStep();

  // Into a folder and back to the parent.
  ASSERT_TRUE(transfer->RequestRemoteDirectory("[ sub ]"));
  EXPECT_EQ(SentByViewer().at(0).Body(), "C:\\sub\\");
  Deliver(Cat({Msg(2, 1, 0, Text("C:\\sub")), Msg(2, 0, 0)}), 2);
  EXPECT_EQ(transfer->RemoteFolder(), "C:\\sub\\");  // a path without its backslash gets one
  ASSERT_TRUE(transfer->RequestRemoteDirectory("[ .. ]"));
  EXPECT_EQ(SentByViewer().at(0).Body(), "C:\\");
  Deliver(Cat({Msg(2, 1, 0, Text("C:\\")), Msg(2, 0, 0)}), 2);
  ASSERT_TRUE(transfer->RequestRemoteDirectory("[ .. ]"));  // above the root: the drive list
  sent = SentByViewer();
  EXPECT_EQ(sent.at(0).type, 1);
  EXPECT_EQ(sent.at(0).param, 2);
}

TEST_F(FileTransferFixture, ListingBodiesOutsideTheirBoundsAreSkippedInStep) {
  transfer->RequestRemoteFolder("C:\\x\\");
  ViewerSent();
  // A path longer than 259 bytes is not taken: the folder asked for stands.
  Deliver(Cat({Msg(2, 1, 0, Text(std::string(260, 'P'))), Msg(2, 0, 0)}), 2);
  EXPECT_EQ(transfer->RemoteFolder(), "C:\\x\\");
  ExpectInStep();
  // An empty first packet: the medium is missing.
  transfer->RequestRemoteFolder("A:\\");
  ViewerSent();
  Deliver(Msg(2, 1, 0));
  EXPECT_TRUE(transfer->HasStatus("> ERROR: Media is not present in the Remote Drive."));
  // An end of listing with a body, and a listing packet of another parameter, keep step.
  Deliver(Msg(2, 9, 0, Bytes(40, 1)));
  ExpectInStep();
}

// ---------------------------------------------------------------------------------------
// Downloads

TEST_F(FileTransferFixture, DownloadOfOneFileRawAndCompressedBlocks) {
  const Bytes data = TextData(2 * kBlock + 3616);
  ASSERT_TRUE(transfer->StartDownloads({"a.txt"}));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 3);
  EXPECT_EQ(sent[0].size, 1u);  // no measured rate yet: a slow link, compression wanted
  EXPECT_EQ(sent[0].Body(), "C:\\remote\\a.txt");

  Deliver(FileHeader("C:\\remote\\a.txt,01/02/2024 03:04", static_cast<std::uint32_t>(data.size())));
  sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);  // no partial file: no checksums
  EXPECT_EQ(sent[0].type, 4);
  EXPECT_EQ(sent[0].size, data.size());
  EXPECT_TRUE(transfer->DownloadOpen());
  EXPECT_TRUE(LocalExists("!ZELKPFT-a.txt"));

  Deliver(Cat({Msg(5, 0, 0, Slice(data, 0, kBlock)), Msg(5, 0, 1, Deflate(Slice(data, kBlock, kBlock))),
               Msg(5, 0, 0, Slice(data, 2 * kBlock, 3616)), Msg(6, 0, 0)}),
          4);
  EXPECT_EQ(ReadLocal("a.txt"), data);
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"a.txt"}));
  EXPECT_TRUE(transfer->HasStatus(" File < a.txt > successfully RECEIVED...")) << transfer->Statuses();
  EXPECT_TRUE(transfer->HasStatus(" Receiving File < " + Local("a.txt") + " > (19.53 Kb) <<<")) << transfer->Statuses();
  EXPECT_TRUE(transfer->HasStatus("Transfer completed"));
  EXPECT_EQ(transfer->batches, (std::vector<std::pair<bool, bool>>{{false, false}}));
  EXPECT_EQ(transfer->fileNumbers, (std::vector<std::pair<int, int>>{{1, 1}}));
  EXPECT_FALSE(transfer->Transferring());
  // The time the server gave, as local file-time numbers.
  ZipFileStat st;
  ASSERT_TRUE(ZipSystemFileSystem().Stat(Local("a.txt").c_str(), &st));
  EXPECT_EQ(st.mtime, 1704164640);
  // Asked of the drive root when the folder has a drive letter, else of the folder.
  const std::string folder = Local("");
  const bool drive = folder.size() >= 3 && std::isalpha(static_cast<unsigned char>(folder[0])) && folder[1] == ':';
  EXPECT_EQ(transfer->freeRoots, (std::vector<std::string>{drive ? folder.substr(0, 3) : folder}));
  ExpectInStep();
}

TEST_F(FileTransferFixture, FileOfFourGigabytesLessOneIsNotTheNotAccessibleMark) {
  ASSERT_TRUE(transfer->StartDownloads({"big"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\big", 0xFFFFFFFF, 0));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 4);
  EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);
  EXPECT_TRUE(transfer->DownloadOpen());

  ASSERT_TRUE(transfer->StartDownloads({"gone"}) == false);  // one batch at a time
  Deliver(Msg(7, 0, 0));
  ViewerSent();
  ASSERT_TRUE(transfer->StartDownloads({"gone"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\gone", 0xFFFFFFFF, 0xFFFFFFFF));
  sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);  // refused
  EXPECT_TRUE(transfer->HasStatus(" ERROR: File < C:\\remote\\gone > is not accessible on Remote Machine"))
      << transfer->Statuses();
}

TEST_F(FileTransferFixture, ResumeSendsTheChecksumsOfThePartialFile) {
  const Bytes data = Noise(3 * kBlock + 50);
  Bytes partial = Slice(data, 0, 2 * kBlock);
  const Bytes junk(100, 0xEE);
  partial.insert(partial.end(), junk.begin(), junk.end());
  WriteLocal("!ZELKPFT-big.bin", partial);

  ASSERT_TRUE(transfer->StartDownloads({"big.bin"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\big.bin", static_cast<std::uint32_t>(data.size())));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, 12);
  EXPECT_EQ(sent[0].size, (partial.size() / kBlock) * 4 + 1024);
  const Bytes sums = sent[0].body;
  ASSERT_EQ(sums.size(), 12u);
  const std::uint32_t expect[3] = {Adler(partial.data(), kBlock), Adler(partial.data() + kBlock, kBlock),
                                   Adler(partial.data() + 2 * kBlock, 100)};
  for (int i = 0; i < 3; i++)
    EXPECT_EQ(sums[4 * i] | (sums[4 * i + 1] << 8) | (sums[4 * i + 2] << 16) | (std::uint32_t(sums[4 * i + 3]) << 24),
              expect[i]);
  EXPECT_EQ(sent[1].type, 4);

  // The server keeps the two blocks that match and sends the rest.
  Deliver(Cat({Msg(5, 0, 2, {}, kBlock), Msg(5, 0, 2, {}, kBlock), Msg(5, 0, 0, Slice(data, 2 * kBlock, kBlock)),
               Msg(5, 0, 0, Slice(data, 3 * kBlock, 50)), Msg(6, 0, 0)}),
          5);
  EXPECT_EQ(ReadLocal("big.bin"), data);
  EXPECT_EQ(LocalNames(), (std::vector<std::string>{"big.bin"}));
  ExpectInStep();
}

TEST_F(FileTransferFixture, AbortedDownloadKeepsItsPartialFileForALaterResume) {
  const Bytes data = TextData(3 * kBlock);
  ASSERT_TRUE(transfer->StartDownloads({"x.bin"}));
  ViewerSent();
  Deliver(Cat({FileHeader("C:\\remote\\x.bin", static_cast<std::uint32_t>(data.size())), Msg(5, 0, 0, Slice(data, 0, kBlock)),
               Msg(7, 0, 0)}),
          3);
  EXPECT_EQ(ReadLocal("!ZELKPFT-x.bin"), Slice(data, 0, kBlock));
  EXPECT_FALSE(LocalExists("x.bin"));
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Transfer of File < x.bin > failed on Remote Machine. Canceled."))
      << transfer->Statuses();

  // The next download of the same file starts by sending the partial file's checksums.
  ViewerSent();
  ASSERT_TRUE(transfer->StartDownloads({"x.bin"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\x.bin", static_cast<std::uint32_t>(data.size())));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, 12);
  EXPECT_EQ(sent[0].length, 4u);
}

TEST_F(FileTransferFixture, StopSendsOneAbortAndDeletesThePartialFile) {
  const Bytes data = TextData(4 * kBlock);
  ASSERT_TRUE(transfer->StartDownloads({"x.bin", "y.bin"}));
  ViewerSent();
  Deliver(Cat({FileHeader("C:\\remote\\x.bin", static_cast<std::uint32_t>(data.size())), Msg(5, 0, 0, Slice(data, 0, kBlock))}), 2);
  ViewerSent();
  transfer->Stop(false);
  Deliver(Cat({Msg(5, 0, 0, Slice(data, kBlock, kBlock)), Msg(5, 0, 0, Slice(data, 2 * kBlock, kBlock))}), 2);
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 7);
  EXPECT_EQ(sent[0].param, 3);
  Deliver(Msg(7, 0, 0));
  EXPECT_TRUE(LocalNames().empty());
  EXPECT_TRUE(SentByViewer().empty());  // the second file is not asked for
  EXPECT_EQ(transfer->batches, (std::vector<std::pair<bool, bool>>{{false, true}}));
  EXPECT_TRUE(transfer->HasStatus("Transfer interrupted by user"));
}

TEST_F(FileTransferFixture, NamesThatWouldLeaveTheLocalFolderAreRefused) {
  // Each header answers the request of "f.zip"; a server may rename a requested folder's
  // archive, so a name of another path is taken when it ends in ".zip" - but only its last
  // component, and only when that is a plain name.
  const struct {
    const char* name;
    bool badName;  // refused as an invalid name (else as another file than requested)
  } hostile[] = {
      {"C:\\remote\\a/../../evil.zip", true},  // '/' separates on Windows too
      {"C:\\remote\\CON.zip", true},           // a device
      {"C:\\remote\\COM\xB9.zip", true},        // a device by its superscript number
      {"C:\\remote\\LPT\xB3.zip", true},
      {"C:\\remote\\com1 .zip", true},
      {"C:\\remote\\x:y.zip", true},           // a drive or stream
      {"C:\\remote\\\x01.zip", true},          // a control character
      {"evil.zip", true},                      // no component at all
      {"C:\\remote\\sub\\", false},            // nothing after the last backslash
      {"C:\\remote\\other.txt", false},         // another file than the one requested
      {"C:\\remote\\a.zip ", false},            // a trailing blank (another name than written)
  };
  for (const auto& h : hostile) {
    SCOPED_TRACE(h.name);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    transfer->SetLocalFolder(Local(""));
    transfer->SetRemoteFolder(kRemote);
    ASSERT_TRUE(transfer->StartDownloads({"f.zip"}));
    ViewerSent();
    Deliver(FileHeader(h.name, 10));
    const auto sent = SentByViewer();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].type, 4);
    EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);
    EXPECT_FALSE(transfer->DownloadOpen());
    EXPECT_TRUE(LocalNames().empty());
    EXPECT_EQ(transfer->HasStatus(" ERROR: File < Invalid remote file name > is not accessible on Remote Machine"),
              h.badName);
    ExpectInStep();
  }

  // A header nobody asked for is read and ignored.
  transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
  Deliver(FileHeader("C:\\remote\\unasked.txt", 10));
  EXPECT_TRUE(SentByViewer().empty());
  ExpectInStep();
}

TEST_F(FileTransferFixture, HostilePacketsFailTheDownloadInStep) {
  struct Case {
    const char* name;
    Bytes packet;
  } cases[] = {
      {"longer than a block and its slack", Msg(5, 0, 0, Bytes(kBlock + 1025, 1))},
      {"a block unchanged that is not there", Msg(5, 0, 2, {}, 100)},
      {"inflates past the buffer", Msg(5, 0, 1, Deflate(Bytes(kBlock + 1025, 'x')))},
      {"not zlib", Msg(5, 0, 1, Bytes(50, 0x55))},
      {"unknown kind", Msg(5, 0, 9, Bytes(50, 0x55))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::error_code ec;
    for (const auto& e : stdfs::directory_iterator(dir)) stdfs::remove(e.path(), ec);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    transfer->SetLocalFolder(Local(""));
    transfer->SetRemoteFolder(kRemote);
    ASSERT_TRUE(transfer->StartDownloads({"v.bin"}));
    Deliver(FileHeader("C:\\remote\\v.bin", 100000));
    ViewerSent();
    Deliver(Cat({c.packet, Msg(5, 0, 0, Bytes(10, 2))}), 2);  // the next packet finishes it
    EXPECT_FALSE(transfer->DownloadOpen());
    EXPECT_TRUE(transfer->HasStatus(" ERROR: Transfer of File < v.bin > failed on Remote Machine. Canceled."))
        << transfer->Statuses();
    EXPECT_FALSE(LocalExists("v.bin"));
    Deliver(Msg(6, 0, 0));  // the server's end comes after the viewer gave up
    ExpectInStep();
  }
}

TEST_F(FileTransferFixture, NoFreeSpaceRefusesTheFile) {
  transfer->freeBytes = 1000 * 1024;  // 1000 KB free for a file of 2,000,000 bytes
  ASSERT_TRUE(transfer->StartDownloads({"big", "small"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\big", 2000000));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, 4);
  EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);
  EXPECT_EQ(sent[1].type, 3);  // the next selected file is asked for
  EXPECT_EQ(sent[1].Body(), "C:\\remote\\small");
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Insufficient free space on Local Drive for < " + Local("big") + " >"))
      << transfer->Statuses();
  // A file of more than 4 GiB is measured by its whole size.
  transfer->freeBytes = 3ull << 30;
  Deliver(FileHeader("C:\\remote\\small", 0x100000, 1));
  sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);
  EXPECT_TRUE(LocalNames().empty());
}

TEST_F(FileTransferFixture, VersionOneAcknowledgesEveryEleventhPacket) {
  Deliver(Msg(7, 0, 0));  // an old server
  ViewerSent();
  const Bytes data = TextData(23 * 100);
  ASSERT_TRUE(transfer->StartDownloads({"v1.txt"}));
  ViewerSent();
  Deliver(FileHeader("C:\\remote\\v1.txt", static_cast<std::uint32_t>(data.size()), 0, 1));
  auto sent = SentByViewer(1);
  ASSERT_EQ(sent.size(), 1u);  // no checksums in version 1
  EXPECT_EQ(sent[0].type, 4);
  for (int i = 0; i < 22; i++) Deliver(Msg(5, 0, 0, Slice(data, 100 * i, 100)));
  sent = SentByViewer(1);
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0].type, 5);
  EXPECT_EQ(sent[0].size, 0u);
  transfer->Stop(false);
  for (int i = 0; i < 11; i++) Deliver(Msg(5, 0, 0, Bytes(1, 'z')));
  sent = SentByViewer(1);
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].size, 0xFFFFFFFFu);  // stop
  Deliver(Msg(6, 0, 0));
}

// ---------------------------------------------------------------------------------------
// Uploads

Bytes Reassemble(const std::vector<Sent>& packets, const Bytes& serverCopy) {
  Bytes out;
  for (const Sent& m : packets) {
    if (m.type != 5) continue;
    if (m.size == 2)
      out.insert(out.end(), serverCopy.begin() + static_cast<long>(out.size()),
                 serverCopy.begin() + static_cast<long>(out.size() + m.length));
    else if (m.size == 1) {
      Bytes plain = Inflate(m.body, kBlock + 1024);
      out.insert(out.end(), plain.begin(), plain.end());
    } else
      out.insert(out.end(), m.body.begin(), m.body.end());
  }
  return out;
}

TEST_F(FileTransferFixture, UploadOfOneFileCompressedWhereThatHelps) {
  const Bytes data = Cat({TextData(kBlock), Noise(kBlock), TextData(1000)});
  WriteLocal("up.txt", data);
  ZipFileStat st;
  ASSERT_TRUE(ZipSystemFileSystem().Stat(Local("up.txt").c_str(), &st));
  ASSERT_TRUE(transfer->StartUploads({"up.txt"}));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 8);
  EXPECT_EQ(sent[0].size, data.size());
  EXPECT_EQ(sent[0].Body(), "C:\\remote\\up.txt," + ft::FormatDateText(ft::SecondsToDateFields(st.mtime)));
  EXPECT_EQ(sent[0].extra, (Bytes{0, 0, 0, 0}));
  EXPECT_EQ(transfer->sendTimeouts, (std::vector<int>{-1}));

  Deliver(Msg(9, 0, 0, Text("C:\\remote\\up.txt")));
  EXPECT_EQ(transfer->timerStarts, 1);
  EXPECT_TRUE(transfer->UploadRunning());
  transfer->UploadTimerTick();
  sent = SentByViewer();
  std::vector<std::pair<int, int>> kinds;
  for (const Sent& m : sent) kinds.emplace_back(m.type, m.size);
  // Text compressed, noise raw (compressing makes it larger), the end, then the remote
  // folder listed again.
  EXPECT_EQ(kinds, (std::vector<std::pair<int, int>>{{5, 1}, {5, 0}, {5, 1}, {6, 0}, {1, 0}}));
  EXPECT_EQ(Reassemble(sent, {}), data);
  EXPECT_EQ(sent.back().Body(), "C:\\remote\\");
  EXPECT_TRUE(transfer->HasStatus(" File < " + Local("up.txt") + " > successfully SENT...")) << transfer->Statuses();
  EXPECT_TRUE(transfer->HasStatus(" Sending File < " + Local("up.txt") + " > (16.97 Kb) >>>")) << transfer->Statuses();
  EXPECT_EQ(transfer->batches, (std::vector<std::pair<bool, bool>>{{true, false}}));
  EXPECT_EQ(transfer->timerStops, 1);
  EXPECT_EQ(transfer->sendTimeouts.back(), 0);
  EXPECT_FALSE(transfer->Transferring());
  EXPECT_TRUE(transfer->sleeps.size() == 1 && transfer->sleeps[0] == 1000);  // no pause while the window shows
}

TEST_F(FileTransferFixture, UploadSkipsTheBlocksTheServerHas) {
  const Bytes data = Noise(3 * kBlock + 10, 7);
  WriteLocal("r.bin", data);
  struct Case {
    const char* name;
    std::vector<std::uint32_t> sums;
    std::vector<int> kinds;  // size field of each packet
  } cases[] = {
      {"first and last match", {Adler(data.data(), kBlock), 1234, Adler(data.data() + 2 * kBlock, kBlock)}, {2, 0, 2, 0}},
      {"a zero entry stops the reuse", {Adler(data.data(), kBlock), 0, Adler(data.data() + 2 * kBlock, kBlock)}, {2, 0, 0, 0}},
      {"a list that ends early", {Adler(data.data(), kBlock)}, {2, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    transfer->SetLocalFolder(Local(""));
    transfer->SetRemoteFolder(kRemote);
    ASSERT_TRUE(transfer->StartUploads({"r.bin"}));
    ViewerSent();
    Bytes list;
    for (std::uint32_t v : c.sums) list = Cat({list, sessiontest::U32LE(v)});
    Deliver(Cat({Msg(12, 0, 0, list), Msg(9, 0, 0, Text("C:\\remote\\r.bin"))}), 2);
    transfer->UploadTimerTick();
    const auto sent = SentByViewer();
    std::vector<int> kinds;
    for (const Sent& m : sent)
      if (m.type == 5) kinds.push_back(static_cast<int>(m.size));
    EXPECT_EQ(kinds, c.kinds);
    EXPECT_EQ(Reassemble(sent, data), data);
    for (const Sent& m : sent) {
      if (m.type == 5 && m.size == 2) {
        EXPECT_TRUE(m.body.empty() && m.length == kBlock);
      }
    }
  }
}

TEST_F(FileTransferFixture, EmptyFileIsAnOfferAndAnEnd) {
  WriteLocal("empty", {});
  ASSERT_TRUE(transfer->StartUploads({"empty"}));
  Deliver(Msg(9, 0, 0, Text("C:\\remote\\empty")));
  transfer->UploadTimerTick();
  std::vector<int> types;
  for (const Sent& m : SentByViewer()) types.push_back(m.type);
  EXPECT_EQ(types, (std::vector<int>{8, 6, 1}));
}

TEST_F(FileTransferFixture, RefusedAndUnreadableFilesTakeTheNextOne) {
  WriteLocal("one", TextData(10));
  WriteLocal("two", TextData(20));
  ASSERT_TRUE(transfer->StartUploads({"missing", "one", "two"}));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Body().substr(0, 14), "C:\\remote\\one,");
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Access problem with file < " + Local("missing") + " >")) << transfer->Statuses();
  Deliver(Msg(9, 0, 0xFFFFFFFF, Text("C:\\remote\\!ZELKPFT-one")));
  EXPECT_TRUE(transfer->HasStatus(" ERROR: File < C:\\remote\\one > cannot be created on Remote Machine"))
      << transfer->Statuses();
  EXPECT_TRUE(transfer->HasStatus(" ERROR: -> This file < C:\\remote\\one > may be locked or the remote disk space insufficient"));
  sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 8);
  EXPECT_EQ(sent[0].Body().substr(0, 14), "C:\\remote\\two,");
  // The server aborts this one before accepting it.
  Deliver(Msg(7, 0, 0));
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Transfer of File < " + Local("two") + " > failed on Local Machine. Canceled"));
  EXPECT_FALSE(transfer->Transferring());
}

TEST_F(FileTransferFixture, StopDuringAnUploadSendsAnAbort) {
  WriteLocal("s.bin", Noise(3 * kBlock));
  ASSERT_TRUE(transfer->StartUploads({"s.bin"}));
  Deliver(Msg(9, 0, 0, Text("C:\\remote\\s.bin")));
  ViewerSent();
  transfer->Stop(false);
  transfer->UploadTimerTick();
  std::vector<int> types;
  for (const Sent& m : SentByViewer()) types.push_back(m.type);
  EXPECT_EQ(types, (std::vector<int>{5, 7, 1}));  // one block, the abort, the listing
  EXPECT_TRUE(transfer->HasStatus("Transfer interrupted by user"));
}

TEST_F(FileTransferFixture, MinimisedWindowYieldsBetweenBlocks) {
  WriteLocal("m.bin", Noise(2 * kBlock));
  transfer->minimised = true;
  ASSERT_TRUE(transfer->StartUploads({"m.bin"}));
  Deliver(Msg(9, 0, 0, Text("C:\\remote\\m.bin")));
  transfer->UploadTimerTick();
  EXPECT_EQ(transfer->sleeps, (std::vector<int>{50, 50, 1000}));
}

TEST_F(FileTransferFixture, VersionOneUploadHasNoHighPartAndNoCompression) {
  Deliver(Msg(7, 0, 0));
  ViewerSent();
  const Bytes data = TextData(5000);
  WriteLocal("t.txt", data);
  ASSERT_TRUE(transfer->StartUploads({"t.txt"}));
  Deliver(Msg(9, 0, 0, Text("C:\\remote\\t.txt")));
  transfer->UploadTimerTick();
  const auto sent = SentByViewer(1);
  std::vector<std::pair<int, int>> kinds;
  for (const Sent& m : sent) kinds.emplace_back(m.type, m.size);
  EXPECT_EQ(kinds, (std::vector<std::pair<int, int>>{{8, 5000}, {5, 0}, {5, 0}, {6, 0}, {1, 0}}));
  EXPECT_TRUE(sent[0].extra.empty());
  EXPECT_EQ(Reassemble(sent, {}), data);
}

// ---------------------------------------------------------------------------------------
// Commands

TEST_F(FileTransferFixture, FolderCommandsAndTheirReplies) {
  ASSERT_TRUE(transfer->CreateRemoteFolder("new"));
  ASSERT_TRUE(transfer->DeleteRemote({"a.txt", "[ d ]", "[ .. ]"}));
  ASSERT_TRUE(transfer->RenameRemote("[ d ]", "e"));
  EXPECT_FALSE(transfer->RenameRemote("a.txt", "x*y"));
  EXPECT_FALSE(transfer->RenameRemote("a.txt", ""));
  EXPECT_FALSE(transfer->CreateRemoteFolder(std::string(240, 'n')));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(std::make_pair(int(sent[0].type), int(sent[0].param)), std::make_pair(10, 1));
  EXPECT_EQ(sent[0].Body(), "C:\\remote\\new");
  EXPECT_EQ(sent[1].param, 4);
  EXPECT_EQ(sent[1].Body(), "C:\\remote\\a.txt");
  EXPECT_EQ(sent[2].Body(), "C:\\remote\\d");
  EXPECT_EQ(sent[3].param, 5);
  EXPECT_EQ(sent[3].Body(), "C:\\remote\\d*C:\\remote\\e");

  Deliver(Msg(11, 4, 0, Text("C:\\remote\\new")));
  EXPECT_TRUE(transfer->HasStatus("Folder < C:\\remote\\new > has been created on the Remote Machine"));
  EXPECT_EQ(SentByViewer().at(0).type, 1);  // listed again
  Deliver(Msg(11, 7, 0xFFFFFFFF, Text("C:\\remote\\d")));
  EXPECT_TRUE(transfer->HasStatus("Unable to delete the folder < C:\\remote\\d > on the Remote Machine"));
  EXPECT_TRUE(SentByViewer().empty());  // one deletion still outstanding
  Deliver(Msg(11, 7, 0, Text("C:\\remote\\a.txt")));
  EXPECT_TRUE(transfer->HasStatus("File < C:\\remote\\a.txt > has been deleted on the Remote Machine"));
  EXPECT_EQ(SentByViewer().size(), 1u);
  Deliver(Msg(11, 8, 0, Text("C:\\remote\\d*C:\\remote\\e")));
  EXPECT_TRUE(transfer->HasStatus(" Renamed REMOTE < C:\\remote\\d > to < C:\\remote\\e >")) << transfer->Statuses();
  Deliver(Msg(11, 8, 0xFFFFFFFF, Text("nothing")));
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Rename failed for  < selected file > on the Remote Machine"));
  // Rename replies outside 1 to 520 bytes, and other parameters, are skipped in step.
  Deliver(Cat({Msg(11, 8, 0, Bytes(521, 'x')), Msg(11, 8, 0), Msg(11, 99, 0, Bytes(30, 'y'))}), 3);
  Deliver(Msg(11, 4, 0, Bytes(5000, 'p')));  // a long path: its first 260 characters shown
  ExpectInStep();
}

TEST_F(FileTransferFixture, SessionStartAndEndOnlyInVersionThree) {
  transfer->SendSessionEnd();
  EXPECT_TRUE(SentByViewer().empty());
  Deliver(Cat({Msg(17, 3, 0), Msg(14, 0, 0)}), 2);
  ViewerSent();
  transfer->SendSessionEnd();
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 16);
  session->m_running = false;
  transfer->SendSessionEnd();
  EXPECT_TRUE(SentByViewer().empty());
}

// ---------------------------------------------------------------------------------------
// Folders as ZIP archives

// A ZIP archive of stored entries, written here from the format (not with the project's
// archiver): local headers, the central directory and its end record.
Bytes StoredZip(const std::vector<std::pair<std::string, Bytes>>& entries) {
  auto le16 = [](Bytes& b, std::uint32_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
  };
  auto le32 = [&](Bytes& b, std::uint32_t v) {
    le16(b, v & 0xFFFF);
    le16(b, v >> 16);
  };
  Bytes out, central;
  for (const auto& e : entries) {
    const std::uint32_t crc = static_cast<std::uint32_t>(
        crc32(crc32(0, nullptr, 0), e.second.data(), static_cast<uInt>(e.second.size())));
    const std::uint32_t offset = static_cast<std::uint32_t>(out.size());
    const std::uint32_t size = static_cast<std::uint32_t>(e.second.size());
    const std::uint32_t nameLen = static_cast<std::uint32_t>(e.first.size());
    le32(out, 0x04034b50);
    le16(out, 10), le16(out, 0), le16(out, 0), le16(out, 0), le16(out, 0x5821);
    le32(out, crc), le32(out, size), le32(out, size);
    le16(out, nameLen), le16(out, 0);
    out.insert(out.end(), e.first.begin(), e.first.end());
    out.insert(out.end(), e.second.begin(), e.second.end());
    le32(central, 0x02014b50);
    le16(central, 20), le16(central, 10), le16(central, 0), le16(central, 0), le16(central, 0), le16(central, 0x5821);
    le32(central, crc), le32(central, size), le32(central, size);
    le16(central, nameLen), le16(central, 0), le16(central, 0), le16(central, 0), le16(central, 0);
    le32(central, 0), le32(central, offset);
    central.insert(central.end(), e.first.begin(), e.first.end());
  }
  const std::uint32_t cdOffset = static_cast<std::uint32_t>(out.size());
  out.insert(out.end(), central.begin(), central.end());
  le32(out, 0x06054b50);
  le16(out, 0), le16(out, 0);
  le16(out, static_cast<std::uint32_t>(entries.size())), le16(out, static_cast<std::uint32_t>(entries.size()));
  le32(out, static_cast<std::uint32_t>(central.size())), le32(out, cdOffset);
  le16(out, 0);
  return out;
}

TEST_F(FileTransferFixture, FolderUploadSendsOneArchiveOfItsFilesAndDeletesIt) {
  stdfs::create_directories(dir / "tree" / "sub" / "deeper");
  const Bytes a = TextData(3 * kBlock + 77), b = Noise(5000), c = TextData(10);
  WriteLocal("tree/a.txt", a);
  WriteLocal("tree/sub/b.bin", b);
  WriteLocal("tree/sub/deeper/noext", c);
  stdfs::create_directories(dir / "tmp");
  transfer->tempFolder = Local("tmp") + static_cast<char>(stdfs::path::preferred_separator);
  ASSERT_TRUE(transfer->StartUploads({"[ tree ]"}));
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].type, 8);
  EXPECT_EQ(sent[0].Body().substr(0, 28), "C:\\remote\\!ZELKDIR-tree.zip,");
  EXPECT_TRUE(transfer->HasStatus(" Compressing Local Folder < " + Local("tree") + " > for transfer. Please Wait..."))
      << transfer->Statuses();
  EXPECT_TRUE(transfer->HasStatus(" Local Folder < " + Local("tree") + " > successfully compressed."));
  const std::string archive = transfer->tempFolder + "!ZELKDIR-tree.zip";
  ASSERT_TRUE(stdfs::exists(archive));

  Deliver(Msg(9, 0, 0, Text("C:\\remote\\!ZELKDIR-tree.zip")));
  transfer->UploadTimerTick();
  sent = SentByViewer();
  const Bytes zip = Reassemble(sent, {});
  EXPECT_FALSE(stdfs::exists(archive)) << "the archive is deleted once sent";
  EXPECT_TRUE(transfer->HasStatus(" Local Folder < tree > successfully SENT.")) << transfer->Statuses();

  // What was sent unpacks (into another folder) to the same files.
  WriteLocal("got.zip", zip);
  CZipUnZip32 unzip;
  ASSERT_TRUE(unzip.UnzipToFolder(Local("out"), Local("got.zip")));
  EXPECT_EQ(ReadLocal("out/a.txt"), a);
  EXPECT_EQ(ReadLocal("out/sub/b.bin"), b);
  EXPECT_EQ(ReadLocal("out/sub/deeper/noext"), c);

  // The server's next listing tells the folder arrived.
  Deliver(Msg(2, 1, 0, Text("C:\\remote\\")));
  EXPECT_TRUE(transfer->HasStatus("Folder unzipped."));
  ExpectInStep();
}

TEST_F(FileTransferFixture, FolderEntriesThatCannotBePacked) {
  transfer->tempFolder = Local("");
  // A folder that does not exist fails its packing and the batch goes on.
  WriteLocal("plain", TextData(5));
  ASSERT_TRUE(transfer->StartUploads({"[ nothere ]", "plain"}));
  EXPECT_TRUE(transfer->HasStatus(" ERROR during compression of Local Folder ( some files are protected) < " +
                                  Local("nothere") + " >. Transfer Aborted."))
      << transfer->Statuses();
  auto sent = SentByViewer();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].Body().substr(0, 15), "C:\\remote\\plain");
  Deliver(Msg(9, 0, 0xFFFFFFFF, Text("C:\\remote\\plain")));
  ViewerSent();

  // A folder whose name and parent come to 247 characters is taken for a plain file,
  // which cannot be read; one character less is still packed (and fails, missing).
  const std::string name(247 - Local("").size(), 'n');
  ASSERT_TRUE(transfer->StartUploads({"[ " + name + " ]"}));
  EXPECT_TRUE(transfer->HasStatus(" ERROR: Access problem with file < " + Local("[ " + name + " ]") + " >"))
      << transfer->Statuses();
  const std::string shorter = name.substr(1);
  ASSERT_TRUE(transfer->StartUploads({"[ " + shorter + " ]"}));
  EXPECT_TRUE(transfer->HasStatus(" ERROR during compression of Local Folder ( some files are protected) < " +
                                  Local(shorter) + " >. Transfer Aborted."))
      << transfer->Statuses();
}

TEST_F(FileTransferFixture, FolderDownloadUnpacksTheArchiveInsideTheLocalFolder) {
  const Bytes one = TextData(2 * kBlock + 5), two = Noise(300);
  stdfs::create_directories(dir / "tree");
  WriteLocal("tree/one.txt", TextData(7, 3));  // overwritten without asking
  struct Case {
    const char* name;
    std::string archiveName;
    std::vector<std::pair<std::string, Bytes>> entries;
    std::vector<std::pair<std::string, Bytes>> expect;  // local files afterwards
    std::vector<std::string> absent;
    bool unpacked;
    bool prefixed = false;  // bytes before the archive: the extractor warns and goes on
  } cases[] = {
      {"a folder", "!ZELKDIR-tree.zip", {{"one.txt", one}, {"sub/two.bin", two}},
       {{"tree/one.txt", one}, {"tree/sub/two.bin", two}}, {"!ZELKDIR-tree.zip"}, true},
      {"entries that climb stay inside", "!ZELKDIR-up.zip", {{"../../escape.txt", two}, {"ok.txt", one}},
       {{"up/escape.txt", two}, {"up/ok.txt", one}}, {"escape.txt", "../escape.txt", "!ZELKDIR-up.zip"}, true},
      {"a folder name of dots is refused", "!ZELKDIR-...zip", {{"dots.txt", two}}, {}, {"dots.txt", "../dots.txt",
       "!ZELKDIR-...zip"}, false},
      {"without the marker it is a file", "plain.zip", {{"x.txt", two}}, {}, {"x.txt", "plain"}, false},
      {"an archive with a warning is unpacked", "!ZELKDIR-pre.zip", {{"p.txt", two}}, {{"pre/p.txt", two}},
       {"!ZELKDIR-pre.zip"}, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    transfer.reset(new TestTransfer(*session, ZipSystemFileSystem()));
    transfer->SetLocalFolder(Local(""));
    transfer->SetRemoteFolder(kRemote);
    ViewerSent();  // the previous case's answers
    const Bytes zip = c.prefixed ? Cat({TextData(100), StoredZip(c.entries)}) : StoredZip(c.entries);
    ASSERT_TRUE(transfer->StartDownloads({"[ folder ]"}));
    auto sent = SentByViewer();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].Body(), "C:\\remote\\[ folder ]");
    Bytes packets;
    for (std::size_t at = 0; at < zip.size(); at += kBlock)
      packets = Cat({packets, Msg(5, 0, 0, Slice(zip, at, kBlock))});
    const int count = static_cast<int>((zip.size() + kBlock - 1) / kBlock);
    Deliver(Cat({FileHeader(kRemote + c.archiveName, static_cast<std::uint32_t>(zip.size())), packets, Msg(6, 0, 0)}),
            count + 2);
    for (const auto& f : c.expect) EXPECT_EQ(ReadLocal(f.first), f.second) << f.first;
    for (const auto& f : c.absent) EXPECT_FALSE(LocalExists(f)) << f;
    if (c.unpacked) {
      EXPECT_TRUE(transfer->HasStatus(" Remote Folder < " + ft::FolderNameOfArchive(c.archiveName) +
                                      " > successfully RECEIVED..."))
          << transfer->Statuses();
    } else if (ft::StartsWith(c.archiveName, ft::kFolderMarker)) {
      EXPECT_TRUE(transfer->HasStatus(" ERROR during decompression of received Remote Folder < .. >. Aborted."))
          << transfer->Statuses();
    } else {
      EXPECT_EQ(ReadLocal(c.archiveName), zip);
    }
    ExpectInStep();
  }
}

}  // namespace
