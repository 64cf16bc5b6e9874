// Security-type negotiation, the SecurityResult, and the small types that only talk to
// the user (none, server text, helpdesk list).
#include <algorithm>
#include <cstring>
#include <memory>

#include "app/Exception.h"
#include "app/IniStore.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "rdr/Exception.h"
#include "resources/StringIds.h"
#include "session/RfbSession.h"
#include "session/SecurityTypes.h"

namespace {

std::uint32_t LoadU32(const std::uint8_t* p, bool bigEndian) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; i++) v |= std::uint32_t(p[bigEndian ? 3 - i : i]) << (8 * i);
  return v;
}

void StoreU32LE(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; i++) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

bool Has(const std::vector<std::uint32_t>& v, std::uint32_t t) { return std::find(v.begin(), v.end(), t) != v.end(); }

}  // namespace

void RfbSession::NegotiateSecurityType(std::vector<std::uint32_t>& layers) {
  if (m_minorVersion < 7) {
    std::uint8_t b[4];
    ReadExact(b, 4);
    std::uint32_t type = LoadU32(b, true);
    if (type == rfbsec::kPluginScheme) type = rfbsec::kSecureKEBPlugin;
    if (type == rfbsec::kResultMsLogonII) type = rfbsec::kMsLogonII;
    Authenticate(type, layers);
    return;
  }

  std::uint8_t count = 0;
  ReadExact(&count, 1);
  std::uint32_t chosen = rfbsec::kInvalid;
  if (count > 0) {
    std::uint8_t offered[255];
    ReadExact(offered, count);
    rfbsec::Choice c = rfbsec::Choose(offered, count, layers);
    if (c.infoMsgOffered) m_infoMsgRequested = true;
    if (c.type == rfbsec::kInvalid) {
      kebLog.Print(0, "No supported authentication methods!\n");
      throw WarningException(UiText(IDS_NO_SUPPORTED_AUTH));
    }
    chosen = c.type;
    std::uint8_t t = static_cast<std::uint8_t>(chosen);
    WriteExact(&t, 1);
    if (chosen == rfbsec::kNoneWithInfo) {
      std::size_t n = std::strlen(m_opts.m_InfoMsg);
      if (n > 255) n = 255;
      std::uint8_t len = static_cast<std::uint8_t>(n);
      WriteExact(&len, 1);
      if (n) WriteExact(m_opts.m_InfoMsg, n);
    }
  }
  Authenticate(chosen, layers);
}

std::string RfbSession::ReadReasonString() {
  std::uint8_t b[4];
  ReadExact(b, 4);
  std::uint32_t len = LoadU32(b, true);
  // The length is the server's: checked against the buffer cap before anything is added.
  std::uint8_t* buf = m_reasonBuf.Ensure(len);
  ReadExact(buf, static_cast<long>(len));
  buf[len] = '\0';
  kebLog.Print(10, "Read a %d-byte string\n", static_cast<int>(len));
  std::size_t shown = std::min<std::size_t>(std::strlen(reinterpret_cast<char*>(buf)), kMaxReasonShown);
  return std::string(reinterpret_cast<char*>(buf), shown);
}

void RfbSession::SwitchOffPlugin() {
  m_fUsePlugin = false;
  m_channel.reset();
  m_pluginIntegrated = false;
}

void RfbSession::InsecureConnectionRule(std::uint32_t type, const std::vector<std::uint32_t>& layers) {
  if (!(m_fUsePlugin && m_channel && m_pluginIntegrated)) return;
  if (Has(layers, rfbsec::kSecureKEBPluginOld) || Has(layers, rfbsec::kSecureKEBPlugin)) return;
  if (type == rfbsec::kInvalid || type == rfbsec::kPluginScheme || type == rfbsec::kSecureKEBPluginOld ||
      type == rfbsec::kSecureKEBPlugin || type == rfbsec::kNoneWithInfo)
    return;
  if (m_opts.m_RequireEncryption) throw WarningException(UiText(IDS_INSECURE_NOT_ALLOWED));
  SwitchOffPlugin();
  if (!m_opts.m_AutoAcceptNoDSM) AskAcceptInsecure(true);
}

void RfbSession::AskAcceptInsecure(bool withCheckbox) {
  // The check box of this question changes nothing.
  bool checked = false;
  ChoicePrompt p{UiText(IDS_INSECURE_INSTRUCTION), UiText(IDS_INSECURE_CONTENT), UiText(IDS_INSECURE_ACCEPT),
                 UiText(IDS_INSECURE_REFUSE), withCheckbox ? UiText(IDS_DONT_ASK_AGAIN) : ""};
  if (!AskChoice(p, &checked)) throw WarningException(UiText(IDS_INSECURE_REFUSED));
}

