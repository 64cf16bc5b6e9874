// The Win32 user interface behind UI(): modal boxes and the message loop's quit.
#include <windows.h>

#include "app/KEBviewerApp.h"
#include "app/UserInterface.h"
#include "app/UserInterfaceWin32.h"

namespace {

class Win32Interface : public UserInterface {
public:
  void ShowMessage(const char* text, const char* title, MessageIcon icon) override {
    UINT flags = MB_OK | MB_SETFOREGROUND | MB_TOPMOST;
    switch (icon) {
      case MessageIcon::Information: flags |= MB_ICONINFORMATION; break;
      case MessageIcon::Warning: flags |= MB_ICONWARNING; break;
      case MessageIcon::Error: flags |= MB_ICONERROR; break;
      case MessageIcon::Question: flags |= MB_ICONQUESTION; break;
    }
    MessageBoxA(nullptr, text ? text : "", title ? title : "", flags);
  }
  void Quit(int code) override { QuitMessageLoop(code); }
};

Win32Interface win32Interface;

}  // namespace

void InstallWin32UserInterface() { SetUserInterface(&win32Interface); }
