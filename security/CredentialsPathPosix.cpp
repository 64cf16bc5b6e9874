// Natively there is no application-data folder: the credentials file is the one in the
// current folder.
#include "security/CredentialsFile.h"

void GetCredentialsFilePath(char out[kCredentialsPathSize]) { FormatCredentialsFilePath(nullptr, out); }