void RfbSession::UntrustedServerRule() {
  SetStatusText(kStatusLine, UiText(IDS_STATUS_NO_AUTH));
  kebLog.Print(0, "No authentication needed\n");
  if (m_accepted || m_opts.m_AllowUntrustedServers) return;
  bool checked = false;
  ChoicePrompt p{UiText(IDS_UNTRUSTED_TITLE), UiText(IDS_UNTRUSTED_QUESTION), UiText(IDS_UNTRUSTED_TRUST),
                 UiText(IDS_UNTRUSTED_DONT_CONNECT), UiText(IDS_DONT_ASK_AGAIN)};
  bool trust = AskChoice(p, &checked);
  if (!trust) throw WarningException(UiText(IDS_UNTRUSTED_REFUSED));
  if (checked) SaveAllowUntrustedServers();
}

void RfbSession::SaveAllowUntrustedServers() {
  m_opts.m_AllowUntrustedServers = true;
  const char* file = m_opts.GetOptionsFile();
  if (!m_opts.m_UseOnlyDefaultConfigFile || !file || !*file) return;
  std::unique_ptr<IniStore> ini = OpenIniFile(file);
  if (ini) ini->WriteString("options", "AllowUntrustedServers", "1");
}

bool RfbSession::ChannelCredentials(AuthDialogType type, const char* status1, const char* status2, bool withUser,
                                    SecretText* user, SecretText* password) {
  ConnectionCredentials& cr = m_credentials;
  if (!cr.clearPassword[0] && m_opts.m_password[0]) CopySecretText(cr.clearPassword, kMaxPasswordLength, m_opts.m_password);
  if (!cr.channelUser[0] && m_opts.m_user[0]) CopySecretText(cr.channelUser, kMaxPasswordLength, m_opts.m_user);
  if (!cr.clearPassword[0]) {
    AuthEntry entry;
    if (!AskCredentials(type, status1, status2, &entry)) return false;
    CopySecretText(cr.clearPassword, kMaxPasswordLength, entry.password);
    if (withUser) CopySecretText(cr.channelUser, kMaxPasswordLength, entry.user);
  }
  CopySecretText(user->data(), user->size() - 1, withUser ? cr.channelUser : "");
  CopySecretText(password->data(), password->size() - 1, cr.clearPassword);
  return true;
}

