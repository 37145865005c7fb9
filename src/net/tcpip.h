#pragma once
// One outgoing TCP connection that carries text lines: the single place where the mail
// clients touch the network. Buffering, time limits, end of stream and the trace live
// here, so T_SMTP and T_Pop3 never make a socket call of their own.

#include "net/errors.h"
#include "net/ip_misc.h"
#include "net/trace.h"
#include "platform/sockets.h"
#include "platform/tls.h"
#include "rtl/memory_stream.h"
#include "rtl/string_list.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zanpost {

enum TSocketState { socket_none, socket_unconnected, socket_connected, socket_failed };

// How a connection is secured: not at all, by the protocol's own command after the
// greeting (STARTTLS, STLS), or from the first byte (implicit TLS).
enum class TlsMode { none, starttls, implicit };

class T_TcpIp {
public:
    using SocketHandle = platform::SocketHandle;

    T_TcpIp();
    // Clears the trace first, then closes a connection that is still open. Subclasses
    // whose Logout talks to the server call it from their own destructor.
    virtual ~T_TcpIp();
    T_TcpIp(const T_TcpIp&) = delete;
    T_TcpIp& operator=(const T_TcpIp&) = delete;

    SocketHandle Socket = platform::invalid_socket;
    std::string Hostname;
    TTraceProc OnTrace;
    std::uint16_t Port = 0;
    std::uint32_t IpAddress = ip_none;  // what the last Login resolved
    bool StreamEnded = false;           // a receive met the end of the stream or failed
    MemoryStream Stream;                // filled by the base Action
    std::vector<char> Buffer;           // the base Action's receive block
    bool Connected = false;
    // Seconds that connecting and every single send and receive may take; 0 waits for
    // ever. Applied when a connection is opened.
    int Timeout = 600;
    // implicit: Login runs the TLS handshake right after connecting. starttls: the
    // protocol client calls StartTls after its command. The server name defaults to
    // Hostname.
    TlsMode Tls = TlsMode::none;
    platform::TlsOptions TlsOptions;

    // Closes the socket in `handle`, creates a new one and connects it; `handle` is
    // invalid_socket afterwards when that failed.
    virtual void OpenSocket(SocketHandle& handle, std::uint16_t port, std::uint32_t address);
    // Connects and reads everything the server sends until it closes, into Stream.
    // Raises what Login raises, and ETcpIpError when the connection fails or times out.
    virtual void Action();
    // Sends the text and CR LF. Raises ETcpIpError (and closes) when the send fails.
    virtual void SendCommand(const std::string& text);
    // Logs out when connected, resolves Hostname and connects to Port. Raises
    // ETcpIpError for a host that cannot be resolved, ESocketError for a failed connect.
    virtual void Login();
    // Closes the connection; never raises.
    virtual void Logout();
    // True once the stream has ended or the socket is not connected.
    virtual bool Eof(SocketHandle handle);

    // Puts TLS under the line reader of the open connection, from here on every send and
    // receive goes through it. Raises ESecureError, closing the connection, when the server
    // already sent bytes that were not read (they would pass for answers given under TLS)
    // or when the handshake fails.
    void StartTls();
    // True while the connection runs over TLS.
    bool TlsActive() const noexcept { return tls_ != nullptr; }
    // The session's details, for the log; null without TLS.
    const platform::TlsPeerInfo* TlsPeer() const noexcept { return tls_ ? &tls_->peer() : nullptr; }

    SocketHandle CreateSocket();
    void ConnectSocket(SocketHandle& handle, std::uint16_t port, std::uint32_t address);
    void CloseSocket(SocketHandle& handle);
    TSocketState SocketState(SocketHandle handle);

