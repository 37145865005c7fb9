#pragma once
// The program from its arguments to its exit code: version, banner or job, and the
// failure box for anything a job lets through.

#include <functional>
#include <string>
#include <vector>

namespace zanpost {

// What the dispatch calls; the defaults are the real configuration and jobs.
struct ProgramSteps {
    std::function<void()> load_config;
    std::function<void()> send_job;
    std::function<void()> receive_job;
    std::function<void()> enrol_job;  // PRIHLASENI
};

ProgramSteps DefaultSteps();

// Runs one mode for the arguments (without the program name) and returns the exit code:
// 0, or 1 after the "Application Error" box for a failure that escaped a job.
int RunProgram(const std::vector<std::string>& arguments, const ProgramSteps& steps = DefaultSteps());

}  // namespace zanpost
