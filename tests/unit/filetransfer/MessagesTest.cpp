// The file-transfer messages and their small pieces: the header's byte order, how many
// body bytes each incoming message carries, directory entries and drive lists as the
// server sends them (with every length bounded), size and date texts, progress, block
// checksums and compression, and the checks on names that come from the server.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "filetransfer/FileTransferMessages.h"
#include "tests/support/ZipMemoryFileSystem.h"

using namespace ft;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(const FileTransferMsgHeader& h) {
  Bytes b(FileTransferMsgHeader::kWireSize);
  h.Encode(b.data());
  return b;
}

FileTransferMsgHeader Header(std::uint8_t type, std::uint16_t param, std::uint32_t size, std::uint32_t length) {
  FileTransferMsgHeader h;
  h.contentType = type;
  h.contentParam = param;
  h.size = size;
  h.length = length;
  return h;
}

TEST(FileTransferHeader, ParameterTravelsLowByteFirstAndTheCountsBigEndian) {
  EXPECT_EQ(Encode(Header(1, 1, 0, 0)), (Bytes{7, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(Header(1, 2, 0, 0)), (Bytes{7, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(Header(7, 3, 0, 0)), (Bytes{7, 7, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Encode(Header(8, 0x1234, 0x01020304, 0xA0B0C0D0)),
            (Bytes{7, 8, 0x34, 0x12, 1, 2, 3, 4, 0xA0, 0xB0, 0xC0, 0xD0}));

  const std::uint8_t wire[12] = {7, 2, 0, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 1, 0};
  const FileTransferMsgHeader h = FileTransferMsgHeader::Decode(wire);
  EXPECT_EQ(h.contentType, 2);
  EXPECT_EQ(h.contentParam, 256);  // 00 01 is 256, not 1
  EXPECT_TRUE(h.SizeFailed());
  EXPECT_EQ(h.length, 256u);
}

TEST(FileTransferHeader, BodyLengthOfEachIncomingMessage) {
  struct Case {
    std::uint8_t type;
    std::uint32_t size, length;
    int version;
    std::uint64_t body;
  } cases[] = {
      {kDirPacket, 0, 320, 2, 320},
      {kFileHeader, 100, 20, 2, 24},  // the size's high part follows the name
      {kFileHeader, 100, 20, 1, 20},  // not in version 1
      {kFilePacket, 0, 8192, 2, 8192},
      {kFilePacket, 1, 500, 2, 500},
      {kFilePacket, 2, 8192, 2, 0},  // a block unchanged: length is the block's, no body
      {kEndOfFile, 0, 0, 2, 0},
      {kFileAcceptHeader, 0, 12, 2, 12},
      {kCommandReturn, 0, 30, 3, 30},
      {kFileChecksums, 0, 16, 2, 16},
      {kFileTransferAccess, 0, 0, 2, 0},
      // Types a server does not send: nothing beyond the header is read.
      {kDirContentRequest, 0, 99, 2, 0},
      {kFileTransferRequest, 0, 99, 2, 0},
      {kFileTransferOffer, 0, 99, 2, 0},
      {kCommand, 0, 99, 2, 0},
      {13, 0, 99, 2, 0},
      {kFileTransferSessionStart, 0, 99, 2, 0},
      {kFileTransferSessionEnd, 0, 99, 2, 0},
      {18, 0, 99, 2, 0},
      {255, 0, 99, 2, 0},
  };
  for (const Case& c : cases)
    EXPECT_EQ(IncomingBodyLength(Header(c.type, 0, c.size, c.length), c.version), c.body) << int(c.type);
}

TEST(FileTransferListing, FindDataRecordAsTheServerWritesIt) {
  RemoteEntry in;
  in.attributes = 0x10;
  in.writeTime = 133000000000000000ull;
  in.size = 0x123456789ull;
  in.name = "Folder name";
  in.shortName = "FOLDER~1";
  const Bytes rec = EncodeFindData(in);
  ASSERT_EQ(rec.size(), kFindDataSize);
  EXPECT_EQ(rec[28], 1);  // size high, little-endian
  EXPECT_EQ(rec[32], 0x89);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&rec[44])), "Folder name");

  RemoteEntry out;
  ASSERT_TRUE(ParseFindData(rec.data(), rec.size(), &out));
  EXPECT_TRUE(out.IsDirectory());
  EXPECT_EQ(out.writeTime, in.writeTime);
  EXPECT_EQ(out.size, in.size);
  EXPECT_EQ(out.name, "Folder name");
  EXPECT_EQ(out.shortName, "FOLDER~1");
}

TEST(FileTransferListing, EveryLengthOfAnEntryIsBounded) {
  // A name without its terminator is cut at 259 characters.
  Bytes rec(kFindDataSize, 'A');
  RemoteEntry e;
  ASSERT_TRUE(ParseFindData(rec.data(), rec.size(), &e));
  EXPECT_EQ(e.name.size(), 259u);
  EXPECT_EQ(e.shortName.size(), 13u);

  // A short body is the record with its missing bytes zero.
  Bytes shortRec = {0x20, 0, 0, 0};
  ASSERT_TRUE(ParseFindData(shortRec.data(), shortRec.size(), &e));
  EXPECT_EQ(e.attributes, 0x20u);
  EXPECT_EQ(e.name, "");

  // Up to 323 bytes are taken; a longer body is not.
  Bytes big(kMaxDirEntryBody, 0);
  EXPECT_TRUE(ParseFindData(big.data(), big.size(), &e));
  big.push_back(0);
  e.name = "kept";
  EXPECT_FALSE(ParseFindData(big.data(), big.size(), &e));
  EXPECT_EQ(e.name, "kept");
}

TEST(FileTransferListing, DriveListTakesLetterAndColonEntriesOnly) {
  const std::string body = std::string("C:l\0D:c\0", 8) + std::string("\\:l\0", 4) + std::string("E;n\0", 4) +
                           std::string("Z:n\0", 4) + "F:";  // the last two bytes are no entry
  const auto drives = ParseDriveList(reinterpret_cast<const std::uint8_t*>(body.data()), body.size());
  ASSERT_EQ(drives.size(), 3u);
  EXPECT_EQ(drives[0].drive, "C:");
  EXPECT_EQ(drives[0].type, 'l');
  EXPECT_EQ(drives[1].drive, "D:");
  EXPECT_EQ(drives[1].type, 'c');
  EXPECT_EQ(drives[2].drive, "Z:");
}

TEST(FileTransferTexts, SizesWithTheirUnitsAndBack) {
  struct Case {
    std::uint64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 bytes"},
      {1024, "1024 bytes"},
      {1025, "1.00 Kb"},
      {1536, "1.50 Kb"},
      {1048575, "1023.99 Kb"},  // hundredths cut, not rounded
      {1048576, "1024.00 Kb"},
      {1048577, "1.00 Mb"},
      {5 * 1048576 + 786432, "5.75 Mb"},
      {4294967295ull, "3.99 Gb"},
      {5ull << 40, "5120.00 Gb"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatSizeText(c.bytes), c.text);
    const long long back = SizeTextToBytes(c.text);
    // Read back to the hundredth of the unit.
    EXPECT_LE(back, static_cast<long long>(c.bytes)) << c.text;
    EXPECT_GT(back + static_cast<long long>(c.bytes / 100) + 1, static_cast<long long>(c.bytes)) << c.text;
  }
  EXPECT_EQ(SizeTextToBytes("Folder"), -1);
  EXPECT_EQ(SizeTextToBytes("1.50 Tb"), -1);
}

TEST(FileTransferTexts, DatesAsTheOfferWritesThem) {
  DateFields d;
  ASSERT_TRUE(ParseDateText("01/02/2024 03:04", &d));
  EXPECT_EQ(d.month, 1);
  EXPECT_EQ(d.day, 2);
  EXPECT_EQ(d.year, 2024);
  EXPECT_EQ(FormatDateText(d), "01/02/2024 03:04");
  EXPECT_EQ(DateFieldsToSeconds(d), 1704164640);
  EXPECT_EQ(FormatDateText(SecondsToDateFields(1704164640 + 59)), "01/02/2024 03:04");
  // 2024-01-02 03:04 UTC as a FILETIME.
  EXPECT_EQ(FormatDateText(FileTimeToDateFields((1704164640ull + 11644473600ull) * 10000000ull)), "01/02/2024 03:04");
  for (const char* bad : {"13/01/2024 00:00", "01/32/2024 00:00", "01/01/2024 24:00", "01/01/2024 00:60",
                          "1/1/2024", "01/01/2024 00:00x", "", "aa/bb/cccc dd:ee"})
    EXPECT_FALSE(ParseDateText(bad, &d)) << bad;
}

TEST(FileTransferTexts, ProgressInBlocks) {
  EXPECT_EQ(ProgressPosition(0, 100000, 8192), 0u);
  EXPECT_EQ(ProgressPercent(8192 * 6, 8192 * 12, 8192), 50);
  EXPECT_EQ(ProgressPosition(8192 * 6, 8192 * 12, 8192), 4096u);
  EXPECT_EQ(ProgressPercent(100, 100, 8192), 0);  // a file under one block: the divisor 0 counts as 1
  EXPECT_EQ(ProgressPercent(8192, 100, 8192), 100);
}

TEST(FileTransferBlocks, ChecksumsOfEachBlockLittleEndian) {
  ZipMemoryFileSystem mem;
  Bytes data(8192 * 2 + 100);
  for (std::size_t i = 0; i < data.size(); i++) data[i] = static_cast<std::uint8_t>(i * 7 + i / 300);
  {
    auto f = mem.Open("f", ZipFileSystem::OpenMode::kCreate, nullptr);
    ASSERT_EQ(f->Write(data.data(), data.size()), static_cast<long>(data.size()));
    f->Close();
  }
  auto f = mem.Open("f", ZipFileSystem::OpenMode::kRead, nullptr);
  Bytes sums;
  ASSERT_TRUE(ComputeBlockChecksums(*f, 8192, &sums));
  ASSERT_EQ(sums.size(), 12u);
  const std::uint32_t last = BlockChecksum(data.data() + 16384, 100);
  EXPECT_EQ(sums[8], last & 0xFF);
  EXPECT_EQ(sums[11], last >> 24);
  std::uint32_t v = 0;
  ASSERT_TRUE(ChecksumAt(sums, 4, &v));
  EXPECT_EQ(v, BlockChecksum(data.data() + 8192, 8192));
  EXPECT_FALSE(ChecksumAt(sums, 9, &v));  // not wholly within the list
  EXPECT_FALSE(ChecksumAt(sums, 12, &v));
  EXPECT_EQ(BlockChecksum(nullptr, 0), 1u);  // adler32 of nothing
}

TEST(FileTransferBlocks, InflateNeverWritesPastItsBuffer) {
  Bytes plain(8192, 'x');
  Bytes packed(9216);
  const long n = CompressBlock(plain.data(), plain.size(), packed.data(), packed.size());
  ASSERT_GT(n, 0);
  Bytes out(9216);
  EXPECT_EQ(UncompressBlock(packed.data(), static_cast<std::size_t>(n), out.data(), out.size()), 8192);
  EXPECT_EQ(Bytes(out.begin(), out.begin() + 8192), plain);
  // A block that inflates beyond the buffer is refused, not cut or overrun.
  Bytes bomb(100000, 'x');
  Bytes bombPacked(2000);
  const long b = CompressBlock(bomb.data(), bomb.size(), bombPacked.data(), bombPacked.size());
  ASSERT_GT(b, 0);
  EXPECT_EQ(UncompressBlock(bombPacked.data(), static_cast<std::size_t>(b), out.data(), out.size()), -1);
  EXPECT_EQ(UncompressBlock(plain.data(), 100, out.data(), out.size()), -1);  // not zlib at all
}

TEST(FileTransferNames, OnlyOnePlainComponentBecomesALocalName) {
  for (const char* ok : {"a.txt", "report 2024.pdf", "!ZELKDIR-folder.zip", "name,with,commas", ".profile", "CONFIG",
                         "COM0", "COM10", "LPT\xB4", "COM\xB9x", "COM\xC2\xBC", "COMx\xB9"})
    EXPECT_TRUE(IsSafeLocalName(ok)) << ok;
  for (const char* bad : {"", ".", "..", "a\\b", "a/b", "..\\evil", "C:evil", "file.txt:stream", "CON", "con.txt",
                          "NUL", "COM1", "lpt9.log", "a.", "a ", "x*y", "x?y", "a<b", "a|b", "\x01name",
                          // superscript numbers, in the ANSI code page and in UTF-8
                          "COM\xB9", "LPT\xB3.txt", "com\xB2", "COM\xC2\xB9", "lpt\xC2\xB2.log", "com1 .txt"})
    EXPECT_FALSE(IsSafeLocalName(bad)) << bad;
  EXPECT_FALSE(IsSafeLocalName(std::string(260, 'a')));
  EXPECT_TRUE(IsSafeLocalName(std::string(259, 'a')));
}

TEST(FileTransferNames, MarkersSuffixesAndFolders) {
  EXPECT_EQ(StripTransferTag("!ZELKPFT-data.bin"), "data.bin");
  EXPECT_EQ(StripTransferTag("C:\\x\\!ZELKPFT-data.bin"), "C:\\x\\data.bin");
  EXPECT_EQ(StripTransferTag("data.bin"), "data.bin");
  EXPECT_EQ(FolderNameOfArchive("!ZELKDIR-photos.zip"), "photos");
  EXPECT_EQ(FolderNameOfArchive("!ZELKDIR-my.photos.zip"), "my.photos");
  EXPECT_EQ(FolderNameOfArchive("!ZELKDIR-a-b.zip"), "a-b");

  std::string name, time;
  SplitModTime("C:\\dir\\a.txt,12/31/2023 23:59", &name, &time);
  EXPECT_EQ(name, "C:\\dir\\a.txt");
  EXPECT_EQ(time, ",12/31/2023 23:59");
  SplitModTime("C:\\dir\\a,b.txt", &name, &time);  // a comma of the name stays in it
  EXPECT_EQ(name, "C:\\dir\\a,b.txt");
  EXPECT_EQ(time, "");

  EXPECT_EQ(RemoteLeafName("C:\\dir\\a.txt"), "a.txt");
  EXPECT_EQ(RemoteLeafName("C:\\dir\\"), "");
  EXPECT_EQ(RemoteLeafName("a.txt"), "");
  EXPECT_EQ(ParentFolder("C:\\a\\b\\"), "C:\\a\\");
  EXPECT_EQ(ParentFolder("C:\\a\\"), "C:\\");
  EXPECT_EQ(ParentFolder("C:\\"), "");
  EXPECT_TRUE(IsBracketed("[ sub ]"));
  EXPECT_FALSE(IsBracketed("[sub]"));
  EXPECT_EQ(Unbracketed("[ sub dir ]"), "sub dir");
  EXPECT_EQ(Unbracketed("plain"), "plain");
}

}  // namespace
