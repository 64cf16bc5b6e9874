// The user-interface texts of the string table, loaded once at start-up from the resource
// module (the language module when one was loaded) and read from there by id: the range
// 50023 to 50297, and the block of the handshake's texts. Each text is kept whole.
#pragma once

constexpr int kUiTextFirst = 50023;
constexpr int kUiTextLast = 50297;
// The texts of the connect sequence, the security negotiation and their failures.
constexpr int kHandshakeTextFirst = 50400;
constexpr int kHandshakeTextLast = 50599;

// The text of a string-table id; "" for ids outside the ranges or never loaded.
const char* UiText(int id);

// Stores text for id (used by the loaders).
void SetUiText(int id, const char* text);

// The built-in English text of an id (the string table as compiled in), or nullptr.
const char* BuiltinUiText(int id);

// Fills every text from the built-in ones (the native build's loader).
void LoadBuiltinUiTexts();
