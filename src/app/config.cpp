#include "app/config.h"

#include "platform/paths.h"
#include "protocols/https.h"
#include "platform/process.h"
#include "platform/profile.h"
#include "rtl/ascii.h"
#include "rtl/number.h"

#include <optional>
#include <string_view>

namespace zanpost {


namespace {

constexpr std::size_t profile_buffer_size = 1024;

// Decimal digits only, 1 to 65535: "0x19" or "+25" in a port is more likely a slip than
// a wish.
std::optional<std::uint16_t> ParsePort(std::string_view text)
{
    if (text.empty() || text.size() > 5) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + std::uint32_t(c - '0');
    }
    if (value < 1 || value > 65535) return std::nullopt;
    return std::uint16_t(value);
}

std::optional<TlsMode> ParseTlsMode(std::string_view text)
{
    const std::string word = ascii_upper(text);
    if (word == "NE") return TlsMode::none;
    if (word == "STARTTLS") return TlsMode::starttls;
    if (word == "TLS") return TlsMode::implicit;
    return std::nullopt;
}

std::optional<SaslMechanism> ParseMechanism(std::string_view text, bool pop3)
{
    const std::string word = ascii_upper(text);
    if (word == "AUTO") return SaslMechanism::automatic;
    if (word == "PLAIN") return SaslMechanism::plain;
    if (word == "LOGIN") return SaslMechanism::login;
    if (word == "CRAM-MD5") return SaslMechanism::cram_md5;
    if (word == "XOAUTH2") return SaslMechanism::xoauth2;
    // USER and APOP are POP3's own commands; SMTP has nothing like them, and IMAP's LOGIN is
    // the word LOGIN.
    if (pop3 && word == "USER") return SaslMechanism::user;
    if (pop3 && word == "APOP") return SaslMechanism::apop;
    return std::nullopt;
}

// 32 bytes in hex, as tools print them ("AB:CD:..." or "abcd..."): 64 lower-case digits.
std::optional<std::string> ParseFingerprint(std::string_view text)
{
    std::string digits;
    for (char c : text) {
        if (c == ':') continue;
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex) return std::nullopt;
        digits += ascii_lower(c);
    }
    if (digits.size() != 64) return std::nullopt;
    return digits;
}

}  // namespace

std::string TIniFile::ReadText(const std::string& section, const std::string& key,
                               const std::string& default_value) const
{
    return platform::profile_string(section, key, default_value, profile_buffer_size, file_name_);
}

std::int32_t TIniFile::ReadNumber(const std::string& section, const std::string& key,
                                  std::int32_t default_value) const
{
    std::string text = ReadText(section, key, "");
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.replace(0, 2, "$");
    return try_str_to_int(text).value_or(default_value);
}

bool TIniFile::ReadFlag(const std::string& section, const std::string& key, bool default_value) const
{
    return ReadNumber(section, key, default_value ? 1 : 0) != 0;
}

std::string ConfigPath(const std::string& own_path)
{
    return own_path.substr(0, platform::directory_length(own_path)) + "Zan_Post.ini";
}

