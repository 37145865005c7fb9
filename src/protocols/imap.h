#pragma once
// Reading one folder of an IMAP4rev1 mailbox (RFC 3501): log in, select the folder, list
// the sender and subject of the messages above a UID, fetch single messages as lines, and
// move or delete them. Nothing is ever marked read: messages are fetched with BODY.PEEK,
// since the people who share the mailbox see by its flags what is new.

#include "net/tcpip.h"
#include "protocols/sasl.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zanpost {

// What SELECT told of the folder. uid_validity and uid_next are 0 when the server did not
// say (an old server: its UIDs cannot be trusted from one session to the next).
struct ImapFolder {
    std::uint32_t uid_validity = 0;
    std::uint32_t uid_next = 0;
    std::uint32_t exists = 0;
    bool read_only = false;  // nothing may be moved or deleted
};

// One message as the header pass sees it. from_text and subject_text are what POP3's
// summary holds (t_reply): the "From:" field from its seventh character on, the "Subject:"
// field from its tenth, folded lines joined as they stand.
struct ImapSummary {
    std::uint32_t uid = 0;
    std::uint64_t size = 0;  // RFC822.SIZE
    std::string from_text;
    std::string subject_text;
};

// How Remove left the messages.
enum class ImapRemoval {
    removed,  // moved, or deleted and expunged by UID
    flagged,  // only marked \Deleted: the server offers neither MOVE nor UIDPLUS, and a plain
              // EXPUNGE would also remove what other clients marked; the expunge is the server's
};

// What Mechanism automatic logs in with: over TLS AUTHENTICATE PLAIN when offered, else the
// LOGIN command unless the server disabled it, else CRAM-MD5; without TLS only CRAM-MD5.
// Nothing (nullopt) when none of those may be used.
std::optional<SaslMechanism> imap_automatic_choice(const SaslOffer& offered, bool tls, bool login_disabled) noexcept;

class T_Imap : public T_TcpIp {
public:
    T_Imap();
    // Logs out of a server that is still connected; never raises.
    ~T_Imap() override;

    std::string UserName;
    std::string Password;  // or the OAuth 2.0 token for xoauth2
    // login is IMAP's own LOGIN command (never AUTHENTICATE LOGIN, which carries the same two
    // strings); plain, cram_md5 and xoauth2 go through AUTHENTICATE; automatic as
    // imap_automatic_choice. user and apop are POP3's and refused.
    SaslMechanism Mechanism = SaslMechanism::login;

    // Connects (logging out of an earlier server first), reads the greeting and logs in.
    //
    // With Tls starttls the capabilities must offer STARTTLS and the server agree to it; they
    // are asked again over TLS, and a server that greets as already logged in (PREAUTH) is
    // refused, since that leaves no place for TLS. AUTHENTICATE sends its first message with
    // the command when the server offers SASL-IR. The capabilities are read again after the
    // login, where servers add what only a logged-in user may use (MOVE, UIDPLUS).
    //
    // Raises ESecureError, with the connection closed: configuration for user or apop;
    // tls_not_offered, tls_refused, tls_injection and the handshake's causes;
    // auth_no_mechanism before any of the login is sent (LOGIN where the server announced
    // LOGINDISABLED, a mechanism it does not list, automatic without a choice); auth_refused
    // for a NO or BAD to the login. ETcpIpError/ESocketError for the connection, a greeting
    // or later "* BYE" included. EProtocolError as every command raises it (see below).
    void Login() override;
    // LOGOUT when connected, then closes. Never raises: whatever this session did was done
    // when its command was answered, so an unconfirmed goodbye loses nothing.
    void Logout() override;

    // True when the server's capabilities of this session include `name`, in any letter case.
    bool Offers(std::string_view name) const;

    // Opens the folder, named in CP1250, for reading and changing (SELECT).
    ImapFolder Select(const std::string& folder);

    // Hands `each` the summary of every message of the selected folder whose UID is
    // `from_uid` or higher, in the order the server answers, as the answers arrive: one
    // command, however many messages, and never more than one of them in memory. Nothing is
    // asked when SELECT found the folder empty or `from_uid` at or above its next UID.
    void Headers(std::uint32_t from_uid, const std::function<void(ImapSummary& message)>& each);

