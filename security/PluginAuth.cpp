// The encryption plug-in of a session: loading the library, configuring it for the
// connection, and the challenge-response schemes of its integrated interface (security
// types 115 and 114).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Exception.h"
#include "app/KEBOptions.h"
#include "app/Log.h"
#include "app/UiText.h"
#include "app/UserInterface.h"
#include "resources/StringIds.h"
#include "security/Credentials.h"
#include "security/DSMPlugin.h"
#include "security/StoredPassword.h"
#include "session/RfbSession.h"

namespace {

constexpr std::size_t kMaxParamPassword = 254;  // characters of the password in the parameter text
constexpr std::size_t kMaxParamText = 272;      // bytes of the parameter text
// The plug-in decides whether another round follows; a server that keeps the rounds going
// is stopped after this many.
constexpr int kMaxRounds = 64;
constexpr int kMaxChallengeCalls = 4;
constexpr int kUpgradeWarningPauseMs = 3000;


bool EqualNoCase(const char* a, const char* b) {
  for (; *a && *b; a++, b++)
    if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
  return *a == *b;
}

void CutTo(char* text, std::size_t n) {
  if (std::strlen(text) > n) text[n] = '\0';
}

}  // namespace

// ---------------------------------------------------------------------------------------
// The library and its set-up for a connection

void RfbSession::LoadDSMPlugin(bool reload) {
  if (!m_opts.m_UseDSMPlugin) return;
  if (reload && m_pDSMPlugin->IsLoaded()) {
    m_channel.reset();
    m_pluginStream.reset();
    m_pluginTransform = nullptr;
    m_pDSMPlugin->SetEnabled(false);
    m_pluginEnabled = false;
    m_pDSMPlugin->UnloadPlugin();
  }
  if (m_pDSMPlugin->IsLoaded()) return;
  if (!m_pDSMPlugin->LoadPlugin(m_opts.m_DSMPlugin, false)) {
    m_pDSMPlugin->SetEnabled(false);
    m_pluginEnabled = false;
    kebLog.Print(0, "DSMPlugin %s cannot be loaded\n", m_opts.m_DSMPlugin);
    UI().ShowMessage(UiText(IDS_PLUGIN_NOT_LOADED), UiText(IDS_PLUGIN_LOADING), MessageIcon::Warning);
    return;
  }
  m_pDSMPlugin->DescribePlugin();
  if (!m_pDSMPlugin->Startup()) {
    m_pDSMPlugin->SetEnabled(false);
    m_pluginEnabled = false;
    kebLog.Print(0, "DSMPlugin %s cannot be initialised\n", m_opts.m_DSMPlugin);
    UI().ShowMessage(UiText(IDS_PLUGIN_NOT_INITIALISED), UiText(IDS_PLUGIN_LOADING), MessageIcon::Warning);
    return;
  }
  m_pDSMPlugin->SetEnabled(true);
  m_pluginEnabled = true;
  kebLog.Print(2, "DSMPlugin %s %s loaded\n", m_pDSMPlugin->Name().c_str(), m_pDSMPlugin->Version().c_str());
}

bool RfbSession::KnownPassword(SecretText& out) {
  const char* clear = m_credentials.clearPassword[0] ? m_credentials.clearPassword : m_opts.m_password;
  if (clear[0]) {
    std::snprintf(out.data(), out.size(), "%s", clear);
    return true;
  }
  if (m_credentials.storedPassword.Empty()) return false;
  SecretText plain = DecryptStoredPassword(m_credentials.storedPassword.bytes);
  std::snprintf(out.data(), out.size(), "%s", plain.c_str());
  return out.c_str()[0] != '\0';
}

