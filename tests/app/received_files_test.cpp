#include "app/received_files.h"
#include "rtl/exceptions.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iterator>
#include <optional>
#include <string>
#include <vector>
#include <utility>

namespace zanpost {
namespace {

using zanpost::testing::read_file;
using zanpost::testing::TempDir;
using zanpost::testing::write_file;

TEST(StorableName, KeepsOnlyTheFinalComponent)
{
    EXPECT_EQ(StorableName("export.dat"), "export.dat");
    EXPECT_EQ(StorableName("..\\..\\x.dat"), "x.dat");
    EXPECT_EQ(StorableName("../x"), "x");
    EXPECT_EQ(StorableName("/etc/passwd"), "passwd");
    EXPECT_EQ(StorableName("C:\\Windows\\win.ini"), "win.ini");
    EXPECT_EQ(StorableName("C:x.txt"), "x.txt");
    EXPECT_EQ(StorableName("a/b\\c"), "c");
    // Czech names in CP1250 and inner dots are ordinary names.
    EXPECT_EQ(StorableName("\xFA\xE8" "et.2026.csv"), "\xFA\xE8" "et.2026.csv");
}

TEST(StorableName, RefusesWhatCannotBeAPlainFileInTheDirectory)
{
    using namespace std::string_literals;
    for (const std::string& name : {""s, "."s, ".."s, "dir/"s, "..\\.."s, "C:"s, "ab:stream"s, "x.txt:$DATA"s,
                                   "a\x01" "b"s, "tab\tname"s, "nul\0byte"s, "del\x7F"s}) {
        EXPECT_EQ(StorableName(name), std::nullopt) << name;
    }
}

TEST(StorableName, RefusesWindowsDeviceNamesInAnyCaseAndWithAnyExtension)
{
    for (const char* name : {"CON", "con", "Prn.txt", "AUX.tar.gz", "nul", "NUL.", "COM1", "com9.log", "LPT1",
                             "lpt9.dat", "CON .txt", "dir\\aux"}) {
        EXPECT_EQ(StorableName(name), std::nullopt) << name;
    }
    for (const char* name : {"CONSOLE", "COM0", "COM10", "LPT", "nul_data.txt", "icon.ico", "xcon"}) {
        EXPECT_EQ(StorableName(name), name) << name;
    }
}

TEST(StorableName, TrailingDotsAndBlanksGoBeforeTheChecks)
{
    // Windows drops them when it makes the file: what is checked is what would be made.
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"x.dbf ", "x.dbf"},
        {"data.csv..", "data.csv"},
        {"y.csv. . ", "y.csv"},
        {"Zan_Post.ini.", "Zan_Post.ini"},
        {"dir\\zprava.txt .", "zprava.txt"},
        {"CON.", std::nullopt},
        {"nul .", std::nullopt},
        {"COM1 . ", std::nullopt},
        {"...", std::nullopt},
        {" ", std::nullopt},
        {". .", std::nullopt},
        {"a/ . ", std::nullopt},
        {"ab:c. ", std::nullopt},
        // Inside a name they stay.
        {" a. b", " a. b"},
    };
    for (const auto& [name, stored] : cases) EXPECT_EQ(StorableName(name), stored) << '"' << name << '"';
}

TEST(SamePath, ComparesFullPathsWithoutRegardToCase)
{
    TempDir dir;
    const std::string a = dir.file("out.txt");
    EXPECT_TRUE(SamePath(a, dir.file("sub/../out.txt")));
    EXPECT_TRUE(SamePath(a, dir.file("OUT.TXT")));
    EXPECT_FALSE(SamePath(a, dir.file("out.txt2")));
}