    // Hands `sink` message `uid` of the selected folder, line by line without the line ends
    // (the sink may take their content), in constant memory; it stays unread for other
    // clients. `size` is its size from Headers, 0 when not known: the message's literal may
    // then only follow its RFC822.SIZE in the same answer. A literal longer than
    // literal_limit of its size is refused before any of it is read. False when the folder
    // no longer holds the message. When it raises, the lines handed over were of a message
    // cut short; a sink that raises closes the connection, the rest of the answer unread.
    bool Fetch(std::uint32_t uid, std::uint64_t size, const std::function<void(std::string& line)>& sink);

    // Takes the messages out of the selected folder: into `move_to` (CP1250) when that is
    // set, else deleted. UID MOVE (RFC 6851) where a folder is set and the server offers
    // MOVE; otherwise UID COPY into it, then UID STORE +FLAGS.SILENT (\Deleted) and, where
    // the server offers UIDPLUS (RFC 4315), UID EXPUNGE of exactly these messages. Never a
    // plain EXPUNGE or CLOSE: they would also remove what other clients marked deleted. On
    // Gmail (X-GM-EXT-1) deleting means moving into the folder marked \Trash (RFC 6154),
    // since an expunge there only archives; without such a folder the message is archived.
    // A folder the server says could be created ([TRYCREATE]) is created, and the command
    // tried once more. UIDs the folder no longer holds are passed over.
    ImapRemoval Remove(const std::vector<std::uint32_t>& uids, const std::string& move_to);

    // The longest literal taken for a message of `size` bytes: servers count the size of a
    // message their own way (line ends, a header they add), within this margin.
    static std::uint64_t literal_limit(std::uint64_t size) noexcept { return size + size / 8 + 0x10000; }
    // The longest literal held in memory: a header's two fields, a folder name.
    static constexpr std::size_t max_small_literal = 0x100000;

    // Every command that fails raises EProtocolError ("IMAP", the tagged answer, and one of
    // these), a NO or BAD with the connection still in step; 999 closes the connection.
    static constexpr int refused = 500;  // NO
    static constexpr int bad = 501;      // BAD: the server did not understand the command
    static constexpr int garbled = 999;  // an answer out of step or broken

private:
    class Reader;
    class Command;
    struct Tagged {
        enum Status { ok, no, bad } status = ok;
        std::string code;  // the response code's name in upper case ("READ-ONLY"); empty without
        std::string line;
    };
    // Takes the untagged answers it knows (true); `number` is 0 for those without one.
    using Untagged = std::function<bool(Reader& reader, std::uint32_t number, const std::string& keyword)>;

    // Sends the command and reads the answers up to its tagged one; untagged answers go to
    // `untagged` first. A NO or BAD raises EProtocolError unless `refusal_ok`.
    Tagged Run(const Command& command, const Untagged& untagged = {}, bool refusal_ok = false);
    // Sends the command under a new tag, waiting for the server's go-ahead before each
    // synchronizing literal; a tagged answer in place of the go-ahead ends it (returned).
    std::optional<Tagged> Send(const Command& command, const Untagged& untagged);
    // Reads one whole response: a continuation (true, its text into `continuation`), an
    // untagged answer (handled), or the tagged answer to the command under way (`tagged`).
    bool ReadResponse(const Untagged& untagged, std::optional<Tagged>& tagged, std::string* continuation = nullptr);
    void HandleUntagged(Reader& reader, const Untagged& untagged);
    // The response code of a status answer ("[UIDVALIDITY 3857529045]"), taken in; its name.
    std::string TakeStatusCode(Reader& reader);
    // The capabilities listed up to `end` (a code's "]", or the end of the line).
    void TakeCapabilities(Reader& reader, char end);
    void AskCapabilities();
    SaslOffer Mechanisms() const;
    [[noreturn]] void Fail(SecureCause cause, const std::string& message);
    // The dialogue is out of step: closes and raises EProtocolError (garbled).
    [[noreturn]] void Garbled(const std::string& why);
    void LoginWithPassword();
    void LoginWithSasl(SaslMechanism mechanism);
    // The modified UTF-7 name of the folder marked \Trash; empty when there is none.
    const std::string& TrashFolder();

    std::uint32_t tag_ = 0;
    std::string tag_text_;                   // the tag of the command under way
    std::vector<std::string> capabilities_;  // upper case, of this session
    bool capabilities_known_ = false;
    bool logging_out_ = false;  // a "* BYE" is the expected answer
    bool masking_ = false;      // a login exchange: continuations are secrets
    ImapFolder folder_;
    std::optional<std::string> trash_;  // looked for once per session
};

}  // namespace zanpost
