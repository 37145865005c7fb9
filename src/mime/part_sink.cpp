#include "mime/part_sink.h"

#include "mime/header_text.h"
#include "mime/mime.h"

#include <algorithm>
#include <exception>

namespace zanpost {

namespace {

// A base64 part this large is given room for the rest of the message at once.
constexpr std::size_t large_part = 1u << 20;

bool worth_keeping(const T_Attachment& part)
{
    // An empty file still has its disposition: it must replace the old file on receipt.
    return !part.Text.empty() || part.Data.size() != 0 || !part.Disposition.empty();
}

}  // namespace

std::string TextLines::converted(const std::string& line) const
{
    return charset_.empty() ? line : text_to_cp1250(line, charset_);
}

void CollectingSink::Reset()
{
    current_ = T_Attachment{};
    bytes_ = std::string();
    ended_.reset();
    rest_ = 0;
    reserved_ = false;
    has_preamble_ = false;
}

void CollectingSink::BeginPart(const T_Attachment& part)
{
    keep_ended();
    current_ = part;
}

void CollectingSink::PartLine(std::string& line)
{
    current_.Text.push_back(std::move(line));
}

void CollectingSink::PartBytes(std::string_view bytes)
{
    bytes_.append(bytes);
    // Only a part that turns out large: a message of many small parts must not reserve the
    // rest of the message for each of them.
    if (!reserved_ && rest_ != 0 && bytes_.size() >= large_part) reserve_for_rest();
}

void CollectingSink::EndPart()
{
    complete_current();
    ended_ = std::move(current_);
    current_ = T_Attachment{};
}

void CollectingSink::DropPart()
{
    complete_current();
    if (worth_keeping(current_)) {
        has_preamble_ = true;
        current_.Use = t_part_use::skipped;
        parts_.push_back(std::move(current_));
    }
    current_ = T_Attachment{};
}

void CollectingSink::EndMessage(const T_Attachment* left_out)
{
    if (left_out == nullptr) {
        // The last part counts even with nothing in it.
        if (ended_) parts_.push_back(std::move(*ended_));
        ended_.reset();
        return;
    }
    keep_ended();
    // Any message gives at least one part; one that was left out only when there is
    // nothing else.
    if (parts_.empty()) parts_.push_back(*left_out);
}

void CollectingSink::keep_ended()
{
    if (ended_ && worth_keeping(*ended_)) parts_.push_back(std::move(*ended_));
    ended_.reset();
}

// Room for the bytes that the rest of the message can hold at most, so that a large part
// is not copied again and again as it grows. A size that was wrong only loses the head start.
void CollectingSink::reserve_for_rest()
{
    reserved_ = true;
    // The size is the server's word: room beyond 64 times what actually arrived is left
    // to ordinary growth, so a claimed size alone never takes a large block.
    const std::size_t rest = std::min(rest_, bytes_.size() * 64);
    try {
        bytes_.reserve(bytes_.size() + rest / 4 * 3 + 3);
    } catch (const std::exception&) {
    }
}

// The current part's content is complete: a base64 part's bytes go to Data, text for the
// reader in CP1250.
void CollectingSink::complete_current()
{
    if (current_.Encoding != enc_base64) return;
    // Room taken for a rest of the message that held other parts as well goes back; the
    // line ends make the room of the last part a few percent too large, which stays.
    if (reserved_ && bytes_.capacity() - bytes_.size() > bytes_.size() / 4) bytes_.shrink_to_fit();
    current_.Data.assign(std::move(bytes_));
    bytes_ = std::string();
    reserved_ = false;
    if (current_.Use != t_part_use::text || !is_text_type(current_.ContentType)) return;
    const std::string charset = header_parameter(current_.ContentType, "charset");
    if (!charset.empty()) current_.Data.assign(text_to_cp1250(current_.Data.bytes(), charset));
}

}  // namespace zanpost
