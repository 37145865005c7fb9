#pragma once
// Whole-file reads and writes with the runtime's file errors. Paths are byte strings,
// passed to the C library unchanged (ANSI code page on Windows).

#include <cstdio>
#include <string>
#include <string_view>

namespace zanpost {

// Raises EFOpenError when the file cannot be opened or read (a directory included).
std::string read_whole_file(const std::string& path);

// Creates or replaces the file. Raises EFCreateError when it cannot be created or
// when not every byte could be written.
void write_whole_file(const std::string& path, std::string_view bytes);

// Appends the bytes to the file, creating it when absent. False when it cannot be opened
// or not every byte was written; never raises.
bool append_to_file(const std::string& path, std::string_view bytes) noexcept;

// A file written piece by piece, so that its content is never held whole. Created (or
// replaced) when constructed; the writes never raise, a failure is remembered and reported
// by close.
class OutputFile {
public:
    // Raises EFCreateError when the file cannot be created.
    explicit OutputFile(const std::string& path);
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;
    ~OutputFile();

    // False once any write has failed.
    bool write(std::string_view bytes) noexcept;
    // A place in the file to come back to.
    struct Mark {
        std::fpos_t position;
        long long length = 0;
    };
    Mark mark() noexcept;
    // Goes back to the mark: later writes replace what followed it. The file keeps its bytes
    // beyond the mark until it is cut (length() tells where).
    bool rewind_to(const Mark& mark) noexcept;
    // The bytes written up to the current place.
    long long length() const noexcept { return length_; }
    // True when some write went beyond length(): bytes that a rewind left behind.
    bool has_stale_tail() const noexcept { return furthest_ > length_; }
    // Closes the file; false when any write or the close failed. Idempotent.
    bool close() noexcept;

private:
    std::FILE* file_ = nullptr;
    bool ok_ = true;
    long long length_ = 0;
    long long furthest_ = 0;
};

// The file's length in bytes; -1 when it cannot be opened or measured.
long long file_length(const std::string& path) noexcept;

}  // namespace zanpost