void RfbSession::ConfigureDSMPlugin() {
  m_channel.reset();
  m_pluginIntegrated = false;
  m_fPluginStreamingOut = false;
  m_fPluginStreamingIn = false;
  if (!m_pDSMPlugin->IsLoaded() || !m_pDSMPlugin->IsEnabled()) {
    m_fUsePlugin = false;
    m_pluginEnabled = false;
    kebLog.Print(3, "DSMPlugin not enabled\n");
    return;
  }
  kebLog.Print(0, "DSMPlugin enabled\n");
  SecretText param(kMaxParamText + 1);
  const char* asked = m_pDSMPlugin->GetParams();
  if (asked && EqualNoCase(asked, "KEBPasswordNeeded")) {
    SecretText password(kPasswordBufferSize);
    if (!KnownPassword(password)) {
      AuthEntry entry;
      if (!AskCredentials(kAuthPassword, "", "", &entry)) throw QuietException(UiText(IDS_AUTH_CANCELLED));
      std::snprintf(password.data(), password.size(), "%s", entry.password);
      std::snprintf(m_credentials.clearPassword, sizeof m_credentials.clearPassword, "%s", entry.password);
    }
    CutTo(password.data(), kMaxParamPassword);
    std::snprintf(param.data(), param.size(), "%s,viewer", password.c_str());
  } else {
    std::snprintf(param.data(), param.size(), "NoPassword,viewer");
  }
  if (!m_pDSMPlugin->Configure(nullptr, param.c_str(), 0, nullptr)) {
    m_pDSMPlugin->SetEnabled(false);
    m_pluginEnabled = false;
    m_fUsePlugin = false;
    kebLog.Print(0, "DSMPlugin cannot be configured\n");
    throw WarningException(UiText(IDS_PLUGIN_NOT_CONFIGURED), IDS_PLUGIN_NOT_CONFIGURED);
  }
  m_fUsePlugin = true;
  m_pluginEnabled = true;
  if (!m_pluginStream) m_pluginStream.reset(new DSMPluginStream(*m_pDSMPlugin));
  m_pluginTransform = m_pluginStream.get();
  if (!m_pDSMPlugin->SupportsPluginInterface()) return;
  DSMPluginInterface* object = nullptr;
  if (m_pDSMPlugin->SupportsIntegratedInterface()) {
    object = m_pDSMPlugin->CreateIntegratedPluginInterface();
    m_pluginIntegrated = object != nullptr;
  }
  // A library that hands out no object keeps to its own stream transform.
  if (!object) object = m_pDSMPlugin->CreatePluginInterface();
  if (object) m_channel.reset(new DSMPluginChannel(object));
}

DSMPluginChannel* RfbSession::IntegratedPluginInterface() {
  return m_pluginIntegrated ? dynamic_cast<DSMPluginChannel*>(m_channel.get()) : nullptr;
}

void RfbSession::PluginEncryptionReady() {
  if (DSMPluginChannel* pi = IntegratedPluginInterface()) {
    pi->EncryptionReady();
    SetStatusText(kStatusPlugin, pi->Description());
  }
}

// ---------------------------------------------------------------------------------------
// Security types 115 and 114