namespace {

enum class Section { smtp, pop3, imap };

// What the three sections share: port, TLS, login, password command and trust.
TServerNastaveni ReadSection(const TIniFile& ini, Section kind)
{
    const std::string section = kind == Section::smtp ? "SMTP" : kind == Section::pop3 ? "POP3" : "IMAP";
    TServerNastaveni server;
    // IMAP's own LOGIN command is what every IMAP server takes, as USER/PASS for POP3.
    server.Overeni = kind == Section::smtp ? SaslMechanism::automatic
                     : kind == Section::pop3 ? SaslMechanism::user
                                             : SaslMechanism::login;
    const auto invalid = [&](const char* key) {
        if (server.Chyba.empty()) server.Chyba = "[" + section + "] " + key;
    };

    if (const std::string text = ini.ReadText(section, "Sifrovani", ""); !text.empty()) {
        if (const auto mode = ParseTlsMode(text))
            server.Sifrovani = *mode;
        else
            invalid("Sifrovani");
    }
    // The default port follows the mode: implicit TLS has ports of its own.
    const bool implicit = server.Sifrovani == TlsMode::implicit;
    switch (kind) {
    case Section::smtp: server.Port = implicit ? default_smtps_port : default_smtp_port; break;
    case Section::pop3: server.Port = implicit ? default_pop3s_port : default_pop3_port; break;
    case Section::imap: server.Port = implicit ? default_imaps_port : default_imap_port; break;
    }
    if (const std::string text = ini.ReadText(section, "Port", ""); !text.empty()) {
        if (const auto port = ParsePort(text))
            server.Port = *port;
        else
            invalid("Port");
    }
    if (const std::string text = ini.ReadText(section, "Overeni", ""); !text.empty()) {
        if (const auto mechanism = ParseMechanism(text, kind == Section::pop3))
            server.Overeni = *mechanism;
        else
            invalid("Overeni");
    }
    if (const std::string text = ini.ReadText(section, "Otisk", ""); !text.empty()) {
        if (auto pin = ParseFingerprint(text))
            server.Otisk = std::move(*pin);
        else
            invalid("Otisk");
    }
    if (kind == Section::smtp) {
        server.Uzivatel = ini.ReadText(section, "Uzivatel", "");
        server.Heslo = ini.ReadText(section, "Heslo", "");
    }
    server.HesloPrikaz = ini.ReadText(section, "HesloPrikaz", "");
    server.CA = ini.ReadText(section, "CA", "");
    server.Jmeno = ini.ReadText(section, "Jmeno", "");
    if (kind != Section::smtp) {
        // On by default: an office mailbox gains from it without a word in the INI file.
        server.Evidence = ini.ReadText(section, "Evidence", "");
        const std::string& ini_path = ini.FileName();
        if (server.Evidence.empty() && !ini_path.empty())
            server.Evidence = ini_path.substr(0, platform::directory_length(ini_path)) +
                              (kind == Section::pop3 ? "Zan_Post.uidl" : "Zan_Post.imap");
    }
    for (const char* key : {"Sifrovani", "Port", "Overeni", "Otisk", "Uzivatel", "Heslo", "HesloPrikaz", "CA", "Jmeno"})
        if (!ini.ReadText(section, key, "").empty()) server.Nastaveno = true;
    return server;
}

}  // namespace

TServerNastaveni ReadServer(const TIniFile& ini, bool smtp)
{
    return ReadSection(ini, smtp ? Section::smtp : Section::pop3);
}

TServerNastaveni ReadImap(const TIniFile& ini, const std::string& incoming)
{
    TServerNastaveni server = ReadSection(ini, Section::imap);
    server.Server = ini.ReadText("IMAP", "Server", "");
    if (server.Server.empty()) server.Server = incoming;
    server.Slozka = ini.ReadText("IMAP", "Slozka", "");
    if (server.Slozka.empty()) server.Slozka = "INBOX";
    server.Presun = ini.ReadText("IMAP", "Presun", "");
    // Moved into the folder it is read from, a message would come again as new mail, run
    // after run. INBOX is INBOX in any letter case.
    const bool inbox = ascii_upper(server.Slozka) == "INBOX";
    if (!server.Presun.empty() && (inbox ? ascii_upper(server.Presun) == "INBOX" : server.Presun == server.Slozka) &&
        server.Chyba.empty())
        server.Chyba = "[IMAP] Presun";
    return server;
}

TPrijem ReadPrijem(const TIniFile& ini)
{
    const std::string word = ascii_upper(ini.ReadText("Mail", "Prijem", ""));
    if (word.empty() || word == "POP3") return TPrijem::pop3;
    if (word == "IMAP") return TPrijem::imap;
    return TPrijem::chybny;
}

