#include "dialogs/OptionPages.h"

#include <cstdio>
#include <cstring>

#include "app/KEBOptions.h"
#include "resources/resource.h"

namespace optionpages {

const int kScalePercents[13] = {25, 50, 75, 80, 85, 90, 95, 100, 125, 150, 200, 300, 400};
const char* const kImageFormats[4] = {".jpeg", ".png", ".gif", ".bmp"};
const int kEncodingRadios[18] = {0, 2, 4, 5, 6, 7, 8, 9, 10, 16, 17, 18, 19, 25, 26, 27, 28, 29};

namespace {

const int kColourRadios[7] = {IDC_COLOUR_FULL, IDC_COLOUR_256,   IDC_COLOUR_64,   IDC_COLOUR_8,
                              IDC_COLOUR_8GREY, IDC_COLOUR_4GREY, IDC_COLOUR_2GREY};

struct Check {
  Page page;
  int id;
  bool KEBOptions::*field;
  bool inverted;  // checked means the option is off
};

// Check boxes that show one flag each.
const Check kChecks[] = {
    {kEncoders, IDC_AUTODETECT, &KEBOptions::m_autoDetect, false},
    {kEncoders, IDC_PREEMPTIVEUPDATES, &KEBOptions::m_PreemptiveUpdates, false},
    {kEncoders, IDC_ENABLECACHE, &KEBOptions::m_EnableCache, false},
    {kEncoders, IDC_ENABLEZSTD, &KEBOptions::m_EnableZstd, false},
    {kEncoders, IDC_COMPRESSLEVEL_USE, &KEBOptions::m_compresslevelGiven, false},
    {kEncoders, IDC_QUALITY_USE, &KEBOptions::m_qualityGiven, false},
    {kInput, IDC_VIEWONLY, &KEBOptions::m_viewonly, false},
    {kInput, IDC_EMULATE3, &KEBOptions::m_emulate3, false},
    {kInput, IDC_JAPKEYBOARD, &KEBOptions::m_JapKeyboard, false},
    {kInput, IDC_GIIENABLE, &KEBOptions::m_GiiEnable, false},
    {kInput, IDC_SWAPMOUSE, &KEBOptions::m_swapmouse, false},
    {kInput, IDC_NOHOTKEYS, &KEBOptions::m_nohotkeys, false},
    {kDisplay, IDC_SHOWTOOLBAR, &KEBOptions::m_showtoolbar, false},
    {kDisplay, IDC_AUTOSCALING, &KEBOptions::m_AutoScaling, false},
    {kDisplay, IDC_AUTOSCALING_EVEN, &KEBOptions::m_AutoScalingEven, false},
    {kDisplay, IDC_FULLSCREEN, &KEBOptions::m_fullscreen, false},
    {kDisplay, IDC_SAVEPOS, &KEBOptions::m_SavePos, false},
    {kDisplay, IDC_SAVESIZE, &KEBOptions::m_SaveSize, false},
    {kDisplay, IDC_GNOME, &KEBOptions::m_GNOME, false},
    {kDisplay, IDC_DIRECTX, &KEBOptions::m_directx, false},
    {kDisplay, IDC_MONITOR_SPANNING, &KEBOptions::m_allowMonitorSpanning, false},
    {kDisplay, IDC_CHANGE_SERVER_RES, &KEBOptions::m_ChangeServerRes, false},
    {kDisplay, IDC_EXTEND_DISPLAY, &KEBOptions::m_extendDisplay, false},
    {kDisplay, IDC_SHOW_EXTEND, &KEBOptions::m_showExtend, false},
    {kDisplay, IDC_USE_VIRT, &KEBOptions::m_use_virt, false},
    {kDisplay, IDC_USE_ALL_MONITORS, &KEBOptions::m_useAllMonitors, false},
    {kMisc, IDC_EXITCHECK, &KEBOptions::m_ExitCheck, false},
    {kMisc, IDC_NOSTATUS, &KEBOptions::m_nostatus, false},
    {kMisc, IDC_HIDE_EOS_ERROR, &KEBOptions::m_HideEOStreamError, false},
    {kSecurity, IDC_USE_PLUGIN, &KEBOptions::m_UseDSMPlugin, false},
    {kSecurity, IDC_DISABLECLIPBOARD, &KEBOptions::m_disableclipboard, false},
    {kSecurity, IDC_SHARED, &KEBOptions::m_shared, false},
    {kSecurity, IDC_REQUIRE_ENCRYPTION, &KEBOptions::m_RequireEncryption, false},
    {kSecurity, IDC_DISALLOW_UNTRUSTED, &KEBOptions::m_AllowUntrustedServers, true},
    {kSecurity, IDC_AUTOACCEPT_INCOMING, &KEBOptions::m_AutoAcceptIncoming, false},
    {kSecurity, IDC_AUTOACCEPT_NODSM, &KEBOptions::m_AutoAcceptNoDSM, false},
    {kSecurity, IDC_RESTRICTED, &KEBOptions::m_restricted, false},
    {kSecurity, IDC_IPV6, &KEBOptions::m_ipv6, false},
    {kConf, IDC_ONLY_DEFAULT_CONFIG, &KEBOptions::m_UseOnlyDefaultConfigFile, false},
};

struct QuickRadio {
  int id;
  int value;
};
const QuickRadio kQuickRadios[] = {{IDC_QUICK_1, 1}, {IDC_QUICK_2, 2}, {IDC_QUICK_3, 3},
                                   {IDC_QUICK_4, 4}, {IDC_QUICK_5, 5}, {IDC_QUICK_7, 7}};
constexpr int kQuickOther = 8;

int Clamp(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

int Preferred(const KEBOptions& o) { return o.m_PreferredEncodings.empty() ? 16 : o.m_PreferredEncodings[0]; }

// Copies the text into a field of cap bytes, up to its first line break (a field that
// goes into an ini file cannot add lines to it).
void CopyField(char* field, std::size_t cap, const std::string& text, std::size_t most) {
  std::size_t n = std::strcspn(text.c_str(), "\r\n");
  if (n > most) n = most;
  if (n > cap - 1) n = cap - 1;
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

void EnableEncoders(const KEBOptions& o, bool autoDetect, PageControls& c) {
  for (int e : kEncodingRadios) c.Enable(IDC_ENCODING_BASE + e, o.m_use_encoding[e] && !autoDetect);
  for (int id : kColourRadios) c.Enable(id, !autoDetect);
  for (int id : {IDC_COMPRESSLEVEL_USE, IDC_COMPRESSLEVEL, IDC_QUALITY_USE, IDC_QUALITY, IDC_ENABLECACHE})
    c.Enable(id, !autoDetect);
}

void EnableDisplay(PageControls& c) {
  const bool change = c.Checked(IDC_CHANGE_SERVER_RES);
  for (int id : {IDC_EXTEND_DISPLAY, IDC_USE_VIRT, IDC_NO_EXTEND, IDC_USE_ALL_MONITORS}) c.Enable(id, change);
  c.Enable(IDC_RESOLUTION_SLIDER, change && !c.Checked(IDC_USE_ALL_MONITORS));
  c.Enable(IDC_SHOW_EXTEND, change && c.Checked(IDC_EXTEND_DISPLAY));
  const bool showExtend = c.Checked(IDC_SHOW_EXTEND);
  c.Enable(IDC_MONITOR_SPANNING, !showExtend);
  c.Enable(IDC_DIRECTX, !showExtend);
}

}  // namespace

int PageTemplate(Page page) {
  static const int templates[kPageCount] = {IDD_PAGE_ENCODERS, IDD_PAGE_INPUT, IDD_PAGE_DISPLAY,
                                            IDD_PAGE_MISC,     IDD_PAGE_SECURITY, IDD_PAGE_QUICK,
                                            IDD_PAGE_LISTEN,   IDD_PAGE_CONF};
  return page >= 0 && page < kPageCount ? templates[page] : 0;
}

void Fill(Page page, const KEBOptions& o, PageControls& c) {
  for (const Check& k : kChecks)
    if (k.page == page) c.SetChecked(k.id, (o.*k.field) != k.inverted);

  switch (page) {
    case kEncoders: {
      const int preferred = Preferred(o);
      for (int e : kEncodingRadios) c.SetChecked(IDC_ENCODING_BASE + e, e == preferred);
      for (int mode = 0; mode < 7; ++mode) c.SetChecked(kColourRadios[mode], o.m_Use8Bit == mode);
      c.SetNumber(IDC_COMPRESSLEVEL, Clamp(o.m_compresslevel, 0, 9));
      c.SetNumber(IDC_QUALITY, Clamp(o.m_quality, 0, 9));
      c.SetChecked(IDC_COPYRECT, o.m_use_encoding[1]);
      EnableEncoders(o, o.m_autoDetect, c);
      break;
    }
    case kInput:
      c.SetChecked(IDC_CURSOR_SHAPE, o.m_cursorshape && !o.m_noremotecursor);
      c.SetChecked(IDC_CURSOR_LOCAL_ONLY, o.m_cursorshape && o.m_noremotecursor);
      c.SetChecked(IDC_CURSOR_REMOTE, !o.m_cursorshape);
      c.SetNumber(IDC_THROTTLEMOUSE, o.m_ThrottleMouse);
      break;
    case kDisplay: {
      char scale[16];
      std::snprintf(scale, sizeof scale, "%d", o.m_scale_den > 0 ? o.m_scale_num * 100 / o.m_scale_den : 100);
      c.SetText(IDC_SCALE_COMBO, scale);
      c.SetNumber(IDC_SERVERSCALE, o.m_ServerScale);
      c.SetChecked(IDC_NO_EXTEND, !o.m_use_virt && !o.m_extendDisplay);
      EnableDisplay(c);
      break;
    }
    case kMisc:
      c.SetText(IDC_SNAPSHOT_FOLDER, o.m_folder);
      c.SetText(IDC_SNAPSHOT_PREFIX, o.m_prefix);
      c.SetText(IDC_IMAGE_FORMAT, o.m_imageFormat);
      c.SetNumber(IDC_RECONNECT, o.m_shared ? o.m_Reconnect : 0);
      c.SetNumber(IDC_AUTORECONNECT, o.m_shared ? o.m_AutoReconnect : 0);
      c.SetNumber(IDC_FILETRANSFERTIMEOUT, o.m_FileTransferTimeout);
      break;
    case kSecurity:
      c.SetText(IDC_INFOMSG, o.m_InfoMsg);
      break;
    case kQuick: {
      bool listed = false;
      for (const QuickRadio& r : kQuickRadios) {
        c.SetChecked(r.id, o.m_QuickOption == r.value);
        listed = listed || o.m_QuickOption == r.value;
      }
      c.SetChecked(IDC_QUICK_OTHER, !listed);
      break;
    }
    case kListen:
      c.SetNumber(IDC_LISTEN_PORT, o.m_listenPort);
      break;
    case kConf:
    case kPageCount:
      break;
  }
}

void Read(Page page, KEBOptions& o, PageControls& c) {
  for (const Check& k : kChecks)
    if (k.page == page) o.*k.field = c.Checked(k.id) != k.inverted;

  int v;
  switch (page) {
    case kEncoders:
      o.m_PreferredEncodings.clear();
      for (int e : kEncodingRadios)
        if (c.Checked(IDC_ENCODING_BASE + e)) o.m_PreferredEncodings.push_back(e);
      for (int mode = 0; mode < 7; ++mode)
        if (c.Checked(kColourRadios[mode])) o.m_Use8Bit = mode;
      if (c.Number(IDC_COMPRESSLEVEL, &v)) o.m_compresslevel = Clamp(v, 0, 9);
      if (c.Number(IDC_QUALITY, &v)) o.m_quality = Clamp(v, 0, 9);
      o.m_use_encoding[1] = c.Checked(IDC_COPYRECT);
      break;
    case kInput:
      if (c.Checked(IDC_CURSOR_SHAPE)) {
        o.m_cursorshape = true;
        o.m_noremotecursor = false;
      } else if (c.Checked(IDC_CURSOR_LOCAL_ONLY)) {
        o.m_cursorshape = true;
        o.m_noremotecursor = true;
      } else if (c.Checked(IDC_CURSOR_REMOTE)) {
        o.m_cursorshape = false;
      }
      if (c.Number(IDC_THROTTLEMOUSE, &v)) o.m_ThrottleMouse = v;
      break;
    case kDisplay: {
      int scale = 0;
      if (std::sscanf(c.Text(IDC_SCALE_COMBO).c_str(), "%d", &scale) == 1 && scale > 0) {
        o.m_scale_num = scale;
        o.m_scale_den = 100;
      }
      o.m_Scaling = o.m_scale_num != o.m_scale_den;
      if (c.Number(IDC_SERVERSCALE, &v)) o.m_ServerScale = v;
      o.FixScaling();
      break;
    }
    case kMisc: {
      CopyField(o.m_folder, sizeof o.m_folder, c.Text(IDC_SNAPSHOT_FOLDER), 255);
      CopyField(o.m_prefix, sizeof o.m_prefix, c.Text(IDC_SNAPSHOT_PREFIX), 55);
      const std::string format = c.Text(IDC_IMAGE_FORMAT);
      for (const char* f : kImageFormats)
        if (format == f) CopyField(o.m_imageFormat, sizeof o.m_imageFormat, format, 55);
      if (o.m_shared) {
        if (c.Number(IDC_RECONNECT, &v)) o.m_Reconnect = v < 0 ? 0 : v;
        if (c.Number(IDC_AUTORECONNECT, &v)) o.m_AutoReconnect = v < 0 ? 0 : v;
      } else {
        o.m_Reconnect = 0;
        o.m_AutoReconnect = 0;
      }
      // As from a file: a transfer time-out of 1..600 s, the keep-alive below it.
      if (c.Number(IDC_FILETRANSFERTIMEOUT, &v))
        o.m_FileTransferTimeout = Clamp(v, 1, KEBOptions::kMaxFileTransferTimeout);
      if (o.m_KeepAliveInterval > o.m_FileTransferTimeout - 1) o.m_KeepAliveInterval = o.m_FileTransferTimeout - 1;
      break;
    }
    case kSecurity:
      CopyField(o.m_InfoMsg, sizeof o.m_InfoMsg, c.Text(IDC_INFOMSG), 244);
      break;
    case kQuick: {
      bool chosen = false;
      for (const QuickRadio& r : kQuickRadios) {
        if (c.Checked(r.id)) {
          o.m_QuickOption = r.value;
          chosen = true;
        }
      }
      if (!chosen && c.Checked(IDC_QUICK_OTHER)) {
        bool listed = false;
        for (const QuickRadio& r : kQuickRadios) listed = listed || o.m_QuickOption == r.value;
        if (listed) o.m_QuickOption = kQuickOther;
      }
      break;
    }
    case kListen:
      if (c.Number(IDC_LISTEN_PORT, &v) && v >= 1 && v <= 65535) o.m_listenPort = v;
      break;
    case kConf:
    case kPageCount:
      break;
  }
}

void OnCommand(Page page, int id, KEBOptions& o, PageControls& c) {
  if (page == kEncoders) {
    if (id == IDC_AUTODETECT) {
      const bool on = c.Checked(IDC_AUTODETECT);
      EnableEncoders(o, on, c);
      o.m_QuickOption = on ? 1 : kQuickOther;
      return;
    }
    const int opalo = IDC_ENCODING_BASE + 9, opalo2 = IDC_ENCODING_BASE + 10;
    if (id == opalo2) {
      // Opalo2 is full colour only.
      for (int mode = 0; mode < 7; ++mode) c.SetChecked(kColourRadios[mode], mode == 0);
    } else if (id == IDC_ENCODING_BASE + 6) {
      c.SetChecked(IDC_ENABLECACHE, true);  // Zlib goes with the cache encoding
    } else if (id != kColourRadios[0] && c.Checked(opalo2)) {
      for (int mode = 1; mode < 7; ++mode) {
        if (id == kColourRadios[mode]) {
          c.SetChecked(opalo2, false);
          c.SetChecked(opalo, true);
        }
      }
    }
  } else if (page == kDisplay) {
    EnableDisplay(c);
  } else if (page == kSecurity && id == IDC_USE_PLUGIN) {
    c.Enable(IDC_PLUGIN_COMBO, c.Checked(IDC_USE_PLUGIN));
  }
}

}  // namespace optionpages
