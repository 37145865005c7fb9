#pragma once
// Reading a POP3 mailbox: log in, list the messages, fetch a sender/subject summary of
// each, retrieve and delete single messages.

#include "net/tcpip.h"
#include "protocols/sasl.h"
#include "rtl/string_list.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zanpost {

// What "TOP n 1" tells of a message.
struct t_summary {
    std::string from_text;     // the "From:" header from its seventh character on
    std::string subject_text;  // the "Subject:" header from its tenth character on
    bool operator==(const t_summary&) const = default;
};

// One message of the mailbox as the listing gives it, with the summary GetHeaders adds.
class t_reply {
public:
    std::int32_t number = 0;
    std::int32_t size = 0;
    std::string uid;           // the server's unique id ("UIDL"); empty when it gave none
    // Held apart from the message, and only while someone needs it (see GetSummaries): in a
    // mailbox of tens of thousands most summaries are read once and never again.
    std::unique_ptr<t_summary> summary;
    bool summarized = false;   // "TOP n 1" was answered
};

// The summary of a message, empty when none was read or none kept.
const t_summary& summary_of(const t_reply& message) noexcept;

// The summary entry GetHeaders makes of a message: sender, BEL (7) and subject, the sender
// alone when there is no subject, or the message number when no summary was read.
std::string summary_entry(const t_reply& message);

// What Mechanism automatic logs in with: over TLS SASL PLAIN when offered, else USER and
// PASS; without TLS what sasl_automatic_choice takes (CRAM-MD5), else APOP when the greeting
// has a stamp; nothing (nullopt) otherwise, since the password must not cross in clear.
std::optional<SaslMechanism> pop3_automatic_choice(const SaslOffer& offered, bool tls, bool greeting_has_stamp) noexcept;

class T_Pop3 : public T_TcpIp {
public:
    T_Pop3();
    // Says goodbye ("QUIT") to a server that is still connected; never raises.
    ~T_Pop3() override;

    std::string UserName;
    std::string Password;  // or the OAuth 2.0 token for xoauth2
    SaslMechanism Mechanism = SaslMechanism::user;
    std::vector<t_reply> Messages;  // one per listing line of the last Login, in order
    // After GetHeaders one summary entry per message: sender, BEL (7) and subject, the
    // sender alone when there is no subject, or the message number when TOP was refused.
    // After Retrieve the lines of one message.
    StringList Lines;

    // Connects (saying goodbye to an earlier server first), logs in, and reads the listing
    // into Messages.
    //
    // With Mechanism user and without TLS that is USER and PASS, as it always was. With Tls
    // starttls, CAPA must list STLS and the server agree to it; the capabilities are asked
    // again over TLS. user over TLS is USER and PASS; apop needs the greeting's stamp; plain,
    // login, cram_md5 and xoauth2 go through AUTH and must be listed in CAPA's SASL line;
    // automatic takes over TLS PLAIN when listed, else USER and PASS, and without TLS
    // CRAM-MD5 when listed, else APOP when the greeting has a stamp.
    //
    // Raises EProtocolError ("POP3", the status line, 500 for "-ERR", 999 for anything
    // else) for today's USER and PASS and for the commands after the login; ESecureError,
    // with the connection closed, when TLS cannot be had (tls_not_offered, tls_refused,
    // tls_injection, the handshake's causes) or the login fails (auth_no_mechanism before
    // anything of it is sent, auth_refused for its "-ERR"); ETcpIpError/ESocketError for the
    // connection; EConvertError for a listing line whose number is not one.
    void Login() override;
    // "QUIT" when connected, then closes and empties Messages; Lines stay. A refused QUIT
    // raises EProtocolError and leaves the connection open.
    void Logout() override;
    // Closes the connection without "QUIT", so the server commits none of this session's
    // deletions (RFC 1939: the update state follows QUIT only); empties Messages. Never
    // raises.
    void EndWithoutQuit() noexcept;
    // Login, Retrieve(1) when there is a message, Logout.
    void Action() override;

    // Fills Lines with the summary of every message of Messages ("TOP n 1"), read from the
    // header only: what follows the empty line that ends it never counts. First asks for
    // the unique ids ("UIDL"; a server that refuses it gives none). A TOP the server
    // refuses with "-ERR" gives the entry n; every other failure propagates and leaves
    // Lines empty. The numbers of this session are what Retrieve and Delete name later.
    void GetHeaders();
    // GetHeaders in two steps, for a caller that knows some messages already. The unique
    // ids: fills the uid of Messages ("UIDL"; a refusal leaves them empty).
    void GetUniqueIds();
    // Then the summaries of the messages `wanted` picks (by their index in Messages): their
    // summary and summarized; a message not picked costs no TOP. Lines is
    // emptied: a mailbox of tens of thousands is not written out twice (summary_entry makes
    // an entry where it is needed). The TOPs go out last message first; to a server that
    // announces PIPELINING (RFC 2449) many at once, their answers read in order (see
    // MayPipeline). Failures as in GetHeaders.
    //
    // `keep`, when given, hears of each message with a unique id as soon as its summary is
    // read: one it does not keep loses its summary there and then (it stays summarized),
    // so that a mailbox of tens of thousands never holds every sender and subject. A later
    // session matches such a message by its id, never by its summary.
    void GetSummaries(const std::function<bool(std::size_t index)>& wanted,
                      const std::function<bool(std::size_t index)>& keep = nullptr);
    // The messages as GetSummaries saw them (numbers, sizes, unique ids, summaries), also
    // after a later session's Login has put its own listing into Messages.
    const std::vector<t_reply>& SeenMessages() const noexcept { return seen_taken_ ? seen_ : Messages; }

