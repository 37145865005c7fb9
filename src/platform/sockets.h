#pragma once
// Blocking IPv4 TCP client sockets (Windows Sockets 1.1; BSD sockets on POSIX).
// Error numbers are given in the Windows Sockets numbering on every build.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zanpost::platform {

using SocketHandle = std::int32_t;
inline constexpr SocketHandle invalid_socket = -1;

// Windows Sockets error numbers the program names.
inline constexpr int wsa_einval = 10022;
inline constexpr int wsa_enotconn = 10057;
inline constexpr int wsa_etimedout = 10060;
inline constexpr int wsa_econnrefused = 10061;
inline constexpr int wsa_sysnotready = 10091;
inline constexpr int wsa_vernotsupported = 10092;

// Start-up asking for version 1.1. True when the layer counts as started: every result
// but 10022, 10091 and 10092 (success included). Nothing to do on POSIX, where it also
// makes a write to a closed connection an error instead of a fatal signal.
bool socket_layer_start();
// Cancels a blocking call in progress and shuts the layer down (WSACancelBlockingCall,
// WSACleanup); nothing to do on POSIX.
void socket_layer_stop();

// A new IPv4 stream socket; invalid_socket when the platform refuses.
SocketHandle socket_create();

// Connects to an address (network byte order) and port. A timeout above 0 bounds the
// wait in seconds. False on failure; socket_last_error() then tells why
// (wsa_etimedout when the bound ran out).
bool socket_connect(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeout_seconds);

// Bounds every later send and receive on the socket; 0 means no bound.
bool socket_set_timeout(SocketHandle socket, int timeout_seconds);

enum class IoStatus { ok, closed, timed_out, failed };

struct IoResult {
    IoStatus status = IoStatus::failed;
    std::size_t count = 0;  // bytes moved when status is ok
};

// One platform send; it may take fewer bytes than offered.
IoResult socket_send(SocketHandle socket, const char* data, std::size_t length);

// One platform receive of up to `size` bytes; `closed` when the peer ended the stream.
IoResult socket_receive(SocketHandle socket, char* buffer, std::size_t size);

void socket_close(SocketHandle socket);

// The error number of the last failed socket call on this thread.
int socket_last_error();

enum class PeerState { connected, unconnected, failed };
// getpeername: connected, or unconnected for "not connected" (10057), failed otherwise.
PeerState socket_peer_state(SocketHandle socket);

// inet_addr: a dotted IPv4 text to an address in network byte order; 0xFFFFFFFF when
// the text is not one.
std::uint32_t parse_ipv4(const std::string& text);

struct HostEntry {
    std::string official_name;
    std::vector<std::uint32_t> addresses;  // network byte order
};
// gethostbyname: IPv4 entries only; nothing when the name is unknown.
std::optional<HostEntry> lookup_host(const std::string& name);

// gethostname into a 255-byte area; empty when the platform gives none.
std::string host_name();

// The listening side, for the scripted servers of the protocol tests: a socket listening
// on 127.0.0.1 at `port` (0 picks a free port, written back); invalid_socket on failure.
SocketHandle socket_listen_loopback(std::uint16_t& port);
// Waits for one connection; a timeout above 0 bounds the wait. invalid_socket on failure.
SocketHandle socket_accept(SocketHandle listener, int timeout_seconds);

}  // namespace zanpost::platform