    // One platform receive of up to `size` bytes; the count, or 0 or less (and
    // StreamEnded set) when the stream ended, failed or timed out.
    int Receive(SocketHandle handle, char* area, int size);
    // The next line without its LF or CR LF (a CR inside the line is kept). False, with
    // `line` untouched and the bytes of an unfinished line dropped, when the stream ends
    // first.
    bool ReadLine(SocketHandle handle, std::string& line);
    // Sends the whole block, continuing after a send that took only part of it.
    // Raises ETcpIpError (and closes) when the connection is gone or the peer takes
    // nothing within Timeout.
    void SendBuffer(SocketHandle handle, const char* bytes, std::size_t length);
    void SendString(SocketHandle handle, const std::string& text);

    // The longest status or reply line RequireLine takes, without its line end. The mail
    // protocols allow 512 bytes; anything near this bound is not a server answering.
    static constexpr std::size_t max_status_line = 0x10000;

    // The next line on Socket for a reader that cannot go on without it. When none
    // comes, or it is longer than max_status_line, closes the connection and raises
    // ETcpIpError saying why.
    void RequireLine(std::string& line);
    // Appends the next `count` bytes of the stream to `out`, whatever they hold (a body
    // measured by its length rather than by lines). False when the stream ended first; what
    // came until then is appended all the same.
    bool ReadBytes(std::size_t count, std::string& out);
    // Appends the lines of a dot-terminated answer, each with a leading "." taken off,
    // up to the lone "." that ends it. When the stream ends first, `lines` gets back the
    // size it had, the connection is closed and ETcpIpError is raised.
    void ReadDotTerminated(StringList& lines);
    // The same, handing each line to `sink` as it arrives (the sink may take its content),
    // so a large answer is never held whole. When the stream ends first, the connection is
    // closed and ETcpIpError is raised: what the sink got was an answer cut short. A sink
    // that raises closes the connection too, since the rest of the answer is left unread.
    void ReadDotTerminated(const std::function<void(std::string& line)>& sink);
    // Sends the lines as dot-terminated data: a line beginning with "." gets a second
    // one, and a lone "." follows the last line. The lines travel in large blocks. When
    // `more` is set, the bytes it gives follow `lines` before the ".": each call replaces
    // the block by the next bytes, lines ending in CR LF (a block may end inside a line),
    // until it returns false; they are dot-stuffed as lines are. When `more` raises, the
    // connection is closed without the "." (the server drops the message) and the failure
    // goes on.
    void SendDotTerminated(const StringList& lines, const std::function<bool(std::string& block)>& more = {});

protected:
    // The connection can no longer be trusted to be in step with the server: close it
    // without a word to the server, so no later command reads a stale answer, and raise.
    [[noreturn]] void Abandon(const std::string& message);

private:
    [[noreturn]] void LoseConnection();
    enum class LineTaken { line, none, too_long };
    // A line of at most `limit` bytes from the inbox; `none` when no whole line is there yet.
    LineTaken TakeLine(std::string& line, std::size_t limit);
    // Fills the inbox until a line comes; `none` when the stream ends first (the bytes of
    // an unfinished line dropped), `too_long` when it would be longer than `limit`.
    LineTaken ReadLineWithin(SocketHandle handle, std::string& line, std::size_t limit);
    bool FillInbox(SocketHandle handle);
    void DropInbox() noexcept;

    platform::IoResult TransportSend(SocketHandle handle, const char* bytes, std::size_t length);
    platform::IoResult TransportReceive(SocketHandle handle, char* area, std::size_t size);

    // The TLS session over Socket, when there is one.
    std::unique_ptr<platform::TlsSession> tls_;
    // Received bytes not yet handed out as lines, from inbox_start_ on.
    std::string inbox_;
    std::size_t inbox_start_ = 0;
    // The inbox holds no LF from inbox_start_ up to here.
    std::size_t inbox_scanned_ = 0;
    // Why the stream ended, for the message of the failure that follows.
    platform::IoStatus end_status_ = platform::IoStatus::ok;
    int end_error_ = 0;
};

}  // namespace zanpost
