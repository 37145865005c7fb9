#pragma once
// The login mechanisms the SMTP and POP3 clients share: the client's side of each SASL
// mechanism, the choice among those a server offers, and the APOP digest. The clients only
// frame the messages (SMTP "334", POP3 "+") and carry them base64-encoded; neither ever
// traces one.

#include <optional>
#include <string>
#include <string_view>

namespace zanpost {

class T_TcpIp;

enum class SaslMechanism {
    automatic,  // chosen from what the server offers; never a clear-text password without TLS
    user,       // POP3 USER and PASS
    apop,       // POP3 APOP (an MD5 digest of the greeting's stamp and the password)
    plain,
    login,
    cram_md5,
    xoauth2,    // the password is an OAuth 2.0 access token
};

// What the traces show in place of a secret.
inline constexpr const char* secret_mask = "*****";

// The name on the wire: "PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2"; empty for automatic, user
// and apop, which are no SASL mechanisms.
std::string_view sasl_name(SaslMechanism mechanism) noexcept;

// The SASL mechanisms a server offers, as far as this client knows them.
class SaslOffer {
public:
    // Adds the mechanisms of a blank-separated list of names ("PLAIN LOGIN GSSAPI"), in any
    // letter case; names this client does not know are passed over.
    void add(std::string_view names);
    bool has(SaslMechanism mechanism) const noexcept;
    bool empty() const noexcept { return bits_ == 0; }
    // The known names offered, blank-separated, for a failure's message.
    std::string names() const;

private:
    unsigned bits_ = 0;
};

// What `automatic` logs in with: over TLS PLAIN, then LOGIN, then CRAM-MD5; without TLS only
// CRAM-MD5, which never shows the password to the wire. Nothing (nullopt) when none of those
// is offered. XOAUTH2 is never chosen: only the configuration can say a token is one.
std::optional<SaslMechanism> sasl_automatic_choice(const SaslOffer& offered, bool tls) noexcept;

// The client's side of one SASL exchange with PLAIN (RFC 4616), LOGIN, CRAM-MD5 (RFC 2195)
// or XOAUTH2. Messages are raw bytes; the protocol encodes them.
class SaslClient {
public:
    // `secret` is the password, or for XOAUTH2 the access token. Any other mechanism gives
    // a client with nothing to say.
    SaslClient(SaslMechanism mechanism, std::string user, std::string secret);

    SaslMechanism mechanism() const noexcept { return mechanism_; }
    // PLAIN and XOAUTH2 start without a challenge: their first message may go with the
    // command itself.
    bool has_initial_response() const noexcept;
    // Our next message for the server's (decoded) challenge; for a mechanism with an initial
    // response, the first call gives that whatever the challenge. After the XOAUTH2 token,
    // the server's challenge is its error detail, and the answer an empty message. nullopt
    // when the mechanism has nothing more to say: the exchange is to be cancelled ("*").
    std::optional<std::string> respond(std::string_view challenge);

private:
    SaslMechanism mechanism_;
    std::string user_;
    std::string secret_;
    int step_ = 0;
};

// Base64 (RFC 4648) in one piece, without line breaks.
std::string base64_encode(std::string_view bytes);
// Missing padding is accepted; any other byte outside the alphabet gives nullopt.
std::optional<std::string> base64_decode(std::string_view text);

// The stamp of a POP3 greeting that offers APOP ("+OK ready <1896.697170952@host>"): from
// the first "<" to the next ">", both included; empty when there is none.
std::string apop_timestamp(std::string_view greeting);
// The APOP digest: 32 lower-case hex digits of MD5(timestamp + password).
std::string apop_digest(std::string_view timestamp, std::string_view password);

// Sends `line` and CR LF, tracing `shown` in its place: for every line that carries a
// secret or part of a login exchange.
void send_secret_line(T_TcpIp& connection, const std::string& line, const std::string& shown);

// Answers one base64 challenge of a login exchange with the mechanism's response, or with
// "*" when there is nothing to answer (undecodable, or the mechanism is done), which
// cancels the exchange. False when it cancelled.
bool answer_challenge(T_TcpIp& connection, SaslClient& sasl, std::string_view challenge);

}  // namespace zanpost
