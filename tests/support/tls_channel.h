#pragma once
// The server's side of TLS for the scripted servers: OpenSSL on POSIX; on Windows there is
// none, and a conversation that starts TLS ends its connection there.

#include "platform/sockets.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace zanpost::testing {

// The certificate a scripted server shows once a conversation starts TLS.
struct ServerTls {
    std::string certificate_file;  // PEM: the server's certificate, then its chain
    std::string key_file;          // PEM: its private key
    bool tls12_only = false;       // no TLS 1.3 (renegotiation exists only up to 1.2)
    std::string sha256;            // the certificate's fingerprint, for a client to pin
    // Whom it names, for the checks of what a client logs of it: the common names of its
    // subject and issuer, and of each further certificate of the chain, in the file's order.
    std::string subject_cn;
    std::string issuer_cn;
    std::vector<std::string> chain_cns;
};

class ServerTlsChannel {
public:
    virtual ~ServerTlsChannel() = default;
    virtual bool send_all(const std::string& bytes) = 0;
    virtual platform::IoResult receive(char* buffer, std::size_t size) = 0;
    // Asks the client for a new handshake; it runs while the conversation goes on.
    virtual bool renegotiate() = 0;
};

// Runs the server's handshake on the connection; null, with `error` saying why, when it
// fails.
std::unique_ptr<ServerTlsChannel> server_tls_accept(platform::SocketHandle connection, const ServerTls& tls,
                                                    std::string& error);

}  // namespace zanpost::testing
