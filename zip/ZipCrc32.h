// The CRC-32 of ZIP archives (reflected, polynomial 0xEDB88320), shared by the
// archiver and the extractor.
#pragma once

#include <cstddef>
#include <cstdint>

// Continues a CRC-32 over len bytes: pass 0 for the first piece and the previous result
// for the next ones. A null data pointer gives 0 whatever crc is.
std::uint32_t ZipUpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t len);

// The 256-entry table of the byte-wise algorithm, built on first use and kept for the
// process. Safe to call from several threads.
const std::uint32_t* ZipLazyCrcTable();
