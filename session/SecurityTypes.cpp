#include "session/SecurityTypes.h"

#include <algorithm>

namespace rfbsec {

const std::uint32_t kPreference[14] = {kPluginScheme,   kSecureKEBPlugin, kSecureKEBPluginOld, kServerText,
                                       kNoneWithInfo,   kHelpdeskList,    kMsLogonII,          kVeNCrypt,
                                       kRsaAes256,      kRsaAes,          kRsaAes256AuthOnly,  kRsaAesAuthOnly,
                                       kVncAuth,        kNone};

bool Accepted(std::uint32_t t) {
  return std::find(std::begin(kPreference), std::end(kPreference), t) != std::end(kPreference);
}

Choice Choose(const std::uint8_t* offered, std::size_t count, const std::vector<std::uint32_t>& done) {
  auto isDone = [&done](std::uint32_t t) { return std::find(done.begin(), done.end(), t) != done.end(); };
  Choice c;
  std::vector<std::uint32_t> kept;
  for (std::size_t i = 0; i < count; i++) {
    std::uint32_t t = offered[i];
    if (isDone(t)) continue;
    if (t == kInfoMsgOffered)
      c.infoMsgOffered = true;
    else if (Accepted(t))
      kept.push_back(t);
  }
  for (std::uint32_t t : kPreference) {
    if (std::find(kept.begin(), kept.end(), t) != kept.end()) {
      c.type = t;
      break;
    }
  }
  return c;
}

}  // namespace rfbsec