void RfbSession::RunPluginChallenges(bool current) {
  DSMPluginChannel* pi = IntegratedPluginInterface();
  if (!pi) {
    const char* text = UiText(IDS_PLUGIN_NO_INTERFACE);
    m_event1.Set();
    SetStatusText(kStatusLine, text);
    throw ErrorException(text);
  }
  SecretText password(kPasswordBufferSize);
  bool havePassword = KnownPassword(password);
  bool passwordGiven = false;
  pi->SetPassword(nullptr, 0);

  // The plug-in's text; a plug-in that gives none still ends with a message that says what failed.
  auto fail = [&](const char* text) {
    // The failure of the scheme when the plug-in has no text of its own for it.
    if (!text || !*text) text = UiText(IDS_PLUGIN_AUTH_FAILED);
    SetStatusText(kStatusLine, text);
    m_event1.Set();
    kebLog.Print(0, "SecureKEB plug-in authentication failed: %s\n", text);
    throw ErrorException(text);
  };
  auto cancelled = [&]() {
    SetStatusText(kStatusLine, UiText(IDS_AUTH_CANCELLED));
    m_event1.Set();
    throw ErrorException(UiText(IDS_AUTH_CANCELLED));
  };

  bool more = true;
  for (int round = 0; more; round++) {
    if (round >= kMaxRounds) fail(pi->ErrorText());
    std::uint8_t lenBytes[2];
    ReadExact(lenBytes, 2);
    const int len = lenBytes[0] | (lenBytes[1] << 8);  // little-endian, unlike the rest of the handshake
    std::vector<std::uint8_t> challenge(static_cast<std::size_t>(len) + 1);
    ReadExact(challenge.data(), len);
    std::uint8_t mode = 0;
    if (current) ReadExact(&mode, 1);

    bool ok = false, handled = false, longKeys = false;
    for (int call = 0; call < kMaxChallengeCalls; call++) {
      ok = pi->TakeChallenge(challenge.data(), len, round, &handled, &longKeys);
      if (!ok || handled) break;
      // The plug-in wants the key for this challenge.
      if (current) {
        if (passwordGiven || !havePassword) continue;
      } else if (passwordGiven || !havePassword) {
        // The older servers key the channel with the viewer's password.
        SetStatusText(kStatusLine, UiText(IDS_SERVER_UPGRADE));
        rdr::SleepMs(kUpgradeWarningPauseMs);
        SetStatusText(kStatusLine, UiText(IDS_PASSWORD_AS_KEY));
        rdr::SleepMs(kUpgradeWarningPauseMs);
        SetStatusText(kStatusLine, UiText(IDS_PASSWORD_NOT_SAFE));
        AuthEntry entry;
        if (!AskCredentials(kAuthPasswordUpgrade, "", "", &entry)) cancelled();
        if (!longKeys) CutTo(entry.password, kDesPasswordLength);
        std::snprintf(password.data(), password.size(), "%s", entry.password);
        havePassword = true;
      }
      pi->SetPassword(password.c_str(), static_cast<int>(std::strlen(password.c_str())));
      passwordGiven = true;
    }
    if (!ok || !handled) fail(pi->ErrorText());

    std::uint8_t* response = nullptr;
    int responseLen = 0;
    more = false;
    if (!pi->MakeResponse(&response, &responseLen, round, &more) || !response || responseLen < 0 ||
        responseLen > 0xFFFF) {
      if (response) pi->FreeBuffer(response);
      fail(pi->ErrorText());
    }
    struct FreeResponse {
      DSMPluginChannel* pi;
      std::uint8_t* p;
      ~FreeResponse() { pi->FreeBuffer(p); }
    } freeResponse{pi, response};
    WriteLengthAndBytes(response, static_cast<std::size_t>(responseLen));

    if (!current) {
      SetStatusText(kStatusPlugin, UiText(IDS_ENCRYPTION_INITIALIZED));
      continue;
    }
    pi->EncryptionReady();
    SetStatusText(kStatusPlugin, pi->Description());
    if (mode == 2) continue;
    // The server's own password check follows, inside the channel now.
    if (!havePassword) {
      AuthEntry entry;
      if (!AskCredentials(kAuthPassword, "", "", &entry)) {
        WriteLengthAndBytes(nullptr, 0);
        cancelled();
      }
      std::snprintf(password.data(), password.size(), "%s", entry.password);
      havePassword = true;
    }
    if (mode == 0) CutTo(password.data(), kDesPasswordLength);
    WriteLengthAndBytes(reinterpret_cast<const std::uint8_t*>(password.c_str()), std::strlen(password.c_str()));
    EncryptStoredPassword(m_credentials.storedPassword.bytes, password.c_str());
  }
}

void RfbSession::WriteLengthAndBytes(const std::uint8_t* data, std::size_t n) {
  // One write: a channel sends it as one record.
  SecretText msg(n + 2);
  msg.data()[0] = static_cast<char>(n & 0xFF);
  msg.data()[1] = static_cast<char>(n >> 8);
  if (n) std::memcpy(msg.data() + 2, data, n);
  WriteExact(msg.c_str(), n + 2);
}

void RfbSession::AuthSecureKEBPlugin() { RunPluginChallenges(true); }
void RfbSession::AuthSecureKEBPluginOld() { RunPluginChallenges(false); }
