// The helpdesk list of security type 105 (dialog IDD_HELPDESK_LIST): the user picks the
// helpdesk to connect to.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "resources/resource.h"

// Runs the dialog modally without owner. Returns the chosen entry's index + 1, 0 when
// cancelled.
unsigned RunHelpdeskListDialog(HINSTANCE resources, const std::vector<std::string>& entries);

INT_PTR CALLBACK HelpdeskListDlgProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
