#include "net/tcpip.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace zanpost {

namespace {

constexpr std::size_t action_block_size = 0x7F00;
// Large enough that a big message costs few system calls, small enough to stay in cache.
constexpr std::size_t receive_block_size = 0x10000;
constexpr std::size_t send_block_size = 0x10000;

template <typename Number>
std::string number(Number n)
{
    return std::to_string(n);
}

}  // namespace

T_TcpIp::T_TcpIp() : Buffer(action_block_size) {}

T_TcpIp::~T_TcpIp()
{
    OnTrace = nullptr;
    if (Socket != platform::invalid_socket) T_TcpIp::Logout();
}

void T_TcpIp::Login()
{
    if (Connected) Logout();
    IpAddress = resolve_host(Hostname);
    if (IpAddress == ip_none) throw ETcpIpError("Couldn't resolve hostname " + Hostname);
    OpenSocket(Socket, Port, IpAddress);
    if (Socket == platform::invalid_socket) throw ESocketError(platform::socket_last_error());
    StreamEnded = false;
    end_status_ = platform::IoStatus::ok;
    Connected = true;
    if (Tls == TlsMode::implicit) StartTls();
}

namespace {

SecureCause cause_of(platform::TlsFailure failure)
{
    switch (failure) {
    case platform::TlsFailure::untrusted: return SecureCause::tls_untrusted;
    case platform::TlsFailure::name_mismatch: return SecureCause::tls_name;
    case platform::TlsFailure::expired: return SecureCause::tls_expired;
    case platform::TlsFailure::pin_mismatch: return SecureCause::tls_pin;
    case platform::TlsFailure::ca_file: return SecureCause::tls_ca_file;
    case platform::TlsFailure::handshake:
    case platform::TlsFailure::timed_out:
    case platform::TlsFailure::closed: break;
    }
    return SecureCause::tls_handshake;
}

// The server's certificate in the log, the same whether it was accepted or refused.
void trace_certificate(const TTraceProc& trace, const platform::TlsCertificateInfo& certificate)
{
    trace("Certificate subject: " + certificate.subject, trace_security);
    trace("Certificate issuer: " + certificate.issuer, trace_security);
    trace("Certificate valid: " + certificate.not_before + " to " + certificate.not_after, trace_security);
    trace("Certificate SHA-256: " + certificate.sha256, trace_security);
}

// What a server showed whose certificate was refused: its own certificate, then who each
// further one of its chain names, numbered as it sent them.
void trace_presented(const TTraceProc& trace, const std::vector<platform::TlsCertificateInfo>& presented)
{
    for (std::size_t i = 0; i < presented.size(); ++i) {
        if (i == 0) {
            trace_certificate(trace, presented[i]);
            continue;
        }
        const std::string which = "Chain certificate " + number(i + 1);
        trace(which + " subject: " + presented[i].subject, trace_security);
        trace(which + " issuer: " + presented[i].issuer, trace_security);
    }
}

}  // namespace

void T_TcpIp::StartTls()
{
    if (Socket == platform::invalid_socket) Abandon("Not connected to " + Hostname);
    if (inbox_start_ < inbox_.size()) {
        T_TcpIp::Logout();
        throw ESecureError(SecureCause::tls_injection,
                           Hostname + " sent data before the TLS handshake that nothing asked for");
    }
    platform::TlsOptions options = TlsOptions;
    if (options.server_name.empty()) options.server_name = Hostname;
    platform::TlsStartResult started = platform::tls_start(Socket, options);
    if (!started.session) {
        if (OnTrace) trace_presented(OnTrace, started.presented);
        T_TcpIp::Logout();
        std::string message = "TLS with " + Hostname + " failed";
        if (started.failure == platform::TlsFailure::timed_out)
            message += ": no answer within " + number(Timeout) + " seconds";
        else if (!started.detail.empty())
            message += ": " + started.detail;
        throw ESecureError(cause_of(started.failure), message);
    }
    tls_ = std::move(started.session);
    if (OnTrace) {
        const platform::TlsPeerInfo& peer = tls_->peer();
        OnTrace("TLS " + peer.version + " " + peer.cipher, trace_security);
        trace_certificate(OnTrace, peer);
    }
}

