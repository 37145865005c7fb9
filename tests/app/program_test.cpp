#include "app/program.h"

#include "app/banner.h"
#include "rtl/exceptions.h"

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
    ProgramSteps steps_{
        [this] { calls_.push_back("load"); },
        [this] { calls_.push_back("send"); },
        [this] { calls_.push_back("receive"); },
        [this] { calls_.push_back("enrol"); },
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
    steps_.send_job = [this] {
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
    steps_.receive_job = [] { throw EConvertError("abc"); };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: EConvertError: 'abc' is not a valid integer value\n");

    steps_.receive_job = [] { throw std::runtime_error("boom"); };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: Exception: boom\n");

    steps_.receive_job = [] { throw 42; };
    EXPECT_EQ(run({"get"}), 1);
    EXPECT_EQ(err_, "Application Error: Exception: Unknown failure\n");
}

TEST_F(DispatchTest, FailureWhileLoadingIsCaughtToo)
{
    steps_.load_config = [] { throw EFOpenError("Zan_Post.ini"); };
    EXPECT_EQ(run({"SEND"}), 1);
    EXPECT_EQ(err_, "Application Error: EFOpenError: Cannot open file Zan_Post.ini\n");
}

}  // namespace
}  // namespace zanpost
