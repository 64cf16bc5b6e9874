// The extractor's inflate against zlib's on the same deflate streams, and a whole test
// run (UnzipExtract with testOnly: inflate, CRC, archive reading) against Info-ZIP's
// `unzip -t` on the same archives made by `zip -6`. Megabytes (10^6 bytes) of output per
// second, one timed run each after one warm-up run.
//
//   bench_inflate [scratch folder]     (default: /tmp)
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "zip/Unzip.h"
#include "zip/UnzipInflate.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

// Text: words drawn from a small vocabulary with a skewed distribution, like prose or logs.
Bytes MakeText(std::size_t size) {
  static const char* const words[] = {"the", "of", "and", "a", "to", "in", "is", "viewer", "server", "frame",
                                      "buffer", "update", "rectangle", "pixel", "encoding", "connection",
                                      "2024-05-01", "13:32:20", "error", "width", "height", "=", "{", "}",
                                      "\n", "\n\t", "0x1F", "42", "window", "transfer"};
  std::mt19937 rng(7);
  std::geometric_distribution<int> pick(0.12);
  Bytes out;
  out.reserve(size);
  while (out.size() < size) {
    int i = pick(rng) % static_cast<int>(sizeof words / sizeof *words);
    const char* w = words[i];
    out.insert(out.end(), w, w + std::strlen(w));
    out.push_back(' ');
  }
  out.resize(size);
  return out;
}

// Binary: the system's own executables and libraries, as found.
Bytes MakeBinary(std::size_t size) {
  const char* files[] = {"/usr/lib/x86_64-linux-gnu/libstdc++.so.6", "/usr/bin/cmake", "/usr/lib/x86_64-linux-gnu/libc.so.6",
                         "/usr/bin/python3", "/usr/lib/x86_64-linux-gnu/libcrypto.so.3", "/proc/self/exe"};
  Bytes out;
  for (const char* f : files) {
    std::ifstream in(f, std::ios::binary);
    Bytes b((std::istreambuf_iterator<char>(in)), {});
    out.insert(out.end(), b.begin(), b.end());
    if (out.size() >= size) break;
  }
  while (out.size() < size && !out.empty()) out.insert(out.end(), out.begin(), out.begin() + std::min(out.size(), size - out.size()));
  out.resize(size);
  return out;
}

// Screen-like: runs of a few colours in 32-bit pixels, rows repeating with small changes.
Bytes MakePixels(std::size_t size) {
  std::mt19937 rng(3);
  Bytes out;
  out.reserve(size);
  std::uint32_t colours[4] = {0xFF202020, 0xFFE0E0E0, 0xFF3070C0, 0xFFFFFFFF};
  while (out.size() < size) {
    std::uint32_t c = colours[rng() % 4];
    unsigned run = 1 + rng() % 200;
    for (unsigned k = 0; k < run && out.size() + 4 <= size; k++)
      for (int b = 0; b < 4; b++) out.push_back(static_cast<std::uint8_t>(c >> (8 * b)));
    if (rng() % 50 == 0 && out.size() > 5120) {
      std::size_t back = 5120;
      std::size_t n = std::min<std::size_t>(5120, size - out.size());
      for (std::size_t i = 0; i < n; i++) out.push_back(out[out.size() - back]);
    }
  }
  out.resize(size);
  return out;
}

Bytes RawDeflate(const Bytes& in, int level) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&zs, static_cast<uLong>(in.size())));
  zs.next_in = const_cast<std::uint8_t*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

double OursMBps(const Bytes& packed, Bytes& out) {
  long n = 0;
  for (int rep = 0; rep < 2; rep++) {
    auto t0 = Clock::now();
    n = UnzipInflateBuffer(packed.data(), packed.size(), out.data(), out.size(), false);
    auto t1 = Clock::now();
    if (rep == 1) return n == static_cast<long>(out.size()) ? out.size() / Seconds(t0, t1) / 1e6 : -1;
  }
  return -1;
}

