#include "protocols/imap.h"

#include "protocols/utf7.h"
#include "rtl/ascii.h"

#include <algorithm>
#include <limits>

namespace zanpost {

namespace {

// The bytes a literal is read in: large enough that a big message costs few calls.
constexpr std::size_t literal_block = 0x10000;
// Lists nest this deep at most in any answer this client reads (BODYSTRUCTURE included).
constexpr int max_nesting = 64;
// A UID set longer than this goes in several commands: servers bound their command lines.
constexpr std::size_t max_uid_set = 1000;

bool quotable(std::string_view text)
{
    return std::none_of(text.begin(), text.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b == 0 || b >= 0x80 || b == '\r' || b == '\n';
    });
}

std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
    }
    return out + '"';
}

// "3,5:9,12": the sorted UIDs as ranges, in pieces of at most max_uid_set characters.
std::vector<std::string> uid_sets(std::vector<std::uint32_t> uids)
{
    std::sort(uids.begin(), uids.end());
    uids.erase(std::unique(uids.begin(), uids.end()), uids.end());
    std::vector<std::string> sets(1);
    for (std::size_t i = 0; i < uids.size();) {
        std::size_t last = i;
        while (last + 1 < uids.size() && uids[last + 1] == uids[last] + 1) ++last;
        std::string range = std::to_string(uids[i]);
        if (last > i) range += ':' + std::to_string(uids[last]);
        if (!sets.back().empty() && sets.back().size() + range.size() >= max_uid_set) sets.emplace_back();
        if (!sets.back().empty()) sets.back() += ',';
        sets.back() += range;
        i = last + 1;
    }
    return sets;
}

// The two fields as POP3's summary reads them (see ImapSummary).
void summarize(std::string_view header, ImapSummary& message)
{
    message.from_text.clear();
    message.subject_text.clear();
    std::string* continued = nullptr;
    while (!header.empty()) {
        const std::size_t lf = header.find('\n');
        std::string_view line = header.substr(0, lf);
        header.remove_prefix(lf == std::string_view::npos ? header.size() : lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) break;
        if (line.front() == ' ' || line.front() == '\t') {
            if (continued != nullptr) *continued += line;
            continue;
        }
        continued = nullptr;
        const std::string name = ascii_lower(line.substr(0, 8));
        if (name.starts_with("from:")) {
            message.from_text = line.substr(std::min<std::size_t>(6, line.size()));
            continued = &message.from_text;
        } else if (name == "subject:") {
            message.subject_text = line.substr(std::min<std::size_t>(9, line.size()));
            continued = &message.subject_text;
        }
    }
}

// Cuts the bytes of a message into lines for the sink, whatever pieces they come in. Only
// the CR of a line end goes, as the POP3 reader keeps it. A sink that fails closes the
// connection: the rest of the message stays unread, and nothing later could be told apart
// from it.
class LineSplitter {
public:
    LineSplitter(T_TcpIp& connection, const std::function<void(std::string& line)>& sink)
        : connection_(connection), sink_(sink)
    {
    }

    void feed(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const std::size_t lf = bytes.find('\n');
            if (lf == std::string_view::npos) {
                line_ += bytes;
                return;
            }
            line_ += bytes.substr(0, lf);
            bytes.remove_prefix(lf + 1);
            if (!line_.empty() && line_.back() == '\r') line_.pop_back();
            hand_over();
        }
    }

    // A last line without its line end is a line all the same.
    void finish()
    {
        if (!line_.empty()) hand_over();
    }

private:
    void hand_over()
    {
        try {
            sink_(line_);
        } catch (...) {
            connection_.T_TcpIp::Logout();
            throw;
        }
        line_.clear();
    }

    T_TcpIp& connection_;
    const std::function<void(std::string& line)>& sink_;
    std::string line_;
};

std::string tag_text(std::uint32_t number)
{
    const std::string digits = std::to_string(number);
    return "A" + std::string(digits.size() < 4 ? 4 - digits.size() : 0, '0') + digits;
}

}  // namespace

// The text of a command and how it travels: a string that cannot be quoted goes as a literal,
// which ends a line of its own; before a synchronizing one the server must say go ahead.
class T_Imap::Command {
public:
    // `nonsync_limit`: the longest literal that may follow without a go-ahead (LITERAL+,
    // LITERAL-); 0 for none.
    explicit Command(std::string_view text, std::size_t nonsync_limit = 0) : nonsync_limit_(nonsync_limit)
    {
        lines_.push_back({std::string(text), std::string(text), false});
    }

