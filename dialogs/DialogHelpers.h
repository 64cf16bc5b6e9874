// Message boxes and small helpers shared by every window and dialog: the task-dialog
// message box and two-button question, static controls made into hyperlinks, and the
// window-long calls through which windows keep their object and procedures.
#pragma once

#include <windows.h>

// A message with one OK button. iconCode: MB_ICONERROR, MB_ICONWARNING or
// MB_ICONINFORMATION (other bits ignored); anything else shows the program's icon.
// The lowest byte of the result is 1 when OK was pressed; a failed dialog gives its
// negative status with the lowest byte cleared.
int ShowMessageTaskDialog(HINSTANCE instance, HWND parent, const char* content, const char* instruction,
                          UINT iconCode);

// A question with two command buttons (1000: first, 1001: second, the default) and,
// when checkText is not empty, a check box whose final state goes to *checked. The
// lowest byte of the result is 1 when the first button was chosen.
int ShowChoiceTaskDialog(HINSTANCE instance, HWND parent, const char* instruction, const char* content,
                         const char* first, const char* second, const char* checkText, BOOL* checked);

// A warning with OK and Cancel (and, when extraButton is not empty, a button of that text
// with id 1000 before them), the program's icon, the given window title, sized to its
// content, and a "Don't ask anymore"-style check box when checkText is not empty (its
// final state in *checked). Returns the button pressed (IDOK, IDCANCEL or 1000); IDCANCEL
// when the dialog cannot be shown.
int ShowWarningTaskDialog(HINSTANCE instance, HWND parent, const char* title, const char* instruction,
                          const char* content, const char* extraButton, const char* checkText, BOOL* checked);

// Makes a static control of a dialog look and act as a link (hand cursor, underline under
// the pointer, dark blue text, STN_CLICKED to the dialog). Always true.
BOOL ConvertStaticToHyperlink(HWND dialog, int controlId);

LRESULT CALLBACK HyperlinkParentWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK HyperlinkWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

// The program's icon as the window's big and small icon.
void SetProgramIcon(HWND window);

// The window's DPI where the system tells it per window, else the screen's logical DPI.
int WindowDpi(HWND hwnd);

// Window-long wrappers.
HINSTANCE GetWindowInstanceHandle(HWND hwnd);
WNDPROC GetWindowProcedure(HWND hwnd);
LONG_PTR SetWindowExtraPointer(HWND hwnd, void* value);
WNDPROC SetWindowProcedure(HWND hwnd, WNDPROC proc);
LONG_PTR SetWindowUserData(HWND hwnd, void* pointer);
