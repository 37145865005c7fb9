#pragma once
// A scripted protocol server on a loopback port, for testing the mail clients without a
// network. A test writes the server's side of each connection as a conversation, points
// the client at port(), runs it, and then compares transcript() - every byte the client
// sent - with what it must have sent:
//
//     ScriptedServer server(Conversation()
//         .say("+OK ready")          // the greeting
//         .reply("+OK")              // waits for the client's next line, then answers
//         .reply("+OK 2 messages"));
//     T_Pop3 pop; pop.Hostname = "127.0.0.1"; pop.Port = server.port(); ...
//     EXPECT_EQ(server.transcript(), "USER u\r\nPASS p\r\n");
//
// When a conversation's steps are done the server goes silent: it says nothing more and
// only records what arrives until the client closes the connection. That is also how a
// test meets a server that stops answering. close() instead ends the connection at once.
//
// One thread per server serves the conversations in order, one connection each. The
// server ends when the client has closed the last one, or, once the test asks for the
// results, when no further connection is waiting: a connection the client never made
// then has an empty transcript. Every wait of the server is bounded (10 s), so a client
// that misbehaves - never connects, never closes - fails its test after that time rather
// than hanging it. The server starts the socket layer itself.
//
// A server normally listens on a free port that port() tells. A client whose port is
// fixed (the program itself: 25 for SMTP, 110 for POP3) needs the server on that port:
// pass it as `fixed_port`. Such a test must run where the port is free and may be
// bound, e.g. as root in a private network namespace.
//
// A conversation may switch to TLS at any point with start_tls(), showing the certificate
// the server was given (POSIX builds only): first for implicit TLS, after the go-ahead
// line for STARTTLS / STLS. From then on every step, and the transcript, is the plain text
// inside TLS. A failed handshake ends the connection.

#include "platform/sockets.h"
#include "support/tls_channel.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace zanpost::testing {

class Conversation {
public:
    // Sends the text followed by CR LF. Embedded "\r\n" make a multi-line answer.
    Conversation& say(std::string_view text);
    // Sends the bytes exactly as given, nothing added (odd line ends, a line cut short).
    Conversation& say_raw(std::string_view bytes);
    // Waits for the client's next line.
    Conversation& await_line();
    // Waits for the client's next line, then says the text.
    Conversation& reply(std::string_view text);
    // Waits until the client has sent a line that is a lone "." (the end of DATA).
    Conversation& await_data();
    // Closes the connection at this point; the steps after it never run.
    Conversation& close();
    // Waits this long before the next step, reading nothing meanwhile: a client held at
    // a known point while the test changes something under it.
    Conversation& pause(int milliseconds);
    // Runs the server's side of the TLS handshake; later steps go through TLS.
    Conversation& start_tls();
    // Over TLS 1.2, asks the client for a new handshake, which runs under the later steps.
    Conversation& renegotiate();

private:
    friend class ScriptedServer;
    enum class Kind { send, await_line, await_data, close, pause, start_tls, renegotiate };
    struct Step {
        Kind kind;
        std::string bytes;
    };
    std::vector<Step> steps_;
};

class ScriptedServer {
public:
    // `fixed_port` 0 picks a free port.
    explicit ScriptedServer(Conversation conversation, std::uint16_t fixed_port = 0);
    // One conversation per connection, in the order the client connects.
    explicit ScriptedServer(std::vector<Conversation> conversations, std::uint16_t fixed_port = 0);
    // Conversations that start TLS show this certificate.
    ScriptedServer(std::vector<Conversation> conversations, ServerTls tls, std::uint16_t fixed_port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    std::uint16_t port() const { return port_; }

    // Both wait for the server to end, so call them after the client has made all its
    // connections and closed them (Logout, or the client's destruction).
    // What the client sent on connection `index` (empty for a connection never made).
    const std::string& transcript(std::size_t index = 0);
    // How many connections the client made.
    std::size_t connections();
    // Why the server's TLS handshake on connection `index` failed; empty when it did not.
    const std::string& tls_error(std::size_t index = 0);

private:
    void run();
    platform::SocketHandle accept_next();
    void serve(platform::SocketHandle connection, const Conversation& conversation, std::string& received,
               std::string& tls_error);
    void finish();

    std::vector<Conversation> conversations_;
    std::vector<std::string> transcripts_;
    ServerTls tls_;
    std::vector<std::string> tls_errors_;
    std::size_t accepted_ = 0;
    std::uint16_t port_ = 0;
    // Set when the results are asked for: the client has made every connection it will.
    std::atomic<bool> results_wanted_ = false;
    platform::SocketHandle listener_ = platform::invalid_socket;
    std::thread thread_;
};

}  // namespace zanpost::testing
