// Where the options live on Windows.
#pragma once

#include <string>

// The folder of the running executable, without a trailing backslash.
std::string ProgramFolder();
// "options.keb" in programFolder when it can be opened for reading and writing there
// (created empty when missing); else in "Quillmar" under the user's application-data
// folder (created when missing); else in the folder named by TEMP.
std::string LocateOptionsFile(const char* programFolder);
// The snapshot folder by default: "Quillmar" in the user's Documents folder, else TEMP.
std::string DefaultSnapshotFolder();
