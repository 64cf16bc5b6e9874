// The credentials file under the user's application-data folder.
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "security/CredentialsFile.h"

void GetCredentialsFilePath(char out[kCredentialsPathSize]) {
  char appData[MAX_PATH];
  if (FAILED(SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
    FormatCredentialsFilePath(nullptr, out);
    return;
  }
  std::string folder = std::string(appData) + "\\Quillmar";
  CreateDirectoryA(folder.c_str(), nullptr);  // a failure shows when the file is used
  CreateDirectoryA((folder + "\\raroze-zez32").c_str(), nullptr);
  FormatCredentialsFilePath(appData, out);
}
