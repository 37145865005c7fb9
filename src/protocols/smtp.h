#pragma once
// Delivery of one message to an SMTP server: HELO (or EHLO with TLS or a login), MAIL FROM,
// RCPT TO, DATA. The client knows nothing of headers, MIME or address texts; T_Mail hands
// Send the envelope's bare addresses and the message as a source of bytes.

#include "net/tcpip.h"
#include "protocols/sasl.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zanpost {

// A message as it goes out: each call replaces the block by the next bytes, lines ending in
// CR LF that are not yet dot-stuffed (a block may end inside a line), and returns false
// when none are left. The source is read once, while the message is sent, so content too
// large to hold is read and encoded a piece at a time; a failure it raises ends the
// delivery with the connection closed before the message's final ".", so the server drops
// the message.
using MessageSource = std::function<bool(std::string& block)>;

// The lines, each with CR LF, in blocks of about 64 KiB, then what `more` gives. The lines
// are read, not copied: they must outlive the source.
MessageSource line_source(const StringList& lines, MessageSource more = {});

// What a delivery tells as it goes, for whoever counts it (the run log's end line).
enum class SmtpEvent {
    recipient_accepted,  // RCPT TO answered below 400
    recipient_refused,   // RCPT TO answered 400 or above: the others still get the message
    message_accepted,    // the contents answered below 300: the server has taken the message
};

class T_SMTP : public T_TcpIp {
public:
    T_SMTP();

    // A login (SMTP AUTH) follows the greeting when UserName is set; empty: no login.
    std::string UserName;
    std::string Password;  // or the OAuth 2.0 token for xoauth2
    // automatic, plain, login, cram_md5 or xoauth2; a named one must be among those the
    // server offers.
    SaslMechanism Mechanism = SaslMechanism::automatic;

    // What Action delivers: Send's arguments as fields, for a message held as lines.
    std::string MailFrom;         // the envelope sender, a bare address; empty: "MAIL FROM: <>"
    StringList MailTo;            // the envelope recipients, one bare address each
    StringList MailData;          // the message: header block, empty line, body

    std::string HeloName;         // the local host name the last delivery greeted with
    std::int32_t ReplyCode = 0;   // of the last reply read (its first line)
    std::string ReplyText;        // of the last reply read (its first line, code dropped)
    // The recipients of the last delivery that the server refused (a code of 400 or more);
    // the message still went to the others.
    StringList RefusedRecipients;

    // Hears the events of SmtpEvent as they happen.
    std::function<void(SmtpEvent event)> OnEvent;

    // Send(MailFrom, MailTo, the lines of MailData); does nothing when MailData is empty.
    void Action() override;

    // Opens a fresh connection and delivers the message `source` gives to every address of
    // `recipients` (with none, the server is left to refuse DATA), `mail_from` (a bare
    // address, or empty for "<>") as the envelope sender.
    //
    // Without TLS and without UserName the dialogue is HELO and the envelope, as it always
    // was. With either it begins with EHLO and never falls back to HELO; with Tls starttls
    // the server must offer STARTTLS and agree to it, and is asked EHLO again over TLS;
    // with UserName the login follows (AUTH), before anything of the message is sent.
    //
    // Raises EProtocolError ("SMTP", the reply text, the reply code) for a refused HELO,
    // EHLO, MAIL FROM, DATA or message; ESecureError, with the connection closed, when TLS
    // cannot be had (tls_not_offered, tls_refused, tls_injection, the handshake's causes) or
    // the login fails (auth_no_mechanism when nothing offered may carry it, auth_refused;
    // configuration for a Mechanism that is no SMTP one, before connecting);
    // ETcpIpError/ESocketError for the connection; EConvertError for a reply that does not
    // start with a number; what the source raises. Otherwise the connection stays open
    // afterwards.
    virtual void Send(const std::string& mail_from, const StringList& recipients, const MessageSource& source);

    // Reads one reply, continuation lines included, into ReplyCode and ReplyText.
    void ReadReply();

private:
    // Reads one reply; the lines of a login challenge (334) are traced masked.
    void ReadReply(bool login_exchange);
    [[noreturn]] void Refuse() const;
    // Closes the connection and raises ESecureError.
    [[noreturn]] void Fail(SecureCause cause, const std::string& message);
    // EHLO, and what its reply offers in place of what was known before.
    void Ehlo();
    void StartTlsDialogue();
    void Authenticate();
    void Tell(SmtpEvent event) const;

    StringList reply_lines_;  // every line of the last reply
    bool starttls_offered_ = false;
    SaslOffer auth_offered_;
};

}  // namespace zanpost
