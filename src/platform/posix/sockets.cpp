// BSD sockets behind the Windows Sockets numbering the rest of the program speaks.

#include "platform/sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace zanpost::platform {

namespace {

thread_local int last_error = 0;

// Windows Sockets numbers are the Berkeley errno values of 4.3BSD plus 10000; Linux numbers
// its errno values differently, so each one is named here.
int wsa_from_errno(int error)
{
    switch (error) {
    case EINTR: return 10004;
    case EBADF: return 10009;
    case EACCES: return 10013;
    case EFAULT: return 10014;
    case EINVAL: return wsa_einval;
    case EMFILE:
    case ENFILE: return 10024;
    case EWOULDBLOCK: return 10035;
    case EINPROGRESS: return 10036;
    case EALREADY: return 10037;
    case ENOTSOCK: return 10038;
    case EDESTADDRREQ: return 10039;
    case EMSGSIZE: return 10040;
    case EPROTOTYPE: return 10041;
    case ENOPROTOOPT: return 10042;
    case EPROTONOSUPPORT: return 10043;
    case ESOCKTNOSUPPORT: return 10044;
    case EOPNOTSUPP: return 10045;
    case EPFNOSUPPORT: return 10046;
    case EAFNOSUPPORT: return 10047;
    case EADDRINUSE: return 10048;
    case EADDRNOTAVAIL: return 10049;
    case ENETDOWN: return 10050;
    case ENETUNREACH: return 10051;
    case ENETRESET: return 10052;
    case ECONNABORTED: return 10053;
    case ECONNRESET:
    case EPIPE: return 10054;  // the peer is gone; Winsock reports a reset here
    case ENOBUFS:
    case ENOMEM: return 10055;
    case EISCONN: return 10056;
    case ENOTCONN: return wsa_enotconn;
    case ESHUTDOWN: return 10058;
    case ETOOMANYREFS: return 10059;
    case ETIMEDOUT: return wsa_etimedout;
    case ECONNREFUSED: return wsa_econnrefused;
    case ELOOP: return 10062;
    case ENAMETOOLONG: return 10063;
    case EHOSTDOWN: return 10064;
    case EHOSTUNREACH: return 10065;
    default: return 10107;  // WSASYSCALLFAILURE: nothing closer exists
    }
}

void fail_with(int error) { last_error = wsa_from_errno(error); }

#ifdef MSG_NOSIGNAL
constexpr int send_flags = MSG_NOSIGNAL;
#else
constexpr int send_flags = 0;
#endif

sockaddr_in ipv4_address(std::uint32_t address, std::uint16_t port)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = address;
    return sa;
}

// Waits for `events` on the socket; 0 on readiness, else the errno to report.
int wait_for(int fd, short events, int timeout_seconds)
{
    pollfd p{fd, events, 0};
    const int millis = timeout_seconds > 0 ? timeout_seconds * 1000 : -1;
    for (;;) {
        const int r = ::poll(&p, 1, millis);
        if (r > 0) return 0;
        if (r == 0) return ETIMEDOUT;
        if (errno != EINTR) return errno;
    }
}

bool set_blocking(int fd, bool blocking)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0) return false;
    const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

// The outcome of a send or receive that returned -1; nothing when a signal interrupted it
// and the call is to be made again.
std::optional<IoResult> failed_io()
{
    const int error = errno;
    if (error == EINTR) return std::nullopt;
    // With SO_SNDTIMEO / SO_RCVTIMEO a blocking call that ran out of time reports EAGAIN.
    if (error == EAGAIN || error == EWOULDBLOCK) {
        last_error = wsa_etimedout;
        return IoResult{IoStatus::timed_out, 0};
    }
    fail_with(error);
    return IoResult{IoStatus::failed, 0};
}

}  // namespace

bool socket_layer_start()
{
    // A write to a connection the peer has closed must come back as an error, not end the
    // process; MSG_NOSIGNAL covers our own sends, this covers everything else.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

void socket_layer_stop() {}

SocketHandle socket_create()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail_with(errno);
        return invalid_socket;
    }
#ifdef SO_NOSIGPIPE
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
    return fd;
}

