#include "protocols/pop3.h"

#include "rtl/number.h"

#include <algorithm>
#include <string_view>

namespace zanpost {

namespace {

// "1 4711", or with more after the size ("1 4711 extra"): the number up to the first
// blank, the size up to the next one. Only the number matters; a size that is not a
// number counts as 0.
t_reply parse_listing_line(std::string_view line)
{
    const std::size_t blank = line.find(' ');
    t_reply entry;
    entry.number = str_to_int(line.substr(0, blank));
    if (blank != std::string_view::npos) {
        const std::string_view rest = line.substr(blank + 1);
        entry.size = try_str_to_int(rest.substr(0, rest.find(' '))).value_or(0);
    }
    return entry;
}

}  // namespace

T_Pop3::T_Pop3() { Port = 110; }

T_Pop3::~T_Pop3()
{
    OnTrace = nullptr;
    if (Socket == platform::invalid_socket) return;
    try {
        Logout();
    } catch (...) {
        // A server that refuses the goodbye gets its connection closed all the same.
    }
}

void T_Pop3::ReadReply()
{
    std::string line;
    RequireLine(line);
    if (OnTrace) OnTrace(line, trace_received);
    if (line.starts_with("+OK")) return;
    if (line.starts_with("-ERR")) throw EProtocolError("POP3", line, 500);
    // Neither a yes nor a no: whatever the server is answering, it is not our last
    // command, so nothing more may be read from this connection.
    T_TcpIp::Logout();
    throw EProtocolError("POP3", line, 999);
}

void T_Pop3::Login()
{
    T_TcpIp::Login();
    Messages.clear();
    ReadReply();

    SendCommand("USER " + UserName);
    ReadReply();

    // The password itself never reaches the trace.
    try {
        SendString(Socket, "PASS " + Password + "\r\n");
    } catch (...) {
        if (OnTrace) OnTrace("PASS *****", trace_sent);
        throw;
    }
    if (OnTrace) OnTrace("PASS *****", trace_sent);
    ReadReply();

    SendCommand("LIST");
    ReadReply();
    StringList listing;
    ReadDotTerminated(listing);
    std::vector<t_reply> messages;
    messages.reserve(listing.size());
    for (const std::string& line : listing) messages.push_back(parse_listing_line(line));
    Messages = std::move(messages);
}

void T_Pop3::Logout()
{
    if (Connected) {
        SendCommand("QUIT");
        ReadReply();
    }
    T_TcpIp::Logout();
    Messages.clear();
}

void T_Pop3::Action()
{
    Login();
    if (!Messages.empty()) Retrieve(1);
    Logout();
}

void T_Pop3::GetHeaders()
{
    Lines.clear();
    // Collected last message first, as the entries come in; turned round at the end.
    StringList summary;
    summary.reserve(Messages.size());
    StringList header;
    for (auto message = Messages.rbegin(); message != Messages.rend(); ++message) {
        SendCommand("TOP " + std::to_string(message->number) + " 1");
        try {
            ReadReply();
        } catch (const EProtocolError& refused) {
            // Only a real "-ERR" leaves the connection in step with the server.
            if (refused.ReplyNumber != 500) throw;
            summary.push_back(std::to_string(message->number));
            continue;
        }
        header.clear();
        ReadDotTerminated(header);
        for (const std::string& line : header) {
            if (line.starts_with("From:"))
                message->from_text = line.substr(std::min<std::size_t>(6, line.size()));
            else if (line.starts_with("Subject:"))
                message->subject_text = line.substr(std::min<std::size_t>(9, line.size()));
        }
        summary.push_back(message->subject_text.empty() ? message->from_text
                                                        : message->from_text + '\x07' + message->subject_text);
    }
    std::reverse(summary.begin(), summary.end());
    Lines = std::move(summary);
}

void T_Pop3::Retrieve(std::int32_t n)
{
    StringList message;
    Retrieve(n, [&message](std::string& line) { message.push_back(std::move(line)); });
    Lines = std::move(message);
}

void T_Pop3::Retrieve(std::int32_t n, const std::function<void(std::string& line)>& sink)
{
    // Emptied first: after a failure no earlier message may pass for message n.
    Lines.clear();
    if (!Connected) Login();
    SendCommand("RETR " + std::to_string(n));
    ReadReply();
    ReadDotTerminated(sink);
}

void T_Pop3::Delete(std::int32_t n)
{
    if (!Connected) Login();
    SendCommand("DELE " + std::to_string(n));
    ReadReply();
}

}  // namespace zanpost
