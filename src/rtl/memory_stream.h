#pragma once
// An in-memory growable byte buffer with a position, for attachment bytes on their way
// between a file, a codec and the wire.

#include <cstddef>
#include <string>
#include <string_view>

namespace zanpost {

class MemoryStream {
public:
    MemoryStream() = default;
    explicit MemoryStream(std::string bytes) : bytes_(std::move(bytes)) {}

    std::size_t size() const noexcept { return bytes_.size(); }
    std::size_t position() const noexcept { return position_; }
    void set_position(std::size_t position) noexcept { position_ = position < bytes_.size() ? position : bytes_.size(); }

    // Reads up to `count` bytes from the position and advances it; returns the count read.
    std::size_t read(char* buffer, std::size_t count) noexcept;
    // Writes at the position (overwriting, then growing) and advances it.
    void write(std::string_view bytes);

    // Replaces the content by the whole of another stream, whatever its position.
    void copy_from(const MemoryStream& source);
    void clear() noexcept { bytes_.clear(); position_ = 0; }

    // Raises EFOpenError / EFCreateError.
    void load_from_file(const std::string& path);
    void save_to_file(const std::string& path) const;

    const std::string& bytes() const noexcept { return bytes_; }
    // Hands the content over without a copy and leaves the stream empty.
    std::string take() noexcept { position_ = 0; return std::move(bytes_); }
    void assign(std::string bytes) noexcept { bytes_ = std::move(bytes); position_ = 0; }

private:
    std::string bytes_;
    std::size_t position_ = 0;
};

}  // namespace zanpost
