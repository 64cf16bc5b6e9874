#pragma once

#include <windows.h>

// Loads every UI text of the string table from module (the language module or the
// executable) into its buffer.
void LoadUiTexts(HINSTANCE module);
// Loads ids 50275 to 50290, 50293 to 50296 and 50297 (127 characters each).
void LoadMessageStrings(HINSTANCE module);
