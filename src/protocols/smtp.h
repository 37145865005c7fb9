#pragma once
// Delivery of one message to an SMTP server: HELO, MAIL FROM, RCPT TO, DATA. The client
// knows nothing of headers or MIME; T_Mail fills the envelope and the lines and runs Action.

#include "net/tcpip.h"
#include "protocols/sasl.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <functional>
#include <string>

namespace zanpost {

class T_SMTP : public T_TcpIp {
public:
    T_SMTP();

    // A login (SMTP AUTH) follows the greeting when UserName is set; empty: no login.
    std::string UserName;
    std::string Password;  // or the OAuth 2.0 token for xoauth2
    SaslMechanism Mechanism = SaslMechanism::automatic;

    std::string MailFrom;         // the envelope sender; a display name may surround it
    std::string HeloName;         // the local host name the last Action greeted with
    std::int32_t ReplyCode = 0;   // of the last reply read (its first line)
    std::string ReplyText;        // of the last reply read (its first line, code dropped)
    StringList MailTo;            // recipient lines; a line may hold several addresses
    StringList MailData;          // the message: header block, empty line, body
    // When set, the message goes on after MailData with the lines this writes while it is
    // sent, for content too large to hold as lines: each call replaces the batch's lines by
    // the next ones and returns false when none are left.
    std::function<bool(StringList& batch)> MoreData;
    // The recipients of the last Action that the server refused (a code of 400 or more);
    // the message still went to the others.
    StringList RefusedRecipients;

    // Opens a fresh connection and delivers MailData to every address of MailTo. Does
    // nothing when MailFrom, MailTo or MailData is empty. Raises EProtocolError ("SMTP",
    // the reply text, the reply code) for a refused HELO, MAIL FROM, DATA or message,
    // ETcpIpError/ESocketError for the connection, EConvertError for a reply that does
    // not start with a number. The connection stays open afterwards.
    void Action() override;

    // Reads one reply, continuation lines included, into ReplyCode and ReplyText.
    void ReadReply();

private:
    [[noreturn]] void Refuse() const;
};

}  // namespace zanpost
