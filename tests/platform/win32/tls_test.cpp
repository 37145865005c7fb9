// The Schannel session against real TLS servers (openssl s_server -rev, which answers each
// line reversed) that scripts/test-win32 starts on 127.0.0.1 with certificates made for
// the run. The script passes what it made through the environment:
//   ZANPOST_TLS_CA           the test CA (a Windows path under Wine's Z: drive)
//   ZANPOST_TLS_OTHER_CA     a PEM file with an unrelated CA (the self-signed certificate)
//   ZANPOST_TLS_PORT_GOOD    leaf for localhost and 127.0.0.1, signed by the test CA
//   ZANPOST_TLS_PORT_EXPIRED the same, out of its dates
//   ZANPOST_TLS_PORT_OTHER   leaf for another name, signed by the test CA
//   ZANPOST_TLS_PORT_SELF    self-signed leaf for localhost
//   ZANPOST_TLS_PORT_RENEGOTIATE  the good leaf, TLS 1.2; after the handshake the server
//                            asks for a new one, then sends "after renegotiation"
//   ZANPOST_TLS_PIN_GOOD, ZANPOST_TLS_PIN_SELF   SHA-256 of those two leaves (hex)
//   ZANPOST_TLS_SCRATCH      a directory the test may write to
// The servers without TLS are made here, over the seam's loopback listener.

#include "platform/sockets.h"
#include "platform/tls.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <regex>
#include <string>
#include <thread>

