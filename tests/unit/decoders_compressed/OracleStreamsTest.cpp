// The scripted test server (tests/rfbserver, written independently of these decoders)
// serves a known image in each compressed encoding and pixel format; the test records the
// bytes it sends after the handshake and decodes them from memory. Lossless encodings must
// give the server's model of the viewer's framebuffer exactly, ZYWRLE within a PSNR bound.
#include "RfbTestClient.h"

#ifndef _WIN32

namespace {

struct Format {
  const char* name;
  PixelFormat pf;
};

PixelFormat Rgb888(bool bigEndian) {
  PixelFormat pf;
  pf.redShift = 16, pf.greenShift = 8, pf.blueShift = 0, pf.bigEndian = bigEndian;
  return pf;
}
PixelFormat Rgb565(bool bigEndian) {
  PixelFormat pf = Format16();
  pf.bigEndian = bigEndian;
  return pf;
}
PixelFormat Rgb555() {
  PixelFormat pf = Format16();
  pf.depth = 15, pf.greenMax = 31, pf.redShift = 10;
  return pf;
}

const Format kFormats[] = {
    {"bgr888", Format32()},  {"rgb888", Rgb888(false)}, {"rgb888be", Rgb888(true)}, {"rgb565", Rgb565(false)},
    {"rgb565be", Rgb565(true)}, {"rgb555", Rgb555()},   {"bgr233", Format8()},
};

struct Case {
  const char* name;
  const char* enc;
  std::int32_t number;
  const char* opts;
  const char* pattern;
  int quality;      // -1: no quality pseudo-encoding
  double minPsnr;   // 0: exact
  double minPsnr32; // at 32 bits per pixel (coefficients of 8 bits, not 5 or 6)
};

const Case kCases[] = {
    {"zlib", "zlib", rfbenc::kZlib, "{}", "demo", -1, 0, 0},
    {"zstd", "zstd", rfbenc::kZSTD, "{}", "mixed", -1, 0, 0},
    {"zlibhex", "zlibhex", rfbenc::kZlibHex, "{}", "mixed", -1, 0, 0},
    {"zlibhex_plain", "zlibhex", rfbenc::kZlibHex, "{\"mode\": \"plain\"}", "islands", -1, 0, 0},
    {"zlibhex_zraw", "zlibhex", rfbenc::kZlibHex, "{\"mode\": \"zraw\"}", "demo", -1, 0, 0},
    {"zlibhex_zhex", "zlibhex", rfbenc::kZlibHex, "{\"mode\": \"zhex\"}", "blocks", -1, 0, 0},
    {"zlibhex_rawz", "zlibhex", rfbenc::kZlibHex, "{\"mode\": \"raw+z\"}", "demo", -1, 0, 0},
    {"zstdhex", "zstdhex", rfbenc::kZstdHex, "{}", "demo", -1, 0, 0},
    {"zrle", "zrle", rfbenc::kZRLE, "{}", "demo", -1, 0, 0},
    {"zrle_raw", "zrle", rfbenc::kZRLE, "{\"mode\": \"raw\"}", "noise", -1, 0, 0},
    {"zrle_rle", "zrle", rfbenc::kZRLE, "{\"mode\": \"rle\"}", "blocks", -1, 0, 0},
    {"zrle_prle", "zrle", rfbenc::kZRLE, "{\"mode\": \"prle\"}", "islands", -1, 0, 0},
    {"zrle_packed", "zrle", rfbenc::kZRLE, "{\"mode\": \"packed\"}", "blocks", -1, 0, 0},
    {"zrle_junk", "zrle", rfbenc::kZRLE, "{\"junk\": 300}", "mixed", -1, 0, 0},
    {"zstdrle", "zstdrle", rfbenc::kZSTDRLE, "{}", "mixed", -1, 0, 0},
    {"xz", "xz", rfbenc::kXZ, "{}", "demo", -1, 0, 0},
    {"xz_extra", "xz", rfbenc::kXZ, "{\"extra\": 77}", "mixed", -1, 0, 0},
    {"zywrle_q8", "zywrle", rfbenc::kZYWRLE, "{}", "demo", 8, 30, 45},
    {"zywrle_q4", "zywrle", rfbenc::kZYWRLE, "{}", "demo", 4, 30, 44},
    {"zywrle_q2", "zywrle", rfbenc::kZYWRLE, "{}", "demo", 2, 30, 42},
    {"zywrle_default", "zywrle", rfbenc::kZYWRLE, "{}", "gradient", -1, 30, 50},
    {"zstdywrle_q4", "zstdywrle", rfbenc::kZSTDYWRLE, "{}", "mixed", 4, 30, 50},
    {"xzyw_q2", "xzyw", rfbenc::kXZYW, "{}", "demo", 2, 30, 42},
};

std::string SourceDir() {
  const char* s = std::getenv("KEB_SOURCE_DIR");
  return s ? s : ".";
}

struct View {
  int w = 0, h = 0;
  std::vector<std::uint8_t> rgb, known;
};

View ReadView(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  View v;
  f >> v.w >> v.h;
  f.get();
  v.rgb.resize(static_cast<std::size_t>(v.w) * v.h * 3);
  v.known.resize(static_cast<std::size_t>(v.w) * v.h);
  f.read(reinterpret_cast<char*>(v.rgb.data()), static_cast<std::streamsize>(v.rgb.size()));
  f.read(reinterpret_cast<char*>(v.known.data()), static_cast<std::streamsize>(v.known.size()));
  if (!f) v.w = v.h = 0;
  return v;
}

// Runs a scenario of decoder_streams.py, plays the client and returns the recorded bytes
// after the handshake, the framebuffer size and the server's model of the view.
struct Recording {
  std::vector<std::uint8_t> bytes;
  int width = 0, height = 0;
  View view;
};

Recording Record(const std::string& scenario, const std::vector<std::string>& params, const PixelFormat& pf,
                 const std::vector<std::int32_t>& encodings) {
  const std::string portFile = rfbtest::TempPath("keb-port"), out = rfbtest::TempPath("keb-view");
  std::vector<std::string> argv = {"/usr/bin/python3", SourceDir() + "/tests/rfbserver/rfbserver.py", "--scenario",
                                   "decoder_streams:" + scenario, "--port-file", portFile, "--quiet",
                                   "--timeout", "60", "--param", "out=" + out};
  for (const std::string& p : params) argv.insert(argv.end(), {"--param", p});
  rfbtest::Process server(argv);
  Recording rec;
  if (!server.Started()) throw std::runtime_error("cannot start the test server");
  const int port = rfbtest::WaitForPortFile(portFile);
  const int fd = port > 0 ? rfbtest::Connect(port) : -1;
  if (fd < 0) throw std::runtime_error("cannot reach the test server");
  {
    rdr::FdInStream in(fd, 30000);
    const rfbtest::ServerInit si = rfbtest::Handshake(fd, in);
    rec.width = si.width, rec.height = si.height;
    rfbtest::SendFormatAndEncodings(fd, pf, encodings);
    rfbtest::RequestUpdate(fd, false, si.width, si.height);
    rec.bytes = rfbtest::ReadToEnd(fd, in);
  }
  close(fd);
  const int status = server.WaitFor(30);
  std::remove(portFile.c_str());
  if (status != 0) throw std::runtime_error("test server ended with status " + std::to_string(status));
  rec.view = ReadView(out);
  std::remove(out.c_str());
  return rec;
}

class OracleStreams : public ::testing::TestWithParam<std::tuple<Case, Format>> {};

TEST_P(OracleStreams, DecodeToTheServersModel) {
  const Case& c = std::get<0>(GetParam());
  const Format& f = std::get<1>(GetParam());
  std::vector<std::int32_t> encodings = {c.number};
  if (c.quality >= 0) encodings.push_back(-32 + c.quality);
  const Recording rec =
      Record("encoding", {std::string("enc=") + c.enc, std::string("opts=") + c.opts, std::string("pattern=") + c.pattern},
             f.pf, encodings);
  ASSERT_EQ(rec.view.w, rec.width);
  CachedFramebuffer m(rec.width, rec.height, f.pf, false);
  DecoderState st(m);
  st.quality = c.quality;
  rdr::MemInStream in(rec.bytes.data(), rec.bytes.size());
  rfbtest::DecodeAll(st, in, rec.bytes.size());
  const std::vector<std::uint8_t> got = rfbtest::ToRgb(m);
  if (c.minPsnr > 0) {
    const double psnr = rfbtest::Psnr(got, rec.view.rgb);
    EXPECT_GE(psnr, f.pf.bitsPerPixel == 32 ? c.minPsnr32 : c.minPsnr);
    std::printf("%s %s: PSNR %.1f dB\n", c.name, f.name, psnr);
    return;
  }
  int bad = 0;
  for (std::size_t i = 0; i < rec.view.known.size(); i++) {
    ASSERT_TRUE(rec.view.known[i]);
    if (std::memcmp(&got[i * 3], &rec.view.rgb[i * 3], 3) != 0 && bad++ == 0)
      ADD_FAILURE() << "first difference at x=" << i % rec.width << " y=" << i / rec.width;
  }
  EXPECT_EQ(bad, 0);
}

INSTANTIATE_TEST_SUITE_P(Encodings, OracleStreams, ::testing::Combine(::testing::ValuesIn(kCases),
                                                                      ::testing::ValuesIn(kFormats)),
                         [](const auto& i) {
                           return std::string(std::get<0>(i.param).name) + "_" + std::get<1>(i.param).name;
                         });

// The cache and list encodings with the viewer's cache on: the reader saves each area
// before it is drawn, so that the server can swap earlier content back.
TEST(OracleCacheLists, DecodeToTheServersModel) {
  for (bool zstd : {false, true}) {
    SCOPED_TRACE(zstd ? "zstd" : "zlib");
    const PixelFormat pf = Format32();
    const Recording rec = Record("cache_lists", {std::string("zstd=") + (zstd ? "true" : "false")}, pf,
                                 {rfbenc::kRaw, zstd ? rfbenc::kZSTD : rfbenc::kZlib});
    CachedFramebuffer m(rec.width, rec.height, pf, true);
    DecoderState st(m);
    rdr::MemInStream in(rec.bytes.data(), rec.bytes.size());
    rfbtest::DecodeAll(st, in, rec.bytes.size());
    EXPECT_EQ(rfbtest::ToRgb(m), rec.view.rgb);
  }
}

}  // namespace

#endif  // _WIN32