double ZlibMBps(const Bytes& packed, Bytes& out) {
  for (int rep = 0; rep < 2; rep++) {
    auto t0 = Clock::now();
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<std::uint8_t*>(packed.data());
    zs.avail_in = static_cast<uInt>(packed.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    int r = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    auto t1 = Clock::now();
    if (rep == 1) return r == Z_STREAM_END ? out.size() / Seconds(t0, t1) / 1e6 : -1;
  }
  return -1;
}

int Quiet(const char*, unsigned long) { return 0; }
int Always(char*) { return kUnzipReplaceAll; }

double OurTestMBps(const std::string& archive, std::size_t total) {
  UnzipOptions o{};
  o.testOnly = 1;
  o.quietLevel = 2;
  o.zipFileName = archive.c_str();
  UnzipCallbacks cb{};
  cb.print = Quiet;
  cb.replace = Always;
  double best = -1;
  for (int rep = 0; rep < 2; rep++) {
    auto t0 = Clock::now();
    int r = UnzipExtract(0, nullptr, 0, nullptr, &o, &cb);
    auto t1 = Clock::now();
    if (r != 0) return -1;
    best = total / Seconds(t0, t1) / 1e6;
  }
  return best;
}

double UnzipTestMBps(const std::string& archive, std::size_t total) {
  std::string cmd = "unzip -tqq '" + archive + "' > /dev/null 2>&1";
  double best = -1;
  for (int rep = 0; rep < 2; rep++) {
    auto t0 = Clock::now();
    int r = std::system(cmd.c_str());
    auto t1 = Clock::now();
    if (r != 0) return -1;
    best = total / Seconds(t0, t1) / 1e6;
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  std::string scratch = argc > 1 ? argv[1] : "/tmp";
  scratch += "/keb_inflate_bench";
  std::system(("rm -rf '" + scratch + "' && mkdir -p '" + scratch + "'").c_str());

  struct Corpus {
    const char* name;
    Bytes data;
  } corpora[] = {{"text", MakeText(32u << 20)}, {"binary", MakeBinary(32u << 20)}, {"pixels", MakePixels(32u << 20)}};

  std::printf("inflate of one raw deflate stream (MB/s of output)\n");
  std::printf("%-8s %5s %9s %9s %9s %8s\n", "corpus", "level", "ratio", "ours", "zlib", "zlib/ours");
  for (Corpus& c : corpora) {
    Bytes out(c.data.size());
    for (int level : {1, 6, 9}) {
      Bytes packed = RawDeflate(c.data, level);
      double ours = OursMBps(packed, out);
      bool same = out == c.data;
      double zlib = ZlibMBps(packed, out);
      std::printf("%-8s %5d %8.2f%% %9.1f %9.1f %8.2fx%s\n", c.name, level, 100.0 * packed.size() / c.data.size(), ours,
                  zlib, zlib / ours, same ? "" : "  MISMATCH");
    }
  }

  std::printf("\nwhole archive test run, zip -6 archives of 32 MB (MB/s of entry data)\n");
  std::printf("%-8s %12s %12s\n", "corpus", "UnzipExtract", "unzip -t");
  for (Corpus& c : corpora) {
    std::string dir = scratch + "/" + c.name;
    std::system(("mkdir -p '" + dir + "'").c_str());
    // Eight files of 4 MB each.
    for (int i = 0; i < 8; i++) {
      std::ofstream f(dir + "/part" + std::to_string(i), std::ios::binary);
      f.write(reinterpret_cast<const char*>(c.data.data()) + i * (c.data.size() / 8), static_cast<std::streamsize>(c.data.size() / 8));
    }
    std::string archive = scratch + "/" + c.name + ".zip";
    std::system(("cd '" + dir + "' && zip -q -6 '" + archive + "' part*").c_str());
    std::printf("%-8s %12.1f %12.1f\n", c.name, OurTestMBps(archive, c.data.size()), UnzipTestMBps(archive, c.data.size()));
  }
  std::system(("rm -rf '" + scratch + "'").c_str());
  return 0;
}
