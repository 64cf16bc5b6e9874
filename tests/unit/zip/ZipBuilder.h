// Builds ZIP archives byte by byte for the extractor's tests, including broken ones:
// every header field can be set by hand. Deflated entries are made by zlib.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace ziptest {

using Bytes = std::vector<std::uint8_t>;

inline Bytes ToBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }

inline Bytes RawDeflate(const Bytes& in, int level = 6, int strategy = Z_DEFAULT_STRATEGY) {
  z_stream zs{};
  deflateInit2(&zs, level, Z_DEFLATED, -15, 8, strategy);
  Bytes out(deflateBound(&zs, static_cast<uLong>(in.size())) + 16);
  zs.next_in = const_cast<Bytes::value_type*>(in.data());
  zs.avail_in = static_cast<uInt>(in.size());
  zs.next_out = out.data();
  zs.avail_out = static_cast<uInt>(out.size());
  deflate(&zs, Z_FINISH);
  out.resize(zs.total_out);
  deflateEnd(&zs);
  return out;
}

inline std::uint32_t Crc(const Bytes& b) { return static_cast<std::uint32_t>(crc32(0, b.data(), static_cast<uInt>(b.size()))); }

// Traditional PKWARE encryption, written from the published description (test side).
struct Cipher {
  std::uint32_t k[3] = {0x12345678u, 0x23456789u, 0x34567890u};
  static std::uint32_t CrcByte(std::uint32_t c, std::uint8_t b) {
    c ^= b;
    for (int i = 0; i < 8; i++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    return c;
  }
  void Update(std::uint8_t p) {
    k[0] = CrcByte(k[0], p);
    k[1] = (k[1] + (k[0] & 0xFF)) * 134775813u + 1;
    k[2] = CrcByte(k[2], static_cast<std::uint8_t>(k[1] >> 24));
  }
  std::uint8_t Stream() const {
    unsigned t = (k[2] & 0xFFFF) | 2;
    return static_cast<std::uint8_t>((t * (t ^ 1)) >> 8);
  }
  explicit Cipher(const std::string& password) {
    for (char ch : password) Update(static_cast<std::uint8_t>(ch));
  }
  std::uint8_t Encrypt(std::uint8_t p) {
    std::uint8_t c = p ^ Stream();
    Update(p);
    return c;
  }
};

struct Entry {
  std::string name;
  Bytes data;           // uncompressed contents
  int method = 0;       // 0 stored, 8 deflated; anything else: payload used as given
  Bytes payload;        // compressed bytes when set (overrides what the method makes)
  std::uint16_t flags = 0;
  std::uint8_t versionMadeBy = 20, hostSystem = 0;
  std::uint8_t versionNeeded = 20, versionNeededHost = 0;
  std::uint32_t dosTime = 0x58A16C00;  // 2024-05-01 13:32:00
  std::uint32_t external = 0;
  std::uint16_t internal = 0;
  Bytes localExtra, centralExtra;
  std::string password;  // encrypts when set
  bool dataDescriptor = false;
  // Overrides for broken archives.
  bool setCrc = false, setCompressed = false, setUncompressed = false;
  std::uint32_t crc = 0, compressedSize = 0, uncompressedSize = 0;
  bool setLocalName = false;
  std::string localName;
  bool setOffset = false;
  std::uint32_t offset = 0;
  std::uint32_t nameLengthOverride = 0xFFFFFFFF;
};

inline void Put16(Bytes& b, unsigned v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, std::uint32_t v) {
  Put16(b, v & 0xFFFF);
  Put16(b, v >> 16);
}

// An extended-timestamp extra field with the modification (and access, creation) times.
inline Bytes TimeExtra(std::uint32_t mtime, bool withAccess = false, std::uint32_t atime = 0, bool withCreation = false,
                       std::uint32_t ctime = 0) {
  Bytes b;
  Put16(b, 0x5455);
  Put16(b, 1 + 4 + (withAccess ? 4 : 0) + (withCreation ? 4 : 0));
  b.push_back(static_cast<std::uint8_t>(1 | (withAccess ? 2 : 0) | (withCreation ? 4 : 0)));
  Put32(b, mtime);
  if (withAccess) Put32(b, atime);
  if (withCreation) Put32(b, ctime);
  return b;
}

struct Archive {
  std::vector<Entry> entries;
  Bytes prefix;
  std::string comment;
  bool omitEnd = false;
  // End-record overrides.
  bool setCentralOffset = false;
  std::uint32_t centralOffset = 0;
  bool setTotal = false;
  std::uint16_t total = 0;
  std::uint16_t disk = 0;

