// The [SMTP] and [POP3] sections: every value a user may write, every slip that must stop
// the job before it connects, and the defaults that keep an old configuration's dialogue.

#include "app/config.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace zanpost {
namespace {

using zanpost::testing::TempDir;
using zanpost::testing::write_file;

const std::string pin_hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string pin_colons =
    "01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF";

struct Expected {
    std::uint16_t port;
    TlsMode mode;
    SaslMechanism mechanism;
    std::string otisk;
    std::string chyba;  // empty: valid
};

struct ServerCase {
    const char* what;
    bool smtp;
    std::string lines;  // the section's body
    Expected expected;
};

constexpr auto none = TlsMode::none;
constexpr auto starttls = TlsMode::starttls;
constexpr auto implicit = TlsMode::implicit;
constexpr auto autom = SaslMechanism::automatic;
constexpr auto user = SaslMechanism::user;

const std::vector<ServerCase> server_cases = {
    // Absent or empty keys: the plain connection of old.
    {"SMTP absent", true, "", {25, none, autom, "", ""}},
    {"POP3 absent", false, "", {110, none, user, "", ""}},
    {"SMTP empty keys", true, "Port=\nSifrovani=\nOvereni=\nOtisk=\n", {25, none, autom, "", ""}},
    {"POP3 empty keys", false, "Port=\nSifrovani=\nOvereni=\nOtisk=\n", {110, none, user, "", ""}},
    // Modes in any letter case; implicit TLS moves the default port.
    {"SMTP ne", true, "Sifrovani=NE", {25, none, autom, "", ""}},
    {"SMTP TLS", true, "Sifrovani=tls", {465, implicit, autom, "", ""}},
    {"POP3 TLS", false, "Sifrovani=Tls", {995, implicit, user, "", ""}},
    {"SMTP STARTTLS keeps 25", true, "Sifrovani=StartTLS", {25, starttls, autom, "", ""}},
    {"SMTP STARTTLS on 587", true, "Sifrovani=STARTTLS\nPort=587", {587, starttls, autom, "", ""}},
    {"POP3 STARTTLS", false, "Sifrovani=starttls", {110, starttls, user, "", ""}},
    {"TLS with an explicit port", false, "Port=1995\nSifrovani=TLS", {1995, implicit, user, "", ""}},
    {"port 1", true, "Port=1", {1, none, autom, "", ""}},
    {"port 65535", true, "Port=65535", {65535, none, autom, "", ""}},
    // Mechanisms.
    {"SMTP PLAIN", true, "Overeni=plain", {25, none, SaslMechanism::plain, "", ""}},
    {"SMTP LOGIN", true, "Overeni=Login", {25, none, SaslMechanism::login, "", ""}},
    {"SMTP CRAM-MD5", true, "Overeni=cram-md5", {25, none, SaslMechanism::cram_md5, "", ""}},
    {"SMTP XOAUTH2", true, "Overeni=xoauth2", {25, none, SaslMechanism::xoauth2, "", ""}},
    {"SMTP AUTO", true, "Overeni=AUTO", {25, none, autom, "", ""}},
    {"POP3 APOP", false, "Overeni=apop", {110, none, SaslMechanism::apop, "", ""}},
    {"POP3 USER", false, "Overeni=User", {110, none, user, "", ""}},
    {"POP3 auto", false, "Overeni=auto", {110, none, autom, "", ""}},
    {"POP3 XOAUTH2", false, "Overeni=XOAUTH2", {110, none, SaslMechanism::xoauth2, "", ""}},
    // Fingerprints as tools print them.
    {"pin lower hex", true, "Otisk=" + pin_hex, {25, none, autom, pin_hex, ""}},
    {"pin with colons, upper case", false, "Otisk=" + pin_colons, {110, none, user, pin_hex, ""}},
    // Slips: the key is named, the value keeps its default.
    {"typo in the mode", true, "Sifrovani=STARTLS", {25, none, autom, "", "[SMTP] Sifrovani"}},
    {"yes is no mode", false, "Sifrovani=ano", {110, none, user, "", "[POP3] Sifrovani"}},
    {"STLS is not a listed value", false, "Sifrovani=STLS", {110, none, user, "", "[POP3] Sifrovani"}},
    {"port 0", true, "Port=0", {25, none, autom, "", "[SMTP] Port"}},
    {"port 65536", true, "Port=65536", {25, none, autom, "", "[SMTP] Port"}},
    {"port word", false, "Port=pop3s", {110, none, user, "", "[POP3] Port"}},
    {"port negative", true, "Port=-25", {25, none, autom, "", "[SMTP] Port"}},
    {"port hexadecimal", true, "Port=0x19", {25, none, autom, "", "[SMTP] Port"}},
    {"port with a blank inside", true, "Port=5 87", {25, none, autom, "", "[SMTP] Port"}},
    {"port huge", false, "Port=99999999999", {110, none, user, "", "[POP3] Port"}},
    {"bad port keeps the TLS default", true, "Sifrovani=TLS\nPort=x", {465, implicit, autom, "", "[SMTP] Port"}},
    {"unknown mechanism", true, "Overeni=DIGEST-MD5", {25, none, autom, "", "[SMTP] Overeni"}},
    {"APOP is no SMTP mechanism", true, "Overeni=APOP", {25, none, autom, "", "[SMTP] Overeni"}},
    {"USER is no SMTP mechanism", true, "Overeni=USER", {25, none, autom, "", "[SMTP] Overeni"}},
    {"pin too short", true, "Otisk=" + pin_hex.substr(2), {25, none, autom, "", "[SMTP] Otisk"}},
    {"pin too long", false, "Otisk=" + pin_hex + "00", {110, none, user, "", "[POP3] Otisk"}},
    {"pin not hex", true, "Otisk=" + pin_hex.substr(1) + "g", {25, none, autom, "", "[SMTP] Otisk"}},
    {"pin of SHA-1 size", true, "Otisk=" + pin_hex.substr(0, 40), {25, none, autom, "", "[SMTP] Otisk"}},
    {"pin with blanks", false, "Otisk=" + pin_hex.substr(0, 32) + " " + pin_hex.substr(32), {110, none, user, "", "[POP3] Otisk"}},
    // Two slips: the first key read is named.
    {"two slips", true, "Port=0\nSifrovani=x", {25, none, autom, "", "[SMTP] Sifrovani"}},
};

TEST(ServerConfig, EveryValueGivesItsSettingOrNamesTheKey)
{
    TempDir dir;
    const std::string path = dir.file("Zan_Post.ini");
    for (const ServerCase& c : server_cases) {
        const std::string section = c.smtp ? "SMTP" : "POP3";
        // The other section carries the same lines, so a value read from the wrong one shows.
        const std::string other = c.smtp ? "POP3" : "SMTP";
        write_file(path, "[" + section + "]\n" + c.lines + "\n[" + other + "]\nPort=7\nSifrovani=TLS\n");
        const TServerNastaveni server = ReadServer(TIniFile(path), c.smtp);
        SCOPED_TRACE(c.what);
        EXPECT_EQ(server.Port, c.expected.port);
        EXPECT_EQ(server.Sifrovani, c.expected.mode);
        EXPECT_EQ(server.Overeni, c.expected.mechanism);
        EXPECT_EQ(server.Otisk, c.expected.otisk);
        EXPECT_EQ(server.Chyba, c.expected.chyba);
    }
}

TEST(ServerConfig, ReadConfigFillsBothSectionsAndTheLog)
{
    TempDir dir;
    const std::string path = dir.file("Zan_Post.ini");
    write_file(path,
               "[Mail]\nUzivatel=pop\nHeslo=pop-heslo\nProtokol=/var/log/zanpost.log\n"
               "[SMTP]\nPort=587\nSifrovani=STARTTLS\nUzivatel=smtp@firma.test\nHeslo=smtp-heslo\nOvereni=LOGIN\n"
               "HesloPrikaz=pass show smtp\nCA=/etc/firma-ca.pem\nJmeno=mail.firma.test\n"
               "[POP3]\nSifrovani=TLS\nUzivatel=ignored\nHeslo=ignored\nHesloPrikaz=token-helper\nOtisk=" +
                   pin_colons + "\nJmeno=pop.firma.test\nCA=/ca.pem\n");
    TNastaveni settings = ReadConfig(path);
    EXPECT_EQ(settings.Zprava.Protokol, "/var/log/zanpost.log");
    EXPECT_EQ(settings.Smtp.Port, 587);
    EXPECT_EQ(settings.Smtp.Sifrovani, TlsMode::starttls);
    EXPECT_EQ(settings.Smtp.Uzivatel, "smtp@firma.test");
    EXPECT_EQ(settings.Smtp.Heslo, "smtp-heslo");
    EXPECT_EQ(settings.Smtp.Overeni, SaslMechanism::login);
    EXPECT_EQ(settings.Smtp.HesloPrikaz, "pass show smtp");
    EXPECT_EQ(settings.Smtp.CA, "/etc/firma-ca.pem");
    EXPECT_EQ(settings.Smtp.Jmeno, "mail.firma.test");
    EXPECT_EQ(settings.Smtp.Chyba, "");
    EXPECT_EQ(settings.Pop3.Port, 995);
    EXPECT_EQ(settings.Pop3.Sifrovani, TlsMode::implicit);
    // The POP3 login stays in [Mail]: the section's own Uzivatel/Heslo are not read.
    EXPECT_EQ(settings.Pop3.Uzivatel, "");
    EXPECT_EQ(settings.Pop3.Heslo, "");
    EXPECT_EQ(settings.Zprava.Uzivatel, "pop");
    EXPECT_EQ(settings.Zprava.Heslo, "pop-heslo");
    EXPECT_EQ(settings.Pop3.HesloPrikaz, "token-helper");
    EXPECT_EQ(settings.Pop3.Otisk, pin_hex);
    EXPECT_EQ(settings.Pop3.Jmeno, "pop.firma.test");
    EXPECT_EQ(settings.Pop3.CA, "/ca.pem");

    // A second load of a file without the sections leaves nothing of the first behind.
    write_file(path, "[Mail]\nSMTP=x\n");
    settings = ReadConfig(path);
    EXPECT_EQ(settings.Zprava.Protokol, "");
    EXPECT_EQ(settings.Smtp.Port, 25);
    EXPECT_EQ(settings.Smtp.Sifrovani, TlsMode::none);
    EXPECT_EQ(settings.Smtp.Uzivatel, "");
    EXPECT_EQ(settings.Smtp.HesloPrikaz, "");
    EXPECT_EQ(settings.Pop3.Port, 110);
    EXPECT_EQ(settings.Pop3.Overeni, SaslMechanism::user);
    EXPECT_EQ(settings.Pop3.Otisk, "");
}

}  // namespace
}  // namespace zanpost
