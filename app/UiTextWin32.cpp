#include <windows.h>

#include "app/UiText.h"
#include "app/UiTextWin32.h"

void LoadMessageStrings(HINSTANCE module) {
  auto load = [module](int id) {
    char buf[128];
    int n = LoadStringA(module, static_cast<UINT>(id), buf, UiTextCapacity(id));
    buf[n > 0 ? n : 0] = '\0';
    SetUiText(id, buf);
  };
  for (int id = 50275; id <= 50290; id++) load(id);
  for (int id = 50293; id <= 50296; id++) load(id);
  load(50297);
}

void LoadUiTexts(HINSTANCE module) {
  for (int id = kUiTextFirst; id <= kUiTextLast; id++) {
    if (id == 50147) continue;  // in the table, but never used from a buffer
    char buf[128];
    int n = LoadStringA(module, static_cast<UINT>(id), buf, UiTextCapacity(id));
    buf[n > 0 ? n : 0] = '\0';
    SetUiText(id, buf);
  }
  LoadMessageStrings(module);
}
