// Snapshots: the framebuffer bitmap saved as an image file through GDI+, named after the
// folder, the prefix and the local time; a small dialog asks for folder and prefix when
// either is missing.
#pragma once

#include <windows.h>

#include <mutex>

#include "display/SnapshotName.h"

class Snapshot {
public:
  Snapshot();
  virtual ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // Saves the bitmap as folder\prefix_yyyymmdd_hhmmss<extension> (environment variables
  // expanded); an extension without an image encoder saves nothing. With an empty folder
  // or prefix the settings dialog asks first (owner: parent). The bitmap handle is read,
  // and the picture copied, under bitmapLock when one is given (the handle changes when
  // the framebuffer is rebuilt). True when a file was written.
  bool SaveToFile(const HBITMAP& bitmap, const char* folder, const char* prefix, const char* extension, HWND parent,
                  std::recursive_mutex* bitmapLock);

  // Folder and prefix as used (possibly edited in the dialog).
  const char* Folder() const { return m_folder; }
  const char* Prefix() const { return m_prefix; }

  // Procedure of the settings dialog (template 216); lParam of WM_INITDIALOG: the Snapshot.
  static INT_PTR CALLBACK SettingsDlgProc(HWND dlg, UINT msg, WPARAM wParam, LPARAM lParam);

private:
  char m_folder[snapshot::kFolderCapacity] = {};
  char m_prefix[snapshot::kPrefixCapacity] = {};
};

// Lets the user choose a folder, starting at initialPath; returns the chosen path, or
// initialPath when cancelled. The result lives in a process-wide buffer of MAX_PATH.
const char* BrowseForFolder(const char* initialPath, HWND owner);
int CALLBACK BrowseForFolderCallback(HWND hwnd, UINT msg, LPARAM lParam, LPARAM data);
