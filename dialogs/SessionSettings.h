// The platform-free part of the session dialog: its working copy of the options (a
// KEBOptions record) read from and written to settings files, the defaults it restores,
// the command-line switches it applies again after a file was loaded, and the server
// fields (host, repeater) it reads.
#pragma once

#include <string>

class IniStore;
class KEBOptions;

namespace sessionsettings {

// Reads the settings keys of section [options] (the keys WriteSettings writes), and
// "proxyhost" and "proxyport" of section [connection], into work. A missing key keeps the
// value work holds; values are brought into range as for the options file.
void ReadSettings(IniStore& ini, KEBOptions& work);

// Writes "host" and "port" when host is not null, then "proxyhost", "proxyport" and the
// settings keys of section [options], in the dialog's order.
void WriteSettings(IniStore& ini, const KEBOptions& work, const char* host, int port);

// Restores the built-in defaults of every setting the dialog shows. What is not a setting
// (host, command line, options-file path, log settings, window position) and the snapshot
// folder are kept.
void ResetToDefaults(KEBOptions& work);

// Applies again, to work, the command-line switches that concern settings (work.m_CmdLine
// holds the line), so that they keep precedence over a file loaded in the dialog. Other
// switches, the server argument and configuration files are left alone. Without such
// switches, a scale other than 1/1 is checked. The switches' own messages and quit requests,
// which start-up has had, are not repeated; the scale check's warning is.
void ApplyCommandLineSwitches(KEBOptions& work);

// The server fields of the dialog.
struct ServerFields {
  std::string hostText;      // the host combo's text
  bool useRepeater = false;  // the "Repeater" radio
  std::string repeaterText;  // one repeater, or several separated by ";"
};

struct ServerAddress {
  std::string host;  // upper case
  int port = 0;
  std::string proxyhost;
  int proxyport = 0;
  bool useProxy = false;
};

// Splits the fields by the host-text rules. Behind a repeater an ID entry ("ID:1234567")
// keeps its number as port whatever its size, and of several repeaters the one at
// (ID number) modulo (number of repeaters) is used. False when a field cannot be read.
bool ReadServerFields(const ServerFields& fields, ServerAddress* out);

}  // namespace sessionsettings
