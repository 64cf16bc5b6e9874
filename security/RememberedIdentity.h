// Server identities the user accepted with "Don't ask anymore": sections of the options
// file ("fingerprint" for RSA keys, "thumbprint" for TLS certificates), one key per
// host:port.
#pragma once

#include <cstddef>
#include <string>

// The key of a server: "host:port".
std::string IdentityKey(const char* host, int port);
// True when the section holds exactly text for the key (at most maxChars characters of
// the stored value are read).
bool IsRememberedIdentity(const char* optionsFile, const char* section, const std::string& key, const char* text,
                          std::size_t maxChars);
void RememberIdentity(const char* optionsFile, const char* section, const std::string& key, const char* text);
