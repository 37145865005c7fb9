#include "protocols/smtp.h"

#include "message/address.h"
#include "rtl/number.h"

namespace zanpost {

T_SMTP::T_SMTP() { Port = 25; }

void T_SMTP::ReadReply()
{
    std::string line;
    RequireLine(line);
    if (OnTrace) OnTrace(line, trace_received);
    ReplyCode = str_to_int(line.substr(0, 3));
    ReplyText = line.size() > 4 ? line.substr(4) : std::string();
    // "250-PIPELINING": the hyphen right after the code announces another line.
    while (line.find('-') == 3) {
        RequireLine(line);
        if (OnTrace) OnTrace(line, trace_received);
    }
}

void T_SMTP::Refuse() const { throw EProtocolError("SMTP", ReplyText, ReplyCode); }

void T_SMTP::Action()
{
    RefusedRecipients.clear();
    if (MailTo.empty() || MailData.empty() || MailFrom.empty()) return;

    Login();
    HeloName = local_host_name();
    ReadReply();  // the greeting; whatever it says, HELO follows

    SendCommand("HELO " + HeloName);
    ReadReply();
    if (ReplyCode >= 300) Refuse();

    SendCommand("MAIL FROM: <" + extract_address(MailFrom, 1) + ">");
    ReadReply();
    if (ReplyCode >= 300) Refuse();

    for (const std::string& line : MailTo) {
        for (std::int32_t n = 1;; ++n) {
            const std::string address = extract_address(line, n);
            if (address.empty()) break;
            SendCommand("RCPT TO: <" + address + ">");
            ReadReply();
            if (ReplyCode >= 400) RefusedRecipients.push_back(address);
        }
    }

    SendCommand("DATA");
    ReadReply();
    if (ReplyCode != 354) Refuse();

    SendDotTerminated(MailData, MoreData);
    ReadReply();
    if (ReplyCode >= 300) Refuse();
}

}  // namespace zanpost
