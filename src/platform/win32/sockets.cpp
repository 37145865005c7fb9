#include "platform/sockets.h"

#include "platform/win32/windows_api.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace zanpost::platform {
namespace {

// The handle type of the seam is 32 bits wide; Windows socket handles fit in it (they are
// small kernel handle values even where SOCKET is a 64-bit type).
SOCKET native(SocketHandle socket)
{
    return socket == invalid_socket ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<std::uint32_t>(socket));
}

SocketHandle seam(SOCKET socket)
{
    return socket == INVALID_SOCKET ? invalid_socket : static_cast<SocketHandle>(socket);
}

bool set_blocking(SOCKET socket, bool blocking)
{
    u_long non_blocking = blocking ? 0 : 1;
    return ioctlsocket(socket, FIONBIO, &non_blocking) == 0;
}

timeval seconds(int count)
{
    timeval value{};
    value.tv_sec = count;
    return value;
}

// Waits until the socket can be read (or, with `for_write`, written or has failed).
// Returns 1 when it can, 0 when the bound ran out, SOCKET_ERROR on failure.
int wait_for(SOCKET socket, bool for_write, int timeout_seconds, bool* failed)
{
    fd_set ready;
    fd_set errors;
    FD_ZERO(&ready);
    FD_ZERO(&errors);
    FD_SET(socket, &ready);
    FD_SET(socket, &errors);
    timeval bound = seconds(timeout_seconds);
    const int result = select(0, for_write ? nullptr : &ready, for_write ? &ready : nullptr, &errors, &bound);
    if (failed) *failed = result > 0 && FD_ISSET(socket, &errors);
    return result;
}

IoStatus failure_status()
{
    switch (WSAGetLastError()) {
    case WSAETIMEDOUT:
    case WSAEWOULDBLOCK:
        return IoStatus::timed_out;
    default:
        return IoStatus::failed;
    }
}

int clamp_length(std::size_t length)
{
    return static_cast<int>(std::min<std::size_t>(length, INT_MAX));
}

}  // namespace

bool socket_layer_start()
{
    WSADATA data{};
    const int result = WSAStartup(MAKEWORD(1, 1), &data);
    return result != WSAEINVAL && result != WSASYSNOTREADY && result != WSAVERNOTSUPPORTED;
}

// The program stops the layer only after a start-up that counted as started; on a layer
// that never started both calls fail with "not initialised" and change nothing.
void socket_layer_stop()
{
    WSACancelBlockingCall();
    WSACleanup();
}

SocketHandle socket_create()
{
    return seam(socket(AF_INET, SOCK_STREAM, 0));
}

bool socket_connect(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeout_seconds)
{
    const SOCKET s = native(socket);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    const auto* peer_address = reinterpret_cast<const sockaddr*>(&peer);

    if (timeout_seconds <= 0) return connect(s, peer_address, sizeof peer) == 0;

    // A bounded connect: the socket is non-blocking only for the wait and goes back to
    // blocking before anyone else sees it.
    if (!set_blocking(s, false)) return false;
    if (connect(s, peer_address, sizeof peer) == 0) return set_blocking(s, true);
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
        const int error = WSAGetLastError();
        set_blocking(s, true);
        WSASetLastError(error);
        return false;
    }
    bool failed = false;
    const int ready = wait_for(s, true, timeout_seconds, &failed);
    int error = 0;
    if (ready == 0) {
        error = WSAETIMEDOUT;
    } else if (ready == SOCKET_ERROR) {
        error = WSAGetLastError();
    } else if (failed) {
        int length = sizeof error;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0 || error == 0)
            error = WSAECONNREFUSED;
    }
    set_blocking(s, true);
    if (error != 0) {
        WSASetLastError(error);
        return false;
    }
    return true;
}

bool socket_set_timeout(SocketHandle socket, int timeout_seconds)
{
    const DWORD milliseconds = timeout_seconds > 0 ? static_cast<DWORD>(timeout_seconds) * 1000 : 0;
    const auto* value = reinterpret_cast<const char*>(&milliseconds);
    const SOCKET s = native(socket);
    return setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, value, sizeof milliseconds) == 0
        && setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, value, sizeof milliseconds) == 0;
}

IoResult socket_send(SocketHandle socket, const char* data, std::size_t length)
{
    const int sent = send(native(socket), data, clamp_length(length), 0);
    if (sent == SOCKET_ERROR) return {failure_status(), 0};
    return {IoStatus::ok, static_cast<std::size_t>(sent)};
}

IoResult socket_receive(SocketHandle socket, char* buffer, std::size_t size)
{
    const int received = recv(native(socket), buffer, clamp_length(size), 0);
    if (received == 0) return {IoStatus::closed, 0};
    if (received == SOCKET_ERROR) return {failure_status(), 0};
    return {IoStatus::ok, static_cast<std::size_t>(received)};
}

void socket_close(SocketHandle socket)
{
    if (socket != invalid_socket) closesocket(native(socket));
}

int socket_last_error()
{
    return WSAGetLastError();
}

PeerState socket_peer_state(SocketHandle socket)
{
    sockaddr_in peer{};
    int length = sizeof peer;
    if (getpeername(native(socket), reinterpret_cast<sockaddr*>(&peer), &length) == 0)
        return PeerState::connected;
    return WSAGetLastError() == WSAENOTCONN ? PeerState::unconnected : PeerState::failed;
}

std::uint32_t parse_ipv4(const std::string& text)
{
    return inet_addr(text.c_str());
}

std::optional<HostEntry> lookup_host(const std::string& name)
{
    const hostent* entry = gethostbyname(name.c_str());
    if (entry == nullptr || entry->h_addrtype != AF_INET || entry->h_length != 4) return std::nullopt;
    HostEntry result;
    if (entry->h_name) result.official_name = entry->h_name;
    for (char** address = entry->h_addr_list; address && *address; ++address) {
        std::uint32_t value = 0;
        std::memcpy(&value, *address, sizeof value);
        result.addresses.push_back(value);
    }
    return result;
}

std::string host_name()
{
    char name[255] = {};
    if (gethostname(name, sizeof name) != 0) return {};
    name[sizeof name - 1] = '\0';
    return name;
}

SocketHandle socket_listen_loopback(std::uint16_t& port)
{
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    if (s == INVALID_SOCKET) return invalid_socket;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof local;
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0
        || listen(s, SOMAXCONN) != 0
        || getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        const int error = WSAGetLastError();
        closesocket(s);
        WSASetLastError(error);
        return invalid_socket;
    }
    port = ntohs(local.sin_port);
    return seam(s);
}

SocketHandle socket_accept(SocketHandle listener, int timeout_seconds)
{
    const SOCKET s = native(listener);
    if (timeout_seconds > 0) {
        const int ready = wait_for(s, false, timeout_seconds, nullptr);
        if (ready == 0) WSASetLastError(WSAETIMEDOUT);
        if (ready <= 0) return invalid_socket;
    }
    return seam(accept(s, nullptr, nullptr));
}

}  // namespace zanpost::platform
