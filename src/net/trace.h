#pragma once
// The optional trace callback of a network client. Callers that set none pay nothing: no
// trace text is built unless a callback is there to take it.

#include <functional>
#include <string>

namespace zanpost {

enum TTraceLevel {
    trace_sent,      // a command line as sent, without its line end ("PASS *****" for a password)
    trace_received,  // a reply line as received, without its line end
    trace_socket,    // opened, failed to open, closed
    trace_security,  // TLS started: version, cipher, the server certificate; never a secret
    // Bytes sent or received, a line for every block: a level of its own, so that whoever
    // keeps only the dialogue leaves them out by level and never by their words.
    trace_traffic,
};

using TTraceProc = std::function<void(const std::string& s, TTraceLevel level)>;

}  // namespace zanpost
