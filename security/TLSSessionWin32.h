// The SChannel client session over a table of the security interface's calls: the
// provider's own table (InitSecurityInterfaceA) in the product; a stand-in provider's in
// the tests of what Wine's provider cannot do (TLS 1.3 and its post-handshake messages).
#pragma once

#include <memory>

#include "security/TLSSession.h"

struct _SECURITY_FUNCTION_TABLE_A;

// nullptr when there is no table.
std::unique_ptr<TLSSession> NewSChannelSession(const char* host, const _SECURITY_FUNCTION_TABLE_A* sspi);
