// A run of the archiver on the in-memory file system, working in /w.
#pragma once

#include <gtest/gtest.h>

#include "tests/unit/zipper/ZipperSupport.h"

namespace zipper {

class ZipperTest : public ::testing::Test {
protected:
  void SetUp() override {
    callbacks.Install();
    fs.AddDirectory("/w");
    ASSERT_TRUE(fs.ChangeFolder("/w"));
    ZipOptions none{};
    ZipSetOptions(&none);
  }

  Result Zip(std::vector<std::string> args) { return RunZip(&fs, std::move(args)); }

  std::vector<std::uint8_t> Data(const std::string& path) const {
    const auto* node = fs.Find(path);
    return node ? node->data : std::vector<std::uint8_t>();
  }
  bool Exists(const std::string& path) const { return fs.Find(path) != nullptr; }

  Archive Read(const std::string& path) const {
    const auto* node = fs.Find(path);
    if (!node) {
      Archive a;
      a.error = "missing " + path;
      return a;
    }
    return Parse(node->data);
  }

  // Paths of files whose name begins with "zi" (temporary archives) anywhere.
  std::vector<std::string> TempFiles() const {
    std::vector<std::string> out;
    for (const std::string& p : fs.Paths()) {
      std::string base = p.substr(p.rfind('/') + 1);
      if (base.compare(0, 2, "zi") == 0) out.push_back(p);
    }
    return out;
  }

  ZipMemoryFileSystem fs{std::uint64_t(512) << 20};
  Callbacks callbacks;
};

}  // namespace zipper