platform::IoResult T_TcpIp::TransportSend(SocketHandle handle, const char* bytes, std::size_t length)
{
    if (tls_ && handle == Socket) return tls_->send(bytes, length);
    return platform::socket_send(handle, bytes, length);
}

platform::IoResult T_TcpIp::TransportReceive(SocketHandle handle, char* area, std::size_t size)
{
    if (tls_ && handle == Socket) return tls_->receive(area, size);
    return platform::socket_receive(handle, area, size);
}

void T_TcpIp::Logout()
{
    CloseSocket(Socket);
    Socket = platform::invalid_socket;
    Connected = false;
}

void T_TcpIp::OpenSocket(SocketHandle& handle, std::uint16_t port, std::uint32_t address)
{
    CloseSocket(handle);
    handle = CreateSocket();
    ConnectSocket(handle, port, address);
}

T_TcpIp::SocketHandle T_TcpIp::CreateSocket() { return platform::socket_create(); }

void T_TcpIp::ConnectSocket(SocketHandle& handle, std::uint16_t port, std::uint32_t address)
{
    if (handle != platform::invalid_socket && platform::socket_connect(handle, address, port, Timeout)) {
        if (Timeout > 0) platform::socket_set_timeout(handle, Timeout);
        if (OnTrace)
            OnTrace("Opened output socket " + number(port) + " to host " + ip_to_text(address) +
                        " successfully; ID " + number(handle),
                    trace_socket);
        return;
    }
    CloseSocket(handle);
    if (OnTrace) OnTrace("Failed to open output socket " + number(port) + " to host " + ip_to_text(address), trace_socket);
}

void T_TcpIp::CloseSocket(SocketHandle& handle)
{
    if (handle == platform::invalid_socket) return;
    if (tls_ && handle == Socket) {
        tls_->shutdown();
        tls_.reset();
    }
    platform::socket_close(handle);
    if (OnTrace) OnTrace("Closed socket ID " + number(handle), trace_socket);
    handle = platform::invalid_socket;
    DropInbox();
}

TSocketState T_TcpIp::SocketState(SocketHandle handle)
{
    if (handle == platform::invalid_socket) return socket_none;
    switch (platform::socket_peer_state(handle)) {
    case platform::PeerState::connected: return socket_connected;
    case platform::PeerState::unconnected: return socket_unconnected;
    case platform::PeerState::failed: break;
    }
    return socket_failed;
}

bool T_TcpIp::Eof(SocketHandle handle) { return StreamEnded || SocketState(handle) != socket_connected; }

void T_TcpIp::Action()
{
    Login();
    Stream.clear();
    while (!Eof(Socket)) {
        const int n = Receive(Socket, Buffer.data(), int(Buffer.size()));
        if (n > 0) Stream.write(std::string_view(Buffer.data(), std::size_t(n)));
    }
    // Only the server closing the connection marks the end of what it had to say.
    if (end_status_ == platform::IoStatus::timed_out || end_status_ == platform::IoStatus::failed) {
        Stream.clear();
        LoseConnection();
    }
    Stream.set_position(0);
}

void T_TcpIp::SendCommand(const std::string& text)
{
    try {
        SendString(Socket, text + "\r\n");
    } catch (...) {
        if (OnTrace) OnTrace(text, trace_sent);
        throw;
    }
    if (OnTrace) OnTrace(text, trace_sent);
}

void T_TcpIp::SendString(SocketHandle handle, const std::string& text) { SendBuffer(handle, text.data(), text.size()); }

