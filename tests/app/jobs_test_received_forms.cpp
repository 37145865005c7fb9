// GET with messages as other mailers write them: nested multiparts, encoded subjects, text
// in UTF-8, file names in RFC 2231 and Windows path forms. Each either ends stored whole,
// with its text in CP1250, or stays on the server with a box.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>

namespace zanpost::jobs_test {
namespace {

// `levels` multiparts inside each other, a file in the innermost.
StringList nested_body(int levels)
{
    StringList lines;
    for (int i = 1; i < levels; ++i)
        lines.insert(lines.end(), {"--L" + std::to_string(i - 1),
                                   "Content-Type: multipart/mixed; boundary=\"L" + std::to_string(i) + "\"", ""});
    lines.insert(lines.end(), {"--L" + std::to_string(levels - 1), "Content-Disposition: attachment; filename=hluboko",
                               "", "dno"});
    for (int i = levels; i-- > 0;) lines.push_back("--L" + std::to_string(i) + "--");
    return lines;
}

struct FormCase {
    const char* what;
    Message message;
    std::map<std::string, std::string> files;  // in Cesta, by name
    std::string telo_get;                      // for a message that was stored
    bool kept = false;                         // left on the server with a box
};

class ReceivedFormsTest : public JobTest {};

TEST_F(ReceivedFormsTest, OtherMailersMessagesAreStoredWholeOrKept)
{
    const FormCase cases[] = {
        {"Outlook: mixed { alternative { plain, html }, file }",
         plain_message("ZAN_POST obraty",
                       {"--XB", "Content-Type: multipart/alternative; boundary=\"XB-alt\"", "", "--XB-alt",
                        "Content-Type: text/plain; charset=\"utf-8\"", "Content-Transfer-Encoding: quoted-printable", "",
                        "Dobr=C3=BD den", "--XB-alt", "Content-Type: text/html; charset=\"utf-8\"", "",
                        "<p>Dobr=C3=BD den</p>", "--XB-alt--", "--XB",
                        "Content-Type: application/octet-stream; name=\"v.dat\"",
                        "Content-Disposition: attachment; filename=\"v.dat\"", "Content-Transfer-Encoding: base64", "",
                        "QUJD", "RA==", "--XB-- "},
                       {"MIME-Version: 1.0", "Content-Type: multipart/mixed; boundary=\"XB\""}),
         {{"v.dat", "ABCD"}},
         " obraty\r\nDobr\xFD den\r\n"},
        {"encoded subject, base64 of width 5, RFC 2231 name",
         plain_message("=?UTF-8?Q?ZAN=5FPOST_?= =?UTF-8?Q?=C3=BA=C4=8Det?=",
                       {"--b", "Content-Disposition: attachment;", " filename*=UTF-8''%C5%99.txt",
                        "Content-Transfer-Encoding: base64", "", "QUJDR", "EVGR", "w==", "--b--"},
                       {"Content-Type: multipart/mixed; boundary=b"}),
         {{"\xF8.txt", "ABCDEFG"}},
         " \xFA\xE8" "et\r\n"},
        {"a Windows path keeps its backslashes and gives its last component",
         plain_message("ZAN_POST", {"--b", "Content-Disposition: attachment; filename=\"C:\\x\\y.txt\"", "", "obsah",
                                    "--b--"},
                       {"Content-Type: multipart/mixed; boundary=b"}),
         {{"y.txt", "obsah"}},
         "\r\n"},
        {"a bare CR inside a line of an 8bit file is data",
         plain_message("ZAN_POST", {"--b", "Content-Disposition: attachment; filename=z.csv",
                                    "Content-Transfer-Encoding: 8bit", "", "a;b\rc;d", "e;f", "--b--"},
                       {"Content-Type: multipart/mixed; boundary=b"}),
         {{"z.csv", "a;b\rc;d\r\ne;f"}},
         "\r\n"},
        {"nesting deeper than twenty levels",
         plain_message("ZAN_POST", nested_body(21), {"Content-Type: multipart/mixed; boundary=\"L0\""}),
         {},
         "",
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(cesta_);
        std::filesystem::create_directories(cesta_);
        std::filesystem::remove(telo_get_);
        ScriptedServer server(
            c.kept ? pop3_login({c.message}).reply(retr_answer(c.message)).reply("+OK")
                   : pop3_login({c.message}).reply(retr_answer(c.message)).reply("+OK").reply("+OK"),
            pop3_port);
        const Outcome r = run("GET");
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(server.transcript(), login_transcript(1) + (c.kept ? "RETR 1\r\nQUIT\r\n" : "RETR 1\r\nDELE 1\r\nQUIT\r\n"));
        EXPECT_EQ(r.err, c.kept ? error_box("Nepoda\xC5\x99ilo se rozk\xC3\xB3" "dovat text zpr\xC3\xA1vy.") : "");
        Snapshot stored;
        for (const auto& entry : std::filesystem::directory_iterator(cesta_))
            stored[entry.path().filename().string()] = read(entry.path().string());
        EXPECT_EQ(stored, (Snapshot(c.files.begin(), c.files.end())));
        if (!c.kept) {
            EXPECT_EQ(read(telo_get_), c.telo_get);
        }
    }
}

}  // namespace
}  // namespace zanpost::jobs_test