    Command& text(std::string_view text)
    {
        lines_.back().wire += text;
        lines_.back().shown += text;
        return *this;
    }

    // The value as a quoted string or literal; a secret is only a mask in the trace, its
    // length included.
    Command& string(std::string_view value, bool secret = false)
    {
        Line& line = lines_.back();
        if (quotable(value)) {
            line.wire += quoted(value);
            line.shown += secret ? secret_mask : quoted(value);
            return *this;
        }
        line.wait = value.size() > nonsync_limit_;
        const std::string marker = "{" + std::to_string(value.size()) + (line.wait ? "}" : "+}");
        line.wire += marker;
        line.shown += secret ? secret_mask : marker;
        lines_.push_back({std::string(value), secret ? secret_mask : std::string(value), false});
        return *this;
    }

    struct Line {
        std::string wire;
        std::string shown;
        bool wait = false;  // the server's go-ahead comes before the next line
    };
    const std::vector<Line>& lines() const { return lines_; }

private:
    std::vector<Line> lines_;
    std::size_t nonsync_limit_;
};

// The reader of one response: a line, and after each literal the line that goes on with it.
// Literals are only ever at the end of a line ("{n}"), so a response is framed by its lines.
class T_Imap::Reader {
public:
    explicit Reader(T_Imap& imap) : imap_(imap) {}

    std::string line;
    std::size_t at = 0;

    char Peek() const { return at < line.size() ? line[at] : '\0'; }
    bool AtEnd() const { return at >= line.size(); }
    bool Take(char c)
    {
        if (Peek() != c || AtEnd()) return false;
        ++at;
        return true;
    }
    void Expect(char c)
    {
        if (!Take(c)) Broken(std::string("'") + c + "' expected");
    }
    void SkipSpaces()
    {
        while (Take(' ')) {
        }
    }

    // Up to the first of `stops`, a blank or a control byte; never empty.
    std::string_view Scan(std::string_view stops)
    {
        const std::size_t start = at;
        while (!AtEnd()) {
            const auto c = static_cast<unsigned char>(line[at]);
            if (c <= ' ' || c == 0x7F || stops.find(char(c)) != std::string_view::npos) break;
            ++at;
        }
        if (at == start) Broken("a word expected");
        return std::string_view(line).substr(start, at - start);
    }
    std::string Keyword() { return ascii_upper(Scan("()[]{\"")); }

    std::uint64_t Number(std::uint64_t max = std::numeric_limits<std::uint32_t>::max())
    {
        const std::size_t start = at;
        std::uint64_t value = 0;
        for (; Peek() >= '0' && Peek() <= '9'; ++at) {
            const auto digit = std::uint64_t(Peek() - '0');
            if (value > (max - digit) / 10) Broken("a number out of range");
            value = value * 10 + digit;
        }
        if (at == start) Broken("a number expected");
        return value;
    }

    std::string Quoted()
    {
        Expect('"');
        std::string text;
        for (;;) {
            if (AtEnd()) Broken("a quoted string without its end");
            char c = line[at++];
            if (c == '"') return text;
            if (c == '\\') {
                if (AtEnd()) Broken("a quoted string without its end");
                c = line[at++];
            }
            text += c;
        }
    }

    // At "{n}" or "{n+}", which must end the line: n.
    std::uint64_t LiteralSize()
    {
        Expect('{');
        const std::uint64_t size = Number(std::numeric_limits<std::uint64_t>::max() / 2);
        Take('+');
        Expect('}');
        if (!AtEnd()) Broken("a literal inside a line");
        return size;
    }

    // Hands the literal's bytes over in blocks, then reads the line the response goes on in.
    void ReadLiteral(std::uint64_t size, const std::function<void(std::string_view block)>& take)
    {
        std::string block;
        while (size > 0) {
            const std::size_t count = std::size_t(std::min<std::uint64_t>(size, literal_block));
            block.clear();
            const bool whole = imap_.ReadBytes(count, block);
            // What came before the connection broke is handed over as it would have been.
            take(block);
            if (!whole) imap_.Abandon("Connection to " + imap_.Hostname + " lost in the middle of an answer");
            size -= count;
        }
        imap_.RequireLine(line);
        at = 0;
        if (imap_.OnTrace) imap_.OnTrace(line, trace_received);
    }

