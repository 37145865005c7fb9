#pragma once
// A composed RFC 822 message (T_MailNews) and its delivery through an SMTP client (T_Mail).

#include "platform/clock.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zanpost {

class T_SMTP;

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
    StringList MessageLines;  // the composed message: header block, empty line, body
    std::string References;
    std::string ReplyTo;

    // Set by a caller that replaces Body after Action anyway: the next composition moves
    // the body lines into MessageLines instead of copying them, which leaves Body empty.
    // Every composition resets it.
    bool BodyDisposable = false;

    // When set, the body goes on after Body with the bytes this writes while the message is
    // sent (T_SMTP::MoreData: lines ending in CR LF, a block at a time), for content too large
    // to hold; MessageLines never holds them.
    std::function<bool(std::string& block)> MoreBody;

    // Composes the header block and the body into MessageLines (appending to what is
    // already there), stamped with the current local time, this host's name and a fresh
    // Message-ID token.
    virtual void Action();

protected:
    // Action's composition with its stamp given.
    void Compose(const platform::LocalDateTime& when, const std::string& host, const std::string& token);
};

class T_Mail : public T_MailNews {
public:
    T_SMTP* SMTP = nullptr;  // not owned
    StringList Recipients;   // each line one recipient text, possibly several addresses
    StringList CC;
    StringList BCC;          // envelope only, never written into the message
    bool Disclose_Receipts = false;

    // Composes the message and delivers it through SMTP to every address of Recipients, CC
    // and BCC, in that order (SMTP->MailTo holds them afterwards). The envelope sender is
    // the address of Sender, or of From, unless SMTP->MailFrom was set, which is then used
    // as it is and kept. Does nothing without SMTP, without a recipient line or without
    // From. Raises what the client raises; MessageLines then still holds the composed
    // message, and SMTP->MailFrom the sender's address.
    void Action() override;
};

// "<" seconds "." token "@" host ">".
std::string message_id(std::int64_t seconds, const std::string& token, const std::string& host);

// A short random token of lower-case letters and digits; two calls differ even within one
// second and across processes.
std::string message_id_token();

}  // namespace zanpost
