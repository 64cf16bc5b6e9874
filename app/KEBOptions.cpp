#include "app/KEBOptions.h"

#include <cstring>

bool g_sponsor = false;
bool g_configSpecified = false;

KEBOptions::KEBOptions() { SetDefaults(); }

void KEBOptions::SetDefaults() {
  std::memset(m_use_encoding, 0, sizeof m_use_encoding);
  for (int e : {0, 1, 2, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 25, 26, 27, 29}) m_use_encoding[e] = true;
  m_PreferredEncodings.assign(1, 10);
  m_restricted = false;
  m_ipv6 = false;
  m_AllowUntrustedServers = true;
  m_viewonly = false;
  m_nostatus = false;
  m_HideEOStreamError = false;
  m_nohotkeys = false;
  m_showtoolbar = true;
  m_fullscreen = false;
  m_SavePos = false;
  m_SaveSize = false;
  m_GNOME = false;
  m_directx = false;
  m_autoDetect = false;
  m_Use8Bit = 0;
  m_shared = true;
  m_swapmouse = false;
  m_belldeiconify = false;
  m_BlockSameMouse = false;
  m_emulate3 = true;
  m_JapKeyboard = false;
  m_emulate3timeout = 100;
  m_emulate3fuzz = 4;
  m_disableclipboard = false;
  m_localcursor = 1;
  m_Scaling = false;
  m_AutoScaling = true;
  m_AutoScalingEven = false;
  m_AutoScalingLimit = false;
  m_scale_num = 100;
  m_scale_den = 100;
  m_cursorshape = true;
  m_noremotecursor = false;
  m_compresslevel = 6;
  m_compresslevelGiven = true;
  m_quality = 8;
  m_qualityGiven = true;
  m_ServerScale = 1;
  m_Reconnect = 3;
  m_EnableCache = false;
  m_EnableZstd = true;
  m_QuickOption = 1;
  m_UseDSMPlugin = false;
  m_UseProxy = false;
  m_allowMonitorSpanning = false;
  m_ChangeServerRes = false;
  m_extendDisplay = false;
  m_showExtend = false;
  m_use_virt = false;
  m_useAllMonitors = false;
  m_requestedWidth = 0;
  m_requestedHeight = 0;
  std::strcpy(m_DSMPlugin, "NoPlugin");
  m_folder[0] = '\0';
  std::strcpy(m_prefix, "brandwyn_");
  std::strcpy(m_imageFormat, ".jpeg");
  m_InfoMsg[0] = '\0';
  m_AutoReconnect = 3;
  m_ExitCheck = false;
  m_FileTransferTimeout = 30;
  m_listenPort = 5500;
  m_KeepAliveInterval = 5;
  m_ThrottleMouse = 0;
  m_GiiEnable = false;
  m_AutoAcceptIncoming = false;
  m_AutoAcceptNoDSM = true;
  m_RequireEncryption = false;
  m_UseOnlyDefaultConfigFile = true;
  m_PreemptiveUpdates = false;

  m_listening = false;
  m_host_options[0] = '\0';
  m_hostGiven = false;
  m_port = -1;
  m_proxyText[0] = '\0';
  m_proxyhost[0] = '\0';
  m_proxyport = -1;
  m_RepeaterChoice = -1;
  m_user[0] = '\0';
  m_password[0] = '\0';
  m_configFilename[0] = '\0';
  m_configSpecified = false;
  m_logLevel = 0;
  m_logToFile = false;
  m_logFilename[0] = '\0';
  m_logToConsole = false;
  m_delay = 0;
  m_x = m_y = m_w = m_h = 0;
  m_NoBorder = false;
  m_ClassName[0] = '\0';
  m_kbdname[0] = '\0';
  m_kbdSpecified = false;
  m_CmdLine[0] = '\0';
  m_optionfile[0] = '\0';
  m_running = false;
  m_hDialog = nullptr;
}

void KEBOptions::SetFromCommandLine(const char*) {}