    std::string SmallLiteral(std::size_t limit)
    {
        const std::uint64_t size = LiteralSize();
        if (size > limit) Broken("a literal of " + std::to_string(size) + " bytes");
        std::string text;
        ReadLiteral(size, [&text](std::string_view block) { text += block; });
        return text;
    }

    // NIL (nothing), a quoted string or a literal.
    std::optional<std::string> NString(std::size_t limit)
    {
        if (Peek() == '"') return Quoted();
        if (Peek() == '{') return SmallLiteral(limit);
        if (Keyword() != "NIL") Broken("a string expected");
        return std::nullopt;
    }

    // An atom (in which "]" may stand), a quoted string or a literal: a folder name.
    std::string AString(std::size_t limit)
    {
        if (Peek() == '"') return Quoted();
        if (Peek() == '{') return SmallLiteral(limit);
        return std::string(Scan("(){\""));
    }

    void SkipValue(int depth = 0)
    {
        if (depth > max_nesting) Broken("lists nested too deep");
        if (Take('(')) {
            for (;;) {
                SkipSpaces();
                if (Take(')')) return;
                if (AtEnd()) Broken("a list without its end");
                SkipValue(depth + 1);
            }
        }
        if (Peek() == '"') {
            Quoted();
        } else if (Peek() == '{') {
            SmallLiteral(max_small_literal);
        } else {
            // An atom or number; "[" and "]" may stand in one (a flag, a section).
            Scan("(){\"");
        }
    }

    // Whatever of the response is left, literals included.
    void SkipToEnd()
    {
        for (;;) {
            const std::size_t open = line.rfind('{');
            if (open == std::string::npos || open < at || !line.ends_with('}')) break;
            const std::string_view inside = std::string_view(line).substr(open + 1, line.size() - open - 2);
            const std::string_view digits = inside.ends_with('+') ? inside.substr(0, inside.size() - 1) : inside;
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) break;
            at = open;
            SmallLiteral(max_small_literal);
        }
        at = line.size();
    }

    // Walks the items of a FETCH answer ("(UID 7 RFC822.SIZE 300 BODY[] {300}..."): `item`
    // gets the name in upper case and, for "BODY[...]", the section (without the brackets,
    // in upper case); it reads the values it knows (true), the others are passed over.
    void FetchItems(const std::function<bool(const std::string& name, const std::string* section)>& item)
    {
        Expect(' ');
        Expect('(');
        for (;;) {
            SkipSpaces();
            if (Take(')')) return;
            if (AtEnd()) Broken("a FETCH answer without its end");
            const std::string name = ascii_upper(Scan("()[]{\"<"));
            std::optional<std::string> section;
            if (Take('[')) {
                const std::size_t start = at;
                while (!AtEnd() && Peek() != ']') {
                    if (Peek() == '"')
                        Quoted();
                    else
                        ++at;
                }
                section = ascii_upper(std::string_view(line).substr(start, at - start));
                Expect(']');
                if (Take('<')) Number();
                if (Peek() == '>') ++at;
            }
            Expect(' ');
            if (!item(name, section ? &*section : nullptr)) SkipValue();
        }
    }

    [[noreturn]] void Broken(const std::string& why)
    {
        const std::size_t shown = 200;
        imap_.Garbled(why + " in \"" + (line.size() > shown ? line.substr(0, shown) + "..." : line) + "\"");
    }

private:
    T_Imap& imap_;
};

std::optional<SaslMechanism> imap_automatic_choice(const SaslOffer& offered, bool tls, bool login_disabled) noexcept
{
    if (!tls) return sasl_automatic_choice(offered, false);
    // Over TLS the LOGIN command is as safe as any mechanism and every server has it; PLAIN
    // first only because a server that lists it may have switched LOGIN off.
    if (offered.has(SaslMechanism::plain)) return SaslMechanism::plain;
    if (!login_disabled) return SaslMechanism::login;
    if (offered.has(SaslMechanism::cram_md5)) return SaslMechanism::cram_md5;
    return std::nullopt;
}

T_Imap::T_Imap() { Port = 143; }

T_Imap::~T_Imap()
{
    OnTrace = nullptr;
    if (Socket != platform::invalid_socket) Logout();
}

