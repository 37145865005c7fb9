// The POP3 client's readers of multi-line answers - the listing of Login, the summaries of
// GetHeaders, a retrieved message - fed from a scripted byte stream, and the batches of TOP
// and DELE the receive job sends (GetSummaries of some messages, DeleteMany of others).
//
// The target brings its own socket layer in place of the platform's: one server per
// connection that answers the login with "+OK" and then answers each further command line
// with the next piece of the input (the pieces are separated by NUL bytes). A client that
// waits for more than the server has said meets the end of the stream, as it would when a
// real server hung up, so no input ever waits. The first input byte sets how many bytes a
// single receive or send moves, so lines arrive cut at every possible place, whether the
// retrieved message is kept in Lines or handed line by line to the MIME parser, and whether
// the job's way is taken; then the next byte picks the messages it asks summaries of.
//
// Every failure must come out as one of the program's own exceptions, with the lists in
// the state the client promises. The batches go out in order and stop at a failure: the
// TOPs and DELEs heard are the messages asked for, or the first of them. A client sends
// more than one command at once only to a server that said PIPELINING in that session,
// never more than its window, and only TOPs or only DELEs; CAPA at most once a session.

#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_input.h"
#include "mime/mime.h"
#include "platform/sockets.h"
#include "protocols/pop3.h"
#include "rtl/exceptions.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

bool contains_pipelining(std::string_view text)
{
    constexpr std::string_view word = "PIPELINING";
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
               return (a >= 'a' && a <= 'z' ? char(a - 'a' + 'A') : a) == b;
           }) != text.end();
}

constexpr zanpost::platform::SocketHandle the_socket = 7;
constexpr std::uint32_t the_address = 0x0100007F;

struct ScriptedStream {
    std::string_view answers;  // what is left of the input's pieces
    std::size_t chunk = 1;     // most bytes one receive or send moves
    std::string said;          // sent by the server, not yet received by the client
    std::string heard;         // every byte the client sent
    std::size_t line_start = 0;  // where the command being heard begins in `heard`
    const char* write_end = nullptr;  // the end of a write the client has not finished
    int login_answers = 0;     // "+OK" still due for USER and PASS
    int capabilities_asked = 0;  // CAPA in this session
    bool pipelining_said = false;  // "PIPELINING" was among the answers of this session
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
        capabilities_asked = 0;
        pipelining_said = false;
    }

    // The client finished a command line: the server answers it.
    void answer()
    {
        if (login_answers > 0) {
            --login_answers;
            said += "+OK\r\n";
        } else if (!answers.empty() || !hung_up) {
            const std::size_t end = answers.find('\0');
            const std::string_view piece = answers.substr(0, end);
            said += piece;
            pipelining_said = pipelining_said || contains_pipelining(piece);
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
    if (line == "UIDL" || line == "CAPA") return true;
    if (line.starts_with("UIDL ")) return is_number(line.substr(5));
    if (line.starts_with("RETR ")) return is_number(line.substr(5));
    if (line.starts_with("DELE ")) return is_number(line.substr(5));
    if (line.starts_with("TOP ") && line.ends_with(" 1")) return is_number(line.substr(4, line.size() - 6));
    return false;
}

// The client begins a write (not the rest of one that went out in part): more than one
// command in it is a pipelined batch.
void check_write(std::string_view bytes)
{
    const auto commands = std::size_t(std::count(bytes.begin(), bytes.end(), '\n'));
    if (commands <= 1) return;
    FUZZ_CHECK(stream.pipelining_said);
    FUZZ_CHECK(commands <= zanpost::T_Pop3::pipeline_window);
    const std::string_view verb = bytes.substr(0, bytes.find(' ') + 1);
    FUZZ_CHECK(verb == "TOP " || verb == "DELE ");
    for (std::string_view rest = bytes; !rest.empty(); rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1)))
        FUZZ_CHECK(rest.starts_with(verb));
}

// A whole command line heard.
void check_command(std::string_view line)
{
    FUZZ_CHECK(line.ends_with('\r'));
    line.remove_suffix(1);
    FUZZ_CHECK(known_command(line));
    if (line == "CAPA") FUZZ_CHECK(++stream.capabilities_asked == 1);
}

