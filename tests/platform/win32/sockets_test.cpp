// Windows Sockets through the seam, on the loopback interface only.

#include "platform/sockets.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

namespace zanpost::platform {
namespace {

constexpr std::uint32_t loopback = 0x0100007F;  // 127.0.0.1 in network byte order

std::uint32_t address_of(unsigned char a, unsigned char b, unsigned char c, unsigned char d)
{
    const unsigned char octets[4] = {a, b, c, d};
    std::uint32_t value = 0;
    std::memcpy(&value, octets, sizeof value);
    return value;
}

// One connection over loopback: the listener, the client end and the accepted end.
struct Connection {
    explicit Connection(int connect_timeout = 0)
    {
        listener = socket_listen_loopback(port);
        if (listener == invalid_socket) return;
        client = socket_create();
        if (client == invalid_socket || !socket_connect(client, loopback, port, connect_timeout)) return;
        server = socket_accept(listener, 5);
    }
    ~Connection()
    {
        socket_close(server);
        socket_close(client);
        socket_close(listener);
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool ok() const { return listener != invalid_socket && client != invalid_socket && server != invalid_socket; }

    std::uint16_t port = 0;
    SocketHandle listener = invalid_socket;
    SocketHandle client = invalid_socket;
    SocketHandle server = invalid_socket;
};

std::string receive_some(SocketHandle socket)
{
    char buffer[256];
    const IoResult result = socket_receive(socket, buffer, sizeof buffer);
    return result.status == IoStatus::ok ? std::string(buffer, result.count) : std::string();
}

// A port with nobody listening: one that was just given out and closed again.
std::uint16_t closed_port()
{
    std::uint16_t port = 0;
    const SocketHandle listener = socket_listen_loopback(port);
    socket_close(listener);
    return port;
}

TEST(SocketLayer, StartsWithVersionOneOneAndStopsInBalance)
{
    // The test main started the layer once; a second start-up is counted and the stop
    // undoes only that one, so the layer still works afterwards.
    ASSERT_TRUE(socket_layer_start());
    socket_layer_stop();
    const SocketHandle socket = socket_create();
    EXPECT_NE(socket, invalid_socket) << socket_last_error();
    socket_close(socket);
}

TEST(Sockets, CarryBytesBothWaysWithAndWithoutAConnectBound)
{
    for (int bound : {0, 5}) {
        Connection c(bound);
        ASSERT_TRUE(c.ok()) << "bound " << bound << ", error " << socket_last_error();
        const std::string hello = "220 hello\r\n";
        const IoResult sent = socket_send(c.server, hello.data(), hello.size());
        ASSERT_EQ(sent.status, IoStatus::ok);
        EXPECT_EQ(sent.count, hello.size());
        EXPECT_EQ(receive_some(c.client), hello);

        const std::string answer = "QUIT\r\n";
        ASSERT_EQ(socket_send(c.client, answer.data(), answer.size()).status, IoStatus::ok);
        EXPECT_EQ(receive_some(c.server), answer);
    }
}

TEST(Sockets, LargeBlocksArriveWhole)
{
    Connection c;
    ASSERT_TRUE(c.ok()) << socket_last_error();
    std::string block(1 << 20, '\0');
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = char(i * 7 + i / 251);

    std::string received;
    std::thread reader([&] {
        std::string buffer(65536, '\0');
        for (;;) {
            const IoResult r = socket_receive(c.server, buffer.data(), buffer.size());
            if (r.status != IoStatus::ok) break;
            received.append(buffer.data(), r.count);
        }
    });
    std::size_t offset = 0;
    while (offset < block.size()) {
        const IoResult r = socket_send(c.client, block.data() + offset, block.size() - offset);
        if (r.status != IoStatus::ok) break;
        offset += r.count;
    }
    socket_close(c.client);
    c.client = invalid_socket;
    reader.join();
    EXPECT_EQ(offset, block.size());
    EXPECT_TRUE(received == block) << "received " << received.size() << " of " << block.size();
}

TEST(Sockets, PeerClosingEndsTheStream)
{
    Connection c;
    ASSERT_TRUE(c.ok()) << socket_last_error();
    ASSERT_EQ(socket_send(c.server, "bye", 3).status, IoStatus::ok);
    socket_close(c.server);
    c.server = invalid_socket;
    EXPECT_EQ(receive_some(c.client), "bye");
    char byte;
    EXPECT_EQ(socket_receive(c.client, &byte, 1).status, IoStatus::closed);
}

TEST(Sockets, ReceiveBoundRunsOutWithTimedOut)
{
    Connection c;
    ASSERT_TRUE(c.ok()) << socket_last_error();
    ASSERT_TRUE(socket_set_timeout(c.client, 1));
    char byte;
    const IoResult result = socket_receive(c.client, &byte, 1);
    EXPECT_EQ(result.status, IoStatus::timed_out);
    EXPECT_EQ(socket_last_error(), wsa_etimedout);
}

TEST(Sockets, AcceptBoundRunsOutWithTimedOut)
{
    std::uint16_t port = 0;
    const SocketHandle listener = socket_listen_loopback(port);
    ASSERT_NE(listener, invalid_socket);
    EXPECT_NE(port, 0);
    EXPECT_EQ(socket_accept(listener, 1), invalid_socket);
    EXPECT_EQ(socket_last_error(), wsa_etimedout);
    socket_close(listener);
}

TEST(Sockets, RefusedConnectFailsWithTheWinsockNumber)
{
    const std::uint16_t port = closed_port();
    for (int bound : {0, 5}) {
        const SocketHandle socket = socket_create();
        ASSERT_NE(socket, invalid_socket);
        EXPECT_FALSE(socket_connect(socket, loopback, port, bound)) << "bound " << bound;
        EXPECT_EQ(socket_last_error(), wsa_econnrefused) << "bound " << bound;
        socket_close(socket);
    }
}

TEST(Sockets, PeerStateTellsConnectedUnconnectedAndFailed)
{
    Connection c;
    ASSERT_TRUE(c.ok()) << socket_last_error();
    EXPECT_EQ(socket_peer_state(c.client), PeerState::connected);

    const SocketHandle fresh = socket_create();
    ASSERT_NE(fresh, invalid_socket);
    EXPECT_EQ(socket_peer_state(fresh), PeerState::unconnected);
    EXPECT_EQ(socket_last_error(), wsa_enotconn);
    socket_close(fresh);
    EXPECT_EQ(socket_peer_state(fresh), PeerState::failed);
}

TEST(Addresses, ParseDottedTextInNetworkByteOrder)
{
    EXPECT_EQ(parse_ipv4("10.0.0.5"), address_of(10, 0, 0, 5));
    EXPECT_EQ(parse_ipv4("127.0.0.1"), loopback);
    EXPECT_EQ(parse_ipv4("255.255.255.255"), 0xFFFFFFFFu);
    EXPECT_EQ(parse_ipv4("mail.example.cz"), 0xFFFFFFFFu);
}

TEST(Addresses, LocalhostResolvesToLoopback)
{
    const auto entry = lookup_host("localhost");
    ASSERT_TRUE(entry.has_value());
    EXPECT_FALSE(entry->official_name.empty());
    ASSERT_FALSE(entry->addresses.empty());
    EXPECT_EQ(entry->addresses.front(), loopback);
}

TEST(Addresses, HostNameFitsTheArea)
{
    const std::string name = host_name();
    EXPECT_FALSE(name.empty());
    EXPECT_LT(name.size(), 255u);
    EXPECT_EQ(name.find('\0'), std::string::npos);
}

}  // namespace
}  // namespace zanpost::platform
