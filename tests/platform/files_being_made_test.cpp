// The removal of files whose maker is gone, the same on every platform.

#include "platform/files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace zanpost::platform {
namespace {

using zanpost::testing::TempDir;

// A file being made is never made over another one, and while its mark is held it is not
// taken; a killed maker's mark ended with it, as if there had never been one.
TEST(RemoveAbandonedFile, TakesOnlyARegularFileWhoseMarkNobodyHolds)
{
    TempDir dir;
    const std::optional<FileBeingMade> held = FileBeingMade::create(dir.file("held"));
    ASSERT_TRUE(held);
    EXPECT_FALSE(FileBeingMade::create(dir.file("held")));
    FileBeingMade::create(dir.file("released"));
    zanpost::testing::write_file(dir.file("unmarked"), "x");
    std::filesystem::create_directory(dir.file("directory"));
    for (const auto& [name, removed] : {std::pair{"held", false}, {"released", true}, {"unmarked", true},
                                        {"directory", false}, {"missing", false}}) {
        EXPECT_EQ(remove_abandoned_file(dir.file(name)), removed) << name;
        EXPECT_EQ(std::filesystem::exists(dir.file(name)), !removed && name != std::string("missing")) << name;
    }
}

}  // namespace
}  // namespace zanpost::platform
