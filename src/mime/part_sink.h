#pragma once
// Where the MIME parser hands the parts of a message: the receive job's sink writes them
// to their files as they arrive, CollectingSink keeps them whole for callers that want the
// whole message.

#include "mime/attachment.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zanpost {

// Where a message parsed as it arrives hands its parts, so that no part is held whole.
// Only the parts a reader gets are handed over: a part nested in a multipart that is left
// out (an alternative beside the text, a preamble or epilogue of a nested multipart) never
// begins.
class T_PartSink {
public:
    virtual ~T_PartSink() = default;
    // A part's content begins. `part` holds its headers, Encoding, Use and FileName, no
    // content.
    virtual void BeginPart(const T_Attachment& part) = 0;
    // One line of a part that came as lines (no transfer encoding or quoted-printable):
    // decoded, soft line breaks joined, and text for the reader already in CP1250. The
    // sink may take its content.
    virtual void PartLine(std::string& line) = 0;
    // The next decoded bytes of a base64 part, as they are, in blocks of about 64 KiB; a
    // text part's charset is left to the sink (TextLines).
    virtual void PartBytes(std::string_view bytes) = 0;
    // The part's content is complete.
    virtual void EndPart() = 0;
    // What was handed over since BeginPart was the preamble before the first delimiter
    // line, not a part: it is forgotten. A message whose header names a boundary begins
    // with such a part, which ends as an ordinary part only when no delimiter follows.
    virtual void DropPart() = 0;
    // Before each PartBytes: how many bytes of the message as it travels can still come,
    // by the size the parse was told beforehand (a server's word), 0 when that is unknown
    // or already passed. A sink that holds a part whole may take room for it at once.
    virtual void RestOfMessage(std::size_t /*bytes*/) {}
    // The message has ended. `left_out` is the header of the part it ended in when that
    // part was left out; nullptr when the last thing handed over was that part's EndPart.
    virtual void EndMessage(const T_Attachment* /*left_out*/) {}
};

// The lines of decoded text bytes as split_lines gives them (CR, LF or CR LF end a line, a
// NUL byte ends the text), each in CP1250 from `charset`, for bytes that come in pieces.
class TextLines {
public:
    explicit TextLines(std::string charset = {}) : charset_(std::move(charset)) {}
    // Hands each line the bytes complete to `line_sink`.
    template <typename Sink>
    void append(std::string_view bytes, Sink&& line_sink)
    {
        for (const char c : bytes) {
            if (ended_) return;
            if (c == '\0') {
                ended_ = true;
            } else if (c == '\n' && after_cr_) {
                after_cr_ = false;
            } else if (c == '\r' || c == '\n') {
                after_cr_ = c == '\r';
                emit(line_sink);
            } else {
                after_cr_ = false;
                line_ += c;
            }
        }
    }
    // The bytes have ended: an unfinished last line is a line too.
    template <typename Sink>
    void finish(Sink&& line_sink)
    {
        if (!line_.empty()) emit(line_sink);
        line_.clear();
        after_cr_ = false;
        ended_ = false;
    }

private:
    template <typename Sink>
    void emit(Sink& line_sink)
    {
        std::string line = converted(line_);
        line_.clear();
        line_sink(line);
    }
    std::string converted(const std::string& line) const;

    std::string charset_;
    std::string line_;
    bool after_cr_ = false;
    bool ended_ = false;
};

// The parts of a message kept whole, as T_Mime's Attachments hold them: lines in Text, a
// base64 part's bytes in Data (text converted to CP1250 as a whole). A part with neither
// content nor disposition is left out unless it is the message's last; a preamble with
// content is kept as t_part_use::skipped; a message whose every part was left out still
// gives one part.
class CollectingSink : public T_PartSink {
public:
    // The parts are appended to `parts`, which must outlive the sink.
    explicit CollectingSink(std::vector<T_Attachment>& parts) : parts_(parts) {}

    // Forgets an unfinished message, ready for the next one; `parts` stays as it is.
    void Reset();
    // True when the first part kept of the message is its preamble.
    bool HasPreamble() const noexcept { return has_preamble_; }

    void BeginPart(const T_Attachment& part) override;
    void PartLine(std::string& line) override;
    void PartBytes(std::string_view bytes) override;
    void EndPart() override;
    void DropPart() override;
    void RestOfMessage(std::size_t bytes) override { rest_ = bytes; }
    void EndMessage(const T_Attachment* left_out) override;

private:
    void complete_current();
    void keep_ended();
    void reserve_for_rest();

    std::vector<T_Attachment>& parts_;
    T_Attachment current_;
    std::string bytes_;  // the current base64 part's bytes so far
    // The part ended last: whether it is kept even without content is known only when the
    // next part begins or the message ends.
    std::optional<T_Attachment> ended_;
    std::size_t rest_ = 0;
    bool reserved_ = false;  // bytes_ got room for the rest of the message
    bool has_preamble_ = false;
};

}  // namespace zanpost
