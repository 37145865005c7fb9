#include "rtl/file_reader.h"

#include "rtl/exceptions.h"

#include <algorithm>
#include <cstring>

namespace zanpost {

FileReader::FileReader(const std::string& path) : file_(std::fopen(path.c_str(), "rb")), path_(path)
{
    if (!file_) throw EFOpenError(path);
    if (std::fseek(file_.get(), 0, SEEK_END) == 0) {
        const long length = std::ftell(file_.get());
        if (length >= 0) opened_length_ = length;
    }
    std::rewind(file_.get());
}

std::size_t FileReader::read(char* area, std::size_t size)
{
    std::size_t done = 0;
    while (done < size) {
        const std::size_t n = std::fread(area + done, 1, size - done, file_.get());
        if (n == 0) break;
        done += n;
    }
    if (std::ferror(file_.get())) throw EReadError(path_);
    read_ += done;
    if (done < size && opened_length_ >= 0 && read_ < static_cast<std::uint64_t>(opened_length_))
        throw EReadError(path_);
    return done;
}

void CrlfText::convert(std::string_view bytes, std::string& out)
{
    if (ended_) return;
    if (const auto nul = bytes.find('\0'); nul != std::string_view::npos) {
        bytes = bytes.substr(0, nul);
        ended_ = true;
    }
    std::size_t p = 0;
    if (after_cr_ && !bytes.empty()) {
        if (bytes.front() == '\n') p = 1;
        after_cr_ = false;
    }
    // The next LF and the next CR, each searched for again only once passed: a text of CR
    // line ends alone costs no more than one of LF line ends.
    const auto find = [&bytes](char c, std::size_t from) {
        const void* at = std::memchr(bytes.data() + from, c, bytes.size() - from);
        return at != nullptr ? std::size_t(static_cast<const char*>(at) - bytes.data()) : bytes.size();
    };
    std::size_t lf = find('\n', p);
    std::size_t cr = find('\r', p);
    while (p < bytes.size()) {
        if (lf < p) lf = find('\n', p);
        if (cr < p) cr = find('\r', p);
        const std::size_t end = std::min(lf, cr);
        out.append(bytes.data() + p, end - p);
        if (end == bytes.size()) {
            inside_line_ = inside_line_ || end > p;
            return;
        }
        out += "\r\n";
        inside_line_ = false;
        p = end + 1;
        if (bytes[end] == '\r') {
            if (p < bytes.size()) {
                if (bytes[p] == '\n') ++p;
            } else {
                after_cr_ = true;
            }
        }
    }
}

void CrlfText::finish(std::string& out)
{
    if (inside_line_) out += "\r\n";
    inside_line_ = false;
    after_cr_ = false;
}

TextFileReader::TextFileReader(const std::string& path) : file_(path), piece_(piece_size, '\0')
{
    try {
        piece_.resize(file_.read(piece_.data(), piece_size));
    } catch (const EReadError&) {
        throw EFOpenError(path);
    }
    have_piece_ = true;
}

bool TextFileReader::next(std::string& block)
{
    block.clear();
    while (block.empty() && !done_) {
        if (!have_piece_) {
            piece_.resize(piece_size);
            piece_.resize(file_.read(piece_.data(), piece_size));
        }
        have_piece_ = false;
        text_.convert(piece_, block);
        if (piece_.size() < piece_size || text_.ended()) {
            text_.finish(block);
            done_ = true;
        }
    }
    return !block.empty();
}

}  // namespace zanpost
