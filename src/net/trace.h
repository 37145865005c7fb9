#pragma once
// The optional trace callback of a network client. Callers that set none pay nothing: no
// trace text is built unless a callback is there to take it.

#include <functional>
#include <string>

namespace zanpost {

enum TTraceLevel {
    trace_sent,      // a command line as sent, without its line end ("PASS *****" for a password)
    trace_received,  // a reply line as received, without its line end
    trace_socket,    // opened, failed to open, closed, bytes received, bytes sent
    trace_security,  // TLS started: version, cipher, the server certificate; never a secret
};

using TTraceProc = std::function<void(const std::string& s, TTraceLevel level)>;

}  // namespace zanpost
