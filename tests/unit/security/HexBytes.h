// Test vectors written as hex text, and bytes shown as hex text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testhex {

inline std::vector<std::uint8_t> Hex(const std::string& h) {
  std::vector<std::uint8_t> b;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2)
    b.push_back(static_cast<std::uint8_t>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return b;
}

inline std::string ToHex(const std::uint8_t* p, std::size_t n) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (std::size_t i = 0; i < n; i++) {
    s += d[p[i] >> 4];
    s += d[p[i] & 15];
  }
  return s;
}

}  // namespace testhex