TEST(WriteFileWhole, ReplacesTheFileOnlyWithACompleteOne)
{
    TempDir dir;
    const std::string path = dir.file("data.bin");
    write_file(path, "old");
    std::string bytes(100000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 7);
    WriteFileWhole(path, bytes);
    EXPECT_EQ(read_file(path), bytes);
    // Nothing else is left in the directory.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(WriteFileWhole, NamesUpToTheFileSystemsLimitAreStored)
{
    TempDir dir;
    for (const std::size_t length : {std::size_t(1), std::size_t(240), std::size_t(241), std::size_t(250),
                                     std::size_t(255)}) {
        const std::string path = dir.file(std::string(length - 1, 'n') + "x");
        write_file(path, "old");
        WriteFileWhole(path, "new " + std::to_string(length));
        EXPECT_EQ(read_file(path), "new " + std::to_string(length)) << length;
        std::filesystem::remove(path);
    }
    // One byte more than the file system takes: refused, and nothing is left behind.
    EXPECT_THROW(WriteFileWhole(dir.file(std::string(256, 'n')), "x"), EFCreateError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);
}

TEST(WriteFileWhole, FailureKeepsTheOldFileAndLeavesNoTemporaryOne)
{
    TempDir dir;
    // A directory stands where the file should go: the rename cannot replace it.
    std::filesystem::create_directory(dir.file("busy"));
    write_file(dir.file("busy/inside"), "kept");
    EXPECT_THROW(WriteFileWhole(dir.file("busy"), "new"), EFCreateError);
    EXPECT_EQ(read_file(dir.file("busy/inside")), "kept");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);

    EXPECT_THROW(WriteFileWhole(dir.file("missing/dir/x"), "new"), EFCreateError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Every way an incoming file can end: what the final path holds afterwards, and that no
// temporary file is left in the directory.
TEST(IncomingFile, EndsWithTheWholeFileOrTheOldOne)
{
    enum class End { commit, discard, destroyed };
    struct Case {
        const char* name;
        std::vector<std::string> before_mark;
        std::vector<std::string> after_mark;
        bool rewind;
        std::vector<std::string> after_rewind;
        End end;
        std::string expected;  // the final path afterwards
    };
    const std::vector<Case> cases{
        {"pieces in order", {"ab", "", "cd"}, {"ef"}, false, {}, End::commit, "abcdef"},
        {"a longer tail taken back", {"kept;"}, {"a tail longer than what replaces it"}, true, {"new"}, End::commit,
         "kept;new"},
        {"everything taken back", {}, {"gone"}, true, {}, End::commit, ""},
        {"a shorter tail taken back", {"x"}, {"1"}, true, {"2345"}, End::commit, "x2345"},
        {"discarded", {"new"}, {}, false, {}, End::discard, "old"},
        {"destroyed before its commit", {"new"}, {}, false, {}, End::destroyed, "old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = (dir.path() / "out.txt").string();
        write_file(path, "old");
        {
            IncomingFile file(path);
            for (const auto& piece : c.before_mark) EXPECT_TRUE(file.Write(piece));
            const OutputFile::Mark mark = file.Mark();
            for (const auto& piece : c.after_mark) EXPECT_TRUE(file.Write(piece));
            if (c.rewind) {
                EXPECT_TRUE(file.RewindTo(mark));
            }
            for (const auto& piece : c.after_rewind) EXPECT_TRUE(file.Write(piece));
            if (c.end == End::commit) {
                EXPECT_EQ(file.Length(), static_cast<long long>(c.expected.size()));
            }
            // The old file stays until the commit.
            EXPECT_EQ(read_file(path), "old");
            if (c.end == End::commit) file.Commit();
            if (c.end == End::discard) file.Discard();
        }
        EXPECT_EQ(read_file(path), c.expected);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()),
                  1);
    }
}

TEST(IncomingFile, AFailedCommitKeepsTheOldFileAndLeavesNoTemporaryOne)
{
    TempDir dir;
    const std::string path = (dir.path() / "target").string();
    std::filesystem::create_directories(path + "/inside");
    IncomingFile file(path);
    EXPECT_TRUE(file.Write("bytes"));
    EXPECT_THROW(file.Commit(), EFCreateError);
    EXPECT_TRUE(std::filesystem::is_directory(path + "/inside"));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), std::filesystem::directory_iterator()), 1);
    EXPECT_THROW(IncomingFile((dir.path() / "missing" / "x").string()), EFCreateError);
}

// A killed run leaves its temporary files behind, unmarked: they go, in every directory
// named once; a temporary file of a run still going, a file of another name and a
// directory stay.
TEST(RemoveLeftoverTemporaries, TakesOnlyTheTemporaryFilesOfEndedRuns)
{
    TempDir dir;
    const std::string cesta = (dir.path() / "data" / "").string();
    const std::string beside = (dir.path() / "text" / "").string();
    std::filesystem::create_directories(cesta + "~zp12345678.zptmp");
    std::filesystem::create_directories(beside);
    for (const char* name : {"~zp0badf00d.zptmp", "~zp0badf00.zptmp", "x~zp0badf00d.zptmp", "~zp0badf00d.zptmp.bak",
                             "~zp0badf00g.zptmp"})
        write_file(cesta + name, "half");
    write_file(beside + "~zp00000001.zptmp", "half");
    IncomingFile going(cesta + "soubor.dat");
    EXPECT_TRUE(going.Write("new"));

    std::vector<std::string> removed =
        RemoveLeftoverTemporaries({cesta, beside + "prijato.txt", cesta + "soubor.dat", beside});
    std::sort(removed.begin(), removed.end());
    EXPECT_EQ(removed, (std::vector<std::string>{cesta + "~zp0badf00d.zptmp", beside + "~zp00000001.zptmp"}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(cesta), {}), 6);
    going.Commit();
    EXPECT_EQ(read_file(cesta + "soubor.dat"), "new");
}

}  // namespace
}  // namespace zanpost
