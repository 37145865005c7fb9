#include "platform/version.h"

#include "platform/process.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace zanpost::platform {
namespace {

using zanpost::testing::TempDir;
using zanpost::testing::write_file;
using namespace std::string_literals;

struct Section {
    std::string name;
    std::string bytes;
    std::uint32_t type = 1;  // PROGBITS; 8 is NOBITS
};

// A minimal ELF file of either class and byte order: header, section contents, the
// section-name table and the section headers (the first one empty, as ELF wants).
std::string make_elf(bool wide, bool big_endian, const std::vector<Section>& sections)
{
    const std::size_t header_size = wide ? 64 : 52;
    const std::size_t entry_size = wide ? 64 : 40;
    const std::size_t addr = wide ? 8 : 4;
    auto put = [big_endian](std::string& out, std::size_t at, std::uint64_t value, std::size_t width) {
        for (std::size_t i = 0; i < width; ++i)
            out[big_endian ? at + width - 1 - i : at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    };

    std::string file(header_size, '\0');
    file.replace(0, 4, "\x7F" "ELF");
    file[4] = wide ? 2 : 1;
    file[5] = big_endian ? 2 : 1;
    file[6] = 1;

    std::string names(1, '\0');
    std::vector<std::size_t> name_at, data_at;
    for (const Section& s : sections) {
        name_at.push_back(names.size());
        names += s.name + '\0';
        data_at.push_back(file.size());
        if (s.type != 8) file += s.bytes;
    }
    const std::size_t names_name = names.size();
    names += ".shstrtab"s + '\0';
    const std::size_t names_at = file.size();
    file += names;

    const std::size_t shoff = file.size();
    const std::size_t count = sections.size() + 2;
    file.append(entry_size * count, '\0');
    auto header = [&](std::size_t index, std::size_t name, std::uint32_t type, std::size_t offset, std::size_t size) {
        const std::size_t at = shoff + index * entry_size;
        put(file, at, name, 4);
        put(file, at + 4, type, 4);
        put(file, at + (wide ? 0x18 : 0x10), offset, addr);
        put(file, at + (wide ? 0x20 : 0x14), size, addr);
    };
    for (std::size_t i = 0; i < sections.size(); ++i)
        header(i + 1, name_at[i], sections[i].type, data_at[i], sections[i].bytes.size());
    header(count - 1, names_name, 3, names_at, names.size());

    put(file, wide ? 0x28 : 0x20, shoff, addr);
    const std::size_t at_entsize = wide ? 0x3A : 0x2E;
    put(file, at_entsize, entry_size, 2);
    put(file, at_entsize + 2, count, 2);
    put(file, at_entsize + 4, count - 1, 2);
    return file;
}

std::vector<char> bytes_of(const std::string& s) { return {s.begin(), s.end()}; }

class VersionFileTest : public ::testing::Test {
protected:
    std::vector<char> block_of(const std::string& contents)
    {
        write_file(path_, contents);
        return version_info_block(path_);
    }

    TempDir dir_;
    std::string path_ = dir_.file("program");
};

const std::string payload = "ZPV1 payload\0with a NUL"s;

TEST_F(VersionFileTest, ReadsTheSectionFromA64BitLittleEndianFile)
{
    const auto elf = make_elf(true, false, {{".text", "code"}, {".zanpost_version", payload}, {".data", "xyz"}});
    EXPECT_EQ(block_of(elf), bytes_of(payload));
}

TEST_F(VersionFileTest, ReadsTheSectionFromA32BitBigEndianFile)
{
    const auto elf = make_elf(false, true, {{".zanpost_version", payload}, {".comment", "c"}});
    EXPECT_EQ(block_of(elf), bytes_of(payload));
}

TEST_F(VersionFileTest, FileWithoutTheSectionGivesAnEmptyBlock)
{
    EXPECT_TRUE(block_of(make_elf(true, false, {{".text", "code"}, {".zanpost_versio", "near miss"}})).empty());
    EXPECT_TRUE(block_of(make_elf(false, false, {})).empty());
    // A section of that name without contents in the file.
    EXPECT_TRUE(block_of(make_elf(true, false, {{".zanpost_version", payload, 8}})).empty());
}

TEST_F(VersionFileTest, FilesThatAreNoElfGiveAnEmptyBlock)
{
    EXPECT_TRUE(block_of("").empty());
    EXPECT_TRUE(block_of("MZ\x90\0 this is no ELF file at all, it only pretends to be long"s).empty());
    EXPECT_TRUE(version_info_block(dir_.file("missing")).empty());
    EXPECT_TRUE(version_info_block(dir_.path().string()).empty());
}

TEST_F(VersionFileTest, DamagedFilesGiveAnEmptyBlockWithoutCrashing)
{
    const auto elf = make_elf(true, false, {{".zanpost_version", payload}});
    // Cut inside the section headers.
    EXPECT_TRUE(block_of(elf.substr(0, elf.size() - 10)).empty());
    // Cut inside the header.
    EXPECT_TRUE(block_of(elf.substr(0, 30)).empty());
    // A name table index past the last section.
    std::string bad_index = elf;
    bad_index[0x3E] = 9;
    EXPECT_TRUE(block_of(bad_index).empty());
    // A section size far beyond the file.
    std::string huge = elf;
    const std::size_t shoff = static_cast<unsigned char>(elf[0x28]) | (static_cast<unsigned char>(elf[0x29]) << 8);
    huge[shoff + 64 + 0x20 + 4] = '\x7F';
    EXPECT_TRUE(block_of(huge).empty());
    // An unknown class.
    std::string bad_class = elf;
    bad_class[4] = 3;
    EXPECT_TRUE(block_of(bad_class).empty());
}

TEST(VersionSection, TheRunningExecutableCarriesItsVersion)
{
    const auto block = version_info_block(own_executable_path());
    ASSERT_FALSE(block.empty());
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\FileVersion\\"), "3.98.30.3\0"s);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\ProductName\\"), "ZanPost pro Tabulix\0"s);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\FileDescription"), "ZanPost pro Tabulix\0"s);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\InternalName"), "Zan_Post\0"s);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\OriginalFilename"), "Zan_Post.exe\0"s);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\ProductVersion"), "1.0.0.0\0"s);
    EXPECT_EQ(version_query_value(block, "\\VarFileInfo\\Translation"), "\x05\x04\xE2\x04"s);
}