void RfbSession::Authenticate(std::uint32_t type, std::vector<std::uint32_t>& layers) {
  if (layers.size() >= rfbsec::kMaxLayers) {
    kebLog.Print(0, "Cannot layer more than six authentication schemes\n");
    throw ErrorException(UiText(IDS_TOO_MANY_LAYERS));
  }
  SetStatusText(kStatusLine, UiText(IDS_STATUS_PASSWORD_REQUESTED));
  bool pluginLayer = Has(layers, rfbsec::kSecureKEBPluginOld) || Has(layers, rfbsec::kSecureKEBPlugin);
  if (pluginLayer && (type == rfbsec::kSecureKEBPluginOld || type == rfbsec::kSecureKEBPlugin)) {
    kebLog.Print(0, "Cannot layer multiple SecureKEB plugin authentication schemes\n");
    throw WarningException(UiText(IDS_PLUGIN_LAYERS));
  }
  InsecureConnectionRule(type, layers);

  switch (type) {
    case rfbsec::kInvalid: {
      std::string reason = ReadReasonString();
      kebLog.Print(0, "RFB connection failed, reason: %s\n", reason.c_str());
      SetStatusText(kStatusLine, UiText(IDS_STATUS_CONNECTION_FAILED));
      throw WarningException(reason.c_str());
    }
    case rfbsec::kNone:
      UntrustedServerRule();
      if (m_minorVersion <= 7) {
        // 3.3 and 3.7 send no SecurityResult for None.
        layers.push_back(type);
        return;
      }
      break;
    case rfbsec::kMsLogonRequest:
      m_msLogonRequested = true;
      [[fallthrough]];  // the password scheme, as MS-Logon
    case rfbsec::kVncAuth:
      if (m_msLogonRequested)
        AuthMsLogonI();
      else
        AuthPasswordChallenge();
      break;
    case rfbsec::kRsaAes: AuthRsaAes(128, true); break;
    case rfbsec::kRsaAesAuthOnly: AuthRsaAes(128, false); break;
    case rfbsec::kRsaAes256: AuthRsaAes(256, true); break;
    case rfbsec::kRsaAes256AuthOnly: AuthRsaAes(256, false); break;
    case rfbsec::kPluginScheme:
      m_securityType17 = true;
      m_securityType17Ui = true;
      break;
    case rfbsec::kVeNCrypt: AuthVeNCrypt(); break;
    case rfbsec::kServerText: {
      if (m_minorVersion < 7) {
        kebLog.Print(0, "Invalid auth continue response for protocol version.\n");
        throw ErrorException(UiText(IDS_INVALID_CONTINUE));
      }
      std::uint8_t b[4];
      ReadExact(b, 4);
      std::uint32_t len = LoadU32(b, false);  // little-endian, unlike the rest of the handshake
      if (len > kMaxServerText) throw WarningException(UiText(IDS_BUFFER_TOO_BIG));
      char text[kMaxServerText + 1];
      ReadString(text, len);
      std::uint32_t answer = 1;
      if (!m_opts.m_AutoAcceptIncoming) {
        bool checked = false;
        ChoicePrompt p{UiText(IDS_INCOMING_TITLE), text, UiText(IDS_ACCEPT_INCOMING), UiText(IDS_REFUSE_INCOMING), ""};
        answer = AskChoice(p, &checked) ? 1 : 0;
      }
      std::uint8_t reply[4];
      StoreU32LE(reply, answer);
      WriteExact(reply, 4);
      break;
    }
    case rfbsec::kHelpdeskList: {
      if (m_minorVersion < 7) {
        kebLog.Print(0, "Invalid auth continue response for protocol version.\n");
        throw ErrorException(UiText(IDS_INVALID_CONTINUE));
      }
      std::uint8_t count = 0;
      ReadExact(&count, 1);
      std::vector<std::string> entries;
      entries.reserve(count);
      for (int i = 0; i < count; i++) {
        char entry[kHelpdeskEntryBytes + 1];
        ReadExact(entry, kHelpdeskEntryBytes);
        entry[kHelpdeskEntryBytes] = '\0';
        entries.emplace_back(entry);
      }
      std::uint32_t answer = ChooseHelpdesk(entries);
      if (answer > entries.size()) answer = 0;
      std::uint8_t reply[4];
      StoreU32LE(reply, answer);
      WriteExact(reply, 4);
      break;
    }
    case rfbsec::kMsLogonII: AuthMsLogonII(); break;
    case rfbsec::kSecureKEBPluginOld: AuthSecureKEBPluginOld(); break;
    case rfbsec::kSecureKEBPlugin: AuthSecureKEBPlugin(); break;
    case rfbsec::kNoneWithInfo: break;
    default:
      kebLog.Print(0, "RFB connection failed, unknown authentication method: %lu\n", static_cast<unsigned long>(type));
      throw ErrorException(UiText(IDS_UNKNOWN_AUTH_METHOD));
  }
  layers.push_back(type);

  std::uint8_t rb[4];
  ReadExact(rb, 4);
  std::uint32_t result = LoadU32(rb, true);
  if (type == rfbsec::kSecureKEBPluginOld) PluginEncryptionReady();
  switch (result) {
    case rfbsec::kResultOk:
      SetStatusText(kStatusLine, UiText(IDS_STATUS_PASSWORD_ACCEPTED));
      kebLog.Print(0, "KEB authentication succeeded\n");
      return;
    case rfbsec::kResultFailed:
    case rfbsec::kResultFailedReason: {
      kebLog.Print(0, "KEB authentication failed!\n");
      SetStatusText(kStatusLine, UiText(IDS_STATUS_WRONG_PASSWORD));
      if (m_minorVersion <= 6 && result == rfbsec::kResultFailed) {
        m_event1.Set();
        throw WarningException(UiText(IDS_AUTH_FAILED));
      }
      kebLog.Print(0, "KEB authentication failed! Extended information available.\n");
      std::string reason;
      try {
        reason = ReadReasonString();
      } catch (const ErrorException&) {
        // A 3.7 server sends no reason (RFC 6143) and closes: the failure is the news,
        // not the end of the stream.
        if (m_minorVersion != 7 || result != rfbsec::kResultFailed) throw;
        m_event1.Set();
        throw WarningException(UiText(IDS_AUTH_FAILED));
      }
      kebLog.Print(0, "KEB authentication failed! Extended information: %s\n", reason.c_str());
      SetStatusText(kStatusLine, reason.c_str());
      throw WarningException(reason.c_str());
    }
    case rfbsec::kResultTooMany:
      m_event1.Set();
      throw WarningException(UiText(IDS_AUTH_TOO_MANY_TRIES));
    case rfbsec::kResultContinue:
      if (m_minorVersion >= 7) {
        NegotiateSecurityType(layers);
        return;
      }
      kebLog.Print(0, "Invalid auth continue response for protocol version.\n");
      throw ErrorException(UiText(IDS_INVALID_CONTINUE));
    case rfbsec::kResultMsLogonII:
      if (m_minorVersion <= 6 && type == rfbsec::kSecureKEBPluginOld && m_pluginIntegrated && m_channel) {
        AuthMsLogonII();
        return;
      }
      kebLog.Print(0, m_minorVersion >= 7 ? "Invalid auth response for protocol version.\n"
                                          : "Invalid auth response response\n");
      throw ErrorException(UiText(IDS_INVALID_AUTH_RESPONSE));
    default:
      kebLog.Print(0, "Unknown KEB authentication result: %d\n", static_cast<int>(result));
      throw ErrorException(UiText(IDS_UNKNOWN_AUTH_RESULT));
  }
}
