#include "app/config.h"
#include "app/jobs.h"
#include "app/message_box.h"
#include "app/received_files.h"
#include "app/run_log.h"
#include "app/secure_setup.h"
#include "app/texts.h"
#include "app/tray.h"
#include "app/version_info.h"
#include "mime/header_text.h"
#include "mime/mime.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "protocols/pop3.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <exception>

namespace zanpost {

namespace {

constexpr std::string_view marker = "ZAN_POST";

void ShowError(const std::string& text)
{
    ShowMessageBox(text, texts::error_caption, platform::mb_iconerror);
}

// A part without a type is text, as MIME reads it.
bool IsTextType(std::string_view content_type)
{
    std::string type = ascii_lower(content_type.substr(0, content_type.find(';')));
    type.erase(0, type.find_first_not_of(" \t"));
    return type.empty() || type.starts_with("text/");
}

// The program itself, its configuration and the body file it sends: nothing received is
// ever written over them, not even the output text.
bool IsProgramFile(const std::string& path)
{
    const std::string own = platform::own_executable_path();
    if (!Zprava.Telo.empty() && SamePath(path, Zprava.Telo)) return true;
    return SamePath(path, own) || SamePath(path, ConfigPath(own));
}

// The files a received name must never overwrite: the program's files and the output file.
bool IsProtectedPath(const std::string& path)
{
    return IsProgramFile(path) || (!Zprava.Telo_Get.empty() && SamePath(path, Zprava.Telo_Get));
}

// One marked message: its parts stored, its text collected. Returns false when something
// of it could not be stored, so that it stays on the server for the next run.
class MessageUnpacker {
public:
    MessageUnpacker(T_Mime& parser, StringList& output, MemoryStream& part_stream)
        : parser_(parser), output_(output), part_stream_(part_stream) {}

    bool UnpackParts()
    {
        // Content nested too deep to read: nothing of it is stored, the message stays.
        if (parser_.Unreadable()) {
            ShowError(texts::text_not_decoded);
            return false;
        }
        const int n = parser_.AttachmentCount();
        // Part 0 is skipped only when it is what stood before the first delimiter; a
        // message without parts, or one that starts with its delimiter, has real content
        // there.
        for (int j = parser_.HasPreamble() ? 1 : 0; j < n; ++j) UnpackPart(*parser_.GetAttachment(j));
        return complete_;
    }

private:
    void UnpackPart(T_Attachment& part)
    {
        // The parser has decided what each part is: a file with its decoded name, text
        // already in CP1250, or nothing for the reader.
        if (part.Use == t_part_use::skipped) return;
        const std::string& name = part.FileName;
        if (part.Use == t_part_use::file) {
            SaveFile(name, part);
        } else if (part.Encoding == enc_base64 && !IsTextType(part.ContentType)) {
            // Bytes that are neither named nor text have nowhere to go.
            SaveFailed(name);
        } else {
            try {
                if (part.Encoding == enc_base64) {
                    for (auto& line : split_lines(part.Data.bytes())) output_.push_back(std::move(line));
                } else {
                    output_.insert(output_.end(), part.Text.begin(), part.Text.end());
                }
            } catch (const std::exception&) {
                ShowError(texts::text_not_decoded);
                complete_ = false;
            }
        }
    }

    void SaveFile(const std::string& name, T_Attachment& part)
    {
        const auto storable = StorableName(name);
        const std::string path = Zprava.Cesta + storable.value_or(std::string());
        if (!storable || IsProtectedPath(path)) {
            SaveFailed(name);
            return;
        }
        try {
            // A part that came as text is the file's lines; the line break before the
            // delimiter belongs to the delimiter, so lines are joined, not terminated.
            if (part.Encoding == enc_base64) {
                part_stream_.assign(part.Data.take());
            } else {
                std::string bytes;
                for (std::size_t k = 0; k < part.Text.size(); ++k) {
                    if (k != 0) bytes += "\r\n";
                    bytes += part.Text[k];
                }
                part_stream_.assign(std::move(bytes));
            }
            WriteFileWhole(path, part_stream_.bytes());
            if (RunLog* log = RunLog::Current()) log->Stored(path, part_stream_.bytes().size());
        } catch (const std::exception&) {
            SaveFailed(name);
        }
        part_stream_.clear();
    }

