#include "app/oauth_token.h"

#include "app/message_box.h"
#include "app/run_log.h"
#include "app/secure_setup.h"
#include "app/texts.h"
#include "app/token_cache.h"
#include "platform/browser.h"
#include "platform/clock.h"
#include "platform/crypto.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/sockets.h"
#include "platform/ui.h"
#include "protocols/oauth.h"
#include "rtl/hex.h"

#include <chrono>

namespace zanpost {

namespace {

using TTok = TOAuthNastaveni::TTok;
using oauth::Outcome;

// A token with less left than this is renewed first: a login must not meet its expiry.
constexpr std::int64_t margin_seconds = 300;
constexpr std::size_t key_file_limit = 1024 * 1024;
// How long a person has to sign in with Google in the browser.
constexpr int browser_wait_seconds = 300;

constexpr const char microsoft_login[] = "https://login.microsoftonline.com/";
constexpr const char google_token_url[] = "https://oauth2.googleapis.com/token";
constexpr const char google_sign_in_url[] = "https://accounts.google.com/o/oauth2/v2/auth";
constexpr const char google_scope[] = "https://mail.google.com/";
constexpr const char application_scope[] = "https://outlook.office365.com/.default";
constexpr const char delegated_scope[] =
    "offline_access https://outlook.office.com/POP.AccessAsUser.All "
    "https://outlook.office.com/IMAP.AccessAsUser.All https://outlook.office.com/SMTP.Send";

std::int64_t Now()
{
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string UtcText(std::int64_t unix_seconds)
{
    // Civil date from days since 1970 (Howard Hinnant's algorithm): no time zone involved.
    const std::int64_t days = unix_seconds >= 0 ? unix_seconds / 86400 : (unix_seconds - 86399) / 86400;
    const std::int64_t seconds = unix_seconds - days * 86400;
    const std::int64_t z = days + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    const std::int64_t day = doy - (153 * mp + 2) / 5 + 1;
    const std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    const std::int64_t year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    const auto two = [](std::int64_t n) { return std::string(n < 10 ? "0" : "") + std::to_string(n); };
    return std::to_string(year) + "-" + two(month) + "-" + two(day) + " " + two(seconds / 3600) + ":" +
           two(seconds / 60 % 60) + ":" + two(seconds % 60) + " UTC";
}

[[noreturn]] void Fail(SecureCause cause, const std::string& message) { throw ESecureError(cause, message); }

// Everything one token request needs to know, worked out once from the settings.
class TokenClient {
public:
    TokenClient(const TOAuthNastaveni& settings, int timeout, RunLog* log)
        : settings_(settings), timeout_(timeout), log_(log)
    {
        if (!settings.Chyba.empty()) throw EConfigValueError(settings.Chyba);
        if (settings.Tok == TTok::none) throw EConfigValueError("[OAuth] Tok");
        Secret(settings.KlientHeslo);
        const bool google = settings.Poskytovatel == TOAuthNastaveni::TPoskytovatel::google;
        if (settings.Tok == TTok::ucet) {
            const auto text = platform::read_small_file(settings.KlicUctu, key_file_limit);
            if (!text) Fail(SecureCause::oauth_key, "The key file " + settings.KlicUctu + " cannot be read");
            auto key = oauth::ParseServiceAccountKey(*text);
            if (!key) Fail(SecureCause::oauth_key, "The key file " + settings.KlicUctu + " is not a service account's key");
            key_ = std::move(*key);
            Secret(key_.private_key);
        }
        if (!settings.Certifikat.empty() && settings.Tok != TTok::ucet) {
            const auto text = platform::read_small_file(settings.Certifikat, key_file_limit);
            if (!text) Fail(SecureCause::oauth_key, "The certificate file " + settings.Certifikat + " cannot be read");
            pem_ = *text;
        }
        if (!settings.Adresa.empty())
            token_url_ = settings.Adresa;
        else if (settings.Tok == TTok::ucet)
            token_url_ = key_.token_uri;
        else
            token_url_ = google ? google_token_url : microsoft_login + settings.Tenant + "/oauth2/v2.0/token";
        if (!settings.Rozsah.empty())
            scope_ = settings.Rozsah;
        else
            scope_ = google ? google_scope : settings.Tok == TTok::aplikace ? application_scope : delegated_scope;
    }

    const TOAuthNastaveni& Settings() const noexcept { return settings_; }
    const std::string& Scope() const noexcept { return scope_; }
    const std::string& TokenUrl() const noexcept { return token_url_; }
    bool Google() const noexcept { return settings_.Poskytovatel == TOAuthNastaveni::TPoskytovatel::google; }
    RunLog* Log() const noexcept { return log_; }

    // What the person signing in must see, in the run's log too when there is one.
    void Box(const std::string& text) const
    {
        if (log_ != nullptr)
            ShowMessageBox(*log_, text, texts::enrol_caption, platform::mb_iconinformation);
        else
            ShowMessageBox(text, texts::enrol_caption, platform::mb_iconinformation);
    }
    int Timeout() const noexcept { return timeout_; }

    std::string FlowName() const
    {
        const char* flow = settings_.Tok == TTok::aplikace ? "aplikace" : settings_.Tok == TTok::obnova ? "obnova" : "ucet";
        return std::string(flow) + (Google() ? " google" : " microsoft");
    }

    // What makes a token this client's: a cache written under other settings is not used.
    std::string Fingerprint() const
    {
        const std::string facts = FlowName() + "\n" + settings_.Tenant + "\n" + settings_.KlientID + "\n" + scope_ +
                                  "\n" + token_url_ + "\n" + settings_.Certifikat + "\n" + settings_.KlicUctu + "\n" +
                                  key_.client_email;
        return to_hex(platform::sha256(facts));
    }

    // Service-account tokens are the mailbox's own; the others serve every mailbox alike.
    std::string CacheAccount(const std::string& account) const
    {
        return settings_.Tok == TTok::ucet ? account : std::string();
    }

    void Secret(const std::string& secret) const
    {
        if (log_ != nullptr && !secret.empty()) log_->AddSecret(secret);
    }

    void Note(const std::string& line) const
    {
        if (log_ != nullptr) log_->Trace(line, trace_socket);
    }

    // One POST to `url`; what came back, or ESecureError naming why nothing usable came.
    HttpAnswer Post(const std::string& url_text, const std::string& form) const
    {
        const auto url = ParseHttpsUrl(url_text);
        if (!url) {
            if (settings_.Tok == TTok::ucet && settings_.Adresa.empty())
                Fail(SecureCause::oauth_key, "The key file's token_uri is not an https:// address");
            throw EConfigValueError(url_text == settings_.AdresaPrihlaseni ? "[OAuth] AdresaPrihlaseni" : "[OAuth] Adresa");
        }
        T_Https https;
        https.Timeout = timeout_;
        https.TlsOptions.server_name = settings_.Jmeno;
        https.TlsOptions.ca_file = settings_.CA;
        https.TlsOptions.pin_sha256 = settings_.Otisk;
        if (log_ != nullptr && log_->Active())
            https.OnTrace = [this](const std::string& line, TTraceLevel level) { log_->Trace(line, level); };
        Note("OAuth " + FlowName() + ": POST " + url->Text());
        try {
            return https.Post(*url, form);
        } catch (const ESecureError& failure) {
            switch (failure.Cause) {
            case SecureCause::tls_untrusted:
            case SecureCause::tls_name:
            case SecureCause::tls_expired:
            case SecureCause::tls_pin:
            case SecureCause::tls_ca_file:
                Fail(SecureCause::oauth_untrusted, std::string("OAuth token service: ") + failure.what());
            default: Fail(SecureCause::oauth_unreachable, std::string("OAuth token service: ") + failure.what());
            }
        } catch (const EProtocolError& failure) {
            Fail(SecureCause::oauth_bad_answer, std::string("OAuth token service: ") + failure.what());
        } catch (const ETcpIpError& failure) {
            Fail(SecureCause::oauth_unreachable, std::string("OAuth token service: ") + failure.what());
        }
    }

    // Asks the token endpoint; the answer read, its secrets registered and its outcome logged.
    oauth::TokenAnswer Ask(const std::string& form) const
    {
        const HttpAnswer answer = Post(token_url_, form);
        oauth::TokenAnswer read = oauth::ReadTokenAnswer(answer);
        Secret(read.access_token);
        Secret(read.refresh_token);
        LogAnswer(answer.status, read);
        return read;
    }

    void LogAnswer(int status, const oauth::TokenAnswer& read) const
    {
        if (log_ == nullptr) return;
        if (read.outcome == Outcome::token) {
            Note("OAuth answer: HTTP " + std::to_string(status) + ", token valid " + std::to_string(read.expires_in) +
                 " s" + (read.refresh_token.empty() ? "" : ", with a refresh token"));
            return;
        }
        std::string line = "OAuth answer: HTTP " + std::to_string(status);
        if (!read.error.empty()) line += " " + read.error;
        if (!read.description.empty()) line += ": " + read.description;
        if (read.error.empty() && read.outcome == Outcome::not_a_token) line += ", not a token";
        log_->Cause(line);
    }

    // The client's own credential: its secret, or an assertion signed with its certificate.
    std::string Credential() const
    {
        if (pem_.empty()) return settings_.KlientHeslo.empty() ? std::string() : "client_secret=" + PercentEncode(settings_.KlientHeslo);
        std::string assertion;
        try {
            assertion = oauth::ClientAssertion(pem_, settings_.KlientID, token_url_, Now());
        } catch (const platform::ECryptoError& failure) {
            Fail(SecureCause::oauth_key, "The certificate " + settings_.Certifikat + " cannot be used: " + failure.message());
        }
        Secret(assertion);
        return FormEncode({{"client_assertion_type", "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"},
                           {"client_assertion", assertion}});
    }

    std::string WithCredential(std::string form) const
    {
        const std::string credential = Credential();
        if (!credential.empty()) form += "&" + credential;
        return form;
    }

    // A token for a flow that needs no person: the application's own, or a service account's.
    oauth::TokenAnswer Unattended(const std::string& account) const
    {
        if (settings_.Tok == TTok::aplikace)
            return Ask(WithCredential(FormEncode(
                {{"grant_type", "client_credentials"}, {"client_id", settings_.KlientID}, {"scope", scope_}})));
        std::string assertion;
        try {
            assertion = oauth::ServiceAccountAssertion(key_, scope_, account, Now());
        } catch (const platform::ECryptoError& failure) {
            Fail(SecureCause::oauth_key, "The key in " + settings_.KlicUctu + " cannot be used: " + failure.message());
        }
        Secret(assertion);
        return Ask(FormEncode({{"grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer"}, {"assertion", assertion}}));
    }

    oauth::TokenAnswer Refresh(const std::string& refresh_token) const
    {
        std::string form =
            FormEncode({{"grant_type", "refresh_token"}, {"client_id", settings_.KlientID}, {"refresh_token", refresh_token}});
        // Google keeps the scope of the sign-in; Microsoft wants it named again.
        if (!Google()) form += "&" + FormEncode({{"scope", scope_}});
        return Ask(WithCredential(std::move(form)));
    }

private:
    const TOAuthNastaveni& settings_;
    int timeout_;
    RunLog* log_;
    oauth::ServiceAccountKey key_;
    std::string pem_;
    std::string token_url_;
    std::string scope_;
};

// Why an answer without a token ends the attempt; `person` when a stored sign-in was used.
[[noreturn]] void Refused(const oauth::TokenAnswer& answer, bool person)
{
    const std::string detail = "The OAuth token service refused: " +
                               (answer.error.empty() ? std::string("no token in its answer") : answer.error) +
                               (answer.description.empty() ? "" : " (" + answer.description + ")");
    switch (answer.outcome) {
    case Outcome::service_failed: Fail(SecureCause::oauth_unreachable, detail);
    case Outcome::grant_invalid:
        Fail(person ? SecureCause::oauth_grant_expired : SecureCause::oauth_client_refused, detail);
    case Outcome::client_refused: Fail(SecureCause::oauth_client_refused, detail);
    case Outcome::declined: Fail(SecureCause::oauth_declined, detail);
    case Outcome::code_expired: Fail(SecureCause::oauth_code_expired, detail);
    default: Fail(SecureCause::oauth_bad_answer, detail);
    }
}

CachedToken Stored(const oauth::TokenAnswer& answer, const std::string& kept_refresh_token)
{
    // Google answers a refresh without a new refresh token: the old one stays good.
    return {answer.access_token, Now() + answer.expires_in,
            answer.refresh_token.empty() ? kept_refresh_token : answer.refresh_token};
}

bool Fresh(const std::optional<CachedToken>& token)
{
    return token && !token->access_token.empty() && token->expires_at - Now() >= margin_seconds;
}

// The cache and its lock, as one run sees them.
class Cache {
public:
    explicit Cache(const TokenClient& client) : client_(client), cache_(client.Settings().Uloziste, client.Fingerprint()) {}

    std::optional<CachedToken> Read(const std::string& account)
    {
        std::string why;
        if (!cache_.Load(why) && client_.Log() != nullptr) client_.Log()->Cause(why);
        auto token = cache_.Find(account);
        if (token) {
            client_.Secret(token->access_token);
            client_.Secret(token->refresh_token);
        }
        return token;
    }

    // Held while the cache may change, so that two runs starting together ask once.
    void Lock()
    {
        lock_ = platform::FileLock::acquire(cache_.Path() + ".lock", client_.Timeout());
        if (!lock_)
            Fail(SecureCause::oauth_cache, "The token cache's lock " + cache_.Path() + ".lock was not had within " +
                                               std::to_string(client_.Timeout()) + " seconds");
    }

    // False when the file could not be written: a job still has its token for this run.
    bool Write(const std::string& account, const CachedToken& token)
    {
        cache_.Put(account, token);
        if (cache_.Save()) return true;
        if (client_.Log() != nullptr) client_.Log()->Cause("The token cache " + cache_.Path() + " could not be written");
        return false;
    }

private:
    const TokenClient& client_;
    TokenCache cache_;
    std::optional<platform::FileLock> lock_;
};

std::string TokenFor(const TokenClient& client, const std::string& login)
{
    const std::string account = client.CacheAccount(login);
    Cache cache(client);
    auto held = cache.Read(account);
    const auto from_cache = [&](const CachedToken& token) {
        client.Note("OAuth " + client.FlowName() + ": token from the cache, valid until " + UtcText(token.expires_at));
        return token.access_token;
    };
    if (Fresh(held)) return from_cache(*held);

    cache.Lock();
    // Another run may have renewed it while this one waited.
    held = cache.Read(account);
    if (Fresh(held)) return from_cache(*held);

    if (client.Settings().Tok != TTok::obnova) {
        const oauth::TokenAnswer answer = client.Unattended(login);
        if (answer.outcome != Outcome::token) Refused(answer, false);
        cache.Write(account, Stored(answer, {}));
        return answer.access_token;
    }

    if (!held || held->refresh_token.empty())
        Fail(SecureCause::oauth_not_enrolled, "No one has signed in for OAuth yet (ZanPost PRIHLASENI)");
    oauth::TokenAnswer answer = client.Refresh(held->refresh_token);
    if (answer.outcome == Outcome::grant_invalid) {
        // A run outside this lock's reach (an older copy, another computer sharing the file)
        // may have rotated it: the newer one is tried before the sign-in is given up.
        const auto again = cache.Read(account);
        if (Fresh(again)) return from_cache(*again);
        if (again && !again->refresh_token.empty() && again->refresh_token != held->refresh_token) {
            held = again;
            answer = client.Refresh(held->refresh_token);
        }
    }
    if (answer.outcome != Outcome::token) Refused(answer, true);
    cache.Write(account, Stored(answer, held->refresh_token));
    return answer.access_token;
}

// Microsoft's device code: the person signs in elsewhere while ZanPost asks at the pace the
// service sets.
oauth::TokenAnswer DeviceCodeSignIn(const TokenClient& client)
{
    std::string url = client.Settings().AdresaPrihlaseni;
    if (url.empty()) {
        url = client.TokenUrl();
        if (url.ends_with("/token")) url.replace(url.size() - 5, 5, "devicecode");
    }
    const std::string& id = client.Settings().KlientID;
    const HttpAnswer answer = client.Post(url, FormEncode({{"client_id", id}, {"scope", client.Scope()}}));
    oauth::TokenAnswer failure;
    const auto code = oauth::ReadDeviceCode(answer, failure);
    if (!code) {
        client.LogAnswer(answer.status, failure);
        Refused(failure, false);
    }
    client.Secret(code->device_code);
    client.Note("OAuth device code: HTTP " + std::to_string(answer.status) + ", sign in at " + code->verification_uri +
                ", valid " + std::to_string(code->expires_in) + " s");
    client.Box(texts::enrol_open + code->verification_uri + texts::enrol_code + code->user_code + texts::enrol_close);

    const std::int64_t ends = Now() + code->expires_in;
    std::int64_t interval = code->interval;
    for (;;) {
        const oauth::TokenAnswer read = client.Ask(client.WithCredential(
            FormEncode({{"grant_type", "urn:ietf:params:oauth:grant-type:device_code"}, {"client_id", id},
                        {"device_code", code->device_code}})));
        if (read.outcome == Outcome::slow_down) interval += 5;
        if (read.outcome != Outcome::pending && read.outcome != Outcome::slow_down) return read;
        if (Now() + interval > ends) Fail(SecureCause::oauth_code_expired, "The device code expired before the sign-in");
        platform::sleep_milliseconds(int(interval * 1000));
    }
}

std::string QueryValue(std::string_view query, std::string_view name)
{
    while (!query.empty()) {
        const std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        if (pair.substr(0, pair.find('=')) != name || pair.find('=') == std::string_view::npos) continue;
        std::string value;
        const std::string_view raw = pair.substr(pair.find('=') + 1);
        for (std::size_t i = 0; i < raw.size(); ++i) {
            const int high = raw[i] == '%' && i + 2 < raw.size() ? hex_digit(raw[i + 1]) : -1;
            const int low = high >= 0 ? hex_digit(raw[i + 2]) : -1;
            if (low >= 0) {
                value += char(high * 16 + low);
                i += 2;
            } else {
                value += raw[i] == '+' ? ' ' : raw[i];
            }
        }
        return value;
    }
    return {};
}

// The query of the one redirect the browser brings back to 127.0.0.1, answered with a page
// that tells the person to go back; empty when none came in time.
std::string AwaitRedirect(platform::SocketHandle listener, const std::string& expected_state)
{
    const auto ends = std::chrono::steady_clock::now() + std::chrono::seconds(browser_wait_seconds);
    while (std::chrono::steady_clock::now() < ends) {
        const int left = int(std::chrono::duration_cast<std::chrono::seconds>(ends - std::chrono::steady_clock::now()).count()) + 1;
        const platform::SocketHandle peer = platform::socket_accept(listener, left);
        if (peer == platform::invalid_socket) break;
        platform::socket_set_timeout(peer, 10);
        std::string request;
        char buffer[2048];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16 * 1024) {
            const platform::IoResult got = platform::socket_receive(peer, buffer, sizeof buffer);
            if (got.status != platform::IoStatus::ok || got.count == 0) break;
            request.append(buffer, got.count);
        }
        const std::string first = request.substr(0, request.find("\r\n"));
        // "GET /?code=...&state=... HTTP/1.1"; a browser may also ask for an icon first.
        const std::size_t query_at = first.find("/?");
        const std::string query =
            first.starts_with("GET ") && query_at != std::string::npos ? first.substr(query_at + 2, first.rfind(' ') - query_at - 2) : "";
        const bool ours = !query.empty() && QueryValue(query, "state") == expected_state;
        const std::string page = ours ? "<!DOCTYPE html><meta charset=\"utf-8\"><title>ZanPost</title>"
                                        "<p>ZanPost: hotovo, toto okno můžete zavřít.</p>"
                                      : "";
        const std::string reply = std::string(ours ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found") +
                                  "\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                  std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page;
        platform::socket_send(peer, reply.data(), reply.size());
        platform::socket_close(peer);
        if (ours) return query;
    }
    return {};
}

// Google's sign-in in the system browser, with PKCE and a redirect to a port of 127.0.0.1.
oauth::TokenAnswer BrowserSignIn(const TokenClient& client)
{
    std::uint16_t port = 0;
    const platform::SocketHandle listener = platform::socket_listen_loopback(port);
    if (listener == platform::invalid_socket)
        Fail(SecureCause::oauth_code_expired, "No port of 127.0.0.1 to receive the sign-in on");
    struct Closer {
        platform::SocketHandle socket;
        ~Closer() { platform::socket_close(socket); }
    } closer{listener};

    const std::string verifier = oauth::Base64Url(platform::random_bytes(32));
    const std::string state = oauth::Base64Url(platform::random_bytes(16));
    const std::string redirect = "http://127.0.0.1:" + std::to_string(port) + "/";
    const std::string& id = client.Settings().KlientID;
    const std::string page = client.Settings().AdresaPrihlaseni.empty() ? google_sign_in_url : client.Settings().AdresaPrihlaseni;
    const std::string url = page + (page.find('?') == std::string::npos ? "?" : "&") +
                            FormEncode({{"response_type", "code"}, {"client_id", id}, {"redirect_uri", redirect},
                                        {"scope", client.Scope()}, {"code_challenge", oauth::PkceChallenge(verifier)},
                                        {"code_challenge_method", "S256"}, {"state", state},
                                        {"access_type", "offline"}, {"prompt", "consent"}});
    client.Note("OAuth sign-in in the browser, redirect to " + redirect);
    if (!platform::open_in_browser(url))
        client.Box(texts::enrol_open + url + texts::enrol_sign_in);

    const std::string query = AwaitRedirect(listener, state);
    if (query.empty()) Fail(SecureCause::oauth_code_expired, "No sign-in came back from the browser in time");
    const std::string code = QueryValue(query, "code");
    if (code.empty()) {
        oauth::TokenAnswer refused;
        refused.error = QueryValue(query, "error");
        refused.outcome = refused.error == "access_denied" ? Outcome::declined : Outcome::not_a_token;
        Refused(refused, false);
    }
    client.Secret(code);
    return client.Ask(client.WithCredential(FormEncode({{"grant_type", "authorization_code"}, {"code", code},
                                                        {"code_verifier", verifier}, {"redirect_uri", redirect},
                                                        {"client_id", id}})));
}

}  // namespace

std::string OAuthAccessToken(const TOAuthNastaveni& settings, const std::string& account, int timeout, RunLog* log)
{
    const TokenClient client(settings, timeout, log);
    return TokenFor(client, account);
}

std::string OAuthSettingsFingerprint(const TOAuthNastaveni& settings)
{
    return TokenClient(settings, 0, nullptr).Fingerprint();
}

void EnrolJob(const TNastaveni& settings, RunLog& log)
{
    const TZprava& Zprava = settings.Zprava;
    try {
        const TokenClient client(settings.OAuth, Zprava.Timeout, &log);
        // A service account acts for one mailbox: the one GET logs in to, else SEND's.
        const std::string login = Zprava.Uzivatel.empty() ? settings.Smtp.Uzivatel : Zprava.Uzivatel;
        oauth::TokenAnswer answer;
        if (settings.OAuth.Tok != TTok::obnova)
            answer = client.Unattended(login);
        else
            answer = client.Google() ? BrowserSignIn(client) : DeviceCodeSignIn(client);
        if (answer.outcome != Outcome::token) Refused(answer, false);
        if (settings.OAuth.Tok == TTok::obnova && answer.refresh_token.empty())
            Fail(SecureCause::oauth_bad_answer, "The sign-in gave no refresh token (offline_access missing?)");

        Cache cache(client);
        cache.Lock();
        cache.Read(client.CacheAccount(login));
        // A sign-in that is not stored would have to be made again at the next run.
        if (!cache.Write(client.CacheAccount(login), Stored(answer, {})))
            Fail(SecureCause::oauth_cache, "The sign-in could not be stored");
        ShowMessageBox(log, texts::enrol_done, "ZanPost", platform::mb_iconinformation);
    } catch (const std::exception& failure) {
        ShowMessageBox(log, FailureText(texts::enrol_failed, failure, log), texts::error_caption, platform::mb_iconerror);
    }
}

}  // namespace zanpost
