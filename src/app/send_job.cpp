#include "app/config.h"
#include "app/jobs.h"
#include "app/message_box.h"
#include "app/run_log.h"
#include "app/secure_setup.h"
#include "app/texts.h"
#include "app/tray.h"
#include "message/address.h"
#include "message/mail.h"
#include "mime/mime.h"
#include "platform/ui.h"
#include "protocols/smtp.h"
#include "rtl/exceptions.h"
#include "rtl/file_reader.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>

namespace zanpost {

namespace {

void ShowError(RunLog& log, const std::string& text)
{
    ShowMessageBox(log, text, texts::error_caption, platform::mb_iconerror);
}

// The pieces of a comma-separated field into `out`, exactly as written (blanks kept, empty
// pieces kept).
void SplitAtCommas(std::string field, StringList& out)
{
    for (auto p = field.find(','); p != std::string::npos; p = field.find(',')) {
        out.push_back(field.substr(0, p));
        field.erase(0, p + 1);
    }
    out.push_back(field);
}

// The null sender "MAIL FROM: <>" is for bounces; a courier message without a real sender
// would be refused or lost further down the line.
bool HasUsableSender(const std::string& sender)
{
    return sender.find('@') != std::string::npos;
}

// The client that counts the message's bytes as they go out: for the run log (the contents
// themselves are never logged) and for the tray's progress over the files' bytes. Without a
// log or files it is the plain client.
class LoggedSmtp : public T_SMTP {
public:
    LoggedSmtp(RunLog& log, TrayIcon& icon) : log_(log), icon_(icon) {}

    // The bytes of the attached files, which the progress counts against.
    std::uint64_t FileBytes = 0;

    void Send(const std::string& mail_from, const StringList& recipients, const MessageSource& source) override
    {
        if (!log_.Active() && FileBytes == 0) {
            T_SMTP::Send(mail_from, recipients, source);
            return;
        }
        std::uint64_t sent = 0;
        T_SMTP::Send(mail_from, recipients, [&](std::string& block) {
            if (!source(block)) return false;
            log_.CountSentText(block);
            sent += block.size();
            // Files travel in base64: four characters carry three bytes.
            if (FileBytes > 0) icon_.ShowProgress(SendingStep(std::min(sent / 4 * 3, FileBytes), FileBytes));
            return true;
        });
    }

private:
    RunLog& log_;
    TrayIcon& icon_;
};

// A piece of Adresat with words but no address ("Ucetni Brno" in "a@x.cz,Ucetni Brno") is
// someone the user meant to reach and cannot be: the others still get the message, and
// the user is told as for a refused recipient. Empty pieces (a trailing comma) name no one.
bool HasUnaddressedRecipient(const StringList& pieces)
{
    for (const auto& piece : pieces)
        if (piece.find_first_not_of(" \t") != std::string::npos && extract_address(piece, 1).empty()) return true;
    return false;
}

}  // namespace

void SendJob(const TNastaveni& settings, RunLog& log)
{
    const TZprava& Zprava = settings.Zprava;
    TrayIcon icon;
    {
        LoggedSmtp smtp(log, icon);
        if (log.Active()) smtp.OnTrace = [&log](const std::string& line, TTraceLevel level) { log.Trace(line, level); };
        smtp.OnEvent = [&log](SmtpEvent event) {
            switch (event) {
            case SmtpEvent::recipient_accepted: log.RecipientAccepted(); break;
            case SmtpEvent::recipient_refused: log.RecipientRefused(); break;
            case SmtpEvent::message_accepted: log.MessageAccepted(); break;
            }
        };
        T_Mail mail;
        T_Mime mime;
        mail.SMTP = &smtp;
        mime.Mail = &mail;
        // Nothing reads the message's lines afterwards: the files and the body go out as they
        // are read and encoded.
        mime.EncodeWhileSending = true;

        smtp.Hostname = Zprava.SMTP;
        smtp.Timeout = Zprava.Timeout;
        mail.From = Zprava.Odesilatel;
        SplitAtCommas(Zprava.Adresat, mail.Recipients);
        mail.Subject = Zprava.Predmet;

        // The body and every file are opened before anything is sent, and read a piece at a
        // time while the message goes out: no size of theirs makes the program larger.
        std::optional<TextFileReader> body;
        // Without files the text is read through once more, before the message's header,
        // which says how the text goes: opened now, it is the same file.
        std::optional<TextFileReader> first_pass;
        if (!Zprava.Telo.empty()) {
            try {
                body.emplace(Zprava.Telo);
                if (Zprava.Soubory.empty()) first_pass.emplace(Zprava.Telo);
            } catch (const std::exception& failure) {
                log.Cause(failure.what());
                ShowError(log, texts::body_not_loaded + Zprava.Telo);
            }
        }
        std::function<bool(std::string&)> body_text;
        if (body) body_text = [&body](std::string& block) { return body->next(block); };

        // A file that cannot be opened ends the program through its top level: a message
        // without one of its files must not go out as if it were complete.
        if (!Zprava.Soubory.empty()) {
            StringList names;
            SplitAtCommas(Zprava.Soubory, names);
            for (const auto& name : names) {
                const int index = mime.AttachStreamedFile(Zprava.Cesta + name);
                const long long length = mime.Attachments[std::size_t(index)].File->opened_length();
                smtp.FileBytes += std::uint64_t(std::max(0LL, length));
            }
        }

        // A wrong [SMTP] value is named even when the sender is missing too.
        if (!HasUsableSender(mail.From) && settings.Smtp.Chyba.empty()) {
            log.Cause("No sender address in [Mail] Odesilatel");
            ShowError(log, texts::smtp_failed);
        } else {
            try {
                PrepareSmtp(smtp, settings.Smtp, Zprava.Timeout, &log, settings.OAuth);
                if (mime.AttachmentCount() == 0) {
                    // Before connecting, so that no server waits while a large text is read.
                    const bool long_lines = first_pass && has_long_line([&first_pass](std::string& block) {
                                                return first_pass->next(block);
                                            });
                    set_plain_text(mail, body_text, long_lines);
                }
                smtp.Login();
                if (mime.AttachmentCount() == 0) {
                    mail.Action();
                } else {
                    mime.StreamedText = body_text;
                    mime.SendMail();
                }
                smtp.Logout();
                // The others got the message; the user still has to learn that not everyone did.
                if (!smtp.RefusedRecipients.empty() || HasUnaddressedRecipient(mail.Recipients)) {
                    std::string refused = "Recipients refused:";
                    for (const std::string& address : smtp.RefusedRecipients) refused += " <" + address + ">";
                    if (HasUnaddressedRecipient(mail.Recipients)) refused += " (a recipient without an address)";
                    log.Cause(refused);
                    ShowError(log, texts::smtp_failed);
                }
            } catch (const std::exception& failure) {
                ShowError(log, FailureText(texts::smtp_failed, failure, log));
            }
        }
    }
    FinishNotice(settings.Upozorneni, log);
}

}  // namespace zanpost
