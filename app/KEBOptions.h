// The one record of user settings. (Skeleton: the fields the application object needs;
// the full record, the options file and the command line are being built.)
#pragma once

class KEBOptions {
public:
  KEBOptions();
  void SetFromCommandLine(const char* cmdline);

  bool m_listening = false;
  bool m_ipv6 = false;
  int m_listenPort = 5500;
  char m_host_options[256] = "";
  int m_port = -1;
  bool m_hostGiven = false;

  int m_logLevel = 0;
  bool m_logToConsole = false;
  bool m_logToFile = false;
  char m_logFilename[260] = "";

  bool m_kbdSpecified = false;
  char m_kbdname[9] = "";
};
