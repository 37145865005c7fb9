#pragma once
// A composed RFC 822 message (T_MailNews) and its delivery through an SMTP client (T_Mail).

#include "platform/clock.h"
#include "protocols/smtp.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <string>

namespace zanpost {

class T_MailNews {
public:
    T_MailNews() = default;
    virtual ~T_MailNews() = default;
    T_MailNews(const T_MailNews&) = delete;
    T_MailNews& operator=(const T_MailNews&) = delete;

    std::string From;
    std::string Sender;
    std::string Subject;
    StringList Body;
    StringList Header;   // extra header lines, written after the standard ones
    std::string References;
    std::string ReplyTo;
    // When set, the body goes on after Body with the bytes this gives while the message is
    // sent, for content too large to hold.
    MessageSource MoreBody;

    // What the last Send here composed: header block, empty line, body. T_Mail sends the
    // message instead and leaves it empty.
    StringList MessageLines;

    // Send with the body of Body and MoreBody.
    void Action();
    // Composes the message, stamped with the current local time, this host's name and a
    // fresh Message-ID token: the header block with `content_header` (what says how the body
    // is encoded) after Header, then `body` in place of Body and MoreBody. Here it is kept in
    // MessageLines; T_Mail delivers it. None of the message's fields is changed.
    virtual void Send(const StringList& content_header, const MessageSource& body);

protected:
    // The header block through its empty line: From, Message-ID, Date and Subject, then
    // `to_lines` (To and CC), the optional fields, Header and `content_header`.
    StringList HeaderBlock(const platform::LocalDateTime& when, const std::string& host, const std::string& token,
                           const StringList& to_lines, const StringList& content_header) const;
    // Send's composition into MessageLines with its stamp given.
    void Compose(const platform::LocalDateTime& when, const std::string& host, const std::string& token,
                 const StringList& content_header, const MessageSource& body);
};

class T_Mail : public T_MailNews {
public:
    T_SMTP* SMTP = nullptr;  // not owned
    StringList Recipients;   // each line one recipient text, possibly several addresses
    StringList CC;
    StringList BCC;          // envelope only, never written into the message
    bool Disclose_Receipts = false;

    // Composes the message and delivers it through SMTP->Send to every address of
    // Recipients, CC and BCC, in that order. The envelope sender is the address of Sender,
    // or of From, unless SMTP->MailFrom is set, which is then used as it is. Does nothing
    // without SMTP, without a recipient line or without From. Raises what the client
    // raises. The client's MailFrom, MailTo and MailData are left as they are.
    void Send(const StringList& content_header, const MessageSource& body) override;
};

// "<" seconds "." token "@" host ">".
std::string message_id(std::int64_t seconds, const std::string& token, const std::string& host);

// A short random token of lower-case letters and digits; two calls differ even within one
// second and across processes.
std::string message_id_token();

}  // namespace zanpost