bool T_Imap::Offers(std::string_view name) const
{
    const std::string wanted = ascii_upper(name);
    return std::find(capabilities_.begin(), capabilities_.end(), wanted) != capabilities_.end();
}

SaslOffer T_Imap::Mechanisms() const
{
    SaslOffer offer;
    for (const std::string& capability : capabilities_)
        if (capability.starts_with("AUTH=")) offer.add(std::string_view(capability).substr(5));
    return offer;
}

void T_Imap::Fail(SecureCause cause, const std::string& message)
{
    masking_ = false;
    T_TcpIp::Logout();
    throw ESecureError(cause, message);
}

void T_Imap::Garbled(const std::string& why)
{
    masking_ = false;
    T_TcpIp::Logout();
    throw EProtocolError("IMAP", "Garbled answer from " + Hostname + ": " + why, garbled);
}

std::optional<T_Imap::Tagged> T_Imap::Send(const Command& command, const Untagged& untagged)
{
    tag_text_ = tag_text(++tag_);
    const std::vector<Command::Line>& lines = command.lines();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::string tag = i == 0 ? tag_text_ + " " : std::string();
        send_secret_line(*this, tag + lines[i].wire, tag + lines[i].shown);
        if (!lines[i].wait) continue;
        std::optional<Tagged> tagged;
        while (!ReadResponse(untagged, tagged))
            if (tagged) return tagged;
    }
    return std::nullopt;
}

T_Imap::Tagged T_Imap::Run(const Command& command, const Untagged& untagged, bool refusal_ok)
{
    std::optional<Tagged> tagged = Send(command, untagged);
    while (!tagged)
        if (ReadResponse(untagged, tagged)) Garbled("a go-ahead that no command waits for");
    if (tagged->status != Tagged::ok && !refusal_ok)
        throw EProtocolError("IMAP", tagged->line, tagged->status == Tagged::no ? refused : bad);
    return std::move(*tagged);
}

bool T_Imap::ReadResponse(const Untagged& untagged, std::optional<Tagged>& tagged, std::string* continuation)
{
    Reader reader(*this);
    RequireLine(reader.line);
    const std::string& line = reader.line;
    if (line.starts_with('+')) {
        // A challenge is part of the login: only its mark reaches the trace.
        if (OnTrace) OnTrace(masking_ ? "+ " + std::string(secret_mask) : line, trace_received);
        if (continuation != nullptr) *continuation = line.substr(line.starts_with("+ ") ? 2 : 1);
        return true;
    }
    if (OnTrace) OnTrace(line, trace_received);
    if (line.starts_with("* ")) {
        reader.at = 2;
        HandleUntagged(reader, untagged);
        reader.SkipToEnd();
        return false;
    }
    if (tag_text_.empty() || !line.starts_with(tag_text_ + " ")) reader.Broken("an answer out of step");
    reader.at = tag_text_.size() + 1;
    Tagged answer;
    const std::string status = reader.Keyword();
    if (status == "NO")
        answer.status = Tagged::no;
    else if (status == "BAD")
        answer.status = Tagged::bad;
    else if (status != "OK")
        reader.Broken("a status expected");
    answer.code = TakeStatusCode(reader);
    answer.line = line;
    tagged = std::move(answer);
    return false;
}

void T_Imap::HandleUntagged(Reader& reader, const Untagged& untagged)
{
    if (reader.Peek() >= '0' && reader.Peek() <= '9') {
        const auto number = std::uint32_t(reader.Number());
        reader.Expect(' ');
        const std::string keyword = reader.Keyword();
        if (untagged && untagged(reader, number, keyword)) return;
        // Other clients change the folder while this one reads it.
        if (keyword == "EXISTS")
            folder_.exists = number;
        else if (keyword == "EXPUNGE" && folder_.exists > 0)
            --folder_.exists;
        return;
    }
    const std::string keyword = reader.Keyword();
    if (keyword == "OK" || keyword == "NO" || keyword == "BAD" || keyword == "BYE" || keyword == "PREAUTH") {
        // Whatever command is under way, its answer will not come.
        if (keyword == "BYE" && !logging_out_) Abandon(Hostname + " ended the session: " + reader.line);
        TakeStatusCode(reader);
        reader.at = reader.line.size();  // the text to the end of the line, whatever it holds
        return;
    }
    if (keyword == "CAPABILITY") {
        TakeCapabilities(reader, '\0');
        return;
    }
    if (untagged) untagged(reader, 0, keyword);
}

