#include "app/received_files.h"

#include "platform/files.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"
#include "rtl/file_io.h"

#include <algorithm>
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

constexpr std::string_view temporary_prefix = "~zp";
constexpr std::string_view temporary_suffix = ".zptmp";
constexpr std::size_t temporary_digits = 8;

std::string directory_of(const std::string& path)
{
    return path.substr(0, platform::directory_length(path));
}

// A name of a few bytes, so that the temporary file fits wherever the final one does.
std::string temporary_beside(const std::string& path)
{
    static std::random_device random;
    char digits[temporary_digits + 1];
    std::snprintf(digits, sizeof digits, "%08x", unsigned(random()));
    return directory_of(path) + std::string(temporary_prefix) + digits + std::string(temporary_suffix);
}

bool is_temporary_name(std::string_view name)
{
    if (name.size() != temporary_prefix.size() + temporary_digits + temporary_suffix.size()) return false;
    const std::string_view digits = name.substr(temporary_prefix.size(), temporary_digits);
    return name.starts_with(temporary_prefix) && name.ends_with(temporary_suffix) &&
           digits.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

}  // namespace

IncomingFile::IncomingFile(std::string path) : path_(std::move(path))
{
    // Another name is tried when one is taken, or when another run's clean-up took the new
    // file before its mark was in place.
    for (int attempt = 0; attempt < 16 && !mark_; ++attempt) {
        temporary_ = temporary_beside(path_);
        mark_ = platform::FileBeingMade::create(temporary_);
    }
    if (!mark_) throw EFCreateError(path_);
    try {
        file_ = std::make_unique<OutputFile>(temporary_);
    } catch (...) {
        Discard();
        throw EFCreateError(path_);
    }
}

IncomingFile::IncomingFile(IncomingFile&& other) noexcept
    : path_(std::move(other.path_)),
      temporary_(std::exchange(other.temporary_, std::string())),
      mark_(std::exchange(other.mark_, std::nullopt)),
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
        mark_ = std::exchange(other.mark_, std::nullopt);
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
    mark_.reset();
}

void IncomingFile::Discard() noexcept
{
    file_.reset();
    finished_ = true;
    ok_ = false;
    if (!temporary_.empty()) platform::remove_file(temporary_);
    temporary_.clear();
    mark_.reset();
}

void WriteFileWhole(const std::string& path, std::string_view bytes)
{
    IncomingFile file(path);
    if (!file.Write(bytes)) throw EFCreateError(path);
    file.Commit();
}

std::vector<std::string> RemoveLeftoverTemporaries(const std::vector<std::string>& beside)
{
    std::vector<std::string> directories;
    std::vector<std::string> removed;
    for (const std::string& path : beside) {
        std::string directory = directory_of(path);
        if (std::find(directories.begin(), directories.end(), directory) != directories.end()) continue;
        for (const std::string& name : platform::list_files(directory, temporary_prefix, temporary_suffix))
            if (is_temporary_name(name) && platform::remove_abandoned_file(directory + name))
                removed.push_back(directory + name);
        directories.push_back(std::move(directory));
    }
    return removed;
}

}  // namespace zanpost
