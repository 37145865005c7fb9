#pragma once
// The program from its arguments to its exit code: version, banner or job, and the
// failure box for anything a job lets through.

#include "app/config.h"

#include <functional>
#include <string>
#include <vector>

namespace zanpost {

class RunLog;

// What the dispatch calls; the defaults are the real configuration and jobs. A job is handed
// the settings read for the run and the run's log, made here from [Mail] Protokol.
struct ProgramSteps {
    using Job = std::function<void(const TNastaveni&, RunLog&)>;
    std::function<TNastaveni()> load_config;
    Job send_job;
    Job receive_job;
    Job enrol_job;  // PRIHLASENI
};

ProgramSteps DefaultSteps();

// Runs one mode for the arguments (without the program name) and returns the exit code:
// 0, or 1 after the "Application Error" box for a failure that escaped a job.
int RunProgram(const std::vector<std::string>& arguments, const ProgramSteps& steps = DefaultSteps());

}  // namespace zanpost
