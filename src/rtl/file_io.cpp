#include "rtl/file_io.h"

#include "rtl/exceptions.h"

#include <cstdio>
#include <exception>
#include <memory>

namespace zanpost {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

std::string read_whole_file(const std::string& path)
{
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) throw EFOpenError(path);
    std::string bytes;
    // Sized once from the file's length: a large file read by growing the string would be
    // copied again and again and leave the old copies behind in the heap.
    // A length that cannot be had (a directory may claim any) only loses the head start.
    if (std::fseek(file.get(), 0, SEEK_END) == 0) {
        const long length = std::ftell(file.get());
        try {
            if (length > 0) bytes.reserve(static_cast<std::size_t>(length));
        } catch (const std::exception&) {
        }
        std::rewind(file.get());
    }
    char block[65536];
    for (;;) {
        const std::size_t n = std::fread(block, 1, sizeof block, file.get());
        bytes.append(block, n);
        if (n < sizeof block) break;
    }
    // A directory opens on some C libraries but cannot be read.
    if (std::ferror(file.get())) throw EFOpenError(path);
    return bytes;
}

void write_whole_file(const std::string& path, std::string_view bytes)
{
    File file(std::fopen(path.c_str(), "wb"));
    if (!file) throw EFCreateError(path);
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) throw EFCreateError(path);
    if (std::fclose(file.release()) != 0) throw EFCreateError(path);
}

bool append_to_file(const std::string& path, std::string_view bytes) noexcept
{
    File file(std::fopen(path.c_str(), "ab"));
    if (!file) return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) return false;
    return std::fclose(file.release()) == 0;
}

OutputFile::OutputFile(const std::string& path) : file_(std::fopen(path.c_str(), "wb"))
{
    if (file_ == nullptr) throw EFCreateError(path);
}

OutputFile::~OutputFile()
{
    close();
}

bool OutputFile::write(std::string_view bytes) noexcept
{
    if (file_ == nullptr || !ok_) return false;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file_) != bytes.size()) ok_ = false;
    length_ += static_cast<long long>(bytes.size());
    if (length_ > furthest_) furthest_ = length_;
    return ok_;
}

OutputFile::Mark OutputFile::mark() noexcept
{
    Mark here{};
    if (file_ == nullptr || std::fgetpos(file_, &here.position) != 0) ok_ = false;
    here.length = length_;
    return here;
}

bool OutputFile::rewind_to(const Mark& mark) noexcept
{
    if (file_ == nullptr || !ok_) return false;
    if (std::fsetpos(file_, &mark.position) != 0) ok_ = false;
    length_ = mark.length;
    return ok_;
}

bool OutputFile::close() noexcept
{
    if (file_ == nullptr) return ok_;
    if (std::fclose(file_) != 0) ok_ = false;
    file_ = nullptr;
    return ok_;
}

long long file_length(const std::string& path) noexcept
{
    File file(std::fopen(path.c_str(), "rb"));
    if (!file) return -1;
    if (std::fseek(file.get(), 0, SEEK_END) != 0) return -1;
    const long length = std::ftell(file.get());
    return length < 0 ? -1 : static_cast<long long>(length);
}

}  // namespace zanpost