namespace zanpost::platform {
namespace {

constexpr std::uint32_t loopback = 0x0100007F;  // 127.0.0.1 in network byte order
constexpr int time_limit = 3;                    // seconds, the socket's send and receive bound

std::string env(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

const char* failure_name(TlsFailure failure)
{
    switch (failure) {
    case TlsFailure::handshake: return "handshake";
    case TlsFailure::untrusted: return "untrusted";
    case TlsFailure::name_mismatch: return "name_mismatch";
    case TlsFailure::expired: return "expired";
    case TlsFailure::pin_mismatch: return "pin_mismatch";
    case TlsFailure::ca_file: return "ca_file";
    case TlsFailure::timed_out: return "timed_out";
    case TlsFailure::closed: return "closed";
    }
    return "?";
}

class Client {
public:
    explicit Client(std::uint16_t port)
    {
        socket_ = socket_create();
        if (socket_ == invalid_socket) return;
        connected_ = socket_connect(socket_, loopback, port, 5) && socket_set_timeout(socket_, time_limit);
    }
    ~Client() { socket_close(socket_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void close()
    {
        socket_close(socket_);
        socket_ = invalid_socket;
    }
    bool connected() const { return connected_; }
    SocketHandle socket() const { return socket_; }

private:
    SocketHandle socket_ = invalid_socket;
    bool connected_ = false;
};

bool send_all(TlsSession& session, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const IoResult sent = session.send(bytes.data() + done, bytes.size() - done);
        if (sent.status != IoStatus::ok || sent.count == 0) return false;
        done += sent.count;
    }
    return true;
}

// Reads up to and including the first line end, `area` bytes at a time: a small area makes
// the session keep what it decrypted for the following receives.
std::optional<std::string> read_line(TlsSession& session, std::size_t area)
{
    std::string line;
    std::string buffer(area, '\0');
    while (line.find('\n') == std::string::npos) {
        const IoResult got = session.receive(buffer.data(), buffer.size());
        if (got.status != IoStatus::ok) return std::nullopt;
        line.append(buffer.data(), got.count);
    }
    return line;
}

class SchannelTls : public testing::Test {
protected:
    void SetUp() override
    {
        if (env("ZANPOST_TLS_CA").empty())
            GTEST_FAIL() << "run by scripts/test-win32, which starts the servers and sets ZANPOST_TLS_*";
    }

    static std::uint16_t port(const char* name) { return static_cast<std::uint16_t>(std::atoi(env(name).c_str())); }
};

struct Case {
    const char* what;
    const char* port;            // the environment variable with the server's port
    const char* server_name;
    const char* ca_file;         // an environment variable, a file name in the scratch directory, or ""
    const char* pin;             // an environment variable, or a literal pin, or ""
    std::optional<TlsFailure> failure;  // nothing: the handshake must succeed
};

std::string resolve(const char* value)
{
    if (value[0] == '\0') return {};
    const std::string from_env = env(value);
    if (!from_env.empty()) return from_env;
    if (std::string(value).rfind("scratch:", 0) == 0) return env("ZANPOST_TLS_SCRATCH") + "\\" + (value + 8);
    return value;
}

TEST_F(SchannelTls, CertificatesAreCheckedByOurOwnCode)
{
    // An empty and an unparsable CA file, beside a missing one.
    const std::string scratch = env("ZANPOST_TLS_SCRATCH");
    std::ofstream(scratch + "\\empty.pem").flush();
    std::ofstream(scratch + "\\garbage.pem") << "-----BEGIN CERTIFICATE-----\n!!!\n-----END CERTIFICATE-----\n";
    const std::string wrong_pin(64, 'a');

    const Case cases[] = {
        {"good chain, CA file", "ZANPOST_TLS_PORT_GOOD", "localhost", "ZANPOST_TLS_CA", "", std::nullopt},
        {"good chain, the name in another letter case", "ZANPOST_TLS_PORT_GOOD", "LocalHost", "ZANPOST_TLS_CA", "",
         std::nullopt},
        {"good chain, IP literal in the certificate", "ZANPOST_TLS_PORT_GOOD", "127.0.0.1", "ZANPOST_TLS_CA", "",
         std::nullopt},
        {"IP literal not in the certificate", "ZANPOST_TLS_PORT_GOOD", "127.0.0.2", "ZANPOST_TLS_CA", "",
         TlsFailure::name_mismatch},
        // inet_addr reads it as 127.0.0.1 (01 in octal); it is no address but a name, which the
        // certificate lacks.
        {"address with a leading zero", "ZANPOST_TLS_PORT_GOOD", "127.0.0.01", "ZANPOST_TLS_CA", "",
         TlsFailure::name_mismatch},
        {"test CA not in the system store", "ZANPOST_TLS_PORT_GOOD", "localhost", "", "", TlsFailure::untrusted},
        {"CA file of another CA: the system roots do not help", "ZANPOST_TLS_PORT_GOOD", "localhost",
         "ZANPOST_TLS_OTHER_CA", "", TlsFailure::untrusted},
        {"name not in the certificate", "ZANPOST_TLS_PORT_GOOD", "mail.example.org", "ZANPOST_TLS_CA", "",
         TlsFailure::name_mismatch},
        {"no name to check against", "ZANPOST_TLS_PORT_GOOD", "", "ZANPOST_TLS_CA", "", TlsFailure::name_mismatch},
        {"certificate for another name", "ZANPOST_TLS_PORT_OTHER", "localhost", "ZANPOST_TLS_CA", "",
         TlsFailure::name_mismatch},
        {"expired certificate", "ZANPOST_TLS_PORT_EXPIRED", "localhost", "ZANPOST_TLS_CA", "", TlsFailure::expired},
        {"self-signed certificate", "ZANPOST_TLS_PORT_SELF", "localhost", "ZANPOST_TLS_CA", "",
         TlsFailure::untrusted},
        {"self-signed certificate, pinned", "ZANPOST_TLS_PORT_SELF", "some.other.name", "", "ZANPOST_TLS_PIN_SELF",
         std::nullopt},
        {"pin replaces the chain check", "ZANPOST_TLS_PORT_GOOD", "localhost", "", "ZANPOST_TLS_PIN_GOOD",
         std::nullopt},
        {"pin of another certificate", "ZANPOST_TLS_PORT_GOOD", "localhost", "ZANPOST_TLS_CA", "ZANPOST_TLS_PIN_SELF",
         TlsFailure::pin_mismatch},
        {"pin of nothing", "ZANPOST_TLS_PORT_SELF", "localhost", "", wrong_pin.c_str(), TlsFailure::pin_mismatch},
        {"missing CA file", "ZANPOST_TLS_PORT_GOOD", "localhost", "scratch:missing.pem", "", TlsFailure::ca_file},
        {"empty CA file", "ZANPOST_TLS_PORT_GOOD", "localhost", "scratch:empty.pem", "", TlsFailure::ca_file},
        {"CA file without a readable certificate", "ZANPOST_TLS_PORT_GOOD", "localhost", "scratch:garbage.pem", "",
         TlsFailure::ca_file},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Client client(port(c.port));
        ASSERT_TRUE(client.connected()) << c.port << ": " << socket_last_error();
        TlsOptions options;
        options.server_name = c.server_name;
        options.ca_file = resolve(c.ca_file);
        options.pin_sha256 = resolve(c.pin);
        TlsStartResult started = tls_start(client.socket(), options);
        if (c.failure) {
            EXPECT_EQ(started.session, nullptr);
            EXPECT_STREQ(failure_name(started.failure), failure_name(*c.failure)) << started.detail;
            EXPECT_FALSE(started.detail.empty());
            // Every refusal here comes after the handshake: what the server presented is
            // there for the log.
            ASSERT_FALSE(started.presented.empty());
            const TlsCertificateInfo& shown = started.presented.front();
            const std::string port = c.port;
            EXPECT_NE(shown.subject.find(port == "ZANPOST_TLS_PORT_OTHER" ? "CN=other.example.org" : "CN=localhost"),
                      std::string::npos) << shown.subject;
            EXPECT_LT(shown.not_before, shown.not_after);
            if (port == "ZANPOST_TLS_PORT_GOOD" || port == "ZANPOST_TLS_PORT_SELF") {
                EXPECT_EQ(shown.sha256, env(port == "ZANPOST_TLS_PORT_GOOD" ? "ZANPOST_TLS_PIN_GOOD" : "ZANPOST_TLS_PIN_SELF"));
            }
            if (*c.failure == TlsFailure::pin_mismatch) {
                EXPECT_NE(started.detail.find(shown.sha256), std::string::npos) << started.detail;
            }
            continue;
        }
        ASSERT_NE(started.session, nullptr) << failure_name(started.failure) << ": " << started.detail;
        // Every accepted session carries data both ways.
        const std::string line = std::string(c.what) + "\n";
        ASSERT_TRUE(send_all(*started.session, line));
        EXPECT_EQ(read_line(*started.session, 4096), std::string(line.rbegin() + 1, line.rend()) + "\n");
        started.session->shutdown();
    }
}

TEST_F(SchannelTls, RoundTripTellsThePeerAndKeepsWhatTheCallerHadNoRoomFor)
{
    Client client(port("ZANPOST_TLS_PORT_GOOD"));
    ASSERT_TRUE(client.connected()) << socket_last_error();
    TlsOptions options;
    options.server_name = "localhost";
    options.ca_file = env("ZANPOST_TLS_CA");
    TlsStartResult started = tls_start(client.socket(), options);
    ASSERT_NE(started.session, nullptr) << failure_name(started.failure) << ": " << started.detail;
    TlsSession& session = *started.session;

    const TlsPeerInfo& peer = session.peer();
    EXPECT_TRUE(peer.version == "TLSv1.2" || peer.version == "TLSv1.3") << peer.version;
    EXPECT_FALSE(peer.cipher.empty());
    EXPECT_NE(peer.subject.find("CN=localhost"), std::string::npos) << peer.subject;
    // Wine quotes a value with spaces (CN="ZanPost Test CA") despite the no-quoting flag.
    EXPECT_NE(peer.issuer.find("ZanPost Test CA"), std::string::npos) << peer.issuer;
    EXPECT_EQ(peer.issuer.find("CN="), 0u) << peer.issuer;
    const std::regex date("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d UTC");
    EXPECT_TRUE(std::regex_match(peer.not_before, date)) << peer.not_before;
    EXPECT_TRUE(std::regex_match(peer.not_after, date)) << peer.not_after;
    EXPECT_LT(peer.not_before, peer.not_after);
    EXPECT_EQ(peer.sha256, env("ZANPOST_TLS_PIN_GOOD"));
    std::printf("peer: %s %s | %s | %s | %s .. %s | %s\n", peer.version.c_str(), peer.cipher.c_str(),
                peer.subject.c_str(), peer.issuer.c_str(), peer.not_before.c_str(), peer.not_after.c_str(),
                peer.sha256.c_str());

    // Lines over several records, read back 7 bytes at a time, then one byte at a time.
    for (std::size_t area : {std::size_t(7), std::size_t(1), std::size_t(65536)}) {
        std::string line;
        for (std::size_t i = 0; line.size() < 12000; ++i) line += char('A' + (i * 7 + area) % 26);
        line += '\n';
        ASSERT_TRUE(send_all(session, line)) << area;
        EXPECT_EQ(read_line(session, area), std::string(line.rbegin() + 1, line.rend()) + "\n") << area;
    }
    // The server ends the session with close_notify: the stream has ended, now and after.
    ASSERT_TRUE(send_all(session, "CLOSE\n"));
    char byte;
    EXPECT_EQ(session.receive(&byte, 1).status, IoStatus::closed);
    EXPECT_EQ(session.receive(&byte, 1).status, IoStatus::closed);
    session.shutdown();
}

// Windows answers the server's request for a new handshake; Wine's Schannel cannot, and the
// session declines it there. Either way the line sent after it arrives.
TEST_F(SchannelTls, ServerAskingForANewHandshakeStillDeliversItsLine)
{
    Client client(port("ZANPOST_TLS_PORT_RENEGOTIATE"));
    ASSERT_TRUE(client.connected()) << socket_last_error();
    TlsOptions options;
    options.server_name = "localhost";
    options.ca_file = env("ZANPOST_TLS_CA");
    TlsStartResult started = tls_start(client.socket(), options);
    ASSERT_NE(started.session, nullptr) << failure_name(started.failure) << ": " << started.detail;
    EXPECT_EQ(read_line(*started.session, 4096), std::string("after renegotiation\n"));
    started.session->shutdown();
}

// A server without TLS: one that greets as a POP3 server does, one that says nothing, one
// that hangs up.
TEST_F(SchannelTls, PlainServerFailsTheHandshakeWithinTheTimeLimit)
{
    struct PlainCase {
        const char* what;
        const char* greeting;
        bool hang_up;  // after reading what the client said first
        TlsFailure failure;
    };
    const PlainCase cases[] = {
        {"greeting server", "+OK POP3 server ready\r\n", false, TlsFailure::handshake},
        {"silent server", "", false, TlsFailure::timed_out},
        {"server hanging up on the client's hello", "", true, TlsFailure::closed},
    };
    for (const PlainCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint16_t listen_port = 0;
        const SocketHandle listener = socket_listen_loopback(listen_port);
        ASSERT_NE(listener, invalid_socket);
        std::thread server([&] {
            const SocketHandle accepted = socket_accept(listener, 10);
            if (accepted == invalid_socket) return;
            if (c.greeting[0]) socket_send(accepted, c.greeting, std::strlen(c.greeting));
            // Holds the connection open past the client's time limit, reading what comes.
            socket_set_timeout(accepted, time_limit + 2);
            char sink[4096];
            while (socket_receive(accepted, sink, sizeof sink).status == IoStatus::ok && !c.hang_up) {
            }
            socket_close(accepted);
        });
        Client client(listen_port);
        if (!client.connected()) {
            ADD_FAILURE() << "cannot connect: " << socket_last_error();
        } else {
            TlsOptions options;
            options.server_name = "localhost";
            options.ca_file = env("ZANPOST_TLS_CA");
            const auto begin = std::chrono::steady_clock::now();
            const TlsStartResult started = tls_start(client.socket(), options);
            const auto seconds =
                std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - begin).count();
            EXPECT_EQ(started.session, nullptr);
            EXPECT_STREQ(failure_name(started.failure), failure_name(c.failure)) << started.detail;
            EXPECT_LE(seconds, time_limit + 1);
        }
        client.close();  // the server reads until the connection ends
        server.join();
        socket_close(listener);
    }
}

}  // namespace
}  // namespace zanpost::platform
