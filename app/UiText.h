// The user-interface texts of the string table (ids 50023 to 50297), loaded once at
// start-up into buffers of their own and read from there by id.
#pragma once

constexpr int kUiTextFirst = 50023;
constexpr int kUiTextLast = 50297;

// The text of a string-table id; "" for ids outside the range or never loaded.
const char* UiText(int id);

// Capacity of an id's buffer, including the terminator (64 or 128).
int UiTextCapacity(int id);

// Stores text for id, cut to the buffer's capacity (used by the loader).
void SetUiText(int id, const char* text);

// The built-in English text of an id (the string table as compiled in), or nullptr.
const char* BuiltinUiText(int id);

// Fills every buffer from the built-in texts (the native build's loader).
void LoadBuiltinUiTexts();