    void SaveFailed(const std::string& name)
    {
        ShowError(texts::file_not_saved + ("\"" + Zprava.Cesta + name + "\"."));
        complete_ = false;
    }

    T_Mime& parser_;
    StringList& output_;
    MemoryStream& part_stream_;
    bool complete_ = true;
};

}  // namespace

void ReceiveJob()
{
    RunLog log(Zprava.Protokol, Zprava.Protokol.empty() ? std::string() : ReadVersion(platform::own_executable_path()),
               "GET");
    TrayIcon icon;
    {
        T_Mime parser;
        T_Pop3 pop3;
        StringList Subjects;
        StringList Output;
        MemoryStream PartStream;

        pop3.Hostname = Zprava.POP3;
        pop3.UserName = Zprava.Uzivatel;
        pop3.Password = Zprava.Heslo;
        pop3.Timeout = Zprava.Timeout;
        if (log.Active()) pop3.OnTrace = [&log](const std::string& line, TTraceLevel level) { log.Trace(line, level); };

        try {
            PreparePop3(pop3, Pop3Server, Zprava, &log);
            pop3.Login();
            pop3.GetHeaders();
            Subjects = pop3.Lines;
            // Encoded words and folds read as the sender wrote them, in CP1250.
            for (std::string& entry : Subjects) entry = decode_header_text(entry);
            // An output file that names one of the program's own files (an easy slip in the
            // INI) would be overwritten by the first message: nothing is fetched at all.
            const bool output_allowed = !IsProgramFile(Zprava.Telo_Get);
            bool output_refusal_shown = false;

            std::size_t marked = 0;
            for (const std::string& entry : Subjects)
                if (ascii_upper(entry).find(marker) != std::string::npos) ++marked;
            std::size_t fetching = 0;

            for (std::size_t i = 0; i < Subjects.size(); ++i) {
                const std::size_t p = ascii_upper(Subjects[i]).find(marker);
                if (p == std::string::npos) continue;
                icon.ShowProgress(MessageStep(++fetching, marked));
                if (!output_allowed) {
                    if (!output_refusal_shown) ShowError(texts::output_not_saved);
                    output_refusal_shown = true;
                    continue;
                }

                const int number = int(i + 1);
                const std::size_t output_before = Output.size();
                try {
                    // Parsed as it arrives: an attachment is decoded line by line, never
                    // held as a list of its lines.
                    const std::int32_t listed = i < pop3.Messages.size() ? pop3.Messages[i].size : 0;
                    parser.StartParse(listed > 0 ? std::size_t(listed) : 0);
                    pop3.Retrieve(number, [&parser, &log](std::string& line) {
                        log.CountReceived(line);
                        parser.ParseLine(line);
                    });
                    parser.FinishParse();
                    Output.push_back(Subjects[i].substr(p + marker.size()));

                    bool complete = MessageUnpacker(parser, Output, PartStream).UnpackParts();
                    parser.ClearAttachments();
                    // A message that is not deleted is fetched again next run; its text must
                    // arrive once, with its files, in the run that finally deletes it. The
                    // output file is written only for a message stored whole, so an earlier
                    // one stays as it was until this run has stored a message.
                    if (!complete) Output.resize(output_before);
                    if (complete) {
                        try {
                            WriteFileWhole(Zprava.Telo_Get, join_crlf(Output));
                            log.Stored(Zprava.Telo_Get);
                        } catch (const std::exception&) {
                            ShowError(texts::output_not_saved);
                            Output.resize(output_before);
                            complete = false;
                        }
                    }
                    if (complete) pop3.Delete(number);
                } catch (const std::exception& failure) {
                    Output.resize(output_before);
                    ShowError(FailureText(texts::message_not_fetched, failure));
                }
            }
            pop3.Logout();
        } catch (const std::exception& failure) {
            // A refused plain password shows the box it always has; a configuration that chose
            // its server's security ([POP3] keys) is told the cause too.
            if (dynamic_cast<const ELoginRefused*>(&failure) != nullptr && Pop3Server.Nastaveno)
                ShowError(FailureText(texts::pop3_not_connected,
                                      ESecureError(SecureCause::auth_refused, failure.what())));
            else
                ShowError(FailureText(texts::pop3_not_connected, failure));
        }
    }
    FinishNotice();
}

}  // namespace zanpost
