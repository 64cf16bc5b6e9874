#pragma once

#include <windows.h>

// Loads every UI text of the string table, whole, from module (the language module or the
// executable).
void LoadUiTexts(HINSTANCE module);
// Loads ids 50275 to 50290, 50293 to 50296 and 50297.
void LoadMessageStrings(HINSTANCE module);