std::string T_Imap::TakeStatusCode(Reader& reader)
{
    reader.SkipSpaces();
    if (!reader.Take('[')) return {};
    const std::string name = reader.Keyword();
    if (name == "CAPABILITY") {
        TakeCapabilities(reader, ']');
    } else if (name == "UIDVALIDITY" || name == "UIDNEXT") {
        reader.Expect(' ');
        (name == "UIDNEXT" ? folder_.uid_next : folder_.uid_validity) = std::uint32_t(reader.Number());
    }
    return name;
}

void T_Imap::TakeCapabilities(Reader& reader, char end)
{
    capabilities_.clear();
    for (;;) {
        reader.SkipSpaces();
        if (reader.AtEnd() || reader.Peek() == end) break;
        capabilities_.push_back(reader.Keyword());
    }
    capabilities_known_ = true;
}

void T_Imap::AskCapabilities()
{
    // A server that answers without listing any offers nothing: not what it listed before.
    capabilities_.clear();
    capabilities_known_ = false;
    Run(Command("CAPABILITY"));
    capabilities_known_ = true;
}

void T_Imap::Login()
{
    if (Mechanism == SaslMechanism::user || Mechanism == SaslMechanism::apop)
        throw ESecureError(SecureCause::configuration, "The login mechanism asked for is not one of IMAP");
    T_TcpIp::Login();
    tag_ = 0;
    tag_text_.clear();
    capabilities_.clear();
    capabilities_known_ = false;
    logging_out_ = false;
    masking_ = false;
    folder_ = ImapFolder();
    trash_.reset();

    Reader greeting(*this);
    RequireLine(greeting.line);
    if (OnTrace) OnTrace(greeting.line, trace_received);
    if (!greeting.line.starts_with("* ")) greeting.Broken("a greeting expected");
    greeting.at = 2;
    const std::string status = greeting.Keyword();
    if (status == "BYE") Abandon(Hostname + " refused the session: " + greeting.line);
    if (status != "OK" && status != "PREAUTH") greeting.Broken("a greeting expected");
    TakeStatusCode(greeting);
    const bool logged_in = status == "PREAUTH";

    if (Tls == TlsMode::starttls) {
        // A greeting that skips the login skips STARTTLS too: someone in between may well
        // have sent it.
        if (logged_in)
            Fail(SecureCause::tls_not_offered, Hostname + " greets as logged in already (PREAUTH): no STARTTLS");
        if (!capabilities_known_) AskCapabilities();
        if (!Offers("STARTTLS")) Fail(SecureCause::tls_not_offered, Hostname + " does not offer STARTTLS");
        const Tagged answer = Run(Command("STARTTLS"), {}, true);
        if (answer.status != Tagged::ok) Fail(SecureCause::tls_refused, Hostname + " refused STARTTLS: " + answer.line);
        StartTls();
        // What the server said before the handshake could have been anyone's.
        AskCapabilities();
    }
    if (!capabilities_known_) AskCapabilities();
    if (logged_in) return;

    SaslMechanism mechanism = Mechanism;
    const SaslOffer offered = Mechanisms();
    if (mechanism == SaslMechanism::automatic) {
        const std::optional<SaslMechanism> chosen =
            imap_automatic_choice(offered, TlsActive(), Offers("LOGINDISABLED"));
        if (!chosen)
            Fail(SecureCause::auth_no_mechanism,
                 Hostname + " offers no login that may be used" + (TlsActive() ? "" : " without TLS") +
                     (offered.empty() ? std::string() : " (offered: " + offered.names() + ")"));
        mechanism = *chosen;
    }
    // Servers add what only a logged-in user may do; the login's answer may say so.
    capabilities_known_ = false;
    if (mechanism == SaslMechanism::login) {
        if (Offers("LOGINDISABLED"))
            Fail(SecureCause::auth_no_mechanism, Hostname + " does not take LOGIN here (LOGINDISABLED)");
        LoginWithPassword();
    } else {
        if (!offered.has(mechanism))
            Fail(SecureCause::auth_no_mechanism,
                 Hostname + " offers no login as " + std::string(sasl_name(mechanism)) +
                     (offered.empty() ? " (none offered)" : " (offered: " + offered.names() + ")"));
        LoginWithSasl(mechanism);
    }
    if (!capabilities_known_) AskCapabilities();
}

