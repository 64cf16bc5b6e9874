#include <windows.h>

#include <string>

#include "app/UiText.h"
#include "app/UiTextWin32.h"

namespace {

// The whole text of a string-table entry in the process's code page ("" when missing).
std::string LoadWhole(HINSTANCE module, int id) {
  const wchar_t* text = nullptr;
  // With no buffer the string's own resource memory and its length come back.
  const int n = LoadStringW(module, static_cast<UINT>(id), reinterpret_cast<LPWSTR>(&text), 0);
  if (n <= 0 || !text) return std::string();
  const int bytes = WideCharToMultiByte(CP_ACP, 0, text, n, nullptr, 0, nullptr, nullptr);
  std::string out(bytes > 0 ? static_cast<std::size_t>(bytes) : 0, '\0');
  if (bytes > 0) WideCharToMultiByte(CP_ACP, 0, text, n, &out[0], bytes, nullptr, nullptr);
  return out;
}

void Load(HINSTANCE module, int id) { SetUiText(id, LoadWhole(module, id).c_str()); }

}  // namespace

void LoadMessageStrings(HINSTANCE module) {
  for (int id = 50275; id <= 50290; id++) Load(module, id);
  for (int id = 50293; id <= 50296; id++) Load(module, id);
  Load(module, 50297);
}

void LoadUiTexts(HINSTANCE module) {
  for (int id = kUiTextFirst; id <= kUiTextLast; id++) {
    if (id == 50147) continue;  // in the table, but never used from a buffer
    Load(module, id);
  }
  for (int id = kHandshakeTextFirst; id <= kHandshakeTextLast; id++) Load(module, id);
  LoadMessageStrings(module);
}
