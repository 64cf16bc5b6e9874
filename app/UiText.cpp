#include "app/UiText.h"

#include <string>

#include "resources/StringIds.h"

namespace {

constexpr int kMainCount = kUiTextLast - kUiTextFirst + 1;
constexpr int kHandshakeCount = kHandshakeTextLast - kHandshakeTextFirst + 1;
std::string mainTexts[kMainCount];
std::string handshakeTexts[kHandshakeCount];

struct Builtin {
  int id;
  const char* text;
};
const Builtin builtins[] = {
#define KEB_STRING(id, text) {id, text},
#include "resources/StringTable.inc"
#undef KEB_STRING
};

std::string* Slot(int id) {
  if (id >= kUiTextFirst && id <= kUiTextLast) return &mainTexts[id - kUiTextFirst];
  if (id >= kHandshakeTextFirst && id <= kHandshakeTextLast) return &handshakeTexts[id - kHandshakeTextFirst];
  return nullptr;
}

}  // namespace

const char* UiText(int id) {
  const std::string* s = Slot(id);
  return s ? s->c_str() : "";
}

void SetUiText(int id, const char* text) {
  if (std::string* s = Slot(id)) *s = text ? text : "";
}

const char* BuiltinUiText(int id) {
  for (const auto& b : builtins)
    if (b.id == id) return b.text;
  return nullptr;
}

void LoadBuiltinUiTexts() {
  for (const auto& b : builtins)
    if (Slot(b.id) && b.id != 50147) SetUiText(b.id, b.text);
}
