// Placeholder until the TLS backend of this platform is built: every handshake fails.

#include "platform/tls.h"

namespace zanpost::platform {

TlsStartResult tls_start(SocketHandle, const TlsOptions&)
{
    TlsStartResult result;
    result.detail = "TLS is not available in this build";
    return result;
}

}  // namespace zanpost::platform
