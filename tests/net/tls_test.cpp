// TLS under the line reader, against a scripted loopback server with certificates made for
// this run: what is accepted, what is refused and why, and that nothing of the dialogue
// leaves in clear text when the check fails.

#include "net/tcpip.h"

#include "support/scripted_server.h"
#include "support/test_certificates.h"
#include "support/trace_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>

namespace zanpost {
namespace {

using testing::Conversation;
using testing::ScriptedServer;
using testing::ServerTls;
using testing::test_certificates;
using testing::TestCertificates;
using testing::TraceLog;
using ::testing::AllOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

// The pin of a certificate as a user may paste it: upper case, colon between bytes.
std::string pasted_pin(const std::string& sha256)
{
    std::string pin;
    for (std::size_t i = 0; i < sha256.size(); i += 2) {
        if (!pin.empty()) pin += ':';
        pin += char(std::toupper(sha256[i]));
        pin += char(std::toupper(sha256[i + 1]));
    }
    return pin;
}

struct Verdict {
    const char* name;
    ServerTls TestCertificates::*certificate;
    const char* hostname;
    // Options of the client; "<ca>" stands for the test CA's file.
    const char* ca_file;
    const char* server_name;
    std::string (*pin)(const TestCertificates&);
    std::optional<SecureCause> failure;  // none: the connection must be made
    const char* detail;                  // the library's words in the failure's message
};

void PrintTo(const Verdict& v, std::ostream* out) { *out << v.name; }

// A client of the test server that trusts the test CA.
void aim(T_TcpIp& client, ScriptedServer& server, TlsMode mode, int timeout, const char* host)
{
    client.Timeout = timeout;
    client.Hostname = host;
    client.Port = server.port();
    client.Tls = mode;
    client.TlsOptions.ca_file = test_certificates().ca_file;
}

std::string no_pin(const TestCertificates&) { return {}; }
std::string self_signed_pin(const TestCertificates& c) { return c.self_signed.sha256; }
std::string self_signed_pasted(const TestCertificates& c) { return pasted_pin(c.self_signed.sha256); }

const Verdict verdicts[] = {
    {"trusted certificate by name", &TestCertificates::good, "localhost", "<ca>", "", no_pin, {}, ""},
    {"trusted certificate by IP address", &TestCertificates::good, "127.0.0.1", "<ca>", "", no_pin, {}, ""},
    {"name given for an IP host", &TestCertificates::other_name, "127.0.0.1", "<ca>", "mail.example.org", no_pin, {}, ""},
    {"pin of a self-signed certificate", &TestCertificates::self_signed, "localhost", "", "", self_signed_pin, {}, ""},
    {"pin pasted with colons in upper case", &TestCertificates::self_signed, "127.0.0.1", "", "", self_signed_pasted, {},
     ""},
    {"CA nobody trusts", &TestCertificates::foreign_ca, "localhost", "<ca>", "", no_pin, SecureCause::tls_untrusted,
     "unable to get local issuer certificate"},
    {"self-signed without a pin", &TestCertificates::self_signed, "localhost", "<ca>", "", no_pin,
     SecureCause::tls_untrusted, "self-signed certificate"},
    {"test CA not in the system's store", &TestCertificates::good, "localhost", "", "", no_pin,
     SecureCause::tls_untrusted, "unable to get local issuer certificate"},
    {"certificate for another name", &TestCertificates::other_name, "localhost", "<ca>", "", no_pin,
     SecureCause::tls_name, "hostname mismatch"},
    {"certificate without the IP address", &TestCertificates::other_name, "127.0.0.1", "<ca>", "", no_pin,
     SecureCause::tls_name, "IP address mismatch"},
    {"name given that the certificate lacks", &TestCertificates::good, "127.0.0.1", "<ca>", "mail.example.org", no_pin,
     SecureCause::tls_name, "hostname mismatch"},
    // The name decides how it is checked: an IPv6 literal against the addresses, a name
    // that only looks like an address against the names.
    {"IPv6 literal the certificate lacks", &TestCertificates::good, "127.0.0.1", "<ca>", "::1", no_pin,
     SecureCause::tls_name, "IP address mismatch"},
    {"address with a leading zero", &TestCertificates::good, "127.0.0.1", "<ca>", "127.0.0.01", no_pin,
     SecureCause::tls_name, "hostname mismatch"},
    {"expired certificate", &TestCertificates::expired, "localhost", "<ca>", "", no_pin, SecureCause::tls_expired,
     "certificate has expired"},
    {"certificate not yet valid", &TestCertificates::not_yet_valid, "localhost", "<ca>", "", no_pin,
     SecureCause::tls_expired, "certificate is not yet valid"},
    {"pin of another certificate", &TestCertificates::good, "localhost", "<ca>", "", self_signed_pin,
     SecureCause::tls_pin, "SHA-256 is"},
};

class TlsVerdicts : public ::testing::TestWithParam<Verdict> {};

TEST_P(TlsVerdicts, CertificateIsAcceptedOrRefusedForItsCause)
{
    const Verdict& v = GetParam();
    const TestCertificates& certificates = test_certificates();
    const ServerTls& shown = certificates.*v.certificate;
    ScriptedServer server({Conversation().start_tls().say("+OK secure").reply("+OK bye")}, shown);

    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    client.Timeout = 10;
    client.Hostname = v.hostname;
    client.Port = server.port();
    client.Tls = TlsMode::implicit;
    client.TlsOptions.ca_file = std::string(v.ca_file) == "<ca>" ? certificates.ca_file : v.ca_file;
    client.TlsOptions.server_name = v.server_name;
    client.TlsOptions.pin_sha256 = v.pin(certificates);

    if (!v.failure) {
        client.Login();
        ASSERT_TRUE(client.TlsActive());
        std::string line;
        client.RequireLine(line);
        EXPECT_EQ(line, "+OK secure");
        client.SendCommand("QUIT");
        client.RequireLine(line);
        EXPECT_EQ(line, "+OK bye");
        EXPECT_EQ(client.TlsPeer()->sha256, shown.sha256);
        client.Logout();
        EXPECT_EQ(server.transcript(), "QUIT\r\n");
        EXPECT_EQ(server.tls_error(), "");
        return;
    }
    try {
        client.Login();
        FAIL() << "the connection was made";
    } catch (const ESecureError& e) {
        EXPECT_EQ(e.Cause, *v.failure);
        EXPECT_THAT(e.message(), StartsWith("TLS with " + std::string(v.hostname) + " failed: "));
        EXPECT_THAT(e.message(), HasSubstr(v.detail));
        // A pin that does not match: both fingerprints, so the administrator can compare.
        if (e.Cause == SecureCause::tls_pin) {
            EXPECT_THAT(e.message(), AllOf(HasSubstr(shown.sha256), HasSubstr(v.pin(certificates))));
        }
    }
    // The trace shows what the server presented, whoever it really was, before the
    // connection is closed: its certificate in full and whom the rest of its chain names.
    const auto security = log.at(trace_security);
    ASSERT_EQ(security.size(), 4 + 2 * shown.chain_cns.size());
    EXPECT_THAT(security[0], AllOf(StartsWith("Certificate subject: "), HasSubstr("CN = " + shown.subject_cn)));
    EXPECT_THAT(security[1], AllOf(StartsWith("Certificate issuer: "), HasSubstr("CN = " + shown.issuer_cn)));
    EXPECT_THAT(security[2], MatchesRegex("Certificate valid: [-0-9]{10} [:0-9]{8} UTC to [-0-9]{10} [:0-9]{8} UTC"));
    EXPECT_EQ(security[3], "Certificate SHA-256: " + shown.sha256);
    for (std::size_t i = 0; i < shown.chain_cns.size(); ++i) {
        const std::string which = "Chain certificate " + std::to_string(i + 2);
        EXPECT_THAT(security[4 + 2 * i], AllOf(StartsWith(which + " subject: "), HasSubstr("CN = " + shown.chain_cns[i])));
        EXPECT_THAT(security[5 + 2 * i], StartsWith(which + " issuer: "));
    }
    EXPECT_THAT(log.entries.back().first, StartsWith("Closed socket"));
    // Refused before a single byte of the dialogue, and nothing left open.
    EXPECT_FALSE(client.TlsActive());
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(server.transcript(), "");
}

INSTANTIATE_TEST_SUITE_P(Certificates, TlsVerdicts, ::testing::ValuesIn(verdicts),
                         [](const ::testing::TestParamInfo<Verdict>& info) {
                             std::string name;
                             for (const char c : std::string(info.param.name))
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

TEST(TlsCaFile, UnusableCaFileIsNamedAsSuchAndNoConnectionGoesOn)
{
    const testing::TempDir dir;
    testing::write_file(dir.file("empty.pem"), "");
    testing::write_file(dir.file("junk.pem"), "not a certificate\n");
    struct Case {
        std::string path;
        const char* detail;
    };
    const Case cases[] = {
        {dir.file("missing.pem"), "cannot read"},
        {dir.file("empty.pem"), "no certificate in"},
        {dir.file("junk.pem"), "no certificate in"},
        {dir.path().string(), "no certificate in"},  // a directory
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        ScriptedServer server({Conversation().start_tls().say("+OK secure")}, test_certificates().good);
        T_TcpIp client;
        client.Hostname = "localhost";
        client.Port = server.port();
        client.Tls = TlsMode::implicit;
        client.TlsOptions.ca_file = c.path;
        try {
            client.Login();
            FAIL() << "the connection was made";
        } catch (const ESecureError& e) {
            EXPECT_EQ(e.Cause, SecureCause::tls_ca_file);
            EXPECT_THAT(e.message(), HasSubstr(c.detail));
            EXPECT_THAT(e.message(), HasSubstr(c.path));
        }
        EXPECT_EQ(client.Socket, platform::invalid_socket);
        EXPECT_EQ(server.transcript(), "");
    }
}

// Servers that do not answer TLS at all: the wrong port, a silent one, one that hangs up.
TEST(TlsWrongPeer, HandshakeFailsWithinTheTimeLimitAndTheConnectionIsClosed)
{
    struct Case {
        const char* name;
        Conversation conversation;
        const char* message;
    };
    const Case cases[] = {
        {"plain POP3 server", Conversation().say("+OK POP3 server ready"), "TLS with localhost failed: "},
        {"plain SMTP server", Conversation().say("220 mail ESMTP"), "TLS with localhost failed: "},
        {"silent server", Conversation(), "TLS with localhost failed: no answer within 1 seconds"},
        {"server that hangs up", Conversation().close(), "TLS with localhost failed: "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.conversation);
        T_TcpIp client;
        aim(client, server, TlsMode::implicit, 1, "localhost");
        const auto start = std::chrono::steady_clock::now();
        try {
            client.Login();
            FAIL() << "the connection was made";
        } catch (const ESecureError& e) {
            EXPECT_EQ(e.Cause, SecureCause::tls_handshake);
            EXPECT_THAT(e.message(), StartsWith(c.message));
        }
        // Bounded by the time limit, not by the server's patience (10 s).
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
        EXPECT_EQ(client.Socket, platform::invalid_socket);
        EXPECT_FALSE(client.Connected);
    }
}

TEST(TlsRoundTrip, LargeBlocksBothWaysArriveWholeAndTheSessionIsTraced)
{
    StringList sent;
    std::string sent_wire;
    std::string answer_wire;
    StringList answer;
    // Lines of every length around the record size (16 KiB), dot-stuffed ones included.
    for (int i = 0; i < 3000; ++i) {
        std::string line = (i % 7 == 0 ? "." : "") + std::to_string(i) + std::string(std::size_t(i * 37 % 20000), 'a' + i % 26);
        sent.push_back(line);
        sent_wire += (line.front() == '.' ? "." : "") + line + "\r\n";
        answer.push_back(line + "!");
        answer_wire += (line.front() == '.' ? "." : "") + line + "!\r\n";
    }
    ScriptedServer server({Conversation().start_tls().say("+OK ready").await_data().say_raw(answer_wire + ".\r\n")},
                          test_certificates().good);
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    aim(client, server, TlsMode::implicit, 10, "localhost");
    client.Login();

    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "+OK ready");
    client.SendDotTerminated(sent);
    StringList received;
    client.ReadDotTerminated(received);
    EXPECT_EQ(received.size(), answer.size());
    EXPECT_TRUE(received == answer);
    client.Logout();
    EXPECT_EQ(server.transcript(), sent_wire + ".\r\n");

    const auto security = log.at(trace_security);
    ASSERT_EQ(security.size(), 5u);
    EXPECT_THAT(security[0], MatchesRegex("TLS TLSv1\\.[23] .+"));
    EXPECT_THAT(security[1], HasSubstr("CN = localhost"));
    EXPECT_THAT(security[2], HasSubstr("CN = ZanPost test CA"));
    EXPECT_THAT(security[3], MatchesRegex("Certificate valid: [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC "
                                          "to [0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2} UTC"));
    EXPECT_EQ(security[4], "Certificate SHA-256: " + test_certificates().good.sha256);
}

TEST(TlsRoundTrip, ServerAskingForANewHandshakeMidSessionIsServed)
{
    ServerTls tls12 = test_certificates().good;
    tls12.tls12_only = true;
    ScriptedServer server(
        {Conversation().start_tls().say("+OK ready").renegotiate().reply("+OK one").reply("+OK two").reply("+OK three")},
        tls12);
    T_TcpIp client;
    aim(client, server, TlsMode::implicit, 10, "localhost");
    client.Login();
    EXPECT_EQ(client.TlsPeer()->version, "TLSv1.2");

    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "+OK ready");
    for (const char* expected : {"+OK one", "+OK two", "+OK three"}) {
        client.SendCommand("NOOP");
        client.RequireLine(line);
        EXPECT_EQ(line, expected);
    }
    client.Logout();
    EXPECT_EQ(server.transcript(), "NOOP\r\nNOOP\r\nNOOP\r\n");
}

TEST(TlsStartTls, OnlyAGoAheadWithNothingAfterItLeadsToTheHandshake)
{
    struct Case {
        const char* name;
        const char* go_ahead;  // what the server sends in one piece after STARTTLS
        bool injected;
    };
    const Case cases[] = {
        {"clean go-ahead", "220 go ahead\r\n", false},
        {"reply smuggled after the go-ahead", "220 go ahead\r\n250 injected\r\n", true},
        {"unfinished line after the go-ahead", "220 go ahead\r\n2", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(
            {Conversation().say("220 ready").await_line().say_raw(c.go_ahead).start_tls().reply("250 secure")},
            test_certificates().good);
        T_TcpIp client;
        TraceLog log;
        client.OnTrace = log.proc();
        aim(client, server, TlsMode::starttls, 10, "127.0.0.1");
        client.Login();
        EXPECT_FALSE(client.TlsActive());

        std::string line;
        client.RequireLine(line);
        client.SendCommand("STARTTLS");
        client.RequireLine(line);
        EXPECT_EQ(line, "220 go ahead");
        if (!c.injected) {
            client.StartTls();
            EXPECT_TRUE(client.TlsActive());
            client.SendCommand("EHLO me");
            client.RequireLine(line);
            EXPECT_EQ(line, "250 secure");
            client.Logout();
            EXPECT_EQ(server.transcript(), "STARTTLS\r\nEHLO me\r\n");
            EXPECT_EQ(log.at(trace_security).size(), 5u);
            continue;
        }
        try {
            client.StartTls();
            FAIL() << "TLS started over bytes the server sent in clear";
        } catch (const ESecureError& e) {
            EXPECT_EQ(e.Cause, SecureCause::tls_injection);
        }
        EXPECT_FALSE(client.TlsActive());
        EXPECT_EQ(client.Socket, platform::invalid_socket);
        EXPECT_FALSE(client.Connected);
        EXPECT_TRUE(log.at(trace_security).empty());
        EXPECT_EQ(server.transcript(), "STARTTLS\r\n");
    }
}

TEST(TlsSession, ServerEndingTheSessionEndsTheStreamAndABrokenSessionFailsCleanly)
{
    // close_notify after a line: the line arrives, then the end of the stream.
    ScriptedServer server({Conversation().start_tls().say("+OK last").close()}, test_certificates().good);
    T_TcpIp client;
    aim(client, server, TlsMode::implicit, 10, "localhost");
    client.Login();
    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "+OK last");
    try {
        client.RequireLine(line);
        FAIL() << "a line after the end of the session";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "Connection to localhost closed by the server");
    }
    EXPECT_EQ(line, "+OK last");
    EXPECT_EQ(client.Socket, platform::invalid_socket);
}

TEST(TlsSession, SilenceAfterTheHandshakeRunsIntoTheTimeLimit)
{
    ScriptedServer server({Conversation().start_tls().say("+OK ready")}, test_certificates().good);
    T_TcpIp client;
    aim(client, server, TlsMode::implicit, 1, "localhost");
    client.Login();
    std::string line;
    client.RequireLine(line);
    client.SendCommand("STAT");
    try {
        client.RequireLine(line);
        FAIL() << "a silent server must not be waited for without end";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "No answer from localhost within 1 seconds");
    }
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_EQ(server.transcript(), "STAT\r\n");
}

}  // namespace
}  // namespace zanpost
