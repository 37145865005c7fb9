#include "rtl/exceptions.h"
#include "rtl/file_reader.h"
#include "rtl/string_list.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace zanpost {
namespace {

using namespace std::string_literals;
using ::zanpost::testing::TempDir;
using ::zanpost::testing::write_file;

// What the whole text gives when it is split into lines and each is sent with CR LF: the
// form a body has always had on the wire.
std::string lines_as_sent(const std::string& text) { return join_crlf(split_lines(text)); }

const std::vector<std::string> line_end_texts{
    ""s,          "a"s,          "a\r\n"s,      "\r\n"s,        "\r"s,           "\n"s,
    "a\rb"s,      "a\nb"s,       "a\r\nb"s,     "a\n\rb"s,      "a\r\r\nb"s,     "\r\r"s,
    "\n\n"s,      "\r\n\r\n"s,   "x\0y\r\n"s,   "ab\r\ncd\0"s,  "\0"s,           "a\r\0\nb"s,
    ".dot\r\n..\n"s, "trailing  \r\n\t\r"s, "last line without end"s, "\xE8\xE1st\r\n\xFF"s,
};

TEST(CrlfText, GivesTheLinesOfSplitLinesHoweverTheTextIsCut)
{
    for (const std::string& text : line_end_texts) {
        SCOPED_TRACE(::testing::PrintToString(text));
        const std::string expected = lines_as_sent(text);
        // Every cut into two pieces, and a byte at a time.
        for (std::size_t cut = 0; cut <= text.size(); ++cut) {
            CrlfText converter;
            std::string out;
            converter.convert(std::string_view(text).substr(0, cut), out);
            converter.convert(std::string_view(text).substr(cut), out);
            converter.finish(out);
            EXPECT_EQ(out, expected) << "cut at " << cut;
        }
        CrlfText converter;
        std::string out;
        for (const char c : text) converter.convert(std::string_view(&c, 1), out);
        converter.finish(out);
        EXPECT_EQ(out, expected) << "a byte at a time";
        EXPECT_EQ(converter.ended(), text.find('\0') != std::string::npos);
    }
}

// Text of `size` bytes whose line ends take every form, one of them a CR LF pair across
// the reader's first piece boundary when the text reaches it.
std::string mixed_text(std::size_t size)
{
    static const char* const ends[] = {"\r\n", "\n", "\r", "\n\r"};
    std::string text;
    for (std::size_t k = 0; text.size() < size; ++k) {
        text += (k % 5 == 0 ? "." : "") + std::string(k % 70, char('a' + k % 26));
        text += ends[k % 4];
    }
    text.resize(size);
    if (size > TextFileReader::piece_size) {
        text[TextFileReader::piece_size - 1] = '\r';
        text[TextFileReader::piece_size] = '\n';
    }
    return text;
}

TEST(TextFileReader, ReadsTheLinesLoadFromFileGivesInBoundedBlocks)
{
    constexpr std::size_t piece = TextFileReader::piece_size;
    TempDir dir;
    const std::string path = dir.file("telo.txt");
    struct Case {
        std::string what;
        std::string text;
    };
    std::vector<Case> cases;
    const std::vector<std::size_t> sizes{0, 1, 2, 3, 57, 58, piece - 1, piece, piece + 1, 3 * piece + 7};
    for (const std::size_t size : sizes)
        cases.push_back({"mixed text of " + std::to_string(size) + " bytes", mixed_text(size)});
    cases.push_back({"CR line ends alone", std::string(2 * piece + 3, '\r')});
    cases.push_back({"one line longer than a piece", std::string(3 * piece, 'x')});
    cases.push_back({"a NUL in the second piece", std::string(piece + 10, 'y') + "\0z\r\n"s});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(path, c.text);
        StringList lines;
        load_from_file(lines, path);

        TextFileReader reader(path);
        std::string block;
        std::string all;
        std::size_t largest = 0;
        while (reader.next(block)) {
            EXPECT_FALSE(block.empty());
            all += block;
            largest = std::max(largest, block.size());
        }
        EXPECT_TRUE(block.empty());
        EXPECT_FALSE(reader.next(block));
        EXPECT_EQ(all, join_crlf(lines));
        // No more than a piece's worth at a time (a lone CR becomes two bytes).
        EXPECT_LE(largest, 2 * piece);
    }
}

TEST(FileReader, AFileThatCannotBeOpenedRaisesAtTheOpening)
{
    TempDir dir;
    const std::string missing = dir.file("chybi.dat");
    try {
        FileReader reader(missing);
        ADD_FAILURE() << "a missing file must raise";
    } catch (const EFOpenError& e) {
        EXPECT_EQ(e.message(), "Cannot open file " + missing);
    }
    EXPECT_THROW(TextFileReader{missing}, EFOpenError);
#ifndef _WIN32
    // A directory opens with the C library here, but its first read fails: as with
    // load_from_file, that is a file that cannot be opened.
    EXPECT_THROW(TextFileReader{dir.path().string()}, EFOpenError);
#endif
}

TEST(FileReader, WhatHappensToTheFileAfterItsOpeningDecidesWhatIsRead)
{
    const std::string content(100000, 'q');
    struct Case {
        const char* what;
        void (*change)(const std::string& path);
        bool whole;  // read to the end as it was; else the read raises
    };
    const Case cases[] = {
        {"nothing", [](const std::string&) {}, true},
#ifndef _WIN32
        // An open file stays readable through its handle on POSIX.
        {"removed", [](const std::string& path) { std::filesystem::remove(path); }, true},
        {"made unreadable",
         [](const std::string& path) { std::filesystem::permissions(path, std::filesystem::perms::none); }, true},
#endif
        {"cut short", [](const std::string& path) { std::filesystem::resize_file(path, 4000); }, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string path = dir.file("data.dat");
        write_file(path, content);
        FileReader reader(path);
        EXPECT_EQ(reader.opened_length(), 100000);
        std::string first(1000, '\0');
        ASSERT_EQ(reader.read(first.data(), first.size()), first.size());
        c.change(path);
        std::string rest(200000, '\0');
        if (c.whole) {
            rest.resize(reader.read(rest.data(), rest.size()));
            EXPECT_EQ(first + rest, content);
        } else {
            try {
                reader.read(rest.data(), rest.size());
                ADD_FAILURE() << "a file cut short must not pass for whole";
            } catch (const EReadError& e) {
                EXPECT_EQ(e.message(), "Cannot read file " + path);
            }
        }
    }
}

TEST(FileReader, AFileThatGrowsIsReadToItsNewEnd)
{
    TempDir dir;
    const std::string path = dir.file("data.dat");
    write_file(path, "abc");
    FileReader reader(path);
    write_file(path, "abcdef");
    std::string all(10, '\0');
    all.resize(reader.read(all.data(), all.size()));
    EXPECT_EQ(all, "abcdef");
    // At the end, a further read gives nothing.
    EXPECT_EQ(reader.read(all.data(), all.size()), 0u);
}

}  // namespace
}  // namespace zanpost
