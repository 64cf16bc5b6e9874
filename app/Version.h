#pragma once

// Writes the program's file version as " %d.%d.%d.%d" (leading blank) into buf and
// returns buf; on any failure buf is left as it was.
char* FormatFileVersion(char* buf);
