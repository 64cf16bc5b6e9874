// Security-type numbers and SecurityResult values of the handshake, and the choice of a
// type from a server's list.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace rfbsec {

constexpr std::uint32_t kInvalid = 0;
constexpr std::uint32_t kNone = 1;
constexpr std::uint32_t kVncAuth = 2;            // DES challenge-response
constexpr std::uint32_t kRsaAes = 5;             // RSA-AES 128-bit, encrypted channel
constexpr std::uint32_t kRsaAesAuthOnly = 6;     // RSA-AES 128-bit, authentication only
constexpr std::uint32_t kPluginScheme = 17;
constexpr std::uint32_t kVeNCrypt = 19;
constexpr std::uint32_t kServerText = 104;       // the server's text, confirmed by the user
constexpr std::uint32_t kHelpdeskList = 105;
constexpr std::uint32_t kMsLogonRequest = 112;
constexpr std::uint32_t kMsLogonII = 113;
constexpr std::uint32_t kSecureKEBPluginOld = 114;
constexpr std::uint32_t kSecureKEBPlugin = 115;
constexpr std::uint32_t kNoneWithInfo = 116;     // none; an information text follows the choice
constexpr std::uint32_t kInfoMsgOffered = 117;   // the server takes an information text in ClientInit
constexpr std::uint32_t kRsaAes256 = 129;
constexpr std::uint32_t kRsaAes256AuthOnly = 130;

// SecurityResult values (u32 big-endian on the wire).
constexpr std::uint32_t kResultOk = 0;
constexpr std::uint32_t kResultFailed = 1;
constexpr std::uint32_t kResultTooMany = 2;
constexpr std::uint32_t kResultFailedReason = 3;
constexpr std::uint32_t kResultContinue = 0xFFFFFFFFu;   // -1
constexpr std::uint32_t kResultMsLogonII = 0xFFFFFFFAu;  // -6

// The largest number of schemes layered in one handshake.
constexpr std::size_t kMaxLayers = 6;

// The viewer's preference, most wanted first.
extern const std::uint32_t kPreference[14];

// Whether a type is accepted from a 3.7-style list.
bool Accepted(std::uint32_t type);

struct Choice {
  std::uint32_t type = kInvalid;  // 0: nothing usable was offered
  bool infoMsgOffered = false;    // 117 was in the list (and not done yet)
};

// Chooses from the server's list: types accepted and not yet done, by preference.
Choice Choose(const std::uint8_t* offered, std::size_t count, const std::vector<std::uint32_t>& done);

}  // namespace rfbsec