void T_TcpIp::SendBuffer(SocketHandle handle, const char* bytes, std::size_t length)
{
    if (handle == platform::invalid_socket) Abandon("Not connected to " + Hostname);
    std::size_t done = 0;
    while (done < length) {
        const platform::IoResult sent = TransportSend(handle, bytes + done, length - done);
        if (sent.status == platform::IoStatus::timed_out)
            Abandon(Hostname + " took no data within " + number(Timeout) + " seconds");
        if (sent.status != platform::IoStatus::ok || sent.count == 0)
            Abandon("Connection to " + Hostname + " failed with socket error " + number(platform::socket_last_error()));
        if (OnTrace) OnTrace("Sent " + number(sent.count) + " bytes on socket ID " + number(handle), trace_traffic);
        done += sent.count;
    }
}

int T_TcpIp::Receive(SocketHandle handle, char* area, int size)
{
    if (size <= 0) return 0;
    const platform::IoResult got = TransportReceive(handle, area, std::size_t(size));
    if (got.status == platform::IoStatus::ok && got.count > 0) {
        if (OnTrace) OnTrace("Received " + number(got.count) + " bytes on socket ID " + number(handle), trace_traffic);
        return int(got.count);
    }
    StreamEnded = true;
    end_status_ = got.status == platform::IoStatus::ok ? platform::IoStatus::closed : got.status;
    end_error_ = platform::socket_last_error();
    return end_status_ == platform::IoStatus::closed ? 0 : -1;
}

T_TcpIp::LineTaken T_TcpIp::TakeLine(std::string& line, std::size_t limit)
{
    const char* begin = inbox_.data() + inbox_start_;
    const std::size_t available = inbox_.size() - inbox_start_;
    // Bytes before inbox_scanned_ were searched by an earlier call and hold no LF: a long
    // line that arrives in many receives is searched once, not once per receive.
    const std::size_t searched = inbox_scanned_ > inbox_start_ ? inbox_scanned_ - inbox_start_ : 0;
    const auto* lf = static_cast<const char*>(std::memchr(begin + searched, '\n', available - searched));
    if (lf == nullptr) {
        inbox_scanned_ = inbox_.size();
        // One byte more than the limit may still be the CR of the line end.
        return available > limit + 1 ? LineTaken::too_long : LineTaken::none;
    }

    std::size_t length = std::size_t(lf - begin);
    if (length > 0 && begin[length - 1] == '\r') --length;
    if (length > limit) return LineTaken::too_long;
    // Only the CR of the line end goes: a CR inside a line is data (a record separator in
    // a file sent as 8bit, say).
    line.assign(begin, length);

    inbox_start_ += std::size_t(lf - begin) + 1;
    inbox_scanned_ = inbox_start_;
    if (inbox_start_ == inbox_.size()) DropInbox();
    return LineTaken::line;
}

bool T_TcpIp::FillInbox(SocketHandle handle)
{
    if (inbox_start_ > 0) {
        inbox_.erase(0, inbox_start_);
        inbox_scanned_ -= std::min(inbox_scanned_, inbox_start_);
        inbox_start_ = 0;
    }
    const std::size_t kept = inbox_.size();
    inbox_.resize(kept + receive_block_size);
    const int n = Receive(handle, inbox_.data() + kept, int(receive_block_size));
    inbox_.resize(kept + std::size_t(std::max(n, 0)));
    return n > 0;
}

void T_TcpIp::DropInbox() noexcept
{
    inbox_.clear();
    inbox_start_ = 0;
    inbox_scanned_ = 0;
}

bool T_TcpIp::ReadLine(SocketHandle handle, std::string& line)
{
    // No bound of its own: data lines may be as long as a message makes them.
    return ReadLineWithin(handle, line, std::string::npos - 1) == LineTaken::line;
}

T_TcpIp::LineTaken T_TcpIp::ReadLineWithin(SocketHandle handle, std::string& line, std::size_t limit)
{
    for (;;) {
        const LineTaken taken = TakeLine(line, limit);
        if (taken != LineTaken::none) return taken;
        if (Eof(handle) || !FillInbox(handle)) {
            DropInbox();
            return LineTaken::none;
        }
    }
}

