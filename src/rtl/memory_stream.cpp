#include "rtl/memory_stream.h"

#include "rtl/file_io.h"

#include <algorithm>
#include <cstring>

namespace zanpost {

std::size_t MemoryStream::read(char* buffer, std::size_t count) noexcept
{
    const std::size_t n = std::min(count, bytes_.size() - position_);
    if (n != 0) std::memcpy(buffer, bytes_.data() + position_, n);
    position_ += n;
    return n;
}

void MemoryStream::write(std::string_view bytes)
{
    if (position_ == bytes_.size()) {
        bytes_.append(bytes);
    } else {
        const std::size_t overlap = std::min(bytes.size(), bytes_.size() - position_);
        bytes_.replace(position_, overlap, bytes);
    }
    position_ += bytes.size();
}

void MemoryStream::copy_from(const MemoryStream& source)
{
    if (&source == this) return;
    bytes_ = source.bytes_;
    position_ = 0;
}

void MemoryStream::load_from_file(const std::string& path)
{
    bytes_ = read_whole_file(path);
    position_ = 0;
}

void MemoryStream::save_to_file(const std::string& path) const
{
    write_whole_file(path, bytes_);
}

}  // namespace zanpost
