#include "app/program.h"

#include "app/banner.h"
#include "app/run_log.h"
#include "rtl/exceptions.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <utility>

namespace zanpost {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

// Runs the dispatch with recording steps; what the program printed is kept too.
class DispatchTest : public ::testing::Test {
protected:
    int run(const std::vector<std::string>& arguments)
    {
        CaptureStdout();
        CaptureStderr();
        const int code = RunProgram(arguments, steps_);
        err_ = GetCapturedStderr();
        out_ = GetCapturedStdout();
        return code;
    }

    std::vector<std::string> calls_;
    // A fake job that records its name.
    ProgramSteps::Job job(const char* name)
    {
        return [this, name](const TNastaveni&, RunLog&) { calls_.push_back(name); };
    }

    ProgramSteps steps_{
        [this] {
            calls_.push_back("load");
            return TNastaveni{};
        },
        job("send"),
        job("receive"),
        job("enrol"),
    };
    std::string out_, err_;
};

using Calls = std::vector<std::string>;

TEST_F(DispatchTest, NoArgumentShowsTheBannerAndReadsNoConfiguration)
{
    EXPECT_EQ(run({}), 0);
    EXPECT_EQ(calls_, Calls{});
    // This test program carries the same version section as the real one.
    EXPECT_EQ(out_, "ZanPost verze 3.98.30.3: " + Banner() + "\n");
    EXPECT_EQ(err_, "");
}

TEST_F(DispatchTest, SendInAnyLetterCaseLoadsThenSendsOnce)
{
    for (const char* word : {"SEND", "send", "SeNd"}) {
        calls_.clear();
        EXPECT_EQ(run({word}), 0);
        EXPECT_EQ(calls_, (Calls{"load", "send"})) << word;
    }
    EXPECT_EQ(out_ + err_, "");
}

TEST_F(DispatchTest, GetAndPrihlaseniInAnyLetterCaseLoadThenRunTheirJob)
{
    const std::pair<const char*, const char*> cases[] = {
        {"GET", "receive"}, {"get", "receive"}, {"gEt", "receive"},
        {"PRIHLASENI", "enrol"}, {"prihlaseni", "enrol"}, {"Prihlaseni", "enrol"}};
    for (const auto& [word, job] : cases) {
        calls_.clear();
        EXPECT_EQ(run({word}), 0);
        EXPECT_EQ(calls_, (Calls{"load", job})) << word;
    }
}

TEST_F(DispatchTest, OnlyTheFirstArgumentCounts)
{
    EXPECT_EQ(run({"SEND", "GET", "SEND"}), 0);
    EXPECT_EQ(calls_, (Calls{"load", "send"}));
    calls_.clear();
    EXPECT_EQ(run({"HELP", "GET"}), 0);
    EXPECT_EQ(calls_, Calls{"load"});
}

TEST_F(DispatchTest, OtherWordsLoadTheConfigurationAndDoNothingElse)
{
    for (const char* word : {"HELP", "get ", " get", "SENDx", "GE", "", "S\xC9ND", "\xE7" "et", "PRIHLASENI ",
                             "P\xD8IHL\xC1\x8A" "EN\xCD"}) {
        calls_.clear();
        EXPECT_EQ(run({word}), 0) << word;
        EXPECT_EQ(calls_, Calls{"load"}) << '"' << word << '"';
        EXPECT_EQ(out_ + err_, "") << word;
    }
}

TEST_F(DispatchTest, FailureEscapingAJobShowsApplicationErrorAndExitsWithOne)
{
    steps_.send_job = [this](const TNastaveni&, RunLog&) {
        calls_.push_back("send");
        throw EFOpenError("/data/missing.dbf");
    };
    EXPECT_EQ(run({"SEND"}), 1);
    EXPECT_EQ(err_, "Application Error: EFOpenError: Cannot open file /data/missing.dbf\n");
    EXPECT_EQ(out_, "");
    EXPECT_EQ(calls_, (Calls{"load", "send"}));
}

TEST_F(DispatchTest, EveryKindOfEscapingFailureIsNamed)
{
    steps_.receive_job = [](const TNastaveni&, RunLog&) { throw EConvertError("abc"); };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: EConvertError: 'abc' is not a valid integer value\n");

    steps_.receive_job = [](const TNastaveni&, RunLog&) { throw std::runtime_error("boom"); };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: Exception: boom\n");

    steps_.receive_job = [](const TNastaveni&, RunLog&) { throw 42; };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: Exception: Unknown failure\n");
}

TEST_F(DispatchTest, FailureWhileLoadingIsCaughtToo)
{
    steps_.load_config = []() -> TNastaveni { throw EFOpenError("Zan_Post.ini"); };
    EXPECT_EQ(run({"SEND"}), 1);
    EXPECT_EQ(err_, "Application Error: EFOpenError: Cannot open file Zan_Post.ini\n");
}

// Each job is handed the settings read and a log of its own name from [Mail] Protokol; that
// log has ended before a failure escaping the job is shown, so the box is not in it.
TEST_F(DispatchTest, EachJobGetsTheSettingsAndItsOwnLogWhichEndsBeforeTheFailureBox)
{
    testing::TempDir dir;
    const std::string path = dir.file("zanpost.log");
    steps_.load_config = [&] {
        TNastaveni settings;
        settings.Zprava.Protokol = path;
        settings.Zprava.Odesilatel = "ucetni@firma.test";
        return settings;
    };
    const auto job = [this](const char* name, bool fails) {
        return [this, name, fails](const TNastaveni& settings, RunLog& log) {
            calls_.push_back(settings.Zprava.Odesilatel);
            EXPECT_TRUE(log.Active()) << name;
            log.Cause(std::string("in ") + name);
            if (fails) throw EFOpenError("/data/missing.dbf");
        };
    };
    steps_.send_job = job("SEND", true);
    steps_.receive_job = job("GET", false);
    steps_.enrol_job = job("PRIHLASENI", false);
    EXPECT_EQ(run({"send"}), 1);
    EXPECT_EQ(run({"get"}), 0);
    EXPECT_EQ(run({"prihlaseni"}), 0);
    EXPECT_EQ(calls_, Calls(3, "ucetni@firma.test"));
    const std::string text = testing::read_file(path);
    std::size_t at = 0;
    for (const char* line : {" start ZanPost 3.98.30.3 SEND\n", " ? in SEND\n", " end SEND: ",
                             " start ZanPost 3.98.30.3 GET\n", " ? in GET\n", " end GET: ",
                             " start ZanPost 3.98.30.3 PRIHLASENI\n", " ? in PRIHLASENI\n", " end PRIHLASENI: "}) {
        at = text.find(line, at);
        ASSERT_NE(at, std::string::npos) << line << " in\n" << text;
    }
    EXPECT_EQ(text.find("Application Error"), std::string::npos) << text;
}

}  // namespace
}  // namespace zanpost
