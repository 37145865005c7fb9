#include "support/scripted_server.h"

#include "support/sanitized.h"

#include <chrono>
#include <stdexcept>
#include <thread>

namespace zanpost::testing {

namespace {

// How long the server waits for a client before it gives up, so that a hung client ends its
// test. Under the sanitizers the program runs several times slower: a million-part message
// takes it longer than a native run takes for anything.
constexpr int guard_seconds = sanitized ? 60 : 10;

bool send_all(platform::SocketHandle connection, const std::string& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const auto sent = platform::socket_send(connection, bytes.data() + done, bytes.size() - done);
        if (sent.status != platform::IoStatus::ok || sent.count == 0) return false;
        done += sent.count;
    }
    return true;
}

}  // namespace

Conversation& Conversation::say(std::string_view text)
{
    steps_.push_back({Kind::send, std::string(text) + "\r\n"});
    return *this;
}

Conversation& Conversation::say_raw(std::string_view bytes)
{
    steps_.push_back({Kind::send, std::string(bytes)});
    return *this;
}

Conversation& Conversation::await_line()
{
    steps_.push_back({Kind::await_line, {}});
    return *this;
}

Conversation& Conversation::reply(std::string_view text) { return await_line().say(text); }

Conversation& Conversation::await_data()
{
    steps_.push_back({Kind::await_data, {}});
    return *this;
}

Conversation& Conversation::close()
{
    steps_.push_back({Kind::close, {}});
    return *this;
}

Conversation& Conversation::pause(int milliseconds)
{
    steps_.push_back({Kind::pause, std::to_string(milliseconds)});
    return *this;
}

Conversation& Conversation::start_tls()
{
    steps_.push_back({Kind::start_tls, {}});
    return *this;
}

Conversation& Conversation::renegotiate()
{
    steps_.push_back({Kind::renegotiate, {}});
    return *this;
}

ScriptedServer::ScriptedServer(Conversation conversation, std::uint16_t fixed_port)
    : ScriptedServer(std::vector<Conversation>{std::move(conversation)}, fixed_port)
{
}

ScriptedServer::ScriptedServer(std::vector<Conversation> conversations, std::uint16_t fixed_port)
    : ScriptedServer(std::move(conversations), ServerTls{}, fixed_port)
{
}

ScriptedServer::ScriptedServer(std::vector<Conversation> conversations, ServerTls tls, std::uint16_t fixed_port)
    : conversations_(std::move(conversations)),
      transcripts_(conversations_.size()),
      tls_(std::move(tls)),
      tls_errors_(conversations_.size()),
      port_(fixed_port)
{
    platform::socket_layer_start();
    listener_ = platform::socket_listen_loopback(port_);
    if (listener_ == platform::invalid_socket)
        throw std::runtime_error("cannot listen on loopback: error " + std::to_string(platform::socket_last_error()));
    thread_ = std::thread([this] { run(); });
}

ScriptedServer::~ScriptedServer()
{
    finish();
    platform::socket_close(listener_);
}

const std::string& ScriptedServer::transcript(std::size_t index)
{
    finish();
    static const std::string none;
    return index < transcripts_.size() ? transcripts_[index] : none;
}

const std::string& ScriptedServer::tls_error(std::size_t index)
{
    finish();
    static const std::string none;
    return index < tls_errors_.size() ? tls_errors_[index] : none;
}

std::size_t ScriptedServer::connections()
{
    finish();
    return accepted_;
}

void ScriptedServer::finish()
{
    results_wanted_ = true;
    if (thread_.joinable()) thread_.join();
}

platform::SocketHandle ScriptedServer::accept_next()
{
    // In steps of a second, so that a server whose results are wanted stops waiting for a
    // connection that will not come. A connection the client made before that is already
    // queued and is taken at once.
    for (int waited = 0; waited < guard_seconds; ++waited) {
        const auto connection = platform::socket_accept(listener_, 1);
        if (connection != platform::invalid_socket || results_wanted_) return connection;
    }
    return platform::invalid_socket;
}

void ScriptedServer::run()
{
    for (std::size_t i = 0; i < conversations_.size(); ++i) {
        const auto connection = accept_next();
        if (connection == platform::invalid_socket) return;
        ++accepted_;
        platform::socket_set_timeout(connection, guard_seconds);
        serve(connection, conversations_[i], transcripts_[i], tls_errors_[i]);
    }
}

void ScriptedServer::serve(platform::SocketHandle connection, const Conversation& conversation, std::string& received,
                           std::string& tls_error)
{
    std::unique_ptr<ServerTlsChannel> tls;
    auto send = [&](const std::string& bytes) { return tls ? tls->send_all(bytes) : send_all(connection, bytes); };
    std::vector<char> block(0x10000);
    auto receive_more = [&] {
        const auto got = tls ? tls->receive(block.data(), block.size())
                             : platform::socket_receive(connection, block.data(), block.size());
        if (got.status != platform::IoStatus::ok) return false;
        received.append(block.data(), got.count);
        return true;
    };
    // Start of the client's first line that no step has waited for yet.
    std::size_t unread = 0;
    auto next_line = [&](std::string& line) {
        std::size_t lf;
        while ((lf = received.find('\n', unread)) == std::string::npos)
            if (!receive_more()) return false;
        line.assign(received, unread, lf - unread);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        unread = lf + 1;
        return true;
    };

    bool going = true;
    std::string line;
    for (const auto& step : conversation.steps_) {
        switch (step.kind) {
        case Conversation::Kind::send: going = send(step.bytes); break;
        case Conversation::Kind::await_line: going = next_line(line); break;
        case Conversation::Kind::await_data:
            do going = next_line(line);
            while (going && line != ".");
            break;
        case Conversation::Kind::close:
            tls.reset();
            platform::socket_close(connection);
            return;
        case Conversation::Kind::pause:
            std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(step.bytes)));
            break;
        case Conversation::Kind::start_tls:
            tls = server_tls_accept(connection, tls_, tls_error);
            if (!tls) {
                platform::socket_close(connection);
                return;
            }
            break;
        case Conversation::Kind::renegotiate: going = tls && tls->renegotiate(); break;
        }
        if (!going) break;
    }
    // Silence: record whatever still comes until the client closes.
    while (receive_more()) {
    }
    tls.reset();
    platform::socket_close(connection);
}

}  // namespace zanpost::testing
