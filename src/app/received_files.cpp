#include "app/received_files.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"

#include <cstdio>
#include <random>
#include <utility>

namespace zanpost {

std::optional<std::string> StorableName(std::string_view name)
{
    return platform::storable_file_name(name);
}

bool SamePath(const std::string& a, const std::string& b)
{
    const std::string full_a = platform::full_path(a);
    const std::string full_b = platform::full_path(b);
    if (full_a.empty() || full_b.empty()) return false;
    if (ascii_lower(full_a) == ascii_lower(full_b)) return true;
    // The texts differ, yet the place may be one: a directory reached through a link, a
    // short name. The same existing file, or the same name in the same directory (for a
    // file still to be made, such as the first output file).
    if (platform::same_file(full_a, full_b)) return true;
    const std::size_t name_a = platform::directory_length(full_a);
    const std::size_t name_b = platform::directory_length(full_b);
    return name_a > 0 && name_b > 0 && ascii_lower(full_a.substr(name_a)) == ascii_lower(full_b.substr(name_b)) &&
           platform::same_file(full_a.substr(0, name_a), full_b.substr(0, name_b));
}

namespace {

// A name of a few bytes, so that the temporary file fits wherever the final one does.
std::string temporary_beside(const std::string& path)
{
    static std::random_device random;
    char name[24];
    std::snprintf(name, sizeof name, "~zp%08x.zptmp", unsigned(random()));
    return path.substr(0, platform::directory_length(path)) + name;
}

}  // namespace

IncomingFile::IncomingFile(std::string path) : path_(std::move(path)), temporary_(temporary_beside(path_))
{
    try {
        file_ = std::make_unique<OutputFile>(temporary_);
    } catch (...) {
        throw EFCreateError(path_);
    }
}

IncomingFile::IncomingFile(IncomingFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      file_(std::move(other.file_)),
      finished_(other.finished_),
      ok_(other.ok_)
{
}

IncomingFile& IncomingFile::operator=(IncomingFile&& other) noexcept
{
    if (this != &other) {
        Discard();
        path_ = std::move(other.path_);
        temporary_ = std::exchange(other.temporary_, std::string());
        file_ = std::move(other.file_);
        finished_ = other.finished_;
        ok_ = other.ok_;
    }
    return *this;
}

IncomingFile::~IncomingFile()
{
    Discard();
}

bool IncomingFile::Write(std::string_view bytes) noexcept
{
    if (!ok_ || !file_) return false;
    ok_ = file_->write(bytes);
    return ok_;
}

long long IncomingFile::Length() const noexcept
{
    return file_ ? file_->length() : 0;
}

OutputFile::Mark IncomingFile::Mark() noexcept
{
    if (!file_) return {};
    return file_->mark();
}

bool IncomingFile::RewindTo(const OutputFile::Mark& mark) noexcept
{
    if (!ok_ || !file_) return false;
    ok_ = file_->rewind_to(mark);
    return ok_;
}

bool IncomingFile::Finish() noexcept
{
    if (finished_) return ok_;
    finished_ = true;
    if (!file_) return ok_ = false;
    const bool stale = file_->has_stale_tail();
    const long long length = file_->length();
    ok_ = file_->close() && ok_;
    file_.reset();
    if (ok_ && stale) ok_ = platform::truncate_file(temporary_, length);
    if (ok_) ok_ = platform::flush_file(temporary_);
    return ok_;
}

void IncomingFile::Commit()
{
    if (!Finish() || !platform::rename_replacing(temporary_, path_)) {
        Discard();
        throw EFCreateError(path_);
    }
    temporary_.clear();
}

void IncomingFile::Discard() noexcept
{
    file_.reset();
    finished_ = true;
    ok_ = false;
    if (!temporary_.empty()) platform::remove_file(temporary_);
    temporary_.clear();
}

void WriteFileWhole(const std::string& path, std::string_view bytes)
{
    IncomingFile file(path);
    if (!file.Write(bytes)) throw EFCreateError(path);
    file.Commit();
}

}  // namespace zanpost