bool socket_connect(SocketHandle socket, std::uint32_t address, std::uint16_t port, int timeout_seconds)
{
    const sockaddr_in sa = ipv4_address(address, port);
    const auto* target = reinterpret_cast<const sockaddr*>(&sa);
    const bool bounded = timeout_seconds > 0;

    // A bounded connect starts without blocking and waits for the outcome with poll; the
    // socket is blocking again before it is handed back.
    if (bounded && !set_blocking(socket, false)) {
        fail_with(errno);
        return false;
    }
    int error = 0;
    if (::connect(socket, target, sizeof sa) != 0) {
        error = errno;
        // An interrupted or bounded connect goes on in the background; wait for it.
        if (error == EINTR || (bounded && error == EINPROGRESS)) {
            error = wait_for(socket, POLLOUT, timeout_seconds);
            if (error == 0) {
                socklen_t length = sizeof error;
                if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
    }
    if (bounded && !set_blocking(socket, true) && error == 0) error = errno;
    if (error != 0) {
        fail_with(error);
        return false;
    }
    return true;
}

bool socket_set_timeout(SocketHandle socket, int timeout_seconds)
{
    timeval tv{};
    tv.tv_sec = timeout_seconds > 0 ? timeout_seconds : 0;
    if (::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0 ||
        ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv) != 0) {
        fail_with(errno);
        return false;
    }
    return true;
}

IoResult socket_send(SocketHandle socket, const char* data, std::size_t length)
{
    for (;;) {
        const ssize_t n = ::send(socket, data, length, send_flags);
        if (n >= 0) return {IoStatus::ok, std::size_t(n)};
        if (auto failed = failed_io()) return *failed;
    }
}

IoResult socket_receive(SocketHandle socket, char* buffer, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::recv(socket, buffer, size, 0);
        if (n > 0) return {IoStatus::ok, std::size_t(n)};
        if (n == 0) return {IoStatus::closed, 0};
        if (auto failed = failed_io()) return *failed;
    }
}

void socket_close(SocketHandle socket)
{
    // The error of the call that failed before must survive the close that cleans up.
    const int saved = errno;
    ::close(socket);
    errno = saved;
}

int socket_last_error() { return last_error; }

PeerState socket_peer_state(SocketHandle socket)
{
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    if (::getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0) return PeerState::connected;
    const int error = errno;
    fail_with(error);
    return error == ENOTCONN ? PeerState::unconnected : PeerState::failed;
}

std::uint32_t parse_ipv4(const std::string& text)
{
    return ::inet_addr(text.c_str());
}

std::optional<HostEntry> lookup_host(const std::string& name)
{
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* found = nullptr;
    if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return std::nullopt;

    HostEntry entry;
    entry.official_name = found->ai_canonname != nullptr ? found->ai_canonname : name;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        if (a->ai_family != AF_INET || a->ai_addr == nullptr) continue;
        const auto* sa = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
        entry.addresses.push_back(sa->sin_addr.s_addr);
    }
    ::freeaddrinfo(found);
    return entry;
}

std::string host_name()
{
    char name[256] = {};
    if (::gethostname(name, 255) != 0) return {};
    return std::string(name, ::strnlen(name, 255));
}

SocketHandle socket_listen_loopback(std::uint16_t& port)
{
    const SocketHandle fd = socket_create();
    if (fd == invalid_socket) return invalid_socket;
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa = ipv4_address(htonl(INADDR_LOOPBACK), port);
    socklen_t length = sizeof sa;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &length) != 0) {
        fail_with(errno);
        socket_close(fd);
        return invalid_socket;
    }
    port = ntohs(sa.sin_port);
    return fd;
}

SocketHandle socket_accept(SocketHandle listener, int timeout_seconds)
{
    if (timeout_seconds > 0) {
        if (const int waited = wait_for(listener, POLLIN, timeout_seconds); waited != 0) {
            fail_with(waited);
            return invalid_socket;
        }
    }
    for (;;) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd >= 0) return fd;
        if (errno != EINTR) {
            fail_with(errno);
            return invalid_socket;
        }
    }
}

}  // namespace zanpost::platform
