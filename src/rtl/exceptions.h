#pragma once
// The runtime's failures. Each carries the kind name that the top-level failure box shows
// in front of its message, so the user sees the same words on every build.

#include <exception>
#include <string>

namespace zanpost {

class Exception : public std::exception {
public:
    Exception(std::string kind, std::string message)
        : kind_(std::move(kind)), message_(std::move(message)) {}

    const std::string& kind() const noexcept { return kind_; }
    const std::string& message() const noexcept { return message_; }
    const char* what() const noexcept override { return message_.c_str(); }

private:
    std::string kind_;
    std::string message_;
};

// A file that cannot be opened for reading: "Cannot open file %s".
class EFOpenError : public Exception {
public:
    explicit EFOpenError(const std::string& path)
        : Exception("EFOpenError", "Cannot open file " + path) {}
};

// A file that cannot be created or written: "Cannot create file %s".
class EFCreateError : public Exception {
public:
    explicit EFCreateError(const std::string& path)
        : Exception("EFCreateError", "Cannot create file " + path) {}
};

// A file that opened but could not be read to its end: "Cannot read file %s".
class EReadError : public Exception {
public:
    explicit EReadError(const std::string& path)
        : Exception("EReadError", "Cannot read file " + path) {}
};

// "List index out of bounds (%d)".
class EStringListError : public Exception {
public:
    explicit EStringListError(long long index)
        : Exception("EStringListError", "List index out of bounds (" + std::to_string(index) + ")") {}
};

// "'%s' is not a valid integer value".
class EConvertError : public Exception {
public:
    explicit EConvertError(const std::string& text)
        : Exception("EConvertError", "'" + text + "' is not a valid integer value") {}
};

}  // namespace zanpost