  Bytes Build() const {
    Bytes out = prefix;
    Bytes central;
    std::uint32_t base = static_cast<std::uint32_t>(prefix.size());
    for (const Entry& e : entries) {
      Bytes body = e.payload;
      if (body.empty()) body = e.method == 8 ? RawDeflate(e.data) : e.data;
      std::uint32_t crc = e.setCrc ? e.crc : Crc(e.data);
      std::uint16_t flags = e.flags;
      if (!e.password.empty()) {
        flags |= 1;
        Cipher cipher(e.password);
        Bytes enc;
        std::uint8_t check = e.dataDescriptor || (flags & 8) ? static_cast<std::uint8_t>(e.dosTime >> 8)
                                                             : static_cast<std::uint8_t>(crc >> 24);
        for (int i = 0; i < 11; i++) enc.push_back(cipher.Encrypt(static_cast<std::uint8_t>(i * 37 + 5)));
        enc.push_back(cipher.Encrypt(check));
        for (std::uint8_t b : body) enc.push_back(cipher.Encrypt(b));
        body = enc;
      }
      if (e.dataDescriptor) flags |= 8;
      std::uint32_t csize = e.setCompressed ? e.compressedSize : static_cast<std::uint32_t>(body.size());
      std::uint32_t usize = e.setUncompressed ? e.uncompressedSize : static_cast<std::uint32_t>(e.data.size());
      std::uint32_t offset = e.setOffset ? e.offset : static_cast<std::uint32_t>(out.size()) - base;

      const std::string& lname = e.setLocalName ? e.localName : e.name;
      Put32(out, 0x04034b50);
      out.push_back(e.versionNeeded);
      out.push_back(e.versionNeededHost);
      Put16(out, flags);
      Put16(out, static_cast<unsigned>(e.method));
      Put32(out, e.dosTime);
      Put32(out, e.dataDescriptor ? 0 : crc);
      Put32(out, e.dataDescriptor ? 0 : csize);
      Put32(out, e.dataDescriptor ? 0 : usize);
      Put16(out, static_cast<unsigned>(lname.size()));
      Put16(out, static_cast<unsigned>(e.localExtra.size()));
      out.insert(out.end(), lname.begin(), lname.end());
      out.insert(out.end(), e.localExtra.begin(), e.localExtra.end());
      out.insert(out.end(), body.begin(), body.end());
      if (e.dataDescriptor) {
        Put32(out, 0x08074b50);
        Put32(out, crc);
        Put32(out, csize);
        Put32(out, usize);
      }

      Put32(central, 0x02014b50);
      central.push_back(e.versionMadeBy);
      central.push_back(e.hostSystem);
      central.push_back(e.versionNeeded);
      central.push_back(e.versionNeededHost);
      Put16(central, flags);
      Put16(central, static_cast<unsigned>(e.method));
      Put32(central, e.dosTime);
      Put32(central, crc);
      Put32(central, csize);
      Put32(central, usize);
      Put16(central, e.nameLengthOverride != 0xFFFFFFFF ? e.nameLengthOverride : static_cast<unsigned>(e.name.size()));
      Put16(central, static_cast<unsigned>(e.centralExtra.size()));
      Put16(central, 0);
      Put16(central, 0);
      Put16(central, e.internal);
      Put32(central, e.external);
      Put32(central, offset);
      central.insert(central.end(), e.name.begin(), e.name.end());
      central.insert(central.end(), e.centralExtra.begin(), e.centralExtra.end());
    }
    std::uint32_t cdOffset = static_cast<std::uint32_t>(out.size()) - base;
    out.insert(out.end(), central.begin(), central.end());
    if (!omitEnd) {
      Put32(out, 0x06054b50);
      Put16(out, disk);
      Put16(out, disk);
      std::uint16_t n = setTotal ? total : static_cast<std::uint16_t>(entries.size());
      Put16(out, n);
      Put16(out, n);
      Put32(out, static_cast<std::uint32_t>(central.size()));
      Put32(out, setCentralOffset ? centralOffset : cdOffset);
      Put16(out, static_cast<unsigned>(comment.size()));
      out.insert(out.end(), comment.begin(), comment.end());
    }
    return out;
  }
};

}  // namespace ziptest
