// The About box, and the information dialog through which error and warning reports are
// shown (the Win32 user interface's ShowReport, behind ShowExceptionDialog).
#pragma once

#include <windows.h>

// The About box, modal: product name and version, build time, a link to the web page.
void ShowAboutBox(HWND parent);
// "Quillmar Remote - Information", modal and without owner: the message, its error number
// (1000 and 1001 for two messages of refused connections), version and build time.
void ShowInformationDialog(const char* message, int number);
