#include "net/tcpip.h"

#include "support/scripted_server.h"
#include "support/trace_log.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <numeric>
#include <stdexcept>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using testing::Conversation;
using testing::ScriptedServer;
using testing::TraceLog;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string id(const T_TcpIp& client) { return std::to_string(client.Socket); }

// The sum of n over the "<prefix>n bytes on socket ID ..." traces.
std::size_t traced_bytes(const TraceLog& log, const std::string& prefix)
{
    std::size_t total = 0;
    for (const auto& text : log.socket_events(prefix)) total += std::stoul(text.substr(prefix.size()));
    return total;
}

void connect(T_TcpIp& client, const ScriptedServer& server)
{
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
    client.Login();
}

// A port nobody listens on: one the system just handed out and took back.
std::uint16_t closed_port()
{
    std::uint16_t port = 0;
    const auto listener = platform::socket_listen_loopback(port);
    platform::socket_close(listener);
    return port;
}

TEST(TcpIpLines, OnlyTheLineEndsCrGoesAndAnUnfinishedLineIsNeverDelivered)
{
    ScriptedServer server(Conversation().say_raw("abc\r\na\rb\n\nlast").close());
    T_TcpIp client;
    connect(client, server);

    std::string line = "before";
    ASSERT_TRUE(client.ReadLine(client.Socket, line));
    EXPECT_EQ(line, "abc");
    ASSERT_TRUE(client.ReadLine(client.Socket, line));
    EXPECT_EQ(line, "a\rb");  // a record separator inside a CSV line sent as 8bit
    ASSERT_TRUE(client.ReadLine(client.Socket, line));
    EXPECT_EQ(line, "");

    line = "kept";
    EXPECT_FALSE(client.ReadLine(client.Socket, line));
    EXPECT_EQ(line, "kept");
    EXPECT_TRUE(client.StreamEnded);
    EXPECT_TRUE(client.Eof(client.Socket));
    EXPECT_TRUE(client.Connected);  // ending only shows at the next read; the socket stays
    EXPECT_FALSE(client.ReadLine(client.Socket, line));
}

TEST(TcpIpLines, RequireLineNamesTheClosedConnectionAndClosesIt)
{
    ScriptedServer server(Conversation().say("only").close());
    T_TcpIp client;
    connect(client, server);

    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "only");
    try {
        client.RequireLine(line);
        FAIL() << "no line, no exception";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "Connection to 127.0.0.1 closed by the server");
        EXPECT_EQ(e.kind(), "ETcpIpError");
    }
    EXPECT_EQ(line, "only");
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
}

TEST(TcpIpLines, SilentServerRunsIntoTheTimeout)
{
    ScriptedServer server(Conversation().say("hello"));
    T_TcpIp client;
    client.Timeout = 1;
    connect(client, server);

    std::string line;
    client.RequireLine(line);
    try {
        client.RequireLine(line);
        FAIL() << "a silent server must not be waited for without end";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.message(), "No answer from 127.0.0.1 within 1 seconds");
    }
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(server.transcript(), "");
}

TEST(TcpIpLines, LinesSpanningManyReceivesArriveWhole)
{
    // Lines of varying length so that line ends, CRs and LFs fall on every position of
    // the receive blocks.
    std::string wire;
    StringList expected;
    for (int i = 0; i < 60000; ++i) {
        std::string line = "line " + std::to_string(i) + std::string(std::size_t(i % 97), 'x');
        expected.push_back(line);
        wire += line + "\r\n";
    }
    ScriptedServer server(Conversation().say_raw(wire).say_raw(".\r\n"));
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    connect(client, server);

    StringList lines;
    client.ReadDotTerminated(lines);
    EXPECT_EQ(lines.size(), expected.size());
    EXPECT_TRUE(lines == expected);
    // One trace per platform receive, each with the count that receive really gave.
    EXPECT_EQ(traced_bytes(log, "Received "), wire.size() + 3);
    EXPECT_LT(log.socket_events("Received ").size(), wire.size() / 1000);
    client.Logout();
}

