#include "platform/command.h"

#include "platform/first_line.h"

#include "platform/win32/windows_api.h"

#include <cstring>

namespace zanpost::platform {

namespace {

class Handle {
public:
    explicit Handle(HANDLE h = nullptr) noexcept : h_(h == INVALID_HANDLE_VALUE ? nullptr : h) {}
    ~Handle() { reset(); }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const noexcept { return h_; }
    HANDLE* out() noexcept { return &h_; }
    void reset() noexcept
    {
        if (h_ != nullptr) CloseHandle(h_);
        h_ = nullptr;
    }

private:
    HANDLE h_;
};

// The shell: %ComSpec%, or cmd.exe found on the search path.
std::string shell_path()
{
    char buffer[MAX_PATH];
    const DWORD n = GetEnvironmentVariableA("ComSpec", buffer, sizeof buffer);
    if (n > 0 && n < sizeof buffer) return std::string(buffer, n);
    return "cmd.exe";
}

}  // namespace

CommandOutput run_command(const std::string& command, int timeout_seconds)
{
    CommandOutput result;

    SECURITY_ATTRIBUTES inherit{};
    inherit.nLength = sizeof inherit;
    inherit.bInheritHandle = TRUE;
    Handle read_end;
    Handle write_end;
    if (!CreatePipe(read_end.out(), write_end.out(), &inherit, 0)) return result;
    // Only the child's end is handed down.
    SetHandleInformation(read_end.get(), HANDLE_FLAG_INHERIT, 0);
    Handle null_in(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr));

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = null_in.get();
    startup.hStdOutput = write_end.get();
    startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);

    const std::string shell = shell_path();
    std::string line = "\"" + shell + "\" /c " + command;
    PROCESS_INFORMATION process{};
    // Suspended until it is in the job, so nothing it starts can escape a time-out.
    if (!CreateProcessA(shell.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                        nullptr, nullptr, &startup, &process)) {
        std::memset(line.data(), 0, line.size());
        return result;
    }
    std::memset(line.data(), 0, line.size());
    Handle process_handle(process.hProcess);
    Handle thread_handle(process.hThread);
    Handle job(CreateJobObjectA(nullptr, nullptr));
    if (job.get() != nullptr) {
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof limits);
        if (!AssignProcessToJobObject(job.get(), process_handle.get())) job.reset();
    }
    ResumeThread(thread_handle.get());
    write_end.reset();
    null_in.reset();

    const bool bounded = timeout_seconds > 0;
    const ULONGLONG deadline = GetTickCount64() + ULONGLONG(bounded ? timeout_seconds : 0) * 1000u;
    const auto time_left = [&]() -> DWORD {
        if (!bounded) return INFINITE;
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? 0 : DWORD(deadline - now);
    };

    // An anonymous pipe has no waitable read with a time limit: look before reading.
    // Only the first line is kept; the rest is read and dropped so a talkative command never
    // blocks on a full pipe.
    FirstLine first_line;
    bool timed_out = false;
    char block[4096];
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(read_end.get(), nullptr, 0, nullptr, &available, nullptr)) break;  // writers gone
        if (available > 0) {
            DWORD got = 0;
            if (!ReadFile(read_end.get(), block, available < sizeof block ? available : DWORD(sizeof block), &got,
                          nullptr) ||
                got == 0)
                break;
            first_line.add(block, got);
            continue;
        }
        if (bounded && time_left() == 0) {
            timed_out = true;
            break;
        }
        Sleep(10);
    }
    read_end.reset();

    if (timed_out || WaitForSingleObject(process_handle.get(), time_left()) != WAIT_OBJECT_0) {
        if (job.get() != nullptr) TerminateJobObject(job.get(), 1);
        TerminateProcess(process_handle.get(), 1);
        WaitForSingleObject(process_handle.get(), 5000);
        first_line.wipe();
        result.status = CommandOutput::Status::timed_out;
        return result;
    }

    DWORD code = 1;
    if (!GetExitCodeProcess(process_handle.get(), &code)) return result;
    result.exit_code = int(code);
    if (code != 0) return result;
    first_line.judge(result);
    return result;
}

}  // namespace zanpost::platform
