#include "rdr/ByteOrder.h"
#include "session/ExtendedClipboard.h"

#include <zlib.h>

#include <algorithm>

#include "rdr/Exception.h"
#include "rdr/MemInStream.h"
#include "rdr/MemOutStream.h"
#include "rdr/ZlibInStream.h"
#include "rdr/ZlibOutStream.h"

using namespace extclip;

namespace {


std::uint32_t Crc(std::uint32_t crc, const std::vector<std::uint8_t>& bytes) {
  // zlib takes at most 4 GiB at once; a clipboard reading is far below that.
  return static_cast<std::uint32_t>(::crc32(crc, bytes.data(), static_cast<uInt>(bytes.size())));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// ExtendedClipboardBuffer

void ExtendedClipboardBuffer::OrFlags(std::uint32_t v) {
  const std::uint32_t f = Flags() | v;
  for (int i = 0; i < 4; i++) bytes_[i] = static_cast<std::uint8_t>(f >> (24 - 8 * i));
}

void ExtendedClipboardBuffer::AppendU32(std::uint32_t v) {
  for (int i = 0; i < 4; i++) bytes_.push_back(static_cast<std::uint8_t>(v >> (24 - 8 * i)));
}

std::uint32_t ExtendedClipboardBuffer::Flags() const { return rdr::LoadU32BE(bytes_.data()); }

// ---------------------------------------------------------------------------------------
// ClipboardContent

bool ClipboardContent::HasAny() const {
  return std::any_of(data.begin(), data.end(), [](const std::vector<std::uint8_t>& d) { return !d.empty(); });
}

void ClipboardContent::UpdateChecksum() {
  checksum = static_cast<std::uint32_t>(::crc32(0, nullptr, 0));
  checksum = Crc(checksum, data[0]);
}

bool ClipboardContent::ReadProvide(const std::uint8_t* message, std::size_t length, std::string* error) {
  for (auto& d : data) d.clear();
  UpdateChecksum();
  if (length < 4) {
    if (error) *error = "provide message shorter than its flags word";
    return false;
  }
  const std::uint32_t flags = rdr::LoadU32BE(message);
  rdr::MemInStream mem(message + 4, length - 4);
  rdr::ZlibInStream zis;
  zis.SetUnderlying(&mem, length - 4);
  std::uint64_t budget = kMaxProvidedBytes;
  try {
    for (int i = 0; i < kFormatCount; i++) {
      if (!(flags & FormatBit(i))) continue;
      const std::uint32_t size = zis.ReadU32();
      if (size > budget) {
        if (error) *error = "provided data larger than the viewer takes";
        return false;
      }
      budget -= size;
      // Read piece by piece: a size the stream does not back costs no memory ahead.
      std::vector<std::uint8_t>& d = data[i];
      std::uint32_t left = size;
      while (left > 0) {
        const std::size_t step = std::min<std::uint32_t>(left, 65536);
        const std::size_t at = d.size();
        d.resize(at + step);
        zis.ReadBytes(d.data() + at, step);
        left -= static_cast<std::uint32_t>(step);
      }
      if (i == 0) UpdateChecksum();
    }
  } catch (const rdr::Exception& e) {
    if (error) *error = e.str();
    UpdateChecksum();
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------
// ExtendedClipboardState

ExtendedClipboardState::ExtendedClipboardState() : sendLimits(kClientLimits), serverLimits(kClientLimits) {}

void ExtendedClipboardState::ReadServerCaps(const std::uint8_t* message, std::size_t length, bool adopt) {
  if (length < 4) return;
  serverFlags = rdr::LoadU32BE(message);
  std::size_t at = 4;
  for (int i = 0; i < kFormatCount; i++) {
    serverLimits[i] = 0;
    if (!(serverFlags & FormatBit(i))) continue;
    if (at + 4 <= length) serverLimits[i] = rdr::LoadU32BE(message + at);
    at += 4;
  }
  if (adopt) {
    sendLimits = serverLimits;
    ApplyPreferences(prefs_);
  }
}

void ExtendedClipboardState::WriteCaps(ExtendedClipboardBuffer& buffer) const {
  buffer.Clear();
  buffer.OrFlags(clientCaps);
  for (std::uint32_t limit : kClientLimits) buffer.AppendU32(limit);
}

void ExtendedClipboardState::ClearPending() {
  providePending = notifyPending = false;
  provide.Clear();
  notify.Clear();
}

bool ExtendedClipboardState::BuildOutgoingMessages(const ClipboardContent& content, std::uint32_t flags) {
  if (content.checksum == lastChecksum && flags == 0) return false;
  if (flags & kPeek) {
    notify.Clear();
    notify.OrFlags(kNotify);
    for (int i = 0; i < kFormatCount; i++)
      if (content.Size(i) > 0) notify.OrFlags(FormatBit(i));
    notifyPending = true;
    return true;
  }

  ClearPending();
  provide.OrFlags(kProvide);
  notify.OrFlags(kNotify);
  const bool asked = flags != 0;
  rdr::MemOutStream compressed;
  {
    rdr::ZlibOutStream zos(&compressed, 16384, 9);
    for (int i = 0; i < kFormatCount; i++) {
      const std::size_t size = content.Size(i);
      if (size == 0) continue;
      const std::uint32_t bit = FormatBit(i);
      notify.OrFlags(bit);
      if (size <= sendLimits[i] || (flags & bit)) {
        zos.WriteU32(static_cast<std::uint32_t>(size));
        zos.WriteBytes(content.data[i].data(), size);
        provide.OrFlags(bit);
        providePending = true;
      } else if (!asked) {
        notifyPending = true;
      }
    }
    zos.Flush();
  }
  if (providePending) provide.Append(compressed.Data(), compressed.Length());
  lastChecksum = content.checksum;
  if (!(serverFlags & kNotify) || asked) {
    notifyPending = false;
    notify.Clear();
  }
  return providePending || notifyPending;
}

void ExtendedClipboardState::ApplyPreferences(int prefs) {
  prefs_ = prefs | 1;
  if (!(prefs_ & 2)) sendLimits[1] = 0;
  else if (sendLimits[1] == 0) sendLimits[1] = serverLimits[1];
  if (!(prefs_ & 4)) sendLimits[2] = 0;
  else if (sendLimits[2] == 0) sendLimits[2] = serverLimits[2];
}

int ExtendedClipboardState::Preferences() const {
  return (sendLimits[0] > 0 ? 1 : 0) + (sendLimits[1] > 0 ? 2 : 0) + (sendLimits[2] > 0 ? 4 : 0);
}
