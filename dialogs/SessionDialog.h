// The connection dialog: the server directly or through a repeater, the recent hosts,
// connection files, and every option on eight tab pages. It works on a private copy of the
// options and writes them back to the application's KEBOptions only on Connect.
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "app/KEBOptions.h"
#include "dialogs/OptionPages.h"

class CDSMPlugin;
class ClientConnection;
class MRU;

class SessionDialog {
public:
  // plugin: the connection's encryption plug-in object, or null.
  SessionDialog(KEBOptions* options, ClientConnection* connection, CDSMPlugin* plugin);
  virtual ~SessionDialog();
  SessionDialog(const SessionDialog&) = delete;
  SessionDialog& operator=(const SessionDialog&) = delete;

  // 0 when cancelled, 1 after Connect (the server is then in the fields below).
  int DoDialog();

  // The server chosen (after Connect).
  char m_host_dialog[KEBOptions::kHostCapacity] = {};
  int m_port = 0;
  char m_proxyhost_dialog[KEBOptions::kHostCapacity] = {};
  int m_proxyport = 0;
  bool m_fUseProxy = false;

private:
  static INT_PTR CALLBACK DialogProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);
  static INT_PTR CALLBACK PageProc(HWND page, UINT msg, WPARAM wParam, LPARAM lParam);
  INT_PTR OnCommand(HWND dlg, int id, int code);

  void InitDialog(HWND dlg);
  void InitHostFields(bool useConnection, bool fillList);
  bool ReadHostFields();
  void FillHostList(HWND dlg);
  void OnHostChosen(HWND dlg);
  void ShowConnectModeFields(HWND dlg, bool repeater);
  bool OnConnect(HWND dlg);
  void CreatePages(HWND dlg);
  void ShowPage(int page);
  void InitAllPages(bool withHost);
  void ReadAllPages();
  void SetDefaultSettings();
  void ShowOptionPages(HWND dlg, bool show);
  void LoadHostSettings(const char* hostText);
  void LoadSettingsFile(const char* file);
  void SaveSettingsFile(const char* file, bool readPages);
  void SaveConnectionFileAs(HWND dlg, bool ask);
  void LoadConnectionFromDialog(HWND dlg);
  void TakeSavedPassword(const char* hostText);
  void ApplyCommandLineSwitches();
  void DeleteSelectedHost(HWND dlg);
  void StartListeningInstance();
  void FillResolutionSlider(HWND page);
  void ShowResolution(HWND page);
  void FillPluginList(HWND page);
  void EnablePluginControls(HWND page);
  void ConfigurePlugin(HWND page);
  // The chosen plug-in loaded and started for the connection; false (with a warning) when
  // it cannot be. With the option off, a loaded plug-in is unloaded.
  bool PreparePlugin();
  void FillConfPage(HWND page);
  std::string HostSettingsFile(const char* hostText) const;

  KEBOptions* m_pOpt;
  ClientConnection* m_pCC;
  CDSMPlugin* m_pDSMPlugin;
  std::string m_loadedPlugin;  // the file name of the plug-in loaded here
  KEBOptions m_work;  // the working copy every page shows
  std::unique_ptr<MRU> m_pMRU;
  HWND m_hwnd = nullptr;
  HWND m_pages[optionpages::kPageCount] = {};
  int m_currentPage = -1;
  std::string m_settingsFile;  // the settings file read last
  bool m_optionsShown = false;
  bool m_pagesCreated = false;
  int m_dpi = 96;
  std::string m_hostText;      // the host combo's text
  std::string m_repeaterText;  // the repeater field's text
  bool m_useRepeater = false;
  int m_resolutionCount = 0;
  int m_resolutions[64][2] = {};
};
