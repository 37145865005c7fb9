#include "platform/command.h"

#include "platform/first_line.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zanpost::platform {

namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd = -1) noexcept : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    void reset() noexcept
    {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

// Milliseconds left until `deadline`, for poll: -1 waits for ever.
int remaining_ms(bool bounded, Clock::time_point deadline)
{
    if (!bounded) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(left > 60000 ? 60000 : left);
}

// Reaps the child, waiting until `deadline`; false when it was still running then.
bool reap(pid_t pid, bool bounded, Clock::time_point deadline, int& status)
{
    for (;;) {
        const pid_t done = ::waitpid(pid, &status, bounded ? WNOHANG : 0);
        if (done == pid) return true;
        if (done < 0 && errno != EINTR) return true;  // nothing left to wait for
        if (bounded && Clock::now() >= deadline) return false;
        if (bounded) ::usleep(5000);
    }
}

void kill_group(pid_t pid)
{
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
}

}  // namespace

CommandOutput run_command(const std::string& command, int timeout_seconds)
{
    CommandOutput result;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return result;
    Fd read_end(fds[0]);
    Fd write_end(fds[1]);

    const bool bounded = timeout_seconds > 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(bounded ? timeout_seconds : 0);

    const pid_t pid = ::fork();
    if (pid < 0) return result;
    if (pid == 0) {
        // A group of its own, so a time-out ends whatever the shell started as well.
        ::setpgid(0, 0);
        const int null_in = ::open("/dev/null", O_RDONLY);
        if (null_in >= 0) ::dup2(null_in, STDIN_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(pid, pid);  // also from here: whichever runs first, the group exists
    write_end.reset();

    // Only the first line is kept; the rest is read and dropped so a talkative command never
    // blocks on a full pipe.
    FirstLine first_line;
    bool timed_out = false;
    char block[4096];
    for (;;) {
        pollfd p{read_end.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, remaining_ms(bounded, deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (ready == 0) {
            if (bounded && Clock::now() >= deadline) {
                timed_out = true;
                break;
            }
            continue;
        }
        const ssize_t n = ::read(read_end.get(), block, sizeof block);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // every writer closed its end
        first_line.add(block, std::size_t(n));
    }
    read_end.reset();

    int status = 0;
    if (timed_out || !reap(pid, bounded, deadline, status)) {
        kill_group(pid);
        first_line.wipe();
        result.status = CommandOutput::Status::timed_out;
        return result;
    }

    if (!WIFEXITED(status)) return result;
    result.exit_code = WEXITSTATUS(status);
    if (result.exit_code != 0) return result;
    first_line.judge(result);
    return result;
}

}  // namespace zanpost::platform
