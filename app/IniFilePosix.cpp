// Natively the ini files are read and written by the portable implementation.
#include "app/PortableIni.h"

std::unique_ptr<IniStore> OpenIniFile(const char* path) { return std::make_unique<PortableIniFile>(path); }
