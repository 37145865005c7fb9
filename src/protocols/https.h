#pragma once
// One HTTPS request and its answer, over the same connection layer and the same certificate
// checks as the mail dialogues: what an OAuth token service needs and nothing more. HTTP/1.1,
// "Connection: close", the answer bounded so a service that talks on cannot make us grow.

#include "net/tcpip.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zanpost {

struct HttpsUrl {
    std::string host;
    std::uint16_t port = 443;
    std::string path = "/";  // with its query, as it goes on the request line

    std::string Text() const;  // "https://host[:port]/path"
};

// "https://host[:port][/path]"; nullopt for anything else (http:// included: a token never
// travels in clear text), for user information in the authority and for an IPv6 literal.
std::optional<HttpsUrl> ParseHttpsUrl(std::string_view text);

struct HttpAnswer {
    int status = 0;
    std::string body;
};

// "a=1&b=x%20y": the pairs percent-encoded as application/x-www-form-urlencoded wants
// (unreserved bytes as they are, every other byte as %XX).
std::string FormEncode(std::initializer_list<std::pair<std::string_view, std::string_view>> fields);
std::string PercentEncode(std::string_view text);

class T_Https : public T_TcpIp {
public:
    static constexpr std::size_t max_answer = 64 * 1024;

    // Connects to the URL's host over TLS (TlsOptions as set by the caller, the name
    // defaulting to the host), posts the form and reads the answer whole. Raises
    // ETcpIpError (or ESecureError) when the connection or TLS fails, and EProtocolError
    // ("HTTP", 999) for an answer that is not HTTP, larger than max_answer, cut short or not
    // whole within Timeout.
    // Neither the form nor the body is traced: both may carry secrets.
    HttpAnswer Post(const HttpsUrl& url, const std::string& form);

private:
    HttpAnswer ReadAnswer();
    void ReadBody(std::size_t length, std::string& body);
    // Timeout bounds each wait in the layer below; this bounds the whole answer, so a
    // service that sends a byte now and then cannot hold the job for long.
    void CheckDeadline();

    std::chrono::steady_clock::time_point deadline_;
    [[noreturn]] void Garbled(const std::string& why);
};

}  // namespace zanpost