void T_Imap::LoginWithPassword()
{
    const std::size_t nonsync_limit =
        Offers("LITERAL+") ? std::numeric_limits<std::size_t>::max() : Offers("LITERAL-") ? 4096 : 0;
    Command command("LOGIN ", nonsync_limit);
    command.string(UserName).text(" ").string(Password, true);
    const Tagged answer = Run(command, {}, true);
    if (answer.status != Tagged::ok) Fail(SecureCause::auth_refused, Hostname + " refused the login: " + answer.line);
}

void T_Imap::LoginWithSasl(SaslMechanism mechanism)
{
    SaslClient sasl(mechanism, UserName, Password);
    tag_text_ = tag_text(++tag_);
    const std::string command = tag_text_ + " AUTHENTICATE " + std::string(sasl_name(mechanism));
    if (Offers("SASL-IR") && sasl.has_initial_response()) {
        // RFC 4959: the first message with the command, "=" when it is empty.
        const std::string first = base64_encode(sasl.respond({}).value_or(std::string()));
        send_secret_line(*this, command + " " + (first.empty() ? "=" : first), command + " " + secret_mask);
    } else {
        SendCommand(command);
    }
    masking_ = true;
    bool cancelled = false;
    std::optional<Tagged> answer;
    std::string challenge;
    for (;;) {
        if (!ReadResponse({}, answer, &challenge)) {
            if (answer) break;
            continue;
        }
        if (cancelled) Fail(SecureCause::auth_refused, Hostname + " went on with a login that was cancelled");
        // After a cancel the server's answer ends the exchange.
        cancelled = !answer_challenge(*this, sasl, challenge);
    }
    masking_ = false;
    if (answer->status != Tagged::ok) Fail(SecureCause::auth_refused, Hostname + " refused the login: " + answer->line);
}

void T_Imap::Logout()
{
    if (Connected) {
        logging_out_ = true;
        try {
            Run(Command("LOGOUT"));
        } catch (...) {
            // The session's changes were made as their commands were answered.
        }
        logging_out_ = false;
    }
    T_TcpIp::Logout();
    folder_ = ImapFolder();
}

ImapFolder T_Imap::Select(const std::string& folder)
{
    folder_ = ImapFolder();
    const Tagged answer = Run(Command("SELECT ").string(imap_utf7_encode(folder)));
    folder_.read_only = answer.code == "READ-ONLY";
    return folder_;
}

void T_Imap::Headers(std::uint32_t from_uid, const std::function<void(ImapSummary& message)>& each)
{
    from_uid = std::max<std::uint32_t>(from_uid, 1);
    // Every message of the folder is below its next UID.
    if (folder_.exists == 0 || (folder_.uid_next != 0 && from_uid >= folder_.uid_next)) return;
    const Command command("UID FETCH " + std::to_string(from_uid) +
                          ":* (UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])");
    Run(command, [&](Reader& reader, std::uint32_t, const std::string& keyword) {
        if (keyword != "FETCH") return false;
        ImapSummary message;
        bool summarized = false;
        reader.FetchItems([&](const std::string& name, const std::string* section) {
            if (name == "UID") {
                message.uid = std::uint32_t(reader.Number());
            } else if (name == "RFC822.SIZE") {
                message.size = reader.Number(std::numeric_limits<std::uint64_t>::max() / 2);
            } else if (name == "BODY" && section != nullptr && section->starts_with("HEADER.FIELDS") &&
                       !section->starts_with("HEADER.FIELDS.NOT")) {
                summarize(reader.NString(max_small_literal).value_or(std::string()), message);
                summarized = true;
            } else {
                return false;
            }
            return true;
        });
        // "n:*" always names the last message, even one below n; FETCH answers that only
        // tell of changed flags have no header.
        if (!summarized || message.uid < from_uid) return true;
        try {
            each(message);
        } catch (...) {
            // The rest of the answer stays unread: nothing later could be told apart from it.
            T_TcpIp::Logout();
            throw;
        }
        return true;
    });
}

