#include "app/secure_setup.h"

#include "app/oauth_token.h"
#include "app/run_log.h"
#include "app/texts.h"
#include "platform/command.h"

namespace zanpost {

namespace {

void ApplyTls(T_TcpIp& client, const TServerNastaveni& server)
{
    client.Port = server.Port;
    client.Tls = server.Sifrovani;
    client.TlsOptions.server_name = server.Jmeno;
    client.TlsOptions.ca_file = server.CA;
    client.TlsOptions.pin_sha256 = server.Otisk;
}

}  // namespace

std::string CauseText(SecureCause cause)
{
    switch (cause) {
    case SecureCause::tls_handshake: return texts::cause_handshake;
    case SecureCause::tls_untrusted: return texts::cause_untrusted;
    case SecureCause::tls_name: return texts::cause_name;
    case SecureCause::tls_expired: return texts::cause_expired;
    case SecureCause::tls_pin: return texts::cause_pin;
    case SecureCause::tls_ca_file: return texts::cause_ca_file;
    case SecureCause::tls_not_offered: return texts::cause_not_offered;
    case SecureCause::tls_refused: return texts::cause_refused;
    case SecureCause::tls_injection: return texts::cause_injection;
    case SecureCause::auth_refused: return texts::cause_auth_refused;
    case SecureCause::auth_no_mechanism: return texts::cause_no_mechanism;
    case SecureCause::password_command: return texts::cause_password_command;
    case SecureCause::oauth_unreachable: return texts::cause_oauth_unreachable;
    case SecureCause::oauth_untrusted: return texts::cause_oauth_untrusted;
    case SecureCause::oauth_client_refused: return texts::cause_oauth_client_refused;
    case SecureCause::oauth_grant_expired: return texts::cause_oauth_grant_expired;
    case SecureCause::oauth_not_enrolled: return texts::cause_oauth_not_enrolled;
    case SecureCause::oauth_key: return texts::cause_oauth_key;
    case SecureCause::oauth_bad_answer: return texts::cause_oauth_bad_answer;
    case SecureCause::oauth_cache: return texts::cause_oauth_cache;
    case SecureCause::oauth_declined: return texts::cause_oauth_declined;
    case SecureCause::oauth_code_expired: return texts::cause_oauth_code_expired;
    case SecureCause::configuration: break;
    }
    // Without the key: a client found a value it cannot use.
    return std::string(texts::cause_configuration, sizeof texts::cause_configuration - 3) + ".";
}

std::string FailureText(const std::string& text, const std::exception& failure, RunLog& log)
{
    log.Cause(failure.what());
    if (const auto* bad_value = dynamic_cast<const EConfigValueError*>(&failure))
        return text + "\n" + texts::cause_configuration + bad_value->Key;
    if (const auto* secure = dynamic_cast<const ESecureError*>(&failure)) return text + "\n" + CauseText(secure->Cause);
    return text;
}

std::string RunPasswordCommand(const std::string& command, int timeout, RunLog* log)
{
    platform::CommandOutput output = platform::run_command(command, timeout);
    switch (output.status) {
    case platform::CommandOutput::Status::ok:
        if (log != nullptr) log->AddSecret(output.first_line);
        return std::move(output.first_line);
    case platform::CommandOutput::Status::silent:
        throw ESecureError(SecureCause::password_command, "The password command printed nothing");
    case platform::CommandOutput::Status::unusable:
        throw ESecureError(SecureCause::password_command,
                           "The password command's first line is longer than 16 KiB or holds control bytes");
    case platform::CommandOutput::Status::timed_out:
        throw ESecureError(SecureCause::password_command,
                           "The password command did not end within " + std::to_string(timeout) + " seconds");
    case platform::CommandOutput::Status::failed: break;
    }
    throw ESecureError(SecureCause::password_command,
                       output.exit_code >= 0 ? "The password command ended with exit code " + std::to_string(output.exit_code)
                                             : std::string("The password command could not be run or was killed"));
}

// HesloPrikaz first, then ZanPost's own OAuth token for an XOAUTH2 login, else the password
// as written.
std::string Secret(const TServerNastaveni& server, const std::string& user, const std::string& password, int timeout,
                   RunLog* log, const TOAuthNastaveni& oauth)
{
    if (log != nullptr) log->AddSecret(password);
    if (!server.HesloPrikaz.empty()) return RunPasswordCommand(server.HesloPrikaz, timeout, log);
    if (server.Overeni == SaslMechanism::xoauth2 && oauth.Nastaveno()) return OAuthAccessToken(oauth, user, timeout, log);
    return password;
}

void PrepareSmtp(T_SMTP& smtp, const TServerNastaveni& server, int timeout, RunLog* log, const TOAuthNastaveni& oauth)
{
    if (!server.Chyba.empty()) throw EConfigValueError(server.Chyba);
    ApplyTls(smtp, server);
    smtp.Mechanism = server.Overeni;
    smtp.UserName = server.Uzivatel;
    if (server.Uzivatel.empty()) return;
    smtp.Password = Secret(server, server.Uzivatel, server.Heslo, timeout, log, oauth);
}

namespace {

// POP3 and IMAP log in alike: [Mail] Uzivatel, and the secret as Secret finds it.
template <typename Client>
void PrepareIncoming(Client& client, const TServerNastaveni& server, const TZprava& mail, RunLog* log,
                     const TOAuthNastaveni& oauth)
{
    if (!server.Chyba.empty()) throw EConfigValueError(server.Chyba);
    ApplyTls(client, server);
    client.Mechanism = server.Overeni;
    client.UserName = mail.Uzivatel;
    client.Password = Secret(server, mail.Uzivatel, mail.Heslo, mail.Timeout, log, oauth);
}

}  // namespace

void PreparePop3(T_Pop3& pop3, const TServerNastaveni& server, const TZprava& mail, RunLog* log,
                 const TOAuthNastaveni& oauth)
{
    PrepareIncoming(pop3, server, mail, log, oauth);
}

void PrepareImap(T_Imap& imap, const TServerNastaveni& server, const TZprava& mail, RunLog* log,
                 const TOAuthNastaveni& oauth)
{
    PrepareIncoming(imap, server, mail, log, oauth);
}

}  // namespace zanpost
