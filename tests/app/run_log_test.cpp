// The run log: what it keeps of a dialogue, what it must never keep (passwords, tokens,
// AUTH exchanges, message contents), how it stays bounded, and that a log which cannot be
// written never disturbs the job. Also the box line that names the cause of a failure and
// the preparation of the clients from the configuration.

#include "app/run_log.h"
#include "app/secure_setup.h"
#include "app/texts.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>

namespace zanpost {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

struct Event {
    TTraceLevel level;
    std::string line;
};

struct MaskCase {
    const char* what;
    std::vector<Event> events;
    std::vector<std::string> secrets;  // none may appear in the log
    std::vector<std::string> kept;     // each must appear
};

const std::vector<MaskCase> mask_cases = {
    {"POP3 PASS sent unmasked by a client",
     {{trace_sent, "USER ucetni"}, {trace_received, "+OK"}, {trace_sent, "PASS geheim-42"}, {trace_received, "+OK"}},
     {"geheim-42"},
     {"> USER ucetni", "> PASS *****"}},
    {"lower-case pass",
     {{trace_sent, "pass geheim-42"}},
     {"geheim-42"},
     {"> PASS *****"}},
    {"APOP digest",
     {{trace_sent, "APOP ucetni c4c9334bac560ecc979e58001b3e22fb"}, {trace_received, "+OK"}},
     {"c4c9334bac560ecc979e58001b3e22fb", "ucetni"},
     {"> APOP *****"}},
    {"SMTP AUTH PLAIN with the initial response",
     {{trace_sent, "AUTH PLAIN AHVjZXRuaQBnZWhlaW0tNDI="},
      {trace_received, "235 2.7.0 Authentication successful"},
      {trace_sent, "MAIL FROM: <a@firma.test>"}},
     {"AHVjZXRuaQBnZWhlaW0tNDI="},
     {"> AUTH PLAIN *****", "< 235 2.7.0", "> MAIL FROM: <a@firma.test>"}},
    {"SMTP AUTH LOGIN in steps",
     {{trace_sent, "AUTH LOGIN"},
      {trace_received, "334 VXNlcm5hbWU6"},
      {trace_sent, "dWNldG5p"},
      {trace_received, "334 UGFzc3dvcmQ6"},
      {trace_sent, "Z2VoZWltLTQy"},
      {trace_received, "235 ok"},
      {trace_sent, "RCPT TO: <b@firma.test>"}},
     {"dWNldG5p", "Z2VoZWltLTQy"},
     {"> AUTH LOGIN", "< 334 *****", "< 235 ok", "> RCPT TO: <b@firma.test>"}},
    {"CRAM-MD5 answer",
     {{trace_sent, "AUTH CRAM-MD5"},
      {trace_received, "334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+"},
      {trace_sent, "dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"},
      {trace_received, "535 5.7.8 refused"}},
     {"dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw"},
     {"> AUTH CRAM-MD5", "< 535 5.7.8 refused"}},
    {"XOAUTH2 failure with the error detail and the empty answer",
     {{trace_sent, "AUTH XOAUTH2 dXNlcj11QGZpcm1hLnRlc3QBYXV0aD1CZWFyZXIgeWEyOS50b2tlbgEB"},
      {trace_received, "334 eyJzdGF0dXMiOiI0MDEifQ=="},
      {trace_sent, ""},
      {trace_received, "535 5.7.8 Username and Password not accepted"},
      {trace_sent, "QUIT"}},
     {"dXNlcj11QGZpcm1hLnRlc3QBYXV0aD1CZWFyZXIgeWEyOS50b2tlbgEB"},
     {"> AUTH XOAUTH2 *****", "< 535 5.7.8", "> QUIT"}},
    {"POP3 XOAUTH2 in two steps",
     {{trace_sent, "AUTH XOAUTH2"},
      {trace_received, "+ "},
      {trace_sent, "dXNlcj11AWF1dGg9QmVhcmVyIHRva2VuMTIzAQE="},
      {trace_received, "+OK logged in"},
      {trace_sent, "LIST"}},
     {"dXNlcj11AWF1dGg9QmVhcmVyIHRva2VuMTIzAQE="},
     {"> AUTH XOAUTH2", "< +OK logged in", "> LIST"}},
    {"a credential where the mechanism should be",
     {{trace_sent, "AUTH dG9rZW4tc2VjcmV0PT0="}, {trace_received, "501 what"}},
     {"dG9rZW4tc2VjcmV0PT0="},
     {"> AUTH *****", "< 501 what"}},
    {"a server that repeats the password",
     {{trace_sent, "USER u"}, {trace_received, "-ERR wrong password tajne-heslo-7 for u"}},
     {"tajne-heslo-7"},
     {"< -ERR wrong password ***** for u"}},
    {"words that only begin like the commands",
     {{trace_sent, "PASSWORD-POLICY"}, {trace_sent, "USER pass"}},
     {},
     {"> PASSWORD-POLICY", "> USER pass"}},
    {"TLS session and socket events, byte counts left out",
     {{trace_socket, "Opened output socket 995 to host 127.0.0.2"},
      {trace_traffic, "Received 512 bytes on socket ID 3"},
      {trace_security, "TLS TLSv1.3 TLS_AES_256_GCM_SHA384"},
      {trace_security, "Certificate SHA-256: 00ff"}},
     {"Received 512 bytes"},
     {"= Opened output socket 995", "! TLS TLSv1.3 TLS_AES_256_GCM_SHA384", "! Certificate SHA-256: 00ff"}},
};

TEST(RunLogMasking, NoSecretReachesTheLog)
{
    for (const MaskCase& c : mask_cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("zanpost.log");
        {
            RunLog log(path, "3.98.30.3", "GET");
            log.AddSecret("tajne-heslo-7");
            for (const Event& e : c.events) log.Trace(e.line, e.level);
        }
        const std::string text = read_file(path);
        for (const std::string& secret : c.secrets) EXPECT_EQ(text.find(secret), std::string::npos) << text;
        for (const std::string& kept : c.kept) EXPECT_NE(text.find(kept), std::string::npos) << kept << "\n" << text;
    }
}

TEST(RunLogContents, MessageLinesAreCountedNeverWrittenHoweverTheirBlocksFall)
{
    // Whole lines, or blocks that end inside a line or are empty: one count, none of the
    // contents, and a socket event in the middle splits nothing.
    const std::vector<std::vector<std::string>> splits{
        {"Subject: tajny predmet\r\n", "\r\nobsah zpravy\r\n"},
        {"Subject: tajny", " predmet\r\n\r\nobsah ", "", "zpravy\r\n"},
    };
    for (const auto& blocks : splits) {
        SCOPED_TRACE(std::to_string(blocks.size()) + " blocks");
        TempDir dir;
        const std::string path = dir.file("zanpost.log");
        {
            RunLog log(path, "3.98.30.3", "SEND");
            log.RecipientAccepted();
            log.RecipientRefused();
            log.Trace("DATA", trace_sent);
            log.Trace("354 go on", trace_received);
            for (const std::string& block : blocks) {
                log.CountSentText(block);
                if (&block == &blocks[0]) log.Trace("Sent 65536 bytes on socket ID 3", trace_traffic);
            }
            log.Trace("250 queued", trace_received);
            log.MessageAccepted();
        }
        const std::string text = read_file(path);
        EXPECT_EQ(text.find("tajny"), std::string::npos) << text;
        EXPECT_EQ(text.find("obsah"), std::string::npos) << text;
        // 22+2 + 0+2 + 12+2 bytes, one count line before the server's answer to it.
        const std::size_t count = text.find("> (message: 3 lines, 40 bytes)\n");
        ASSERT_NE(count, std::string::npos) << text;
        EXPECT_LT(count, text.find("< 250 queued"));
        EXPECT_EQ(text.find("(message:", count + 3), std::string::npos) << text;
        EXPECT_NE(
            text.find(" end SEND: sent 1 message (3 lines, 40 bytes), recipients accepted 1, refused 1, boxes 0\n"),
            std::string::npos)
            << text;
    }
}

TEST(RunLogContents, TheEndLineTellsWhatWasFetchedStoredAndDeleted)
{
    TempDir dir;
    const std::string path = dir.file("zanpost.log");
    {
        RunLog log(path, "3.98.30.3", "GET");
        for (const char* n : {"1", "2"}) {
            log.Trace(std::string("RETR ") + n, trace_sent);
            log.Trace("+OK", trace_received);
            log.Fetched();
            log.CountReceived("From: x");
            log.CountReceived("tajny obsah");
        }
        log.Stored("/in/a.dat", 7);
        log.Stored("/out/prijato.txt");
        log.Stored("/out/prijato.txt");
        log.Marked(1);
        log.Committed();
    }
    const std::string text = read_file(path);
    EXPECT_EQ(text.find("tajny obsah"), std::string::npos) << text;
    EXPECT_NE(text.find("< (message: 2 lines, 22 bytes)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("+ stored /in/a.dat (7 bytes)\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" end GET: fetched 2, files stored 2, deleted 1, boxes 0\n"), std::string::npos) << text;
}

TEST(RunLogContents, TheEndLineSaysWhatDidNotHold)
{
    const struct {
        const char* job;
        void (*told)(RunLog&);
        const char* end;
    } cases[] = {
        {"GET", [](RunLog& log) { log.Marked(2); },
         "fetched 0, files stored 0, deleted 2 (QUIT unanswered: the server keeps them), boxes 0"},
        // Contents that went out and were refused after their end are no message sent.
        {"SEND", [](RunLog& log) { log.RecipientAccepted(); log.CountSentText("x\r\n"); },
         "sent nothing, recipients accepted 1, refused 0, boxes 0"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("zanpost.log");
        {
            RunLog log(path, "1", c.job);
            c.told(log);
        }
        EXPECT_NE(read_file(path).find(std::string(" end ") + c.job + ": " + c.end + "\n"), std::string::npos) << c.end;
    }
}

TEST(RunLogContents, StartLineBoxesAndCausesEachTakeOneLine)
{
    TempDir dir;
    const std::string path = dir.file("zanpost.log");
    {
        RunLog log(path, "3.98.30.3", "SEND");
        log.Box("ZanPost - Chyba", "prvni\ndruha");
        log.Cause("TLS with x failed:\r\ncertificate verify failed");
    }
    const std::string text = read_file(path);
    // "2026-12-07T13:05:22+01:00 start ZanPost 3.98.30.3 SEND"
    ASSERT_GE(text.size(), 26u);
    EXPECT_EQ(text[4], '-');
    EXPECT_EQ(text[10], 'T');
    EXPECT_TRUE(text[19] == '+' || text[19] == '-') << text;
    EXPECT_NE(text.find(" start ZanPost 3.98.30.3 SEND\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" # ZanPost - Chyba: prvni | druha\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" ? TLS with x failed:  certificate verify failed\n"), std::string::npos) << text;
    EXPECT_NE(text.find(", boxes 1\n"), std::string::npos) << text;
}

TEST(RunLogBounds, ALogOver1MiBMovesToOldOneGeneration)
{
    TempDir dir;
    const std::string path = dir.file("zanpost.log");
    const std::string old = path + ".old";
    struct Step {
        std::size_t size;  // of the log before the run
        bool rotated;
    };
    for (const Step step : {Step{run_log_limit, false}, Step{run_log_limit + 1, true}, Step{3 * run_log_limit, true}}) {
        SCOPED_TRACE(step.size);
        const std::string before(step.size, 'a');
        write_file(path, before);
        write_file(old, "older generation");
        { RunLog log(path, "1", "GET"); }
        const std::string now = read_file(path);
        if (step.rotated) {
            EXPECT_EQ(read_file(old), before);
            EXPECT_TRUE(now.find(" start ZanPost 1 GET\n") < 40) << now.substr(0, 80);
            EXPECT_LT(now.size(), 300u);
        } else {
            EXPECT_EQ(read_file(old), "older generation");
            EXPECT_EQ(now.substr(0, before.size()), before);
            EXPECT_NE(now.find(" start ZanPost 1 GET\n", before.size()), std::string::npos);
        }
    }
}

TEST(RunLogBounds, AnUnwritableLogIsGivenUpQuietly)
{
    TempDir dir;
    std::filesystem::create_directory(dir.file("a-directory"));
    for (const std::string& path : {dir.file("missing/dir/zanpost.log"), dir.file("a-directory"), std::string()}) {
        SCOPED_TRACE(path);
        RunLog log(path, "1", "SEND");
        EXPECT_FALSE(log.Active());
        // Nothing of it raises.
        log.Trace("PASS x", trace_sent);
        log.CountSentText("line\r\n");
        log.Box("c", "t");
        log.Cause("why");
        log.Stored("/x");
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("missing")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.file("a-directory")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("a-directory.old")));
}

// ---- The box line naming the cause -------------------------------------------------

TEST(FailureText, EveryCauseHasALineOfItsOwnAndTodaysFailuresNone)
{
    const std::vector<SecureCause> causes = {
        SecureCause::tls_handshake,   SecureCause::tls_untrusted, SecureCause::tls_name,
        SecureCause::tls_expired,     SecureCause::tls_pin,       SecureCause::tls_ca_file,
        SecureCause::tls_not_offered, SecureCause::tls_refused,   SecureCause::tls_injection,
        SecureCause::auth_refused,    SecureCause::auth_no_mechanism, SecureCause::password_command,
        SecureCause::configuration,
    };
    RunLog no_log("", "", "SEND");
    std::set<std::string> lines;
    for (SecureCause cause : causes) {
        const std::string text = FailureText(texts::smtp_failed, ESecureError(cause, "detail"), no_log);
        ASSERT_TRUE(text.starts_with(std::string(texts::smtp_failed) + "\n")) << text;
        const std::string line = text.substr(sizeof texts::smtp_failed);
        EXPECT_GT(line.size(), 10u);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        EXPECT_EQ(line.find("detail"), std::string::npos);
        lines.insert(line);
    }
    EXPECT_EQ(lines.size(), causes.size());

    EXPECT_EQ(FailureText(texts::smtp_failed, EConfigValueError("[SMTP] Port"), no_log),
              std::string(texts::smtp_failed) + "\n" + texts::cause_configuration + "[SMTP] Port");
    // What is reported today stays as it is.
    EXPECT_EQ(FailureText(texts::pop3_not_connected, ETcpIpError("lost"), no_log), texts::pop3_not_connected);
    EXPECT_EQ(FailureText(texts::pop3_not_connected, EProtocolError("POP3", "-ERR", 500), no_log), texts::pop3_not_connected);
    EXPECT_EQ(FailureText(texts::smtp_failed, std::runtime_error("x"), no_log), texts::smtp_failed);
}

// ---- Clients prepared from the configuration --------------------------------------

TEST(PrepareClients, AbsentSettingsLeaveTheClientsAsTheyWere)
{
    T_SMTP smtp;
    T_Pop3 pop3;
    TServerNastaveni smtp_defaults;
    smtp_defaults.Port = default_smtp_port;
    TServerNastaveni pop3_defaults;
    pop3_defaults.Port = default_pop3_port;
    pop3_defaults.Overeni = SaslMechanism::user;
    const T_SMTP fresh_smtp;
    const T_Pop3 fresh_pop3;
    TZprava mail;
    mail.Uzivatel = "u";
    mail.Heslo = "p";
    PrepareSmtp(smtp, smtp_defaults, 5, nullptr);
    PreparePop3(pop3, pop3_defaults, mail, nullptr);
    EXPECT_EQ(smtp.Port, fresh_smtp.Port);
    EXPECT_EQ(smtp.Tls, TlsMode::none);
    EXPECT_EQ(smtp.UserName, "");
    EXPECT_EQ(smtp.Password, "");
    EXPECT_EQ(smtp.Mechanism, fresh_smtp.Mechanism);
    EXPECT_EQ(pop3.Port, fresh_pop3.Port);
    EXPECT_EQ(pop3.Tls, TlsMode::none);
    EXPECT_EQ(pop3.Mechanism, fresh_pop3.Mechanism);
    EXPECT_EQ(pop3.UserName, "u");
    EXPECT_EQ(pop3.Password, "p");
}

TEST(PrepareClients, ThePasswordCommandRunsOnlyWhenALoginNeedsIt)
{
    TempDir dir;
    const std::string marker = dir.file("ran");
    TServerNastaveni server;
    server.Port = 25;
    server.HesloPrikaz = "touch '" + marker + "'; echo x";
    T_SMTP smtp;
    PrepareSmtp(smtp, server, 5, nullptr);
    EXPECT_FALSE(std::filesystem::exists(marker)) << "SMTP without Uzivatel ran the command";

    T_Pop3 pop3;
    TZprava mail;
    mail.Heslo = "static";
    mail.Timeout = 5;
    PreparePop3(pop3, server, mail, nullptr);
    EXPECT_TRUE(std::filesystem::exists(marker)) << "POP3 did not run the command";
    EXPECT_EQ(pop3.Password, "x");  // the command wins over Heslo

    std::filesystem::remove(marker);
    server.Uzivatel = "ucetni";
    server.Sifrovani = TlsMode::implicit;
    server.CA = "/etc/ca.pem";
    server.Otisk = std::string(64, 'a');
    server.Jmeno = "mail.firma.test";
    PrepareSmtp(smtp, server, 5, nullptr);
    EXPECT_TRUE(std::filesystem::exists(marker)) << "SMTP with a login did not run the command";
    EXPECT_EQ(smtp.Password, "x");
    EXPECT_EQ(smtp.UserName, "ucetni");
    EXPECT_EQ(smtp.Tls, TlsMode::implicit);
    EXPECT_EQ(smtp.TlsOptions.ca_file, "/etc/ca.pem");
    EXPECT_EQ(smtp.TlsOptions.pin_sha256, std::string(64, 'a'));
    EXPECT_EQ(smtp.TlsOptions.server_name, "mail.firma.test");
}

TEST(PrepareClients, FailuresComeBeforeAnyConnectionWithTheirCause)
{
    struct Case {
        const char* what;
        std::string chyba;
        std::string command;
        SecureCause cause;
    };
    const std::vector<Case> cases = {
        {"bad value", "[POP3] Sifrovani", "echo never-run", SecureCause::configuration},
        {"command fails", "", "echo half-a-token; exit 2", SecureCause::password_command},
        {"command silent", "", "true", SecureCause::password_command},
        {"command too slow", "", "sleep 20", SecureCause::password_command},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TServerNastaveni server;
        server.Port = 995;
        server.Chyba = c.chyba;
        server.HesloPrikaz = c.command;
        TZprava mail;
        mail.Timeout = 1;
        T_Pop3 pop3;
        try {
            PreparePop3(pop3, server, mail, nullptr);
            ADD_FAILURE() << "no failure";
        } catch (const ESecureError& e) {
            EXPECT_EQ(e.Cause, c.cause);
            EXPECT_EQ(std::string(e.what()).find("half-a-token"), std::string::npos);
        }
        EXPECT_FALSE(pop3.Connected);
        EXPECT_EQ(pop3.Password, "");
    }
}

TEST(PrepareClients, TheCommandsOutputNeverReachesTheLog)
{
    TempDir dir;
    const std::string path = dir.file("zanpost.log");
    {
        RunLog log(path, "1", "GET");
        TServerNastaveni server;
        server.Port = 110;
        server.HesloPrikaz = "echo eyJ0b2tlbiI6InNlY3JldCJ9";
        TZprava mail;
        mail.Uzivatel = "u";
        mail.Heslo = "static-heslo";
        mail.Timeout = 5;
        T_Pop3 pop3;
        PreparePop3(pop3, server, mail, &log);
        // Whatever a client or a server does with it, the log shows a mask.
        log.Trace("AUTH XOAUTH2", trace_sent);
        log.Trace("+ ", trace_received);
        log.Trace(pop3.Password, trace_sent);
        log.Trace("-ERR token eyJ0b2tlbiI6InNlY3JldCJ9 expired", trace_received);
        log.Cause("refused: eyJ0b2tlbiI6InNlY3JldCJ9 / static-heslo");
        log.Box("ZanPost - Chyba", "eyJ0b2tlbiI6InNlY3JldCJ9");
    }
    const std::string text = read_file(path);
    EXPECT_EQ(text.find("eyJ0b2tlbiI6InNlY3JldCJ9"), std::string::npos) << text;
    EXPECT_EQ(text.find("static-heslo"), std::string::npos) << text;
    EXPECT_NE(text.find("-ERR token ***** expired"), std::string::npos) << text;
}

}  // namespace
}  // namespace zanpost