bool T_Imap::Fetch(std::uint32_t uid, std::uint64_t size, const std::function<void(std::string& line)>& sink)
{
    bool handed = false;
    const Command command("UID FETCH " + std::to_string(uid) + " (UID RFC822.SIZE BODY.PEEK[])");
    Run(command, [&](Reader& reader, std::uint32_t, const std::string& keyword) {
        if (keyword != "FETCH") return false;
        std::optional<std::uint32_t> answered;
        std::optional<std::uint64_t> announced;
        bool body = false;
        reader.FetchItems([&](const std::string& name, const std::string* section) {
            if (name == "UID") {
                answered = std::uint32_t(reader.Number());
                if (body && *answered != uid) reader.Broken("message " + std::to_string(uid) + " expected");
                return true;
            }
            if (name == "RFC822.SIZE") {
                announced = reader.Number(std::numeric_limits<std::uint64_t>::max() / 2);
                return true;
            }
            // Another message's answer, or the body a second time, is passed over.
            if (name != "BODY" || section == nullptr || !section->empty() || body || handed ||
                (answered && *answered != uid))
                return false;
            body = true;
            LineSplitter lines(*this, sink);
            if (reader.Peek() == '{') {
                const std::uint64_t known = announced.value_or(size);
                const std::uint64_t length = reader.LiteralSize();
                if (known == 0) reader.Broken("a message whose size was not told");
                if (length > literal_limit(known))
                    reader.Broken("a literal of " + std::to_string(length) + " bytes for a message of " +
                                  std::to_string(known));
                handed = true;
                reader.ReadLiteral(length, [&lines](std::string_view block) { lines.feed(block); });
            } else if (const std::optional<std::string> text = reader.NString(max_small_literal)) {
                handed = true;
                lines.feed(*text);
            }
            lines.finish();
            return true;
        });
        return true;
    });
    return handed;
}

const std::string& T_Imap::TrashFolder()
{
    if (trash_) return *trash_;
    trash_.emplace();
    const bool special_use = Offers("SPECIAL-USE") && Offers("LIST-EXTENDED");
    // Only the special folders where the server can pick them: a Gmail account may have
    // thousands of labels.
    const Command command(special_use ? "LIST (SPECIAL-USE) \"\" \"*\"" : "LIST \"\" \"*\"");
    Run(command, [this](Reader& reader, std::uint32_t, const std::string& keyword) {
        if (keyword != "LIST") return false;
        reader.Expect(' ');
        reader.Expect('(');
        bool trash = false;
        for (;;) {
            reader.SkipSpaces();
            if (reader.Take(')')) break;
            trash = reader.Keyword() == "\\TRASH" || trash;
        }
        reader.Expect(' ');
        reader.NString(max_small_literal);  // the hierarchy delimiter
        reader.Expect(' ');
        std::string name = reader.AString(max_small_literal);
        if (trash && trash_->empty()) *trash_ = std::move(name);
        return true;
    });
    return *trash_;
}

ImapRemoval T_Imap::Remove(const std::vector<std::uint32_t>& uids, const std::string& move_to)
{
    if (uids.empty()) return ImapRemoval::removed;
    std::string target = move_to.empty() ? std::string() : imap_utf7_encode(move_to);
    if (target.empty() && Offers("X-GM-EXT-1")) target = TrashFolder();
    const std::vector<std::string> sets = uid_sets(uids);
    const bool move = !target.empty() && Offers("MOVE");
    // A folder the server says could be created ([TRYCREATE]) is, once: the configured
    // folder appears where the people who share the mailbox look for it.
    const auto into_target = [&](const std::string& set) {
        const Command command = Command(std::string(move ? "UID MOVE " : "UID COPY ") + set + " ").string(target);
        const Tagged answer = Run(command, {}, true);
        if (answer.status == Tagged::ok) return;
        if (answer.code != "TRYCREATE")
            throw EProtocolError("IMAP", answer.line, answer.status == Tagged::no ? refused : bad);
        Run(Command("CREATE ").string(target));
        Run(command);
    };
    if (move) {
        for (const std::string& set : sets) into_target(set);
        return ImapRemoval::removed;
    }
    const bool uidplus = Offers("UIDPLUS");
    for (const std::string& set : sets) {
        if (!target.empty()) into_target(set);
        Run(Command("UID STORE " + set + " +FLAGS.SILENT (\\Deleted)"));
        if (uidplus) Run(Command("UID EXPUNGE " + set));
    }
    return uidplus ? ImapRemoval::removed : ImapRemoval::flagged;
}

}  // namespace zanpost