TOAuthNastaveni ReadOAuth(const TIniFile& ini)
{
    TOAuthNastaveni oauth;
    const auto invalid = [&](const char* key) {
        if (oauth.Chyba.empty()) oauth.Chyba = std::string("[OAuth] ") + key;
    };
    const auto text = [&](const char* key) { return ini.ReadText("OAuth", key, ""); };

    const std::string tok = ascii_lower(text("Tok"));
    if (tok.empty()) return oauth;
    if (tok == "aplikace")
        oauth.Tok = TOAuthNastaveni::TTok::aplikace;
    else if (tok == "obnova")
        oauth.Tok = TOAuthNastaveni::TTok::obnova;
    else if (tok == "ucet")
        oauth.Tok = TOAuthNastaveni::TTok::ucet;
    else
        invalid("Tok");

    // A service account is Google's, an application's own token Microsoft's: only a
    // provider that contradicts the flow is a mistake.
    const std::string provider = ascii_lower(text("Poskytovatel"));
    if (provider == "google" || (provider.empty() && oauth.Tok == TOAuthNastaveni::TTok::ucet))
        oauth.Poskytovatel = TOAuthNastaveni::TPoskytovatel::google;
    else if (!provider.empty() && provider != "microsoft")
        invalid("Poskytovatel");
    const bool google = oauth.Poskytovatel == TOAuthNastaveni::TPoskytovatel::google;
    if ((oauth.Tok == TOAuthNastaveni::TTok::aplikace && google) ||
        (oauth.Tok == TOAuthNastaveni::TTok::ucet && !google))
        invalid("Poskytovatel");

    oauth.Tenant = text("Tenant");
    oauth.KlientID = text("KlientID");
    oauth.KlientHeslo = text("KlientHeslo");
    oauth.Certifikat = text("Certifikat");
    oauth.KlicUctu = text("KlicUctu");
    oauth.Rozsah = text("Rozsah");
    oauth.Adresa = text("Adresa");
    oauth.AdresaPrihlaseni = text("AdresaPrihlaseni");
    oauth.Uloziste = text("Uloziste");
    oauth.CA = text("CA");
    oauth.Jmeno = text("Jmeno");
    if (!oauth.Adresa.empty() && !ParseHttpsUrl(oauth.Adresa)) invalid("Adresa");
    if (!oauth.AdresaPrihlaseni.empty() && !ParseHttpsUrl(oauth.AdresaPrihlaseni)) invalid("AdresaPrihlaseni");
    if (const std::string pin = text("Otisk"); !pin.empty()) {
        if (auto parsed = ParseFingerprint(pin))
            oauth.Otisk = std::move(*parsed);
        else
            invalid("Otisk");
    }

    switch (oauth.Tok) {
    case TOAuthNastaveni::TTok::aplikace:
        if (oauth.Tenant.empty()) invalid("Tenant");
        if (oauth.KlientID.empty()) invalid("KlientID");
        if (oauth.KlientHeslo.empty() && oauth.Certifikat.empty()) invalid("KlientHeslo");
        break;
    case TOAuthNastaveni::TTok::obnova:
        if (oauth.KlientID.empty()) invalid("KlientID");
        if (oauth.Tenant.empty()) oauth.Tenant = "organizations";
        break;
    case TOAuthNastaveni::TTok::ucet:
        if (oauth.KlicUctu.empty()) invalid("KlicUctu");
        break;
    case TOAuthNastaveni::TTok::none: break;
    }
    if (oauth.Uloziste.empty()) {
        const std::string& ini_path = ini.FileName();
        oauth.Uloziste = ini_path.substr(0, platform::directory_length(ini_path)) + "Zan_Post.token";
    }
    return oauth;
}

std::string ProgramConfigPath()
{
    const std::string own_path = platform::own_executable_path();
    return own_path.empty() ? std::string() : ConfigPath(own_path);
}

TNastaveni ReadConfig(const std::string& ini_path)
{
    const TIniFile ini(ini_path);
    TNastaveni settings;
    TZprava& Zprava = settings.Zprava;
    Zprava.Odesilatel = ini.ReadText("Mail", "Odesilatel", "");
    Zprava.Adresat = ini.ReadText("Mail", "Adresat", "");
    Zprava.SMTP = ini.ReadText("Mail", "SMTP", "");
    Zprava.POP3 = ini.ReadText("Mail", "POP3", "");
    Zprava.Uzivatel = ini.ReadText("Mail", "Uzivatel", "");
    Zprava.Heslo = ini.ReadText("Mail", "Heslo", "");
    Zprava.Predmet = ini.ReadText("Mail", "Predmet", "");
    Zprava.Telo = ini.ReadText("Mail", "Telo", "");
    Zprava.Telo_Get = ini.ReadText("Mail", "Telo_Get", "");
    Zprava.Timeout = ini.ReadNumber("Mail", "Timeout", default_timeout_seconds);
    Zprava.Protokol = ini.ReadText("Mail", "Protokol", "");
    Zprava.Prijem = ReadPrijem(ini);
    Zprava.Cesta = ini.ReadText("Soubory", "Cesta", "");
    Zprava.Soubory = ini.ReadText("Soubory", "Soubory", "");
    settings.Upozorneni.Upozornovat = ini.ReadFlag("Upozorneni", "Upozornovat", true);
    settings.Upozorneni.Text = ini.ReadText("Upozorneni", "Text", default_notice_text);
    settings.Smtp = ReadServer(ini, true);
    settings.Pop3 = ReadServer(ini, false);
    settings.Imap = ReadImap(ini, Zprava.POP3);
    settings.OAuth = ReadOAuth(ini);
    return settings;
}

}  // namespace zanpost
