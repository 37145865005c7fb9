#pragma once
// What the jobs share to reach their servers as configured: port, TLS and login from the
// [SMTP], [POP3] and [IMAP] sections, the password from HesloPrikaz, and the extra box line that
// names why a secured connection or a login failed.

#include "app/config.h"
#include "net/errors.h"
#include "protocols/imap.h"
#include "protocols/pop3.h"
#include "protocols/smtp.h"

#include <exception>
#include <string>

namespace zanpost {

class RunLog;

// A configured value that is not allowed; raised before any connection is made.
class EConfigValueError : public ESecureError {
public:
    explicit EConfigValueError(const std::string& key)
        : ESecureError(SecureCause::configuration, "Invalid value of " + key + " in Zan_Post.ini"), Key(key) {}

    std::string Key;  // "[SMTP] Sifrovani"
};

// The CP1250 line that names a cause to the user.
std::string CauseText(SecureCause cause);

// `text`, and for a failure of security or login a second line (after "\n") naming its
// cause; today's failures keep `text` alone. The failure's own words go to `log`.
std::string FailureText(const std::string& text, const std::exception& failure, RunLog& log);

// Port, TLS and login of the send job's client. Raises EConfigValueError for a bad value
// of [SMTP] and ESecureError (password_command) when HesloPrikaz fails; the command runs
// only when a login is configured.
// With Overeni=XOAUTH2 and no HesloPrikaz, the token comes from [OAuth] when its Tok is set
// (ESecureError with an oauth_* cause when none can be had).
void PrepareSmtp(T_SMTP& smtp, const TServerNastaveni& server, int timeout, RunLog* log,
                 const TOAuthNastaveni& oauth = {});

// The same for the receive job; the login is [Mail] Uzivatel with [Mail] Heslo, or what
// [POP3] HesloPrikaz prints.
void PreparePop3(T_Pop3& pop3, const TServerNastaveni& server, const TZprava& mail, RunLog* log,
                 const TOAuthNastaveni& oauth = {});

// The same over IMAP: [Mail] Uzivatel with [Mail] Heslo, or [IMAP] HesloPrikaz, or [OAuth]'s
// token for XOAUTH2. The server comes from the caller, as for POP3.
void PrepareImap(T_Imap& imap, const TServerNastaveni& server, const TZprava& mail, RunLog* log,
                 const TOAuthNastaveni& oauth = {});

// The first line HesloPrikaz prints; raises ESecureError (password_command) when the
// command fails, prints nothing, prints a first line that cannot be a password (over 16 KiB,
// control bytes) or does not end within `timeout` seconds. Its output is
// never traced or logged; the log learns it only as a secret to mask.
std::string RunPasswordCommand(const std::string& command, int timeout, RunLog* log);

}  // namespace zanpost
