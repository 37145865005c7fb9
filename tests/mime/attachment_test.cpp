#include "mime/attachment.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

namespace zanpost {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST(Attachment, SetTextCopiesLinesAndWritesThemAsBytes)
{
    T_Attachment part;
    part.Data.write("head:");
    part.SetText(StringList{"a", "", "b"});
    EXPECT_THAT(part.Text, ElementsAre("a", "", "b"));
    EXPECT_EQ(part.Data.bytes(), "head:a\r\n\r\nb\r\n");
}

TEST(Attachment, SetDataTakesTheWholeStreamAndEmptiesText)
{
    T_Attachment part;
    part.Text = StringList{"old"};
    MemoryStream source(std::string("bytes"));
    source.set_position(3);
    part.SetData(source);
    EXPECT_EQ(part.Data.bytes(), "bytes");
    EXPECT_EQ(part.Data.position(), 0u);
    EXPECT_EQ(source.bytes(), "bytes");
    EXPECT_THAT(part.Text, IsEmpty());

    part.Text = StringList{"old"};
    part.SetData(MemoryStream(std::string("moved")));
    EXPECT_EQ(part.Data.bytes(), "moved");
    EXPECT_THAT(part.Text, IsEmpty());
}

}  // namespace
}  // namespace zanpost
