// The archiver's deflate against zlib's at levels 1, 6 and 9 (each file of a folder
// deflated on its own, as an archive does), and the whole archiver against Debian's zip
// on the same folder. One run of each; speed and ratio.
//
//   bench_zip [folder]
// Without a folder, one is made under the temporary folder: this project's sources and
// docs (text), some of /usr/bin (binaries) and a little random data.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "zip/Zip.h"
#include "zip/ZipDeflate.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

std::vector<std::uint8_t> Load(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

fs::path MakeFolder() {
  fs::path dir = fs::temp_directory_path() / "keb-zip-bench";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const char* source = std::getenv("KEB_SOURCE_DIR");
  fs::path src = source ? source : KEB_SOURCE_DIR_DEFAULT;
  std::uintmax_t text = 0;
  for (auto it = fs::recursive_directory_iterator(src); it != fs::recursive_directory_iterator(); ++it) {
    std::string name = it->path().filename().string();
    if (it->is_directory() && (name == "build" || name == ".git")) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    std::string ext = it->path().extension().string();
    if (ext != ".cpp" && ext != ".h" && ext != ".py" && ext != ".md" && ext != ".txt" && ext != ".cmake" && ext != ".rc")
      continue;
    fs::path target = dir / "text" / fs::relative(it->path(), src);
    fs::create_directories(target.parent_path());
    fs::copy_file(it->path(), target);
    text += it->file_size();
  }
  std::uintmax_t binaries = 0;
  std::vector<fs::path> bins;
  for (const auto& e : fs::directory_iterator("/usr/bin"))
    if (e.is_regular_file() && !e.is_symlink()) bins.push_back(e.path());
  std::sort(bins.begin(), bins.end());
  fs::create_directories(dir / "bin");
  for (const fs::path& b : bins) {
    if (binaries > (24u << 20)) break;
    fs::copy_file(b, dir / "bin" / b.filename());
    binaries += fs::file_size(b);
  }
  std::mt19937 rng(5);
  std::vector<char> noise(2u << 20);
  for (char& c : noise) c = static_cast<char>(rng());
  std::ofstream(dir / "random.bin", std::ios::binary).write(noise.data(), static_cast<std::streamsize>(noise.size()));
  std::printf("folder %s: %.1f MB text, %.1f MB binaries, 2.0 MB random\n", dir.string().c_str(), text / 1e6,
              binaries / 1e6);
  return dir;
}

class MemorySource : public ZipDeflateSource {
public:
  explicit MemorySource(const std::vector<std::uint8_t>& d) : d_(d) {}
  long Read(std::uint8_t* buf, std::size_t len) override {
    std::size_t n = std::min(len, d_.size() - pos_);
    if (n > 0) std::memcpy(buf, d_.data() + pos_, n);
    pos_ += n;
    return static_cast<long>(n);
  }

private:
  const std::vector<std::uint8_t>& d_;
  std::size_t pos_ = 0;
};

class CountingSink : public ZipDeflateSink {
public:
  bool Write(const std::uint8_t*, std::size_t len) override {
    bytes += len;
    return true;
  }
  std::uint64_t bytes = 0;
};

std::uintmax_t FileSize(const fs::path& p) { return fs::exists(p) ? fs::file_size(p) : 0; }

}  // namespace

int main(int argc, char** argv) {
  fs::path folder = argc > 1 ? fs::path(argv[1]) : MakeFolder();
  std::vector<std::vector<std::uint8_t>> files;
  std::uint64_t total = 0;
  for (const auto& e : fs::recursive_directory_iterator(folder)) {
    if (!e.is_regular_file()) continue;
    files.push_back(Load(e.path()));
    total += files.back().size();
  }
  std::printf("%zu files, %.1f MB\n\n", files.size(), total / 1e6);

  std::printf("deflate, each file on its own   ours: time  size        zlib: time  size        time ratio  size ratio\n");
  ZipDeflater ours;
  std::vector<std::uint8_t> out;
  for (int level : {1, 6, 9}) {
    auto t0 = Clock::now();
    std::uint64_t ourBytes = 0;
    for (const auto& f : files) {
      MemorySource src(f);
      CountingSink sink;
      ZipDeflateOutcome outcome;
      ours.Deflate(level, &src, &sink, false, &outcome);
      ourBytes += sink.bytes;
    }
    double ourTime = Seconds(t0);
    t0 = Clock::now();
    std::uint64_t zlibBytes = 0;
    for (const auto& f : files) {
      z_stream z{};
      deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      out.resize(deflateBound(&z, static_cast<uLong>(f.size())));
      z.next_in = const_cast<Bytef*>(f.data());
      z.avail_in = static_cast<uInt>(f.size());
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      deflate(&z, Z_FINISH);
      zlibBytes += z.total_out;
      deflateEnd(&z);
    }
    double zlibTime = Seconds(t0);
    std::printf("level %d                          %6.3f s  %10llu    %6.3f s  %10llu    %6.2fx      %.4f\n", level, ourTime,
                static_cast<unsigned long long>(ourBytes), zlibTime, static_cast<unsigned long long>(zlibBytes),
                ourTime / zlibTime, static_cast<double>(ourBytes) / static_cast<double>(zlibBytes));
  }

  std::printf("\nwhole archive of the folder      ours: time  size        zip: time   size        time ratio  size ratio\n");
  fs::path work = fs::temp_directory_path() / "keb-zip-bench-out";
  fs::remove_all(work);
  fs::create_directories(work);
  fs::path home = fs::current_path();
  for (int level : {1, 6, 9}) {
    std::string lv = "-" + std::to_string(level);
    fs::path ourZip = work / ("ours" + std::to_string(level) + ".zip");
    fs::path theirZip = work / ("zip" + std::to_string(level) + ".zip");
    fs::current_path(folder);
    std::string zipName = ourZip.string();
    const char* args[] = {"kap.exe", lv.c_str(), "-q", "-r", zipName.c_str(), ".", nullptr};
    auto t0 = Clock::now();
    int code = ZipExecuteCommandLine(6, args);
    double ourTime = Seconds(t0);
    std::string command = "zip -q -r " + lv + " '" + theirZip.string() + "' .";
    t0 = Clock::now();
    int zipCode = std::system(command.c_str());
    double zipTime = Seconds(t0);
    fs::current_path(home);
    if (code != 0 || zipCode != 0) std::printf("(codes: ours %d, zip %d)\n", code, zipCode);
    std::printf("level %d                          %6.3f s  %10llu    %6.3f s  %10llu    %6.2fx      %.4f\n", level, ourTime,
                static_cast<unsigned long long>(FileSize(ourZip)), zipTime,
                static_cast<unsigned long long>(FileSize(theirZip)), ourTime / zipTime,
                static_cast<double>(FileSize(ourZip)) / static_cast<double>(FileSize(theirZip)));
  }
  fs::remove_all(work);
  return 0;
}
