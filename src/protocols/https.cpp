#include "protocols/https.h"

#include "rtl/ascii.h"

#include <algorithm>
#include <charconv>

namespace zanpost {

namespace {

bool IsUnreserved(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

std::string_view Trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> ParseSize(std::string_view text, int base)
{
    std::size_t value = 0;
    if (text.empty()) return std::nullopt;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

}  // namespace

std::string HttpsUrl::Text() const
{
    // Appended piece by piece: GCC 12 mistakes `"literal" + std::string&&` for an overlapping copy.
    std::string text = "https://";
    text += host;
    if (port != 443) text += ":" + std::to_string(port);
    return text += path;
}

std::optional<HttpsUrl> ParseHttpsUrl(std::string_view text)
{
    constexpr std::string_view scheme = "https://";
    if (text.size() <= scheme.size() || ascii_lower(std::string(text.substr(0, scheme.size()))) != scheme)
        return std::nullopt;
    text.remove_prefix(scheme.size());
    const std::size_t slash = text.find_first_of("/?#");
    std::string_view authority = text.substr(0, slash);
    HttpsUrl url;
    if (slash != std::string_view::npos) {
        std::string_view rest = text.substr(slash);
        rest = rest.substr(0, rest.find('#'));
        url.path = rest.starts_with('?') ? std::string("/").append(rest) : std::string(rest);
    }
    if (authority.find_first_of("@[] \t") != std::string_view::npos) return std::nullopt;
    if (const std::size_t colon = authority.find(':'); colon != std::string_view::npos) {
        const auto port = ParseSize(authority.substr(colon + 1), 10);
        if (!port || *port < 1 || *port > 65535) return std::nullopt;
        url.port = std::uint16_t(*port);
        authority = authority.substr(0, colon);
    }
    if (authority.empty()) return std::nullopt;
    for (char c : url.path)
        if (static_cast<unsigned char>(c) <= ' ' || c == 0x7F) return std::nullopt;
    url.host = std::string(authority);
    return url;
}

std::string PercentEncode(std::string_view text)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (IsUnreserved(byte)) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 15];
        }
    }
    return out;
}

std::string FormEncode(std::initializer_list<std::pair<std::string_view, std::string_view>> fields)
{
    std::string out;
    for (const auto& [name, value] : fields) {
        if (!out.empty()) out += '&';
        out += PercentEncode(name) + "=" + PercentEncode(value);
    }
    return out;
}

void T_Https::Garbled(const std::string& why)
{
    Logout();
    throw EProtocolError("HTTP", "Garbled answer from " + Hostname + ": " + why, 999);
}

void T_Https::CheckDeadline()
{
    if (Timeout > 0 && std::chrono::steady_clock::now() > deadline_)
        Garbled("no whole answer within " + std::to_string(Timeout) + " seconds");
}

HttpAnswer T_Https::Post(const HttpsUrl& url, const std::string& form)
{
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(Timeout);
    Hostname = url.host;
    Port = url.port;
    Tls = TlsMode::implicit;
    Login();
    const std::string host = url.port == 443 ? url.host : url.host + ":" + std::to_string(url.port);
    const std::string head = "POST " + url.path + " HTTP/1.1\r\nHost: " + host +
                             "\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: " +
                             std::to_string(form.size()) +
                             "\r\nAccept: application/json\r\nUser-Agent: ZanPost\r\nConnection: close\r\n\r\n";
    SendString(Socket, head + form);
    if (OnTrace) OnTrace("POST " + url.Text(), trace_sent);
    HttpAnswer answer = ReadAnswer();
    Logout();
    return answer;
}

void T_Https::ReadBody(std::size_t length, std::string& body)
{
    if (body.size() + length > max_answer) Garbled("more than " + std::to_string(max_answer) + " bytes");
    while (length > 0) {
        const std::size_t piece = std::min<std::size_t>(length, 4096);
        if (!ReadBytes(piece, body)) Garbled("the answer ended early");
        length -= piece;
        CheckDeadline();
    }
}

HttpAnswer T_Https::ReadAnswer()
{
    HttpAnswer answer;
    std::string line;
    std::size_t head_bytes = 0;
    const auto next_line = [&] {
        RequireLine(line);
        CheckDeadline();
        head_bytes += line.size() + 2;
        if (head_bytes > max_answer) Garbled("a header larger than " + std::to_string(max_answer) + " bytes");
    };

    // No optional here: GCC 12 takes its value for unset on the path that reads it.
    std::size_t length = 0;
    bool has_length = false;
    bool chunked = false;
    // Interim answers (100 Continue) come before the real one and carry no body.
    do {
        next_line();
        if (OnTrace) OnTrace(line, trace_received);
        if (!line.starts_with("HTTP/1.") || line.size() < 12 || line[8] != ' ') Garbled("no HTTP status line");
        const auto status = ParseSize(std::string_view(line).substr(9, 3), 10);
        if (!status || *status < 100 || *status > 599) Garbled("no HTTP status line");
        answer.status = int(*status);
        has_length = false;
        chunked = false;
        for (next_line(); !line.empty(); next_line()) {
            const std::size_t colon = line.find(':');
            if (colon == std::string::npos) continue;
            const std::string name = ascii_lower(line.substr(0, colon));
            const std::string_view value = Trimmed(std::string_view(line).substr(colon + 1));
            if (name == "content-length") {
                const auto parsed = ParseSize(value, 10);
                if (!parsed) Garbled("a Content-Length that is not a number");
                length = *parsed;
                has_length = true;
            } else if (name == "transfer-encoding") {
                chunked = ascii_lower(std::string(value)).ends_with("chunked");
            }
        }
    } while (answer.status < 200);

    if (answer.status == 204 || answer.status == 304) return answer;
    if (chunked) {
        for (;;) {
            next_line();
            const std::string_view size_text = Trimmed(std::string_view(line).substr(0, line.find(';')));
            const auto size = ParseSize(size_text, 16);
            if (!size) Garbled("a chunk without its size");
            if (*size == 0) break;
            ReadBody(*size, answer.body);
            next_line();
            if (!line.empty()) Garbled("a chunk longer than its size");
        }
        // Trailer fields may follow; nothing here needs them and the connection closes.
    } else if (has_length) {
        ReadBody(length, answer.body);
    } else {
        // No length given: the body runs to the end of the connection.
        bool more = true;
        while (more) {
            more = ReadBytes(4096, answer.body);
            CheckDeadline();
            if (answer.body.size() > max_answer) Garbled("more than " + std::to_string(max_answer) + " bytes");
        }
    }
    return answer;
}

}  // namespace zanpost
