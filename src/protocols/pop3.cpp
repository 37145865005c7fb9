#include "protocols/pop3.h"

#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/number.h"

#include <algorithm>
#include <exception>
#include <optional>
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

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

struct unique_id {
    std::int32_t number = 0;
    std::string id;  // empty when the line holds none
};

// "n uid", a line of the UIDL listing or what follows "+OK" in the answer to "UIDL n".
unique_id parse_unique_id(std::string_view line)
{
    line = trimmed(line);
    const std::size_t blank = line.find(' ');
    if (blank == std::string_view::npos) return {};
    const auto number = try_str_to_int(line.substr(0, blank));
    if (!number) return {};
    return {*number, std::string(trimmed(line.substr(blank)))};
}

}  // namespace

std::optional<SaslMechanism> pop3_automatic_choice(const SaslOffer& offered, bool tls, bool greeting_has_stamp) noexcept
{
    // Over TLS USER and PASS are as safe as any SASL mechanism and every server has them;
    // PLAIN first only because a server that lists it may have USER switched off.
    if (tls) return offered.has(SaslMechanism::plain) ? SaslMechanism::plain : SaslMechanism::user;
    if (const auto chosen = sasl_automatic_choice(offered, false)) return chosen;
    if (greeting_has_stamp) return SaslMechanism::apop;
    return std::nullopt;
}

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

T_Pop3::Status T_Pop3::ReadStatus()
{
    RequireLine(status_line_);
    return TakeStatus();
}

T_Pop3::Status T_Pop3::TakeStatus()
{
    if (OnTrace) OnTrace(status_line_, trace_received);
    if (status_line_.starts_with("+OK")) return Status::ok;
    if (status_line_.starts_with("-ERR")) return Status::refused;
    return Status::garbled;
}

void T_Pop3::ReadReply()
{
    const Status status = ReadStatus();
    if (status == Status::ok) return;
    if (status == Status::refused) throw EProtocolError("POP3", status_line_, 500);
    // Neither a yes nor a no: whatever the server is answering, it is not our last
    // command, so nothing more may be read from this connection.
    T_TcpIp::Logout();
    throw EProtocolError("POP3", status_line_, 999);
}

void T_Pop3::Fail(SecureCause cause, const std::string& message)
{
    T_TcpIp::Logout();
    throw ESecureError(cause, message);
}

void T_Pop3::ReadCapabilities()
{
    stls_offered_ = false;
    sasl_offered_ = SaslOffer();
    capabilities_read_ = true;
    pipelining_ = false;
    SendCommand("CAPA");
    if (ReadStatus() != Status::ok) {
        // A server from before CAPA says "-ERR" and offers nothing beyond USER and PASS.
        if (status_line_.starts_with("-ERR")) return;
        T_TcpIp::Logout();
        throw EProtocolError("POP3", status_line_, 999);
    }
    StringList capabilities;
    ReadDotTerminated(capabilities);
    for (const std::string& line : capabilities) {
        const std::size_t blank = std::min(line.find(' '), line.size());
        const std::string keyword = ascii_upper(std::string_view(line).substr(0, blank));
        if (keyword == "STLS")
            stls_offered_ = true;
        else if (keyword == "PIPELINING")
            pipelining_ = true;
        else if (keyword == "SASL" && blank < line.size())
            sasl_offered_.add(std::string_view(line).substr(blank + 1));
    }
}

void T_Pop3::JudgeLoginStatus(Status status)
{
    if (status == Status::ok) return;
    if (status == Status::refused) Fail(SecureCause::auth_refused, Hostname + " refused the login: " + status_line_);
    T_TcpIp::Logout();
    throw EProtocolError("POP3", status_line_, 999);
}

void T_Pop3::LoginWithUserAndPass()
{
    SendCommand("USER " + UserName);
    JudgeLoginStatus(ReadStatus());
    send_secret_line(*this, "PASS " + Password, "PASS " + std::string(secret_mask));
    JudgeLoginStatus(ReadStatus());
}

void T_Pop3::LoginWithApop(const std::string& greeting)
{
    const std::string stamp = apop_timestamp(greeting);
    if (stamp.empty()) Fail(SecureCause::auth_no_mechanism, Hostname + " offers no APOP: its greeting has no stamp");
    const std::string command = "APOP " + UserName + " ";
    send_secret_line(*this, command + apop_digest(stamp, Password), command + secret_mask);
    JudgeLoginStatus(ReadStatus());
}