TEST(TcpIpLines, StatusLinesAreBoundedAndALongerOneBreaksTheConnection)
{
    constexpr std::size_t max = T_TcpIp::max_status_line;
    struct Case {
        const char* name;
        std::string wire;       // then the server goes silent
        bool taken;             // else the connection is broken as for a garbled answer
        std::size_t length;     // of the line taken
    };
    const Case cases[] = {
        {"longest line with CR LF", std::string(max, 'x') + "\r\nnext\r\n", true, max},
        {"longest line with a bare LF", std::string(max, 'x') + "\nnext\r\n", true, max},
        {"one byte too long", std::string(max + 1, 'x') + "\r\nnext\r\n", false, 0},
        {"a megabyte with no line end", std::string(0x100000, 'x'), false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(Conversation().say_raw(c.wire));
        T_TcpIp client;
        // Waiting for the end of the line instead would run into this and say so.
        client.Timeout = 5;
        connect(client, server);
        std::string line = "before";
        if (c.taken) {
            client.RequireLine(line);
            EXPECT_EQ(line, std::string(c.length, 'x'));
            client.RequireLine(line);
            EXPECT_EQ(line, "next");
            client.Logout();
            continue;
        }
        try {
            client.RequireLine(line);
            FAIL() << "a line of " << c.wire.size() << " bytes taken as an answer";
        } catch (const ETcpIpError& e) {
            EXPECT_EQ(e.kind(), "ETcpIpError");
            EXPECT_EQ(e.message(), "Garbled answer from 127.0.0.1: a line longer than 65536 bytes");
        }
        EXPECT_EQ(line, "before");
        EXPECT_EQ(client.Socket, platform::invalid_socket);
        EXPECT_FALSE(client.Connected);
    }
}

TEST(TcpIpDotTerminated, DataLinesMayBeFarLongerThanStatusLines)
{
    // Megabytes without a line end arrive in many receives; the lines around them, and the
    // status line after the answer, must come out as sent.
    const std::string long_line(8 * 0x100000 + 3, 'd');
    ScriptedServer server(Conversation().say_raw("short\r\n" + long_line + "\r\n." + long_line +
                                                 "\nafter\r\n.\r\n+OK next\r\n"));
    T_TcpIp client;
    client.Timeout = 10;
    connect(client, server);
    StringList lines;
    client.ReadDotTerminated(lines);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "short");
    EXPECT_TRUE(lines[1] == long_line);
    EXPECT_TRUE(lines[2] == long_line);
    EXPECT_EQ(lines[3], "after");
    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "+OK next");
    client.Logout();
}

TEST(TcpIpDotTerminated, LeadingDotsAreTakenOffAndTheRestStaysBuffered)
{
    ScriptedServer server(Conversation().say_raw("x\r\n..\r\n.c\r\n...\r\n\r\n.\r\nafter\r\n"));
    T_TcpIp client;
    connect(client, server);

    StringList lines{"earlier"};
    client.ReadDotTerminated(lines);
    EXPECT_THAT(lines, ElementsAre("earlier", "x", ".", "c", "..", ""));
    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "after");
    client.Logout();
}

TEST(TcpIpDotTerminated, AnswerCutShortKeepsNothingOfIt)
{
    ScriptedServer server(Conversation().say_raw("one\r\ntwo\r\nthr").close());
    T_TcpIp client;
    connect(client, server);

    StringList lines{"earlier"};
    EXPECT_THROW(client.ReadDotTerminated(lines), ETcpIpError);
    EXPECT_THAT(lines, ElementsAre("earlier"));
    EXPECT_FALSE(client.Connected);
}

TEST(TcpIpDotTerminated, SentLinesAreStuffedAndGatheredIntoLargeSends)
{
    ScriptedServer server(Conversation().await_data());
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    connect(client, server);

    StringList lines{".", "..", ".5 kg", "plain", ""};
    for (int i = 0; i < 20000; ++i) lines.push_back("body line " + std::to_string(i) + " of the message text");
    const StringList original = lines;
    client.SendDotTerminated(lines);
    client.Logout();

    std::string expected = "..\r\n...\r\n..5 kg\r\nplain\r\n\r\n";
    for (std::size_t i = 5; i < lines.size(); ++i) expected += lines[i] + "\r\n";
    expected += ".\r\n";
    EXPECT_EQ(server.transcript(), expected);
    EXPECT_TRUE(lines == original);
    EXPECT_EQ(traced_bytes(log, "Sent "), expected.size());
    EXPECT_LE(log.socket_events("Sent ").size(), expected.size() / 0x10000 + 2);
    EXPECT_TRUE(log.at(trace_sent).empty());  // message lines are not commands
}

