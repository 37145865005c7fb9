#include "rtl/exceptions.h"
#include "rtl/memory_stream.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace zanpost {
namespace {

TEST(MemoryStream, WriteOverwritesAtPositionThenGrows)
{
    MemoryStream s;
    s.write("abcdef");
    EXPECT_EQ(s.position(), 6u);
    s.set_position(4);
    s.write("XYZ");
    EXPECT_EQ(s.bytes(), "abcdXYZ");
    EXPECT_EQ(s.position(), 7u);
}

TEST(MemoryStream, ReadStopsAtTheEnd)
{
    MemoryStream s(std::string("12345"));
    char buf[4];
    EXPECT_EQ(s.read(buf, 4), 4u);
    EXPECT_EQ(std::string(buf, 4), "1234");
    EXPECT_EQ(s.read(buf, 4), 1u);
    EXPECT_EQ(buf[0], '5');
    EXPECT_EQ(s.read(buf, 4), 0u);
}

TEST(MemoryStream, CopyTakesTheWholeSourceWhateverItsPosition)
{
    MemoryStream a(std::string("hello"));
    a.set_position(3);
    MemoryStream b;
    b.write("zzzzzzzz");
    b.copy_from(a);
    EXPECT_EQ(b.bytes(), "hello");
    EXPECT_EQ(b.position(), 0u);
}

TEST(MemoryStream, FileRoundTripKeepsEveryByte)
{
    testing::TempDir dir;
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(char(i));
    MemoryStream s(bytes);
    s.save_to_file(dir.file("b.bin"));
    MemoryStream t;
    t.load_from_file(dir.file("b.bin"));
    EXPECT_EQ(t.bytes(), bytes);
    EXPECT_THROW(t.load_from_file(dir.file("none")), EFOpenError);
    EXPECT_EQ(t.bytes(), bytes);
}

TEST(MemoryStream, FilesOfManyBlocksAndDirectoriesLoadAsBytesOrRaise)
{
    testing::TempDir dir;
    // Several read blocks and a partial one, so the length read beforehand must match.
    std::string bytes(3 * 65536 + 17, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 13 + i / 251);
    MemoryStream s(bytes);
    s.save_to_file(dir.file("large.bin"));
    MemoryStream t;
    t.load_from_file(dir.file("large.bin"));
    EXPECT_TRUE(t.bytes() == bytes);

    // A directory may claim any length; it still fails as a file that cannot be read.
    EXPECT_THROW(t.load_from_file(dir.path().string()), EFOpenError);
    EXPECT_TRUE(t.bytes() == bytes);
}

}  // namespace
}  // namespace zanpost
