#include "protocols/smtp.h"

#include "rtl/ascii.h"
#include "rtl/number.h"

#include <algorithm>
#include <optional>
#include <string_view>
#include <utility>

namespace zanpost {

namespace {

// "250-AUTH PLAIN LOGIN" -> "AUTH", "250-AUTH=LOGIN" (the form of older servers) -> "AUTH";
// `rest` gets what follows the keyword and its separator.
std::string ehlo_keyword(std::string_view line, std::string_view& rest)
{
    const std::string_view text = line.size() > 4 ? line.substr(4) : std::string_view();
    const std::size_t end = std::min(text.find_first_of(" ="), text.size());
    rest = end < text.size() ? text.substr(end + 1) : std::string_view();
    return ascii_upper(text.substr(0, end));
}

}  // namespace

MessageSource line_source(const StringList& lines, MessageSource more)
{
    return [&lines, more = std::move(more), next = std::size_t(0)](std::string& block) mutable {
        block.clear();
        while (next < lines.size() && block.size() < 0x10000) {
            block += lines[next++];
            block += "\r\n";
        }
        return !block.empty() || (more && more(block));
    };
}

T_SMTP::T_SMTP() { Port = 25; }

void T_SMTP::ReadReply() { ReadReply(false); }

void T_SMTP::ReadReply(bool login_exchange)
{
    reply_lines_.clear();
    std::string line;
    RequireLine(line);
    // A challenge is part of the login: only its code reaches the trace.
    const bool masked = login_exchange && line.starts_with("334");
    if (OnTrace) OnTrace(masked ? "334 " + std::string(secret_mask) : line, trace_received);
    ReplyCode = str_to_int(line.substr(0, 3));
    ReplyText = line.size() > 4 ? line.substr(4) : std::string();
    // "250-PIPELINING": the hyphen right after the code announces another line.
    bool more = line.find('-') == 3;
    reply_lines_.push_back(std::move(line));
    while (more) {
        RequireLine(line);
        if (OnTrace) OnTrace(masked ? "334 " + std::string(secret_mask) : line, trace_received);
        more = line.find('-') == 3;
        reply_lines_.push_back(std::move(line));
    }
}

void T_SMTP::Refuse() const { throw EProtocolError("SMTP", ReplyText, ReplyCode); }

void T_SMTP::Tell(SmtpEvent event) const
{
    if (OnEvent) OnEvent(event);
}

void T_SMTP::Fail(SecureCause cause, const std::string& message)
{
    T_TcpIp::Logout();
    throw ESecureError(cause, message);
}

void T_SMTP::Ehlo()
{
    SendCommand("EHLO " + HeloName);
    ReadReply();
    if (ReplyCode >= 300) Refuse();
    starttls_offered_ = false;
    auth_offered_ = SaslOffer();
    // The first line names the server; each further one is an extension.
    for (std::size_t i = 1; i < reply_lines_.size(); ++i) {
        std::string_view rest;
        const std::string keyword = ehlo_keyword(reply_lines_[i], rest);
        if (keyword == "STARTTLS")
            starttls_offered_ = true;
        else if (keyword == "AUTH")
            auth_offered_.add(rest);
    }
}

void T_SMTP::StartTlsDialogue()
{
    // Never on without TLS once it was asked for: a server that hides STARTTLS may well be
    // someone in between.
    if (!starttls_offered_) Fail(SecureCause::tls_not_offered, Hostname + " does not offer STARTTLS");
    SendCommand("STARTTLS");
    ReadReply();
    if (ReplyCode != 220)
        Fail(SecureCause::tls_refused, Hostname + " refused STARTTLS: " + std::to_string(ReplyCode) + " " + ReplyText);
    StartTls();
    // What the server said before the handshake could have been anyone's.
    Ehlo();
}

void T_SMTP::Authenticate()
{
    std::optional<SaslMechanism> mechanism;
    if (Mechanism == SaslMechanism::automatic)
        mechanism = sasl_automatic_choice(auth_offered_, TlsActive());
    else if (auth_offered_.has(Mechanism))
        mechanism = Mechanism;
    if (!mechanism) {
        std::string message = Hostname + " offers no login mechanism that may be used";
        if (Mechanism != SaslMechanism::automatic) message += " as " + std::string(sasl_name(Mechanism));
        else if (!TlsActive()) message += " without TLS";
        message += auth_offered_.empty() ? " (none offered)" : " (offered: " + auth_offered_.names() + ")";
        Fail(SecureCause::auth_no_mechanism, message);
    }

    SaslClient sasl(*mechanism, UserName, Password);
    const std::string command = "AUTH " + std::string(sasl_name(*mechanism));
    // A command line holds 512 octets with its CR LF (RFC 5321); a longer initial response
    // (an OAuth token of Microsoft's) waits for the server's empty challenge (RFC 4954).
    std::string initial =
        sasl.has_initial_response() ? base64_encode(sasl.respond({}).value_or(std::string())) : std::string();
    if (!initial.empty() && command.size() + 1 + initial.size() + 2 <= 512) {
        send_secret_line(*this, command + " " + initial, command + " " + secret_mask);
        initial.clear();
    } else {
        SendCommand(command);
    }

    bool cancelled = false;
    for (;;) {
        ReadReply(true);
        if (ReplyCode == 235) return;
        if (ReplyCode != 334)
            Fail(SecureCause::auth_refused,
                 Hostname + " refused the login: " + std::to_string(ReplyCode) + " " + ReplyText);
        if (cancelled) Fail(SecureCause::auth_refused, Hostname + " went on with a login that was cancelled");
        if (!initial.empty()) {
            send_secret_line(*this, initial, secret_mask);
            initial.clear();
            continue;
        }
        // After a cancel the server's answer ends the exchange.
        cancelled = !answer_challenge(*this, sasl, ReplyText);
    }
}

void T_SMTP::Action()
{
    if (MailData.empty()) {
        RefusedRecipients.clear();
        return;
    }
    Send(MailFrom, MailTo, line_source(MailData));
}

void T_SMTP::Send(const std::string& mail_from, const StringList& recipients, const MessageSource& source)
{
    RefusedRecipients.clear();
    if (!UserName.empty() && Mechanism != SaslMechanism::automatic && sasl_name(Mechanism).empty())
        throw ESecureError(SecureCause::configuration, "The login mechanism asked for is not one of SMTP");

    Login();
    HeloName = local_host_name();
    ReadReply();  // the greeting; whatever it says, HELO or EHLO follows

    // The blank after the colon is what this client has always sent, and servers of the
    // old dialogue take it; submission servers of today hold to RFC 5321, which has none.
    std::string path_separator = ": ";
    if (Tls == TlsMode::none && UserName.empty()) {
        SendCommand("HELO " + HeloName);
        ReadReply();
        if (ReplyCode >= 300) Refuse();
    } else {
        Ehlo();
        if (Tls == TlsMode::starttls) StartTlsDialogue();
        if (!UserName.empty()) Authenticate();
        path_separator = ":";
    }

    SendCommand("MAIL FROM" + path_separator + "<" + mail_from + ">");
    ReadReply();
    if (ReplyCode >= 300) Refuse();

    for (const std::string& address : recipients) {
        SendCommand("RCPT TO" + path_separator + "<" + address + ">");
        ReadReply();
        if (ReplyCode >= 400) RefusedRecipients.push_back(address);
        Tell(ReplyCode >= 400 ? SmtpEvent::recipient_refused : SmtpEvent::recipient_accepted);
    }

    SendCommand("DATA");
    ReadReply();
    if (ReplyCode != 354) Refuse();

    SendDotTerminated({}, source);
    ReadReply();
    if (ReplyCode >= 300) Refuse();
    Tell(SmtpEvent::message_accepted);
}

}  // namespace zanpost
