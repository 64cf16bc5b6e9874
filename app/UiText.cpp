#include "app/UiText.h"

#include <cstring>

#include "resources/StringIds.h"

namespace {

constexpr int kCount = kUiTextLast - kUiTextFirst + 1;
char buffers[kCount][128];

struct Builtin {
  int id;
  const char* text;
};
const Builtin builtins[] = {
#define KEB_STRING(id, text) {id, text},
#include "resources/StringTable.inc"
#undef KEB_STRING
};

bool InRange(int id) { return id >= kUiTextFirst && id <= kUiTextLast; }

}  // namespace

int UiTextCapacity(int id) {
  static const int wide[] = {50069, 50071, 50072, 50081, 50116, 50121, 50124, 50139, 50143,
                             50198, 50224, 50228, 50254, 50273};
  if ((id >= 50275 && id <= 50290) || (id >= 50293 && id <= 50297)) return 128;
  for (int w : wide)
    if (w == id) return 128;
  return 64;
}

const char* UiText(int id) { return InRange(id) ? buffers[id - kUiTextFirst] : ""; }

void SetUiText(int id, const char* text) {
  if (!InRange(id)) return;
  char* buf = buffers[id - kUiTextFirst];
  std::size_t cap = static_cast<std::size_t>(UiTextCapacity(id)) - 1;
  std::size_t n = text ? std::strlen(text) : 0;
  if (n > cap) n = cap;
  if (n) std::memcpy(buf, text, n);
  buf[n] = '\0';
}

const char* BuiltinUiText(int id) {
  for (const auto& b : builtins)
    if (b.id == id) return b.text;
  return nullptr;
}

void LoadBuiltinUiTexts() {
  for (const auto& b : builtins)
    if (InRange(b.id) && b.id != 50147) SetUiText(b.id, b.text);
}
