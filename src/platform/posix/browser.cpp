#include "platform/browser.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zanpost::platform {

namespace {

// The program as execvp would find it, looked up before the fork: between fork and exec
// only async-signal-safe calls may be made, which a search that allocates is not.
std::string find_on_path(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::string directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = directories.find(':', start);
        const std::string directory = directories.substr(start, end == std::string::npos ? end : end - start);
        // An empty entry is the current directory, as the shell has it.
        const std::string candidate = (directory.empty() ? std::string(".") : directory) + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        if (end == std::string::npos) return {};
        start = end + 1;
    }
}

}  // namespace

bool open_in_browser(const std::string& url)
{
    const std::string program = find_on_path("xdg-open");
    if (program.empty()) return false;
    const char* const arguments[] = {"xdg-open", url.c_str(), nullptr};

    // The grandchild reports a failed exec through this pipe; a successful exec closes it.
    int report[2];
    if (::pipe2(report, O_CLOEXEC) != 0) return false;
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(report[0]);
        ::close(report[1]);
        return false;
    }
    if (child == 0) {
        // Twice forked: the browser's launcher becomes init's child, so whenever it ends
        // nobody here has to reap it, and we wait only for this short-lived middle process.
        ::close(report[0]);
        const pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        ::setsid();
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, STDIN_FILENO);
            ::dup2(null, STDOUT_FILENO);
        }
        ::execv(program.c_str(), const_cast<char* const*>(arguments));
        const int error = errno;
        [[maybe_unused]] const ssize_t written = ::write(report[1], &error, sizeof error);
        ::_exit(127);
    }
    ::close(report[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    int error = 0;
    ssize_t got = 0;
    do {
        got = ::read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    ::close(report[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 && got == 0;
}

}  // namespace zanpost::platform
