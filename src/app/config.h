#pragma once
// The settings of a run, read once from Zan_Post.ini beside the executable.

#include "net/tcpip.h"
#include "protocols/sasl.h"

#include <cstdint>
#include <string>

namespace zanpost {

// How GET reads the incoming mailbox ([Mail] Prijem).
enum class TPrijem {
    pop3,
    imap,
    chybny,  // a value that is neither: GET makes no connection
};

// The mail job settings, in the order of the file's keys.
struct TZprava {
    std::string Odesilatel;
    std::string Adresat;
    std::string SMTP;
    std::string POP3;
    std::string Uzivatel;
    std::string Heslo;
    std::string Predmet;
    std::string Telo;
    std::string Cesta;
    std::string Telo_Get;
    std::string Soubory;
    // Seconds that any single network wait may take; 0 means no limit.
    int Timeout = 600;
    // The run log's file; empty: no log.
    std::string Protokol;
    TPrijem Prijem = TPrijem::pop3;
};

// How one server is reached: the [SMTP], [POP3] or [IMAP] section. Every key left out (or
// empty) keeps the plain connection of old: port 25 or 110, no TLS, no SMTP login, POP3
// USER/PASS; IMAP's own are port 143 and its LOGIN command.
struct TServerNastaveni {
    std::uint16_t Port = 0;
    TlsMode Sifrovani = TlsMode::none;
    SaslMechanism Overeni = SaslMechanism::automatic;
    // [SMTP] only: the login; empty means no AUTH. POP3 logs in with [Mail] Uzivatel/Heslo.
    std::string Uzivatel;
    std::string Heslo;
    std::string HesloPrikaz;
    std::string CA;
    std::string Otisk;  // 64 lower-case hex digits (colons taken out), or empty
    std::string Jmeno;
    // [POP3] and [IMAP]: the ledger of what earlier runs saw and stored (Evidence);
    // Zan_Post.uidl or Zan_Post.imap beside the INI file when not set.
    std::string Evidence;
    // [IMAP] only: the server ([Mail] POP3 when not set), the folder read (Slozka, INBOX
    // when not set) and the folder taken messages go to (Presun; empty: they are deleted),
    // both named in CP1250.
    std::string Server;
    std::string Slozka;
    std::string Presun;
    // The first key whose value is not one of those allowed, as "[SMTP] Sifrovani"; the job
    // of that server then makes no connection. Empty when every value is valid.
    std::string Chyba;
    // Some key of the section is set: the user has chosen how this server is reached.
    bool Nastaveno = false;
};

// [OAuth]: how ZanPost gets its own OAuth 2.0 access tokens for an XOAUTH2 login. Without
// Tok nothing of it is used.
struct TOAuthNastaveni {
    enum class TTok { none, aplikace, obnova, ucet };
    enum class TPoskytovatel { microsoft, google };
    TTok Tok = TTok::none;
    TPoskytovatel Poskytovatel = TPoskytovatel::microsoft;
    std::string Tenant;        // obnova: "organizations" when not set
    std::string KlientID;
    std::string KlientHeslo;
    std::string Certifikat;    // PEM with the certificate and its private key
    std::string KlicUctu;      // a Google service account's JSON key file
    std::string Rozsah;        // the scope; the flow's own when not set
    std::string Adresa;        // the token endpoint; the provider's when not set
    std::string AdresaPrihlaseni;  // the device-code or authorization endpoint
    std::string Uloziste;      // the token cache; Zan_Post.token beside the INI when not set
    std::string CA;
    std::string Otisk;
    std::string Jmeno;
    // The first key whose value is wrong or that the flow needs and lacks, as
    // "[OAuth] Tok"; empty when the section can be used.
    std::string Chyba;
    bool Nastaveno() const noexcept { return Tok != TTok::none || !Chyba.empty(); }
};

// The completion-notice settings.
struct TUpozorneni {
    bool Upozornovat = false;
    std::string Text;
};

// The whole configuration of one run, as read from the INI file: a value the jobs are handed,
// so that nothing of a run reads settings from anywhere else.
struct TNastaveni {
    TZprava Zprava;
    TUpozorneni Upozorneni;
    TServerNastaveni Smtp;
    TServerNastaveni Pop3;
    TServerNastaveni Imap;
    TOAuthNastaveni OAuth;
};

inline constexpr std::uint16_t default_smtp_port = 25;
inline constexpr std::uint16_t default_smtps_port = 465;
inline constexpr std::uint16_t default_pop3_port = 110;
inline constexpr std::uint16_t default_pop3s_port = 995;
inline constexpr std::uint16_t default_imap_port = 143;
inline constexpr std::uint16_t default_imaps_port = 993;

// "Přenos dat je ukončen. Je-li to potřeba, zavěste modem." in CP1250.
inline constexpr const char default_notice_text[] =
    "P\xF8" "enos dat je ukon\xE8" "en. Je-li to pot\xF8" "eba, zav\xEC" "ste modem.";

inline constexpr std::int32_t default_timeout_seconds = 600;

// Read-only access to one INI file; every read goes to the platform's profile reader.
class TIniFile {
public:
    explicit TIniFile(std::string file_name) : file_name_(std::move(file_name)) {}

    const std::string& FileName() const noexcept { return file_name_; }

    // The value as the profile reader delivers it from a 1024-byte buffer: at most 1023
    // characters.
    std::string ReadText(const std::string& section, const std::string& key, const std::string& default_value) const;
    // The value as a 32-bit integer ("0x"/"0X" in front reads as hexadecimal); the
    // default when it is absent or not a number.
    std::int32_t ReadNumber(const std::string& section, const std::string& key, std::int32_t default_value) const;
    // True when the value reads as a number other than 0.
    bool ReadFlag(const std::string& section, const std::string& key, bool default_value) const;

private:
    std::string file_name_;
};

// The INI file beside the executable at `own_path`: its directory part (up to and including
// the last separator) followed by "Zan_Post.ini".
std::string ConfigPath(const std::string& own_path);

// Reads the [SMTP] (`smtp` true) or [POP3] section. Never raises: a value that is not
// allowed leaves its default and names the key in Chyba.
TServerNastaveni ReadServer(const TIniFile& ini, bool smtp);

// Reads [IMAP]; `incoming` ([Mail] POP3) is the server when the section names none. Never
// raises, as ReadServer.
TServerNastaveni ReadImap(const TIniFile& ini, const std::string& incoming);

// [Mail] Prijem: POP3 when empty, chybny for a value that is neither POP3 nor IMAP.
TPrijem ReadPrijem(const TIniFile& ini);

// Reads [OAuth]; the default token cache lies beside the INI file. Never raises.
TOAuthNastaveni ReadOAuth(const TIniFile& ini);

// The INI file beside the running executable; empty when the program cannot name its own
// path, and then every key takes its default (the current directory never stands in).
std::string ProgramConfigPath();

// Every setting of a run from the file at `ini_path`; an absent file or key gives the
// default.
TNastaveni ReadConfig(const std::string& ini_path);

}  // namespace zanpost