void T_Pop3::LoginWithSasl(SaslMechanism mechanism)
{
    if (!sasl_offered_.has(mechanism))
        Fail(SecureCause::auth_no_mechanism,
             Hostname + " offers no login as " + std::string(sasl_name(mechanism)) +
                 (sasl_offered_.empty() ? " (none offered)" : " (offered: " + sasl_offered_.names() + ")"));
    SaslClient sasl(mechanism, UserName, Password);
    // Never an initial response: the command alone, then the first message after "+", which
    // every server takes (and Microsoft's requires for XOAUTH2), whatever its length.
    SendCommand("AUTH " + std::string(sasl_name(mechanism)));
    bool cancelled = false;
    std::string line;
    for (;;) {
        RequireLine(line);
        if (!line.starts_with("+") || line.starts_with("+OK")) break;
        // A challenge is part of the login: only its mark reaches the trace.
        if (OnTrace) OnTrace("+ " + std::string(secret_mask), trace_received);
        if (cancelled) Fail(SecureCause::auth_refused, Hostname + " went on with a login that was cancelled");
        std::string_view text = std::string_view(line).substr(1);
        if (text.starts_with(' ')) text.remove_prefix(1);
        // After a cancel the server's answer ends the exchange.
        cancelled = !answer_challenge(*this, sasl, text);
    }
    // The status line that ends the exchange, already read.
    status_line_ = std::move(line);
    JudgeLoginStatus(TakeStatus());
}

void T_Pop3::SecureLogin(const std::string& greeting)
{
    stls_offered_ = false;
    sasl_offered_ = SaslOffer();
    if (Tls == TlsMode::starttls) {
        ReadCapabilities();
        // Never on without TLS once it was asked for: a server that hides STLS may well be
        // someone in between.
        if (!stls_offered_) Fail(SecureCause::tls_not_offered, Hostname + " does not offer STLS");
        SendCommand("STLS");
        if (ReadStatus() != Status::ok) Fail(SecureCause::tls_refused, Hostname + " refused STLS: " + status_line_);
        StartTls();
        // What the server said before the handshake could have been anyone's.
        ReadCapabilities();
    } else if (Mechanism != SaslMechanism::user && Mechanism != SaslMechanism::apop) {
        ReadCapabilities();
    }

    SaslMechanism mechanism = Mechanism;
    if (mechanism == SaslMechanism::automatic) {
        const std::optional<SaslMechanism> chosen =
            pop3_automatic_choice(sasl_offered_, TlsActive(), !apop_timestamp(greeting).empty());
        if (!chosen)
            Fail(SecureCause::auth_no_mechanism,
                 Hostname + " offers no login without TLS that keeps the password off the wire" +
                     (sasl_offered_.empty() ? std::string() : " (offered: " + sasl_offered_.names() + ")"));
        mechanism = *chosen;
    }
    switch (mechanism) {
    case SaslMechanism::user: LoginWithUserAndPass(); break;
    case SaslMechanism::apop: LoginWithApop(greeting); break;
    default: LoginWithSasl(mechanism); break;
    }
}