bool T_TcpIp::ReadBytes(std::size_t count, std::string& out)
{
    while (count > 0) {
        const std::size_t available = inbox_.size() - inbox_start_;
        if (available == 0) {
            if (Eof(Socket) || !FillInbox(Socket)) {
                DropInbox();
                return false;
            }
            continue;
        }
        const std::size_t taken = std::min(count, available);
        out.append(inbox_, inbox_start_, taken);
        inbox_start_ += taken;
        count -= taken;
        if (inbox_start_ == inbox_.size()) DropInbox();
    }
    return true;
}

void T_TcpIp::RequireLine(std::string& line)
{
    switch (ReadLineWithin(Socket, line, max_status_line)) {
    case LineTaken::line: return;
    case LineTaken::too_long:
        // Whatever the server means by it, it is not an answer: nothing after it could be
        // told apart from the rest of this line.
        Abandon("Garbled answer from " + Hostname + ": a line longer than " + number(max_status_line) + " bytes");
    case LineTaken::none: break;
    }
    LoseConnection();
}

void T_TcpIp::ReadDotTerminated(StringList& lines)
{
    const std::size_t kept = lines.size();
    try {
        ReadDotTerminated([&lines](std::string& line) { lines.push_back(std::move(line)); });
    } catch (...) {
        // A message cut short must never pass for a whole one.
        lines.resize(kept);
        throw;
    }
}

void T_TcpIp::ReadDotTerminated(const std::function<void(std::string& line)>& sink)
{
    // One line buffer for the whole answer: a sink that does not take the content lets its
    // capacity serve every line.
    std::string line;
    for (;;) {
        if (!ReadLine(Socket, line)) LoseConnection();
        if (line == ".") return;
        if (!line.empty() && line.front() == '.') line.erase(0, 1);
        try {
            sink(line);
        } catch (...) {
            // The rest of the answer stays unread: nothing later on this connection could
            // be told apart from it.
            T_TcpIp::Logout();
            throw;
        }
    }
}

void T_TcpIp::SendDotTerminated(const StringList& lines, const std::function<bool(std::string& block)>& more)
{
    std::string out;
    out.reserve(send_block_size + 512);
    bool line_start = true;
    const auto flush_full = [&] {
        if (out.size() >= send_block_size) {
            SendString(Socket, out);
            out.clear();
        }
    };
    for (const std::string& line : lines) {
        if (!line.empty() && line.front() == '.') out += '.';
        out += line;
        out += "\r\n";
        flush_full();
    }
    if (more) {
        std::string block;
        for (;;) {
            try {
                if (!more(block)) break;
            } catch (...) {
                // Without its final "." the server drops what it got: closing now keeps a
                // message that could not be completed from being taken as whole.
                T_TcpIp::Logout();
                throw;
            }
            // A "." at the start of a line gets a second one, lines running across blocks.
            std::string_view rest = block;
            while (!rest.empty()) {
                if (line_start && rest.front() == '.') out += '.';
                const std::size_t lf = rest.find('\n');
                const std::size_t n = lf == std::string_view::npos ? rest.size() : lf + 1;
                out.append(rest.data(), n);
                line_start = lf != std::string_view::npos;
                rest.remove_prefix(n);
                flush_full();
            }
        }
    }
    if (!line_start) out += "\r\n";
    out += ".\r\n";
    SendString(Socket, out);
}

void T_TcpIp::Abandon(const std::string& message)
{
    T_TcpIp::Logout();
    throw ETcpIpError(message);
}

void T_TcpIp::LoseConnection()
{
    if (Socket == platform::invalid_socket) Abandon("Not connected to " + Hostname);
    if (!StreamEnded) Abandon("Connection to " + Hostname + " closed by the server");
    switch (end_status_) {
    case platform::IoStatus::timed_out: Abandon("No answer from " + Hostname + " within " + number(Timeout) + " seconds");
    case platform::IoStatus::failed:
        Abandon("Connection to " + Hostname + " failed with socket error " + number(end_error_));
    case platform::IoStatus::ok:
    case platform::IoStatus::closed: break;
    }
    Abandon("Connection to " + Hostname + " closed by the server");
}

}  // namespace zanpost
