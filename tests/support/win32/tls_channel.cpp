// The Windows build's scripted servers speak no TLS: the TLS tests run on Linux.

#include "support/tls_channel.h"

namespace zanpost::testing {

std::unique_ptr<ServerTlsChannel> server_tls_accept(platform::SocketHandle, const ServerTls&, std::string& error)
{
    error = "no TLS server in this build";
    return nullptr;
}

}  // namespace zanpost::testing
