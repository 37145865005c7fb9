// GET with messages built to hurt: boundaries that never close, a million tiny parts,
// encodings that are garbage, headers without colons, 10 MB lines. The program must go
// through each without a crash, store what can be stored, lose nothing, and keep its
// memory in proportion to the message.

#include "app/jobs_test_harness.h"
#include "support/sanitized.h"

#include <gtest/gtest.h>

namespace zanpost::jobs_test {
namespace {

using namespace std::string_literals;

using testing::sanitized;

class HostileMessageTest : public JobTest {
protected:
    // One marked message, fetched and deleted.
    Outcome fetch(const Message& message)
    {
        ScriptedServer server(pop3_login({message}).reply(retr_answer(message)).reply("+OK").reply("+OK"), pop3_port);
        Outcome r = run("GET");
        transcript_ = server.transcript();
        return r;
    }

    void expect_handled(const Outcome& r)
    {
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, notice);
        EXPECT_EQ(transcript_, login_transcript(1) + "RETR 1\r\nDELE 1\r\nQUIT\r\n");
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }

    // Peak memory within a fixed allowance plus a multiple of the message's size.
    void expect_memory_in_proportion(const Outcome& r, const Message& message, long per_byte)
    {
        if (sanitized) {
            std::cout << "memory not measured: the sanitizers' own bookkeeping would dominate it\n";
            return;
        }
        if (r.peak_kb < 0) {
            ADD_FAILURE() << "no /usr/bin/time to measure the program's memory";
            return;
        }
        std::size_t bytes = 0;
        for (const auto& line : message) bytes += line.size() + 2;
        const long allowed_kb = 16 * 1024 + per_byte * long(bytes / 1024);
        EXPECT_LE(r.peak_kb, allowed_kb) << "message of " << bytes / 1024 << " KB";
        std::cout << "peak " << r.peak_kb << " KB for a message of " << bytes / 1024 << " KB\n";
    }

    std::string transcript_;
};

Part text_part(StringList lines) { return Part{{"Content-Type: text/plain"}, std::move(lines)}; }

TEST_F(HostileMessageTest, BoundaryThatNeverClosesEndsWithTheMessage)
{
    const Message m = multipart_message("ZAN_POST", {base64_part("soubor", "attachment; filename=\"a.dat\""),
                                                     text_part({"text bez konce"})},
                                        MultipartShape{.closed = false});
    const Outcome r = fetch(m);
    expect_handled(r);
    EXPECT_EQ(read(in_cesta("a.dat")), "soubor");
    EXPECT_EQ(read(telo_get_), "\r\ntext bez konce\r\n");
}

TEST_F(HostileMessageTest, BoundaryThatNeverAppearsLeavesTheBodyAsText)
{
    const Message m = plain_message("ZAN_POST", {"jen text", "--jina-hranice", "konec"},
                                    {"Content-Type: multipart/mixed; boundary=\"nikde\""});
    const Outcome r = fetch(m);
    expect_handled(r);
    EXPECT_EQ(read(telo_get_), "\r\njen text\r\n--jina-hranice\r\nkonec\r\n");
}

TEST_F(HostileMessageTest, GarbageInBase64IsDecodedAsFarAsItGoes)
{
    const Message m = multipart_message(
        "ZAN_POST", {Part{{"Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64",
                           "Content-Disposition: attachment; filename=\"smeti.dat\""},
                          {"!!!!****", "QUJD=====x", "====", "\xFF\xFE\x80", "A", "QUJDRA"}},
                     Part{{"Content-Type: text/plain", "Content-Transfer-Encoding: base64"}, {"@@@@", "YWJj"}}});
    const Outcome r = fetch(m);
    expect_handled(r);
    EXPECT_TRUE(exists(in_cesta("smeti.dat")));
    // Base64 is one stream: what is not in the alphabet is passed over, and the first
    // padding ends the data, so the lines after it are not part of the file.
    EXPECT_EQ(read(in_cesta("smeti.dat")), "ABC");
    EXPECT_TRUE(read(telo_get_).ends_with("abc\r\n")) << read(telo_get_);
}

TEST_F(HostileMessageTest, BrokenQuotedPrintableEscapesAreKeptAsWritten)
{
    const Message m = multipart_message(
        "ZAN_POST", {Part{{"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable",
                           "Content-Disposition: attachment; filename=\"qp.txt\""},
                          {"=ZZ =4 =g0 =C8", "=", "=3"}},
                     Part{{"Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable"},
                          {"konec=", ""}}});
    const Outcome r = fetch(m);
    expect_handled(r);
    // "=" alone is a soft line break: the lines around it are one.
    EXPECT_EQ(read(in_cesta("qp.txt")), "=ZZ =4 =g0 \xC8\r\n=3");
    EXPECT_EQ(read(telo_get_), "\r\nkonec\r\n");
}

TEST_F(HostileMessageTest, HeadersWithoutColonsNameNothing)
{
    // A disposition without its colon is no disposition: the part has no name, so its lines
    // reach the output file as they came and nothing is written under a name.
    Message m = multipart_message("ZAN_POST",
                                  {Part{{"Content-Disposition attachment; filename=\"x.dat\"",
                                         "Content-Transfer-Encoding base64", "nonsense"},
                                        {"YWJj"}}});
    m.insert(m.begin() + 2, "Header without a colon");
    const Snapshot before = (write_ini(), tree());
    const Outcome r = fetch(m);
    expect_handled(r);
    EXPECT_EQ(read(telo_get_), "\r\nYWJj\r\n");
    for (const auto& path : changed(before, tree())) EXPECT_EQ(path, telo_get_);
}

TEST_F(HostileMessageTest, TenMegabyteLinesArriveWhole)
{
    std::string file(7'500'000, '\0');
    for (std::size_t k = 0; k < file.size(); ++k) file[k] = char(k * 2654435761u >> 13);
    const std::string long_text(10 * 1024 * 1024, 't');
    const Message m = multipart_message(
        "ZAN_POST " + std::string(10 * 1024 * 1024, 's'),
        {Part{{"Content-Type: application/octet-stream", "Content-Transfer-Encoding: base64",
               "Content-Disposition: attachment; filename=\"velky.dat\""},
              {base64(file)}},
         text_part({"pred", long_text, "po"})});
    const Outcome r = fetch(m);
    expect_handled(r);
    EXPECT_TRUE(read(in_cesta("velky.dat")) == file);
    EXPECT_TRUE(read(telo_get_) == " " + std::string(10 * 1024 * 1024, 's') + "\r\npred\r\n" + long_text + "\r\npo\r\n");
    expect_memory_in_proportion(r, m, 8);
}

TEST_F(HostileMessageTest, MillionTinyParts)
{
    constexpr std::size_t parts = 1'000'000;
    Message m = plain_message("ZAN_POST", {}, {"Content-Type: multipart/mixed; boundary=b"});
    m.reserve(m.size() + 3 * parts + 1);
    for (std::size_t k = 0; k < parts; ++k) {
        m.push_back("--b");
        m.push_back("");
        m.push_back(k % 2 ? "x" : "y");
    }
    m.push_back("--b--");
    const Outcome r = fetch(m);
    expect_handled(r);
    const std::string text = read(telo_get_);
    EXPECT_EQ(text.size(), 2 + parts * 3);
    EXPECT_TRUE(text.starts_with("\r\ny\r\nx\r\ny\r\n"));
    EXPECT_LT(r.seconds, 60.0);
    expect_memory_in_proportion(r, m, 40);
}

}  // namespace
}  // namespace zanpost::jobs_test
