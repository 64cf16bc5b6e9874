#include "app/UserInterface.h"

#include <cstdio>

namespace {

class StderrInterface : public UserInterface {
public:
  void ShowMessage(const char* text, const char* title, MessageIcon) override {
    std::fprintf(stderr, "%s: %s\n", title ? title : "", text ? text : "");
  }
  void Quit(int code) override { std::fprintf(stderr, "quit requested (%d)\n", code); }
};

StderrInterface defaultInterface;
UserInterface* current = &defaultInterface;

}  // namespace

void UserInterface::ShowReport(const char* message, int number) {
  std::fprintf(stderr, "Quillmar Remote - Information: %s (%d)\n", message ? message : "", number);
}

UserInterface& UI() { return *current; }

UserInterface* SetUserInterface(UserInterface* ui) {
  UserInterface* old = current;
  current = ui ? ui : &defaultInterface;
  return old;
}
