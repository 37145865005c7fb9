// The POP3 client's readers of multi-line answers - the listing of Login, the summaries of
// GetHeaders, a retrieved message - fed from a scripted byte stream.
//
// The target brings its own socket layer in place of the platform's: one server per
// connection that answers the login with "+OK" and then answers each further command line
// with the next piece of the input (the pieces are separated by NUL bytes). A client that
// waits for more than the server has said meets the end of the stream, as it would when a
// real server hung up, so no input ever waits. The first input byte sets how many bytes a
// single receive or send moves, so lines arrive cut at every possible place, and whether
// the retrieved message is kept in Lines or handed line by line to the MIME parser.
//
// Every failure must come out as one of the program's own exceptions, with the lists in
// the state the client promises.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "mime/mime.h"
#include "platform/sockets.h"
#include "protocols/pop3.h"
#include "rtl/exceptions.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr zanpost::platform::SocketHandle the_socket = 7;
constexpr std::uint32_t the_address = 0x0100007F;

struct ScriptedStream {
    std::string_view answers;  // what is left of the input's pieces
    std::size_t chunk = 1;     // most bytes one receive or send moves
    std::string said;          // sent by the server, not yet received by the client
    std::string heard;         // every byte the client sent
    int login_answers = 0;     // "+OK" still due for USER and PASS
    bool open = false;
    bool hung_up = false;      // no pieces left for the last command

    void start(std::string_view input, std::size_t chunk_size)
    {
        *this = ScriptedStream{};
        answers = input;
        chunk = chunk_size;
    }

    void connect()
    {
        open = true;
        hung_up = false;
        said = "+OK ready\r\n";
        login_answers = 2;
    }

    // The client finished a command line: the server answers it.
    void answer()
    {
        if (login_answers > 0) {
            --login_answers;
            said += "+OK\r\n";
        } else if (!answers.empty() || !hung_up) {
            const std::size_t end = answers.find('\0');
            said += answers.substr(0, end);
            answers = end == std::string_view::npos ? std::string_view() : answers.substr(end + 1);
            hung_up = end == std::string_view::npos;
        }
    }
};

ScriptedStream stream;

bool is_number(std::string_view text)
{
    if (text.starts_with('-')) text.remove_prefix(1);
    return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool known_command(std::string_view line)
{
    if (line == "USER u" || line == "PASS p" || line == "LIST" || line == "QUIT") return true;
    if (line == "UIDL") return true;
    if (line.starts_with("UIDL ")) return is_number(line.substr(5));
    if (line.starts_with("RETR ")) return is_number(line.substr(5));
    if (line.starts_with("TOP ") && line.ends_with(" 1")) return is_number(line.substr(4, line.size() - 6));
    return false;
}

}  // namespace

// The platform's socket calls, served by the scripted stream.
namespace zanpost::platform {

bool socket_layer_start() { return true; }
void socket_layer_stop() {}
SocketHandle socket_create() { return the_socket; }

bool socket_connect(SocketHandle socket, std::uint32_t address, std::uint16_t, int)
{
    FUZZ_CHECK(socket == the_socket && address == the_address && !stream.open);
    stream.connect();
    return true;
}

bool socket_set_timeout(SocketHandle, int) { return true; }

IoResult socket_send(SocketHandle socket, const char* data, std::size_t length)
{
    FUZZ_CHECK(socket == the_socket && stream.open);
    const std::size_t count = std::min(length, stream.chunk);
    for (std::size_t i = 0; i < count; ++i) {
        stream.heard += data[i];
        if (data[i] == '\n') stream.answer();
    }
    return {IoStatus::ok, count};
}

IoResult socket_receive(SocketHandle socket, char* buffer, std::size_t size)
{
    FUZZ_CHECK(socket == the_socket && stream.open);
    if (stream.said.empty()) return {IoStatus::closed, 0};
    const std::size_t count = std::min({size, stream.chunk, stream.said.size()});
    std::memcpy(buffer, stream.said.data(), count);
    stream.said.erase(0, count);
    return {IoStatus::ok, count};
}

void socket_close(SocketHandle socket)
{
    FUZZ_CHECK(socket == the_socket && stream.open);
    stream.open = false;
}

int socket_last_error() { return 0; }
PeerState socket_peer_state(SocketHandle) { return stream.open ? PeerState::connected : PeerState::unconnected; }
std::uint32_t parse_ipv4(const std::string& text) { return text == "127.0.0.1" ? the_address : 0xFFFFFFFF; }
std::optional<HostEntry> lookup_host(const std::string&) { return std::nullopt; }
std::string host_name() { return "localhost"; }
SocketHandle socket_listen_loopback(std::uint16_t&) { return invalid_socket; }
SocketHandle socket_accept(SocketHandle, int) { return invalid_socket; }

}  // namespace zanpost::platform

using namespace zanpost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    fuzz::Input input(data, size);
    const std::uint8_t first = input.byte();
    const std::size_t chunk = first % 64 + 1;
    const bool hand_over = (first & 64) != 0;
    stream.start(input.rest(), chunk);
    {
        T_Pop3 pop;
        pop.Hostname = "127.0.0.1";
        pop.UserName = "u";
        pop.Password = "p";
        try {
            pop.Login();
            try {
                pop.GetHeaders();
                FUZZ_CHECK(pop.Lines.size() == pop.Messages.size());
            } catch (const Exception&) {
                FUZZ_CHECK(pop.Lines.empty());
                throw;
            }
            if (!pop.Messages.empty() && !hand_over) {
                try {
                    pop.Retrieve(pop.Messages.front().number);
                } catch (const Exception&) {
                    FUZZ_CHECK(pop.Lines.empty());
                    throw;
                }
            } else if (!pop.Messages.empty()) {
                // As the receive job fetches: each line straight into the parser.
                T_Mime parser;
                parser.StartParse(std::size_t(std::max(pop.Messages.front().size, 0)));
                try {
                    pop.Retrieve(pop.Messages.front().number, [&parser](std::string& line) { parser.ParseLine(line); });
                } catch (const Exception&) {
                    FUZZ_CHECK(pop.Lines.empty());
                    throw;
                }
                FUZZ_CHECK(pop.Lines.empty());
                parser.FinishParse();
                FUZZ_CHECK(parser.AttachmentCount() >= 1);
            }
            pop.Logout();
            FUZZ_CHECK(pop.Messages.empty());
        } catch (const Exception&) {
            // Refusals, broken answers and lost connections: the client's own failures.
        }
    }
    // However it ended, the client let go of its connection, and every command it sent
    // went out whole, one per line, in a form the dialogue knows.
    FUZZ_CHECK(!stream.open);
    FUZZ_CHECK(stream.heard.empty() || stream.heard.ends_with("\r\n"));
    std::string_view heard = stream.heard;
    while (!heard.empty()) {
        const std::string_view line = heard.substr(0, heard.find("\r\n"));
        heard.remove_prefix(line.size() + 2);
        FUZZ_CHECK(known_command(line));
    }
    return 0;
}
