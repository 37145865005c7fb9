#pragma once
// Files read in pieces while a message goes out, so that no file is ever held whole. Paths
// are byte strings, passed to the C library unchanged (ANSI code page on Windows).

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

namespace zanpost {

// A file opened for reading from its start. Opening early and reading late is the point:
// a file that cannot be opened is known before anything is sent, and a file removed or
// made unreadable after its opening is still read whole through the open handle.
class FileReader {
public:
    // Raises EFOpenError when the file cannot be opened.
    explicit FileReader(const std::string& path);

    // Fills `area` as far as the file goes: fewer than `size` bytes only at its end. Raises
    // EReadError when a read fails, and when the end comes before the length the file had
    // when it was opened: a file cut short while it was read must not pass for whole.
    std::size_t read(char* area, std::size_t size);

    const std::string& path() const noexcept { return path_; }
    // The length when it was opened; -1 when it could not be measured.
    long long opened_length() const noexcept { return opened_length_; }

private:
    struct Closer {
        void operator()(std::FILE* f) const noexcept { std::fclose(f); }
    };
    std::unique_ptr<std::FILE, Closer> file_;
    std::string path_;
    long long opened_length_ = -1;
    std::uint64_t read_ = 0;
};

// Turns text into the lines split_lines gives it, each ending in CR LF, piece by piece:
// CR, LF and CR LF each end a line, a final line end adds no empty line, and a NUL byte ends
// the text. Nothing of a line is held between pieces, however long the line.
class CrlfText {
public:
    // Appends the converted bytes to `out`.
    void convert(std::string_view bytes, std::string& out);
    // The text is over: a last line without its line end gets one.
    void finish(std::string& out);
    // True once a NUL byte ended the text: what follows is not text.
    bool ended() const noexcept { return ended_; }

private:
    bool after_cr_ = false;       // the previous byte was a CR: an LF now belongs to it
    bool inside_line_ = false;    // bytes of an unfinished line were written
    bool ended_ = false;
};

// A text file (a message body) read as CR LF lines, as load_from_file splits it, a piece at
// a time. The first piece is read when it is opened, so a file that opens but cannot be
// read (a directory, on some C libraries) fails there, as load_from_file does.
class TextFileReader {
public:
    static constexpr std::size_t piece_size = 48 * 1024;

    // Raises EFOpenError when the file cannot be opened or its first piece not read.
    explicit TextFileReader(const std::string& path);

    // Replaces `block` by the next text: whole and partial lines, each line end CR LF, the
    // last block ending with one. False, with `block` empty, when the text is over. Raises
    // what FileReader::read raises.
    bool next(std::string& block);

private:
    FileReader file_;
    CrlfText text_;
    std::string piece_;
    bool have_piece_ = false;
    bool done_ = false;
};

}  // namespace zanpost