    // Marks the messages deleted ("DELE n" each), in the session of GetHeaders pipelined
    // as GetSummaries' TOPs are, else one after the other as Delete does. `deleted` hears
    // of each message in order: true for "+OK", false for a refusal ("-ERR"), which stops
    // nothing. A broken connection or a garbled answer raises as Delete does; the messages
    // heard of before it are those the server answered.
    void DeleteMany(const std::vector<std::int32_t>& numbers, const std::function<void(std::int32_t, bool)>& deleted);

    // Commands in flight at most when the server pipelines: at 20 ms a round trip, 20,000
    // TOPs take a second with 256, under half of one with 1024. A TOP or DELE is at most
    // 18 bytes, so even a whole window (18 KiB; half of it is sent at a time) stays below
    // the TCP buffers of both ends: the server takes the commands in while its answers
    // wait to be read, and neither side can block the other.
    static constexpr std::size_t pipeline_window = 1024;
    // Fewer commands than this go one at a time without asking for the capabilities
    // (CAPA) first: a round trip that only a longer run of commands pays back.
    static constexpr std::size_t pipeline_threshold = 4;
    // Fills Lines with message n, logging in first when not connected. When it fails,
    // Lines is empty: a message cut short never looks like a whole one.
    //
    // When Retrieve or Delete log in again after GetHeaders (its connection broke), a
    // number may name another message: another client may have deleted one meanwhile.
    // Retrieve and Delete then first make sure n is still the message GetHeaders saw -
    // its unique id ("UIDL n"), or where the server gave none, its size and a fresh
    // summary entry ("TOP n 1") - and raise EProtocolError (500, the dialogue in step)
    // when it cannot be matched, before anything is retrieved or deleted.
    void Retrieve(std::int32_t n);
    // The same, handing each line of message n to `sink` as it arrives (the sink may take
    // its content) instead of keeping it in Lines, which is emptied: a large message is
    // never held whole. When it raises, the lines handed over were of a message cut short.
    // `answered` hears the server's "+OK" to RETR, before the first line.
    void Retrieve(std::int32_t n, const std::function<void(std::string& line)>& sink,
                  const std::function<void()>& answered = {});
    // Marks message n deleted, logging in first when not connected.
    void Delete(std::int32_t n);

    // Reads one status line; returns for "+OK", raises EProtocolError otherwise.
    void ReadReply();

private:
    enum class Status { ok, refused, garbled };
    // Reads and traces one status line into status_line_.
    Status ReadStatus();
    // Traces and classifies status_line_, already read.
    Status TakeStatus();
    // Closes the connection and raises ESecureError.
    [[noreturn]] void Fail(SecureCause cause, const std::string& message);
    // The status of a login step: "+OK" goes on, "-ERR" is a refused login (auth_refused),
    // anything else leaves the dialogue out of step (EProtocolError 999, closed).
    void JudgeLoginStatus(Status status);
    // The login of every configuration but USER and PASS without TLS.
    void SecureLogin(const std::string& greeting);
    // CAPA, in place of what was known before; a server without CAPA offers nothing.
    void ReadCapabilities();
    void LoginWithUserAndPass();
    void LoginWithApop(const std::string& greeting);
    void LoginWithSasl(SaslMechanism mechanism);

    std::string status_line_;  // the last status line read
    bool stls_offered_ = false;
    SaslOffer sasl_offered_;
    bool capabilities_read_ = false;  // CAPA was asked in this session
    bool pipelining_ = false;         // and listed PIPELINING

    // True when `commands` commands may go out before their answers are read: the server
    // announced PIPELINING, asked for (CAPA) only when there are enough of them to pay.
    bool MayPipeline(std::size_t commands);
    // Sends `count` commands and reads their answers in order: `command(i)` is the i-th
    // command, `answer(i)` reads its answer. Up to pipeline_window commands are in flight
    // when `pipelined`, one otherwise.
    void Exchange(std::size_t count, bool pipelined, const std::function<std::string(std::size_t)>& command,
                  const std::function<void(std::size_t)>& answer);

    // Logs in when not connected; in a session other than that of GetHeaders, raises
    // unless n still names the message GetHeaders saw.
    void ConnectFor(std::int32_t n);
    // Fills the uids of Messages from "UIDL"; a refusal leaves them empty.
    void ReadUniqueIds();
    // "TOP n 1" of this session: the sender and subject of the header into `entry`.
    // False when the server refuses it.
    bool ReadSummary(t_reply& entry);
    // The answer to "TOP n 1", already sent, into `entry`.
    bool ReadSummaryAnswer(t_reply& entry);
    // The answer to a command the server may refuse (TOP, UIDL, DELE): true for "+OK",
    // false for "-ERR"; any other failure raises.
    bool ReadAccepted();

    // Messages as GetHeaders saw them, taken over from Messages (not copied: a mailbox may
    // hold tens of thousands) when a later session logs in.
    std::vector<t_reply> seen_;
    bool headers_read_ = false;             // GetSummaries has run in this session
    bool seen_taken_ = false;               // seen_ holds its listing
    bool later_session_ = false;            // logged in again since GetHeaders
    std::vector<std::int32_t> confirmed_;   // numbers matched in this later session
};

}  // namespace zanpost
