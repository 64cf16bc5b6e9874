// The Win32 user interface behind UI(): modal boxes and the message loop's quit.
#include <windows.h>

#include "app/KEBviewerApp.h"
#include "app/UserInterface.h"
#include "app/UserInterfaceWin32.h"
#include "dialogs/DialogHelpers.h"
#include "dialogs/InfoDialogs.h"

namespace {

class Win32Interface : public UserInterface {
public:
  // The shared task-dialog box: the title given here is its main instruction.
  void ShowMessage(const char* text, const char* title, MessageIcon icon) override {
    UINT code = 0;
    switch (icon) {
      case MessageIcon::Information: code = MB_ICONINFORMATION; break;
      case MessageIcon::Warning: code = MB_ICONWARNING; break;
      case MessageIcon::Error: code = MB_ICONERROR; break;
      case MessageIcon::Question: code = MB_ICONQUESTION; break;
    }
    ShowMessageTaskDialog(GetModuleHandleA(nullptr), nullptr, text ? text : "", title ? title : "", code);
  }
  void Quit(int code) override { QuitMessageLoop(code); }
  void ShowReport(const char* message, int number) override { ShowInformationDialog(message, number); }
};

Win32Interface win32Interface;

}  // namespace

void InstallWin32UserInterface() { SetUserInterface(&win32Interface); }
