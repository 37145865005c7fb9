#pragma once
// The failures of the network layer. Everything that goes wrong on a connection leaves
// through one of these three, so a job can catch ETcpIpError and know it covers them all.

#include "rtl/exceptions.h"

#include <cstdint>
#include <string>

namespace zanpost {

// A connection that could not be made or that broke: an unknown host, a lost or timed-out
// connection, a send the peer did not take.
class ETcpIpError : public Exception {
public:
    explicit ETcpIpError(const std::string& message) : Exception("ETcpIpError", message) {}

protected:
    ETcpIpError(const std::string& kind, const std::string& message) : Exception(kind, message) {}
};

// The platform refused to create or connect a socket; ErrorNumber is its Windows Sockets
// error number (10061 for a refused connection, 10060 for one that ran out of time).
class ESocketError : public ETcpIpError {
public:
    explicit ESocketError(int error_number)
        : ETcpIpError("ESocketError", "Error creating socket"), ErrorNumber(std::uint16_t(error_number)) {}

    std::uint16_t ErrorNumber;
};

// A server refused a step of its dialogue. ReplyNumber is the SMTP reply code, or for POP3
// 500 ("-ERR") and 999 (a status line that is neither "+OK" nor "-ERR").
class EProtocolError : public ETcpIpError {
public:
    EProtocolError(const std::string& protocol, const std::string& message, int reply_number)
        : ETcpIpError("EProtocolError", message), ReplyNumber(std::uint16_t(reply_number)), Protocol(protocol) {}

    std::uint16_t ReplyNumber;
    std::string Protocol;
};

}  // namespace zanpost