TEST(VersionSection, BlockSurvivesACopyIntoAnotherElfFile)
{
    const auto block = version_info_block(own_executable_path());
    const TempDir dir;
    write_file(dir.file("copy"), make_elf(false, true, {{".zanpost_version", std::string(block.begin(), block.end())}}));
    const auto copied = version_info_block(dir.file("copy"));
    EXPECT_EQ(copied, block);
    EXPECT_EQ(version_query_value(copied, "\\StringFileInfo\\040504E2\\FileVersion\\"), "3.98.30.3\0"s);
}

TEST(VersionQuery, MatchesPathsWithoutRegardToLetterCase)
{
    const auto block = version_info_block(own_executable_path());
    EXPECT_EQ(version_query_value(block, "\\stringfileinfo\\040504e2\\fileversion\\"), "3.98.30.3\0"s);
}

TEST(VersionQuery, UnknownPathsFail)
{
    const auto block = version_info_block(own_executable_path());
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\NoSuchKey\\"), std::nullopt);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040904E4\\FileVersion\\"), std::nullopt);
    EXPECT_EQ(version_query_value(block, "\\StringFileInfo\\040504E2\\FileVersion\\\\"), std::nullopt);
    EXPECT_EQ(version_query_value(block, "StringFileInfo\\040504E2\\FileVersion"), std::nullopt);
    EXPECT_EQ(version_query_value({}, "\\VarFileInfo\\Translation"), std::nullopt);
}

TEST(VersionQuery, DamagedBlocksFailWithoutReadingPastTheirEnd)
{
    const std::string good = "ZPV1\\A\0\x02\0xy\\B\0\x01\0z\0"s;
    EXPECT_EQ(version_query_value(bytes_of(good), "\\A"), "xy"s);
    EXPECT_EQ(version_query_value(bytes_of(good), "\\B"), "z"s);
    EXPECT_EQ(version_query_value(bytes_of("XXXX" + good.substr(4)), "\\A"), std::nullopt);
    // The length of B claims more bytes than are left.
    const std::string long_length = "ZPV1\\A\0\x02\0xy\\B\0\x09\0z"s;
    EXPECT_EQ(version_query_value(bytes_of(long_length), "\\A"), "xy"s);
    EXPECT_EQ(version_query_value(bytes_of(long_length), "\\B"), std::nullopt);
    // Cut inside a length.
    EXPECT_EQ(version_query_value(bytes_of("ZPV1\\A\0\x02"s), "\\A"), std::nullopt);
}

}  // namespace
}  // namespace zanpost::platform
