// What the platform-free code asks of the user interface: modal message boxes and
// ending the message loop. The Win32 shell installs the real implementation at
// start-up; without one, messages go to standard error.
#pragma once

enum class MessageIcon { Information, Warning, Error, Question };

class UserInterface {
public:
  virtual ~UserInterface() = default;
  // A modal box with one OK button.
  virtual void ShowMessage(const char* text, const char* title, MessageIcon icon) = 0;
  // Ends the GUI thread's message loop with this exit code (WM_QUIT).
  virtual void Quit(int code) = 0;
  // The report of an error or warning: its message and error number, modally. Without a
  // window system it goes to standard error.
  virtual void ShowReport(const char* message, int number);
};

UserInterface& UI();
// Installs ui (not owned) and returns the previous one; nullptr restores the default.
UserInterface* SetUserInterface(UserInterface* ui);
