// Texts of the About box and the information dialog that need no window: the build time
// and the error number a report keeps.
#pragma once

#include <string>

// The compiler's build date and time ("Mmm dd yyyy", "hh:mm:ss") as
// "yyyy-mm-dd hh:mm:ss". An unreadable text gives zeros in its place.
std::string FormatBuildDateTime(const char* date, const char* time);

// The build time of this program.
std::string BuildDateTime();

// The error number an information dialog keeps for a message: 1000 for a rejected
// connection, 1001 for refused loop-back connections, else number.
int InformationNumber(const char* message, int number);