TEST(TcpIpDotTerminated, BlocksThatFollowTheLinesAreStuffedAtLineStartsAcrossBlocks)
{
    // Each case: the blocks the source gives after the lines "head" and ".", and what
    // follows "head\r\n..\r\n" on the wire.
    struct Case {
        const char* what;
        std::vector<std::string> blocks;
        std::string wire;
    };
    const Case cases[] = {
        {"whole lines", {".1\r\nb1\r\n", ".2\r\n"}, "..1\r\nb1\r\n..2\r\n"},
        {"a dot inside a line, where a block starts", {"a", ".b\r\n"}, "a.b\r\n"},
        {"a line start at the start of a block", {"a\r\n", ".b\r\n", ".\r\n"}, "a\r\n..b\r\n..\r\n"},
        {"a block of a line end alone", {"x\r", "\n", ".y\r\n"}, "x\r\n..y\r\n"},
        {"empty blocks between", {"", ".a\r\n", ""}, "..a\r\n"},
        {"no blocks", {}, ""},
        {"a last line without its end gets one before the dot", {".z"}, "..z\r\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ScriptedServer server(Conversation().await_data());
        T_TcpIp client;
        connect(client, server);
        std::size_t calls = 0;
        const auto more = [&](std::string& block) {
            if (calls == c.blocks.size()) return false;
            block = c.blocks[calls++];
            return true;
        };
        client.SendDotTerminated(StringList{"head", "."}, more);
        client.Logout();
        EXPECT_EQ(server.transcript(), "head\r\n..\r\n" + c.wire + ".\r\n");
        EXPECT_EQ(calls, c.blocks.size());
    }
}

TEST(TcpIpDotTerminated, ASourceThatFailsClosesTheConnectionBeforeTheDot)
{
    ScriptedServer server(Conversation().await_data());
    T_TcpIp client;
    connect(client, server);
    // Enough before the failure that some of it has gone out already.
    const std::string line(1000, 'x');
    int calls = 0;
    const auto more = [&](std::string& block) -> bool {
        if (++calls > 100) throw std::runtime_error("read failed");
        block = line + "\r\n";
        return true;
    };
    EXPECT_THROW(client.SendDotTerminated(StringList{"head"}, more), std::runtime_error);
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    const std::string& sent = server.transcript();
    EXPECT_TRUE(sent.starts_with("head\r\n" + line)) << sent.substr(0, 40);
    EXPECT_EQ(sent.find("\r\n.\r\n"), std::string::npos);
}

TEST(TcpIpDotTerminated, LinesHandedToASinkAsTheyArriveStopAtTheDot)
{
    ScriptedServer server(Conversation().say_raw("a\r\n..b\r\n\r\n.\r\nafter\r\n"));
    T_TcpIp client;
    connect(client, server);

    StringList got;
    client.ReadDotTerminated([&got](std::string& line) { got.push_back(line); });
    EXPECT_THAT(got, ElementsAre("a", ".b", ""));
    std::string line;
    client.RequireLine(line);
    EXPECT_EQ(line, "after");
    client.Logout();
}

TEST(TcpIpDotTerminated, ASinkThatFailsClosesTheConnectionItLeftOutOfStep)
{
    ScriptedServer server(Conversation().say_raw("a\r\nb\r\nc\r\n.\r\n"));
    T_TcpIp client;
    connect(client, server);

    StringList got;
    const auto sink = [&got](std::string& line) {
        if (line == "b") throw std::runtime_error("no room");
        got.push_back(line);
    };
    EXPECT_THROW(client.ReadDotTerminated(sink), std::runtime_error);
    EXPECT_THAT(got, ElementsAre("a"));
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(client.Socket, platform::invalid_socket);
}

TEST(TcpIpSending, SendCommandAddsCrLfAndTracesAfterTheSend)
{
    ScriptedServer server(Conversation().await_line().await_line());
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    connect(client, server);
    const std::string handle = id(client);
    log.entries.clear();

    client.SendCommand("");
    client.SendCommand("NOOP");
    client.Logout();

    EXPECT_EQ(server.transcript(), "\r\nNOOP\r\n");
    EXPECT_EQ(log.entries, (std::vector<std::pair<std::string, TTraceLevel>>{
                               {"Sent 2 bytes on socket ID " + handle, trace_traffic},
                               {"", trace_sent},
                               {"Sent 6 bytes on socket ID " + handle, trace_traffic},
                               {"NOOP", trace_sent},
                               {"Closed socket ID " + handle, trace_socket},
                           }));
}

TEST(TcpIpSending, WritingToAClosedPeerRaisesInsteadOfKillingTheProcess)
{
    ScriptedServer server(Conversation().close());
    T_TcpIp client;
    // Some socket layers (Wine's among them) stop taking data from a closed peer rather
    // than failing the send: that must end in the time limit, not hang.
    client.Timeout = 3;
    connect(client, server);
    ASSERT_EQ(server.connections(), 1u);  // the server has closed its end

    const std::string block(1 << 20, 'x');
    bool raised = false;
    for (int i = 0; i < 100 && !raised; ++i) {
        try {
            client.SendString(client.Socket, block);
        } catch (const ETcpIpError& e) {
            raised = true;
            EXPECT_THAT(e.message(), HasSubstr("127.0.0.1"));
        }
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
    EXPECT_THROW(client.SendCommand("NOOP"), ETcpIpError);
}

TEST(TcpIpConnection, OpenAndCloseAreTracedWithPortHostAndHandle)
{
    ScriptedServer server(Conversation().say_raw("hello\r\n"));
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    connect(client, server);
    const std::string handle = id(client);
    const std::string port = std::to_string(server.port());

    EXPECT_TRUE(client.Connected);
    EXPECT_FALSE(client.StreamEnded);
    EXPECT_EQ(client.IpAddress, platform::parse_ipv4("127.0.0.1"));
    EXPECT_EQ(client.SocketState(client.Socket), socket_connected);
    std::string line;
    ASSERT_TRUE(client.ReadLine(client.Socket, line));
    client.Logout();

    EXPECT_THAT(log.at(trace_socket),
                ElementsAre("Opened output socket " + port + " to host 127.0.0.1 successfully; ID " + handle,
                            "Closed socket ID " + handle));
    EXPECT_THAT(log.at(trace_traffic), ElementsAre("Received 7 bytes on socket ID " + handle));
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
    EXPECT_EQ(client.SocketState(client.Socket), socket_none);
    EXPECT_TRUE(client.Eof(client.Socket));
}

TEST(TcpIpConnection, LoginAgainClosesTheOldSocketFirst)
{
    ScriptedServer server({Conversation(), Conversation()});
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    connect(client, server);
    const std::string first = id(client);
    client.Login();
    client.Logout();

    EXPECT_EQ(server.connections(), 2u);
    const auto events = log.at(trace_socket);
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[1], "Closed socket ID " + first);
    EXPECT_TRUE(events[2].starts_with("Opened output socket "));
}

TEST(TcpIpConnection, EmptyHostnameIsNotResolved)
{
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    try {
        client.Login();
        FAIL() << "an empty host name must not connect";
    } catch (const ETcpIpError& e) {
        EXPECT_EQ(e.kind(), "ETcpIpError");
        EXPECT_EQ(e.message(), "Couldn't resolve hostname ");
    }
    EXPECT_EQ(client.IpAddress, ip_none);
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
    EXPECT_TRUE(log.entries.empty());
}

TEST(TcpIpConnection, RefusedConnectClosesTheSocketAndRaisesWithTheErrorNumber)
{
    T_TcpIp client;
    TraceLog log;
    client.OnTrace = log.proc();
    client.Hostname = "127.0.0.1";
    client.Port = closed_port();
    try {
        client.Login();
        FAIL() << "nobody listens there";
    } catch (const ESocketError& e) {
        EXPECT_EQ(e.kind(), "ESocketError");
        EXPECT_EQ(e.message(), "Error creating socket");
        EXPECT_EQ(e.ErrorNumber, platform::wsa_econnrefused);
    }
    const auto events = log.at(trace_socket);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_TRUE(events[0].starts_with("Closed socket ID "));
    EXPECT_EQ(events[1], "Failed to open output socket " + std::to_string(client.Port) + " to host 127.0.0.1");
    EXPECT_EQ(client.Socket, platform::invalid_socket);
    EXPECT_FALSE(client.Connected);
}

TEST(TcpIpAction, ReadsEverythingUntilTheServerCloses)
{
    std::string blob;
    for (int i = 0; i < 100000; ++i) blob += char('A' + i % 26);
    blob += std::string("\r\n\0tail", 7);
    ScriptedServer server(Conversation().say_raw(blob).close());
    T_TcpIp client;
    client.Hostname = "127.0.0.1";
    client.Port = server.port();
    client.Action();

    EXPECT_EQ(client.Stream.bytes(), blob);
    EXPECT_EQ(client.Stream.position(), 0u);
    EXPECT_TRUE(client.StreamEnded);
}

}  // namespace
}  // namespace zanpost
