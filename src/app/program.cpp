#include "app/program.h"

#include "app/banner.h"
#include "app/config.h"
#include "app/jobs.h"
#include "app/message_box.h"
#include "app/oauth_token.h"
#include "app/run_log.h"
#include "app/version_info.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "rtl/ascii.h"
#include "rtl/exceptions.h"

#include <exception>
#include <new>

namespace zanpost {

namespace {

void ShowFailure(const std::string& kind, const std::string& message)
{
    ShowMessageBox(kind + ": " + message, "Application Error", platform::mb_taskmodal | platform::mb_iconerror);
}

int Dispatch(const std::vector<std::string>& arguments, const ProgramSteps& steps)
{
    const std::string Verze = ReadVersion(platform::own_executable_path());
    if (arguments.empty()) {
        ShowMessageBox(Banner(), BannerCaption(Verze), platform::mb_right);
        return 0;
    }
    const TNastaveni settings = steps.load_config();
    // The log lives exactly as long as the job: its end line is written before a failure
    // that escapes the job is shown, and that box is not the job's.
    const auto run = [&](const ProgramSteps::Job& job, const char* name) {
        const std::string& path = settings.Zprava.Protokol;
        RunLog log(path, path.empty() ? std::string() : Verze, name);
        job(settings, log);
    };
    // Two separate tests: the outcome of one job does not decide whether the other runs.
    if (ascii_upper(arguments.front()) == "SEND") run(steps.send_job, "SEND");
    if (ascii_upper(arguments.front()) == "GET") run(steps.receive_job, "GET");
    if (ascii_upper(arguments.front()) == "PRIHLASENI" && steps.enrol_job) run(steps.enrol_job, "PRIHLASENI");
    return 0;
}

}  // namespace

ProgramSteps DefaultSteps()
{
    return {[] { return ReadConfig(ProgramConfigPath()); }, SendJob, ReceiveJob, EnrolJob};
}

int RunProgram(const std::vector<std::string>& arguments, const ProgramSteps& steps)
{
    try {
        return Dispatch(arguments, steps);
    } catch (const Exception& e) {
        ShowFailure(e.kind(), e.message());
    } catch (const std::bad_alloc&) {
        ShowFailure("EOutOfMemory", "Out of memory");
    } catch (const std::exception& e) {
        ShowFailure("Exception", e.what());
    } catch (...) {
        ShowFailure("Exception", "Unknown failure");
    }
    return 1;
}

}  // namespace zanpost
