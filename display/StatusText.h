// The texts of the connection-status dialog that need no window: byte counts, the name of
// the last rectangle's encoding and the line that tells which encryption is in use.
#pragma once

#include <cstdint>
#include <string>

namespace status {

// "%u bytes" up to 1024, then KiB with two decimals up to 1 MiB, MiB with three up to
// 1 GiB and GiB with four above. The decimals are the rest cut (not rounded). Counts
// beyond 4 GiB keep their whole value.
std::string FormatByteSize(std::uint64_t count);

// The name shown for an encoding number (", Cache" appended with the cache on); empty for
// a number that has no name here.
std::string EncodingName(std::int32_t encoding, bool cache);

// How the session's data are protected, as the plug-in's second line shows it.
enum class PluginKind {
  None,        // no plug-in object
  Integrated,  // the plug-in's integrated interface
  Old,         // the plug-in's stream transform of the old scheme
};
// The in-process channel's own description when there is one, else by kind; params is
// the plug-in's parameter text ("NoPassword" means the key file rc4.key).
std::string EncryptionText(const std::string& channelDescription, PluginKind kind, const char* params);

// The plug-in line: "label (name-vversion)".
std::string PluginLine(const std::string& label, const std::string& name, const std::string& version);

}  // namespace status
