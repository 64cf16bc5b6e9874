#include "RecordedStreams.h"

#include <lzma.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "decoders/PixelFormat.h"
#include "decoders/RectHeader.h"
#include "rdr/FdInStream.h"
#include "tests/unit/decoders_compressed/RfbTestClient.h"

namespace bench {

namespace {

[[noreturn]] void Die(const std::string& what) {
  std::fprintf(stderr, "recording: %s\n", what.c_str());
  std::exit(1);
}

PixelFormat SessionFormat(int bpp) {
  PixelFormat pf;  // as the benchmark's framebuffers: red in the high bits
  pf.redShift = 16, pf.greenShift = 8, pf.blueShift = 0;
  if (bpp == 2) {
    pf.bitsPerPixel = 16, pf.depth = 16, pf.redMax = 31, pf.greenMax = 63, pf.blueMax = 31;
    pf.redShift = 11, pf.greenShift = 5, pf.blueShift = 0;
  } else if (bpp == 1) {
    pf.bitsPerPixel = 8, pf.depth = 8, pf.redMax = 7, pf.greenMax = 7, pf.blueMax = 3;
    pf.redShift = 0, pf.greenShift = 3, pf.blueShift = 6;
  }
  return pf;
}

std::string SelfDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string p(buf, static_cast<std::size_t>(n));
  return p.substr(0, p.rfind('/'));
}

void Put(std::vector<std::uint8_t>& b, const std::uint8_t* p, std::size_t n) { b.insert(b.end(), p, p + n); }
void Put32(std::vector<std::uint8_t>& b, std::uint32_t v) {
  const std::uint8_t x[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                             static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  Put(b, x, 4);
}
void Put16(std::vector<std::uint8_t>& b, unsigned v) {
  const std::uint8_t x[2] = {static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
  Put(b, x, 2);
}

// Inflates a block of a persistent stream completely.
std::vector<std::uint8_t> InflateAll(z_stream& z, const std::vector<std::uint8_t>& in) {
  std::vector<std::uint8_t> out;
  std::uint8_t buf[65536];
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  do {
    z.next_out = buf;
    z.avail_out = sizeof buf;
    const int rc = inflate(&z, Z_SYNC_FLUSH);
    if (rc != Z_OK && rc != Z_BUF_ERROR) Die("recorded zlib data do not inflate");
    out.insert(out.end(), buf, buf + (sizeof buf - z.avail_out));
  } while (z.avail_in > 0 || z.avail_out == 0);
  return out;
}

}  // namespace

Stream RecordFromLibVncServer(const std::vector<Image>& screens, const std::string& name, int encoding, int quality,
                              int bytesPerPixel) {
  const int w = screens[0].width, h = screens[0].height;
  const std::string frames = rfbtest::TempPath("keb-bench-frames");
  {
    std::ofstream f(frames, std::ios::binary);
    f << w << ' ' << h << ' ' << screens.size() << '\n';
    std::vector<std::uint8_t> row(static_cast<std::size_t>(w) * 4);
    for (const Image& im : screens)
      for (int y = 0; y < h; y++) {
        for (int x = 0; x < w; x++) {  // the 32-bit screens hold red << 16 | green << 8 | blue
          const std::uint32_t v = im.At(x, y);
          row[x * 4] = static_cast<std::uint8_t>(v >> 16), row[x * 4 + 1] = static_cast<std::uint8_t>(v >> 8);
          row[x * 4 + 2] = static_cast<std::uint8_t>(v), row[x * 4 + 3] = 0;
        }
        f.write(reinterpret_cast<const char*>(row.data()), static_cast<std::streamsize>(row.size()));
      }
  }
  const int port = 20000 + static_cast<int>(getpid() % 20000);
  rfbtest::Process server({SelfDir() + "/bench_vncserver_recorder", frames, std::to_string(port)});
  const int fd = rfbtest::Connect(port, 10);
  if (fd < 0) Die("libvncserver recorder not reachable");
  Stream s;
  s.name = name;
  z_stream z{};
  inflateInit(&z);
  try {
    rdr::FdInStream in(fd, 30000);
    const rfbtest::ServerInit si = rfbtest::Handshake(fd, in);
    std::vector<std::int32_t> encodings = {encoding};
    if (quality >= 0) encodings.push_back(-32 + quality);
    rfbtest::SendFormatAndEncodings(fd, SessionFormat(bytesPerPixel), encodings);
    rfbtest::RequestUpdate(fd, false, si.width, si.height);
    for (std::size_t u = 0; u < screens.size(); u++) {
      if (in.ReadU8() != 0) Die("unexpected server message");
      in.Skip(1);
      const unsigned n = in.ReadU16();
      s.bytes.insert(s.bytes.end(), {0, 0, static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)});
      for (unsigned i = 0; i < n; i++) {
        std::uint8_t head[12];
        in.ReadBytes(head, 12);
        Put(s.bytes, head, 12);
        const int rw = head[4] << 8 | head[5], rh = head[6] << 8 | head[7];
        const std::int32_t enc = static_cast<std::int32_t>(head[8] << 24 | head[9] << 16 | head[10] << 8 | head[11]);
        s.rects++;
        s.pixels += static_cast<std::uint64_t>(rw) * rh;
        std::vector<std::uint8_t> data;
        if (enc == rfbenc::kRaw) {
          data.resize(static_cast<std::size_t>(rw) * rh * bytesPerPixel);
          in.ReadBytes(data.data(), data.size());
          Put(s.bytes, data.data(), data.size());
          continue;
        }
        if (enc != encoding) Die("unexpected encoding " + std::to_string(enc));
        const std::uint32_t len = in.ReadU32();
        data.resize(len);
        in.ReadBytes(data.data(), len);
        Put32(s.bytes, len);
        Put(s.bytes, data.data(), len);
        Block b;
        b.kind = Block::Zlib;
        b.plainBytes = InflateAll(z, data).size();
        b.data = std::move(data);
        s.blocks.push_back(std::move(b));
      }
      if (u + 1 < screens.size()) rfbtest::RequestUpdate(fd, true, si.width, si.height);
    }
  } catch (const rdr::Exception& e) {
    Die(e.str());
  }
  inflateEnd(&z);
  close(fd);
  server.WaitFor(10);
  std::remove(frames.c_str());
  s.bytes.push_back(2);  // Bell: the end of the recording
  s.quality = quality;
  return s;
}

Stream Recompress(const Stream& recorded, const std::string& name, bool xz) {
  Stream s;
  s.name = name;
  z_stream z{};
  inflateInit(&z);
  ZSTD_CCtx* zc = ZSTD_createCCtx();
  lzma_stream xs = LZMA_STREAM_INIT;
  if (xz && lzma_easy_encoder(&xs, 6, LZMA_CHECK_CRC32) != LZMA_OK) Die("lzma_easy_encoder");
  const std::vector<std::uint8_t>& b = recorded.bytes;
  std::size_t p = 0, block = 0;
  while (b[p] == 0) {
    const unsigned n = b[p + 2] << 8 | b[p + 3];
    Put(s.bytes, &b[p], 4);
    p += 4;
    for (unsigned i = 0; i < n; i++) {
      const std::uint8_t* head = &b[p];
      const int rw = head[4] << 8 | head[5], rh = head[6] << 8 | head[7];
      const std::int32_t enc = static_cast<std::int32_t>(head[8] << 24 | head[9] << 16 | head[10] << 8 | head[11]);
      p += 12;
      s.rects++;
      s.pixels += static_cast<std::uint64_t>(rw) * rh;
      if (enc == rfbenc::kRaw) Die("raw rectangles cannot be recompressed");
      const std::uint32_t len = b[p] << 24 | b[p + 1] << 16 | b[p + 2] << 8 | b[p + 3];
      p += 4 + len;
      std::vector<std::uint8_t> plain = InflateAll(z, recorded.blocks[block++].data);
      Block out;
      if (xz) {
        std::vector<std::uint8_t> sub;  // one sub-rectangle: its header, then its tiles
        Put(sub, head, 8);
        sub.insert(sub.end(), plain.begin(), plain.end());
        out.kind = Block::Xz;
        out.data.resize(sub.size() + sub.size() / 2 + 4096);
        xs.next_in = sub.data();
        xs.avail_in = sub.size();
        xs.next_out = out.data.data();
        xs.avail_out = out.data.size();
        lzma_ret rc = LZMA_OK;
        while (rc == LZMA_OK && xs.avail_out > 0) rc = lzma_code(&xs, LZMA_SYNC_FLUSH);
        if (rc != LZMA_STREAM_END) Die("lzma_code");
        out.data.resize(out.data.size() - xs.avail_out);
        out.plainBytes = sub.size();
        Put16(s.bytes, 0), Put16(s.bytes, 1);  // one sub-rectangle
        Put16(s.bytes, static_cast<unsigned>(out.data.size() >> 16)), Put16(s.bytes, out.data.size() & 0xFFFF);
        Put32(s.bytes, static_cast<std::uint32_t>(enc == rfbenc::kZYWRLE ? rfbenc::kXZYW : rfbenc::kXZ));
      } else {
        out.kind = Block::Zstd;
        out.data.resize(ZSTD_compressBound(plain.size()) + 64);
        ZSTD_inBuffer ib = {plain.data(), plain.size(), 0};
        ZSTD_outBuffer ob = {out.data.data(), out.data.size(), 0};
        while (ZSTD_compressStream2(zc, &ob, &ib, ZSTD_e_flush) > 0) {
        }
        out.data.resize(ob.pos);
        out.plainBytes = plain.size();
        Put(s.bytes, head, 8);
        const std::int32_t to = enc == rfbenc::kZlib ? rfbenc::kZSTD : enc == rfbenc::kZRLE ? rfbenc::kZSTDRLE
                                                                                               : rfbenc::kZSTDYWRLE;
        Put32(s.bytes, static_cast<std::uint32_t>(to));
        Put32(s.bytes, static_cast<std::uint32_t>(out.data.size()));
      }
      Put(s.bytes, out.data.data(), out.data.size());
      s.blocks.push_back(std::move(out));
    }
  }
  s.bytes.push_back(2);
  s.quality = recorded.quality;
  s.libvncclient = false;
  inflateEnd(&z);
  ZSTD_freeCCtx(zc);
  lzma_end(&xs);
  return s;
}

}  // namespace bench