void T_Pop3::Login()
{
    if (headers_read_ && !seen_taken_) {
        seen_ = std::move(Messages);
        seen_taken_ = true;
    }
    T_TcpIp::Login();
    Messages.clear();
    // What an earlier server offered says nothing about this session's.
    capabilities_read_ = false;
    pipelining_ = false;
    ReadReply();

    if (Mechanism != SaslMechanism::user || Tls != TlsMode::none) {
        const std::string greeting = status_line_;
        SecureLogin(greeting);
    } else {
        // A clean "-ERR" to USER or PASS leaves the dialogue in step, so the goodbye still
        // follows as it always has; the user is told that the login itself was refused.
        const auto login_step = [this] {
            try {
                ReadReply();
            } catch (const EProtocolError& refused) {
                if (refused.ReplyNumber != 500) throw;
                throw ELoginRefused("POP3", refused.message());
            }
        };
        SendCommand("USER " + UserName);
        login_step();
        // The password itself never reaches the trace.
        send_secret_line(*this, "PASS " + Password, "PASS " + std::string(secret_mask));
        login_step();
    }

    SendCommand("LIST");
    ReadReply();
    // Parsed as the lines come, a listing of tens of thousands never held as text; a line
    // that is no listing line fails the login once the answer is read, in step.
    std::vector<t_reply> messages;
    // Most servers say how many follow ("+OK 2 messages"): room for them at once, not the
    // twice as much that growing one by one may take.
    if (const auto count = try_str_to_int(std::string_view(status_line_).substr(3, status_line_.find(' ', 4) - 3));
        count && *count > 0)
        messages.reserve(std::size_t(std::min(*count, 1 << 17)));
    std::exception_ptr garbled;
    ReadDotTerminated([&messages, &garbled](std::string& line) {
        if (garbled) return;
        try {
            messages.push_back(parse_listing_line(line));
        } catch (const EConvertError&) {
            garbled = std::current_exception();
        }
    });
    if (garbled) std::rethrow_exception(garbled);
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

void T_Pop3::EndWithoutQuit() noexcept
{
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
    GetUniqueIds();
    GetSummaries([](std::size_t) { return true; });
    StringList summary;
    summary.reserve(Messages.size());
    for (const t_reply& message : Messages) summary.push_back(summary_entry(message));
    Lines = std::move(summary);
}

const t_summary& summary_of(const t_reply& message) noexcept
{
    static const t_summary none;
    return message.summary ? *message.summary : none;
}

std::string summary_entry(const t_reply& message)
{
    if (!message.summarized) return std::to_string(message.number);
    const t_summary& summary = summary_of(message);
    if (summary.subject_text.empty()) return summary.from_text;
    return summary.from_text + '\x07' + summary.subject_text;
}

void T_Pop3::GetUniqueIds()
{
    Lines.clear();
    seen_.clear();
    headers_read_ = false;
    seen_taken_ = false;
    later_session_ = false;
    confirmed_.clear();
    if (!Messages.empty()) ReadUniqueIds();
}

void T_Pop3::GetSummaries(const std::function<bool(std::size_t)>& wanted, const std::function<bool(std::size_t)>& keep)
{
    Lines.clear();
    // Last message first, as always.
    std::vector<std::size_t> asked;
    for (std::size_t i = Messages.size(); i > 0; --i)
        if (wanted(i - 1)) asked.push_back(i - 1);
    Exchange(
        asked.size(), MayPipeline(asked.size()),
        [&](std::size_t k) { return "TOP " + std::to_string(Messages[asked[k]].number) + " 1"; },
        [&](std::size_t k) {
            t_reply& message = Messages[asked[k]];
            if (ReadSummaryAnswer(message) && keep && !message.uid.empty() && !keep(asked[k]))
                message.summary.reset();
        });
    headers_read_ = true;
}

bool T_Pop3::MayPipeline(std::size_t commands)
{
    if (!capabilities_read_ && commands >= pipeline_threshold) ReadCapabilities();
    return pipelining_;
}

void T_Pop3::Exchange(std::size_t count, bool pipelined, const std::function<std::string(std::size_t)>& command,
                      const std::function<void(std::size_t)>& answer)
{
    const std::size_t window = pipelined ? pipeline_window : 1;
    std::size_t sent = 0;
    std::string block;
    std::vector<std::string> traced;
    for (std::size_t done = 0; done < count; ++done) {
        // Topped up once half the window is answered: one send carries many commands, and
        // the server always has the next ones at hand.
        if (sent == done || (sent < count && sent - done <= window / 2)) {
            block.clear();
            traced.clear();
            while (sent < count && sent - done < window) {
                std::string text = command(sent++);
                block += text;
                block += "\r\n";
                traced.push_back(std::move(text));
            }
            try {
                SendString(Socket, block);
            } catch (...) {
                if (OnTrace)
                    for (const std::string& text : traced) OnTrace(text, trace_sent);
                throw;
            }
            if (OnTrace)
                for (const std::string& text : traced) OnTrace(text, trace_sent);
        }
        try {
            answer(done);
        } catch (...) {
            // Answers still on their way would be read as those of later commands.
            if (sent > done + 1) T_TcpIp::Logout();
            throw;
        }
    }
}

bool T_Pop3::ReadSummary(t_reply& entry)
{
    SendCommand("TOP " + std::to_string(entry.number) + " 1");
    return ReadSummaryAnswer(entry);
}

bool T_Pop3::ReadSummaryAnswer(t_reply& entry)
{
    entry.summarized = false;
    if (!ReadAccepted()) return false;
    StringList header;
    ReadDotTerminated(header);
    auto summary = std::make_unique<t_summary>();
    // The field a folded line continues, when it is one of the two.
    std::string* continued = nullptr;
    for (const std::string& line : header) {
        // The header ends at its empty line; the body line TOP adds is the message's text,
        // and a "From:" or "Subject:" there says nothing about the message.
        if (line.empty()) break;
        // A field folded over several lines is one field: its lines are joined as they
        // stand, the blank that starts a continuation kept (RFC 5322 unfolding).
        if (line.front() == ' ' || line.front() == '\t') {
            if (continued != nullptr) *continued += line;
            continue;
        }
        continued = nullptr;
        // Field names are the same in any letter case.
        const std::string name = ascii_lower(std::string_view(line).substr(0, 8));
        if (name.starts_with("from:")) {
            summary->from_text = line.substr(std::min<std::size_t>(6, line.size()));
            continued = &summary->from_text;
        } else if (name == "subject:") {
            summary->subject_text = line.substr(std::min<std::size_t>(9, line.size()));
            continued = &summary->subject_text;
        }
    }
    entry.summary = std::move(summary);
    entry.summarized = true;
    return true;
}

void T_Pop3::ReadUniqueIds()
{
    SendCommand("UIDL");
    if (!ReadAccepted()) return;  // a server without UIDL: the summaries stand in
    ReadDotTerminated([this](std::string& line) {
        unique_id entry = parse_unique_id(line);
        if (entry.id.empty()) return;
        // Listed in order as a rule: message n at n - 1, looked for only where it is not.
        const auto at = std::size_t(entry.number) - 1;
        if (entry.number >= 1 && at < Messages.size() && Messages[at].number == entry.number) {
            Messages[at].uid = std::move(entry.id);
            return;
        }
        for (t_reply& message : Messages)
            if (message.number == entry.number) message.uid = entry.id;
    });
}

void T_Pop3::ConnectFor(std::int32_t n)
{
    if (!Connected) {
        Login();
        // Only a session after GetHeaders' own needs its numbers checked.
        later_session_ = seen_taken_ && !seen_.empty();
        confirmed_.clear();
    }
    if (!later_session_ || std::find(confirmed_.begin(), confirmed_.end(), n) != confirmed_.end()) return;

    const auto before = std::find_if(seen_.begin(), seen_.end(), [n](const t_reply& m) { return m.number == n; });
    const auto now = std::find_if(Messages.begin(), Messages.end(), [n](const t_reply& m) { return m.number == n; });
    bool same = false;
    if (before != seen_.end() && now != Messages.end()) {
        if (!before->uid.empty()) {
            SendCommand("UIDL " + std::to_string(n));
            std::string line;
            RequireLine(line);
            if (OnTrace) OnTrace(line, trace_received);
            if (line.starts_with("+OK")) {
                const unique_id entry = parse_unique_id(std::string_view(line).substr(3));
                same = entry.number == n && entry.id == before->uid;
            } else if (!line.starts_with("-ERR")) {
                // As ReadReply: an answer that is neither leaves the dialogue out of step.
                T_TcpIp::Logout();
                throw EProtocolError("POP3", line, 999);
            }
        } else if (now->size == before->size) {
            t_reply fresh;
            fresh.number = n;
            same = ReadSummary(fresh) && summary_of(fresh) == summary_of(*before);
        }
    }
    if (!same) throw EProtocolError("POP3", "message " + std::to_string(n) + " is not the one listed before", 500);
    confirmed_.push_back(n);
}

void T_Pop3::Retrieve(std::int32_t n)
{
    StringList message;
    Retrieve(n, [&message](std::string& line) { message.push_back(std::move(line)); });
    Lines = std::move(message);
}

void T_Pop3::Retrieve(std::int32_t n, const std::function<void(std::string& line)>& sink,
                      const std::function<void()>& answered)
{
    // Emptied first: after a failure no earlier message may pass for message n.
    Lines.clear();
    ConnectFor(n);
    SendCommand("RETR " + std::to_string(n));
    ReadReply();
    if (answered) answered();
    ReadDotTerminated(sink);
}

void T_Pop3::Delete(std::int32_t n)
{
    ConnectFor(n);
    SendCommand("DELE " + std::to_string(n));
    ReadReply();
}

bool T_Pop3::ReadAccepted()
{
    try {
        ReadReply();
    } catch (const EProtocolError& refused) {
        // Only a real "-ERR" leaves the connection in step with the server.
        if (refused.ReplyNumber != 500) throw;
        return false;
    }
    return true;
}

void T_Pop3::DeleteMany(const std::vector<std::int32_t>& numbers, const std::function<void(std::int32_t, bool)>& deleted)
{
    if (!Connected || later_session_) {
        // Each number of a later session is checked before it is used, one at a time.
        for (const std::int32_t n : numbers) {
            bool done = true;
            try {
                Delete(n);
            } catch (const EProtocolError& refused) {
                if (refused.ReplyNumber != 500) throw;
                done = false;
            }
            deleted(n, done);
        }
        return;
    }
    Exchange(
        numbers.size(), MayPipeline(numbers.size()), [&](std::size_t k) { return "DELE " + std::to_string(numbers[k]); },
        [&](std::size_t k) { deleted(numbers[k], ReadAccepted()); });
}

}  // namespace zanpost
