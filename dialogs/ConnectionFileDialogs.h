// What the session dialog and the connection share about connection files on Windows: the
// file dialogs ("KEB files (*.keb)", default extension "keb") and taking a file's stored
// password into a connection.
#pragma once

#include <windows.h>

#include "dialogs/ConnectionFile.h"

struct ConnectionCredentials;

constexpr int kConnectionFilePathSize = 260;

// The open dialog: false when cancelled.
bool AskConnectionFileToOpen(HWND owner, char path[kConnectionFilePathSize]);
// The save dialog, starting with the name in path, in initialDir when one is given. An
// invalid file name is reported to the user, other failures are logged; false unless a
// file was chosen.
bool AskConnectionFileToSave(HWND owner, const char* initialDir, char path[kConnectionFilePathSize]);

// The file's stored password becomes the connection's (none when the file has none); the
// copy in info is wiped.
void TakeStoredPassword(connfile::ConnectionInfo& info, ConnectionCredentials& credentials);