// The numbers the commands `verb` heard since `from` name.
std::vector<std::int32_t> named_since(std::size_t from, std::string_view verb)
{
    std::vector<std::int32_t> numbers;
    std::string_view heard = std::string_view(stream.heard).substr(from);
    while (!heard.empty()) {
        const std::string_view line = heard.substr(0, heard.find("\r\n"));
        heard.remove_prefix(std::min(heard.size(), line.size() + 2));
        if (!line.starts_with(verb)) continue;
        std::int32_t n = 0;
        std::from_chars(line.data() + verb.size(), line.data() + line.size(), n);
        numbers.push_back(n);
    }
    return numbers;
}

bool starts(const std::vector<std::int32_t>& whole, const std::vector<std::int32_t>& part)
{
    return part.size() <= whole.size() && std::equal(part.begin(), part.end(), whole.begin());
}

// A batch of `verb` commands (the call) names the `expected` messages in order; one that
// failed, the first of them.
template <class Call>
void batch(std::string_view verb, const std::vector<std::int32_t>& expected, Call call)
{
    const std::size_t from = stream.heard.size();
    try {
        call();
    } catch (const zanpost::Exception&) {
        FUZZ_CHECK(starts(expected, named_since(from, verb)));
        throw;
    }
    FUZZ_CHECK(named_since(from, verb) == expected);
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
    if (data + length != stream.write_end) check_write(std::string_view(data, length));
    const std::size_t count = std::min(length, stream.chunk);
    stream.write_end = count < length ? data + length : nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        stream.heard += data[i];
        if (data[i] != '\n') continue;
        const std::string_view heard = stream.heard;
        check_command(heard.substr(stream.line_start, heard.size() - 1 - stream.line_start));
        stream.line_start = stream.heard.size();
        stream.answer();
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
    const bool job = (first & 128) != 0;
    const std::uint8_t picked = job ? input.byte() : 0xFF;
    stream.start(input.rest(), chunk);
    {
        T_Pop3 pop;
        pop.Hostname = "127.0.0.1";
        pop.UserName = "u";
        pop.Password = "p";
        try {
            pop.Login();
            // Asked for last message first; the job deletes what it does not ask for.
            const auto wanted = [picked](std::size_t i) { return ((picked >> (i % 8)) & 1) != 0; };
            std::vector<std::int32_t> asked;
            std::vector<std::int32_t> unasked;
            for (std::size_t i = pop.Messages.size(); i > 0; --i)
                if (wanted(i - 1)) asked.push_back(pop.Messages[i - 1].number);
            for (std::size_t i = 0; i < pop.Messages.size(); ++i)
                if (!wanted(i)) unasked.push_back(pop.Messages[i].number);
            if (job) {
                pop.GetUniqueIds();
                batch("TOP ", asked, [&] { pop.GetSummaries(wanted); });
                for (std::size_t i = 0; i < pop.Messages.size(); ++i)
                    FUZZ_CHECK(wanted(i) || !pop.Messages[i].summarized);
                // Each DELE is heard of in order, once the server answered it.
                std::vector<std::int32_t> answered;
                try {
                    batch("DELE ", unasked, [&] {
                        pop.DeleteMany(unasked, [&answered](std::int32_t n, bool) { answered.push_back(n); });
                    });
                } catch (const Exception&) {
                    FUZZ_CHECK(starts(unasked, answered));
                    throw;
                }
                FUZZ_CHECK(answered == unasked);
            } else {
                try {
                    batch("TOP ", asked, [&] { pop.GetHeaders(); });
                    FUZZ_CHECK(pop.Lines.size() == pop.Messages.size());
                } catch (const Exception&) {
                    FUZZ_CHECK(pop.Lines.empty());
                    throw;
                }
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
    // went out whole (each line was checked as it ended).
    FUZZ_CHECK(!stream.open);
    FUZZ_CHECK(stream.line_start == stream.heard.size());
    return 0;
}
