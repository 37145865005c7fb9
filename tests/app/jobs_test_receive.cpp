// GET against a scripted POP3 server: what each kind of received message leaves in Cesta and
// in Telo_Get, which messages are deleted, and that a name from a message never reaches a
// file it must not touch.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace zanpost::jobs_test {
namespace {

using namespace std::string_literals;

// Every marked message of the mailbox is fetched and deleted, then QUIT.
Conversation all_handled(const std::vector<Message>& mailbox)
{
    Conversation c = pop3_login(mailbox);
    for (const Message& m : mailbox) c.reply(retr_answer(m)).reply("+OK deleted");
    return c.reply("+OK bye");
}

std::string all_handled_transcript(std::size_t messages)
{
    std::string sent = login_transcript(messages);
    for (std::size_t k = 1; k <= messages; ++k) sent += "RETR " + std::to_string(k) + "\r\nDELE " + std::to_string(k) + "\r\n";
    return sent + "QUIT\r\n";
}

class ReceiveJobTest : public JobTest {
protected:
    // A run that met no failure of its own: the notice and nothing else, exit code 0, and
    // no unfinished write left anywhere.
    void expect_clean(const Outcome& r)
    {
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out, notice);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }

    // Written before the snapshot, so that the run's own INI does not count as a change.
    Snapshot tree_before()
    {
        write_ini();
        return tree();
    }

    // Only these files (under the test's tree) may differ after the run.
    void expect_only_changed(const Snapshot& before, std::vector<std::string> allowed)
    {
        std::sort(allowed.begin(), allowed.end());
        auto actual = changed(before, tree());
        std::sort(actual.begin(), actual.end());
        for (const auto& path : actual)
            EXPECT_TRUE(std::binary_search(allowed.begin(), allowed.end(), path)) << "unexpected write: " << path;
    }
};

TEST_F(ReceiveJobTest, SinglePartMessageGivesItsMarkerLineAndBody)
{
    const Message plain = plain_message("zan_post obraty 12/2026", {"Radek 1", ".tecka na zacatku", "=", "", "konec"});
    const Message qp = plain_message("ZAN_POST", {"=C8esk=E1 slova, dlouh=", "y radek", "x=3D1"},
                                     {"Content-Type: text/plain; charset=windows-1250",
                                      "Content-Transfer-Encoding: quoted-printable"});
    ScriptedServer server(all_handled({plain, qp}), pop3_port);
    const Outcome r = run("GET");
    expect_clean(r);
    EXPECT_EQ(server.transcript(), all_handled_transcript(2));
    EXPECT_EQ(read(telo_get_), " obraty 12/2026\r\nRadek 1\r\n.tecka na zacatku\r\n=\r\n\r\nkonec\r\n"
                               "\r\n\xC8" "esk\xE1 slova, dlouhy radek\r\nx=1\r\n");
}

TEST_F(ReceiveJobTest, MessageWithoutMarkerStaysUntouched)
{
    const Message other = plain_message("Faktura", {"nic pro nas"});
    const Message ours = plain_message("Re: ZAN_POST", {"pro nas"});
    write_file(telo_get_, "z minula\r\n");
    ScriptedServer server(pop3_login({other, ours}).reply(retr_answer(ours)).reply("+OK").reply("+OK"), pop3_port);
    const Outcome r = run("GET");
    expect_clean(r);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), "\r\npro nas\r\n");
}

TEST_F(ReceiveJobTest, EmptyMailboxLeavesAnOldOutputFileAlone)
{
    write_file(telo_get_, "z minula\r\n");
    ScriptedServer server(pop3_login({}).reply("+OK bye"), pop3_port);
    const Outcome r = run("GET");
    expect_clean(r);
    EXPECT_EQ(server.transcript(), "USER u\r\nPASS p\r\nLIST\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), "z minula\r\n");
}

TEST_F(ReceiveJobTest, PartZeroWithoutPreambleIsARealPart)
{
    const Message m = multipart_message(
        "ZAN_POST", {base64_part("prvni\x00\xFF"s, "attachment; filename=\"prvni.dat\""),
                     Part{{"Content-Type: text/plain"}, {"text za souborem"}}},
        MultipartShape{.preamble = false});
    ScriptedServer server(all_handled({m}), pop3_port);
    const Outcome r = run("GET");
    expect_clean(r);
    EXPECT_EQ(server.transcript(), all_handled_transcript(1));
    EXPECT_EQ(read(in_cesta("prvni.dat")), "prvni\x00\xFF"s);
    EXPECT_EQ(read(telo_get_), "\r\ntext za souborem\r\n");
}

TEST_F(ReceiveJobTest, PreambleIsNotText)
{
    Message m = multipart_message("ZAN_POST", {Part{{"Content-Type: text/plain"}, {"jen tohle"}}},
                                  MultipartShape{.preamble = false});
    // "This is a multi-part message in MIME format." before the first delimiter.
    m.insert(m.begin() + 6, "This is a multi-part message in MIME format.");
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(read(telo_get_), "\r\njen tohle\r\n");
}

TEST_F(ReceiveJobTest, FileNameParameterInEveryUsualForm)
{
    const Message m = multipart_message(
        "ZAN_POST",
        {base64_part("A", "attachment; filename=\"a.dat\""), base64_part("B", "attachment; filename=b.dat"),
         base64_part("C", "ATTACHMENT; FileName=\"c.dat\""),
         base64_part("D", "attachment; modification-date=\"Mon, 7 Dec 2026 08:00:00 +0100\"; filename=\"d.dat\""),
         base64_part("E", "attachment;filename=e.dat;size=1"),
         base64_part("F", "inline; FILENAME=\"\xFA\xE8" "et s mezerou.csv\"")});
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(server.transcript(), all_handled_transcript(1));
    for (const auto& [name, content] : std::vector<std::pair<std::string, std::string>>{
             {"a.dat", "A"}, {"b.dat", "B"}, {"c.dat", "C"}, {"d.dat", "D"}, {"e.dat", "E"},
             {"\xFA\xE8" "et s mezerou.csv", "F"}})
        EXPECT_EQ(read(in_cesta(name)), content) << name;
    // The date is not a name.
    EXPECT_FALSE(exists(in_cesta("Mon, 7 Dec 2026 08:00:00 +0100")));
}

TEST_F(ReceiveJobTest, NamedTextPartIsStoredAsItsLinesJoinedByCrLf)
{
    const Message m = multipart_message(
        "ZAN_POST",
        {Part{{"Content-Type: text/csv; charset=windows-1250", "Content-Transfer-Encoding: quoted-printable",
               "Content-Disposition: attachment; filename=\"saldo.csv\""},
              {"k=F3d;=E8=E1stka", "1;dlouh=", "=FD;100", ""}},
         Part{{"Content-Type: text/plain", "Content-Transfer-Encoding: 7bit",
               "Content-Disposition: attachment; filename=\"bez_konce.txt\""},
              {"prvni", "posledni bez konce radku"}},
         Part{{"Content-Type: text/plain"}, {"text zpravy"}}});
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(read(in_cesta("saldo.csv")), "k\xF3" "d;\xE8\xE1stka\r\n1;dlouh\xFD;100\r\n");
    EXPECT_EQ(read(in_cesta("bez_konce.txt")), "prvni\r\nposledni bez konce radku");
    EXPECT_EQ(read(telo_get_), "\r\ntext zpravy\r\n");
}

TEST_F(ReceiveJobTest, UnnamedBase64TextGoesToTheOutputFile)
{
    const Message m = multipart_message(
        "ZAN_POST", {base64_part("\xF8\xE1" "dek 1\r\n\xF8\xE1" "dek 2\r\n", "", "text/plain; charset=windows-1250"),
                     base64_part("bez typu", "", "")});
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(read(telo_get_), "\r\n\xF8\xE1" "dek 1\r\n\xF8\xE1" "dek 2\r\nbez typu\r\n");
}

TEST_F(ReceiveJobTest, UnnamedBinaryPartKeepsItsMessageOnTheServer)
{
    const Message binary = multipart_message("ZAN_POST prvni", {Part{{"Content-Type: text/plain"}, {"text prvni"}},
                                                                base64_part("\x01\x02\x03", "", "image/png")});
    const Message fine = multipart_message("ZAN_POST druha", {base64_part("2", "attachment; filename=\"druha.dat\""),
                                                               Part{{"Content-Type: text/plain"}, {"text druhe"}}});
    const Snapshot before = tree_before();
    ScriptedServer server(pop3_login({binary, fine})
                              .reply(retr_answer(binary))
                              .reply(retr_answer(fine))
                              .reply("+OK")
                              .reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, file_not_saved(cesta_));
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    // The kept message brings its text next time, with its part.
    EXPECT_EQ(read(telo_get_), " druha\r\ntext druhe\r\n");
    EXPECT_EQ(read(in_cesta("druha.dat")), "2");
    expect_only_changed(before, {telo_get_, in_cesta("druha.dat")});
}

TEST_F(ReceiveJobTest, EmptyAttachedFileReplacesAnOldOne)
{
    write_file(in_cesta("prazdny.dat"), "stary obsah");
    const Message m = multipart_message("ZAN_POST", {base64_part("", "attachment; filename=\"prazdny.dat\"")});
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(server.transcript(), all_handled_transcript(1));
    EXPECT_TRUE(exists(in_cesta("prazdny.dat")));
    EXPECT_EQ(read(in_cesta("prazdny.dat")), "");
}

TEST_F(ReceiveJobTest, LaterFileOfTheSameNameWins)
{
    const Message first = multipart_message("ZAN_POST 1", {base64_part("prvni", "attachment; filename=\"x.dat\"")});
    const Message second = multipart_message("ZAN_POST 2", {base64_part("druhy", "attachment; filename=\"x.dat\"")});
    ScriptedServer server(all_handled({first, second}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(read(in_cesta("x.dat")), "druhy");
    EXPECT_EQ(read(telo_get_), " 1\r\n 2\r\n");
}

TEST_F(ReceiveJobTest, NamesThatClimbOutAreStoredInsideCesta)
{
    const Message m = multipart_message(
        "ZAN_POST", {base64_part("1", "attachment; filename=\"..\\\\..\\\\x1.dat\""),
                     base64_part("2", "attachment; filename=\"../x2.dat\""),
                     base64_part("3", "attachment; filename=\"C:\\\\x3.dat\""),
                     base64_part("4", "attachment; filename=\"/etc/zanpost_x4.dat\""),
                     base64_part("5", "attachment; filename=\"../../../x5.dat\""),
                     base64_part("6", "attachment; filename=\"C:x6.dat\"")});
    const Snapshot before = tree_before();
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(server.transcript(), all_handled_transcript(1));
    std::vector<std::string> allowed{telo_get_};
    for (int k = 1; k <= 6; ++k) {
        const std::string name = k == 4 ? "zanpost_x4.dat" : "x" + std::to_string(k) + ".dat";
        EXPECT_EQ(read(in_cesta(name)), std::to_string(k)) << name;
        allowed.push_back(in_cesta(name));
    }
    expect_only_changed(before, allowed);
    EXPECT_FALSE(exists("/etc/zanpost_x4.dat"));
}

TEST_F(ReceiveJobTest, LinkInCestaIsReplacedNotFollowed)
{
    // A link placed in Cesta must not carry a received file to where it points.
    const std::string outside = work_ + "mimo.txt";
    write_file(outside, "nedotknuto");
    std::filesystem::create_symlink(outside, in_cesta("odkaz.dat"));
    const Message m = multipart_message("ZAN_POST", {base64_part("novy obsah", "attachment; filename=\"odkaz.dat\"")});
    ScriptedServer server(all_handled({m}), pop3_port);
    expect_clean(run("GET"));
    EXPECT_EQ(read(outside), "nedotknuto");
    EXPECT_FALSE(std::filesystem::is_symlink(in_cesta("odkaz.dat")));
    EXPECT_EQ(read(in_cesta("odkaz.dat")), "novy obsah");
}

// A name that cannot be a plain file inside Cesta: its message gets the save-failure box
// and stays on the server, and the next message of the run is handled as usual.
struct RefusedName {
    RefusedName(std::string quoted, std::string unquoted = {}) : name(std::move(quoted)), shown(std::move(unquoted)) {}
    std::string name;   // as the disposition's quoted string carries it
    std::string shown;  // as the failure box shows it, when that differs
};

// A 10,000-character name would fill the failure report.
void PrintTo(const RefusedName& refused, std::ostream* os)
{
    *os << ::testing::PrintToString(refused.name.substr(0, 40)) << (refused.name.size() > 40 ? "..." : "");
}

class RefusedNameTest : public ReceiveJobTest, public ::testing::WithParamInterface<RefusedName> {};

TEST_P(RefusedNameTest, KeepsItsMessageAndLetsTheNextOneThrough)
{
    const std::string& name = GetParam().name;
    const Message bad = multipart_message("ZAN_POST spatna",
                                          {base64_part("zly obsah", "attachment; filename=\"" + name + "\""),
                                           Part{{"Content-Type: text/plain"}, {"text spatne"}}});
    const Message good = multipart_message("ZAN_POST dobra", {base64_part("dobry", "attachment; filename=\"dobra.dat\""),
                                                              Part{{"Content-Type: text/plain"}, {"text dobre"}}});
    const Snapshot before = tree_before();
    ScriptedServer server(
        pop3_login({bad, good}).reply(retr_answer(bad)).reply(retr_answer(good)).reply("+OK").reply("+OK"), pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, file_not_saved(cesta_ + (GetParam().shown.empty() ? name : GetParam().shown)));
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nRETR 2\r\nDELE 2\r\nQUIT\r\n");
    EXPECT_EQ(read(telo_get_), " dobra\r\ntext dobre\r\n");
    EXPECT_EQ(read(in_cesta("dobra.dat")), "dobry");
    expect_only_changed(before, {telo_get_, in_cesta("dobra.dat")});
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Names, RefusedNameTest,
    ::testing::Values(RefusedName{"CON"}, RefusedName{"nul.txt"}, RefusedName{"COM1"}, RefusedName{"lpt9.dat"},
                      RefusedName{"Aux.Tar.Gz"}, RefusedName{"cOm5.csv"}, RefusedName{"PRN"}, RefusedName{".."},
                      RefusedName{"."}, RefusedName{"..\\\\..", "..\\.."}, RefusedName{"data.dat:skryty"},
                      RefusedName{"a\x01" "b.dat"}, RefusedName{"tab\tjmeno.dat"}, RefusedName{"radek\x7F.dat"},
                      RefusedName{"nul\0uvnitr.dat"s}, RefusedName{std::string(10000, 'n')}),
    [](const ::testing::TestParamInfo<RefusedName>& info) { return "n" + std::to_string(info.index); });

TEST_F(ReceiveJobTest, NamesOfTheProgramsOwnFilesAreRefused)
{
    // Cesta is the program's own directory, and the body and output files lie there too.
    set("Soubory", "Cesta", home_);
    const std::string telo_get = home_ + "prijato.txt";
    const std::string telo = home_ + "telo.txt";
    set("Mail", "Telo_Get", telo_get);
    set("Mail", "Telo", telo);
    write_file(telo_get, "z minula\r\n");
    write_file(telo, "telo k odeslani\r\n");
    const Message m = multipart_message(
        "ZAN_POST", {base64_part("zly 1", "attachment; filename=\"prijato.txt\""),
                     base64_part("zly 2", "attachment; filename=\"TELO.TXT\""),
                     base64_part("zly 3", "attachment; filename=\"zan_post.INI\""),
                     base64_part("zly 4", "attachment; filename=\"zanpost\""),
                     base64_part("zly 5", "attachment; filename=\"Zan_Post.ini\"")});
    const std::string ini = home_ + "Zan_Post.ini";
    ScriptedServer server(pop3_login({m}).reply(retr_answer(m)).reply("+OK"), pop3_port);
    const Snapshot before = tree_before();
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, file_not_saved(home_ + "prijato.txt") + file_not_saved(home_ + "TELO.TXT") +
                         file_not_saved(home_ + "zan_post.INI") + file_not_saved(home_ + "zanpost") +
                         file_not_saved(home_ + "Zan_Post.ini"));
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nQUIT\r\n");
    EXPECT_EQ(read(telo), "telo k odeslani\r\n");
    EXPECT_EQ(read(ini), before.at(ini));
    EXPECT_EQ(read(exe_), before.at(exe_));
    // The kept message adds nothing, and as no message was stored the file stays as it was.
    EXPECT_EQ(read(telo_get), "z minula\r\n");
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ReceiveJobTest, OwnFilesAreRefusedAlsoWhenCestaNamesTheirDirectoryAnotherWay)
{
    // Cesta reaches the program's directory through a link: the program finds its own path
    // with links resolved, so the texts of the paths differ, yet a stored part would replace
    // the program, its configuration or the output file.
    const std::string alias = work_ + "zkratka";
    std::filesystem::create_directory_symlink(home_, alias);
    set("Soubory", "Cesta", alias + "/");
    set("Mail", "Telo_Get", home_ + "prijato.txt");
    const Message m = multipart_message(
        "ZAN_POST", {base64_part("zly 1", "attachment; filename=\"Zan_Post.ini\""),
                     base64_part("zly 2", "attachment; filename=\"zanpost\""),
                     base64_part("zly 3", "attachment; filename=\"prijato.txt\"")});
    ScriptedServer server(pop3_login({m}).reply(retr_answer(m)).reply("+OK"), pop3_port);
    const Snapshot before = tree_before();
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, file_not_saved(alias + "/Zan_Post.ini") + file_not_saved(alias + "/zanpost") +
                         file_not_saved(alias + "/prijato.txt"));
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nQUIT\r\n");
    EXPECT_EQ(read(home_ + "Zan_Post.ini"), before.at(home_ + "Zan_Post.ini"));
    EXPECT_EQ(read(exe_), before.at(exe_));
    // No message was stored: no output file is made.
    EXPECT_FALSE(exists(home_ + "prijato.txt"));
}

TEST_F(ReceiveJobTest, UnwritableOutputFileKeepsTheMessageOnTheServer)
{
    set("Mail", "Telo_Get", work_ + "chybi/prijato.txt");
    const Message m = multipart_message("ZAN_POST", {base64_part("data", "attachment; filename=\"x.dat\""),
                                                     Part{{"Content-Type: text/plain"}, {"text"}}});
    ScriptedServer server(pop3_login({m}).reply(retr_answer(m)).reply("+OK"), pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, output_not_saved);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nQUIT\r\n");
    EXPECT_FALSE(exists(work_ + "chybi"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ReceiveJobTest, TargetsThatAreDirectoriesLeaveNoTemporaryFilesBehind)
{
    // The whole new file is written beside the target before the rename fails.
    std::filesystem::create_directories(in_cesta("sub/x"));
    std::filesystem::create_directories(work_ + "vystup/y");
    set("Mail", "Telo_Get", work_ + "vystup");
    // The output file is written only for a message stored whole: the second message,
    // without files, is deleted, and its text meets the directory standing in for the output
    // file just before QUIT; the session ends without QUIT, so the deletion never happens.
    const Message m = multipart_message("ZAN_POST", {base64_part("obsah", "attachment; filename=\"sub\""),
                                                     Part{{"Content-Type: text/plain"}, {"text"}}});
    const Message text_only = plain_message("ZAN_POST 2", {"text"});
    ScriptedServer server(pop3_login({m, text_only}).reply(retr_answer(m)).reply(retr_answer(text_only)).reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, file_not_saved(in_cesta("sub")) + output_not_saved);
    EXPECT_EQ(server.transcript(), login_transcript(2) + "RETR 1\r\nRETR 2\r\nDELE 2\r\n");
    EXPECT_TRUE(std::filesystem::is_directory(in_cesta("sub/x")));
    EXPECT_TRUE(std::filesystem::is_directory(work_ + "vystup/y"));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(ReceiveJobTest, WithoutAnOutputFileNothingIsDeleted)
{
    unset("Mail", "Telo_Get");
    const Message m = plain_message("ZAN_POST", {"text"});
    ScriptedServer server(pop3_login({m}).reply(retr_answer(m)).reply("+OK"), pop3_port);
    const Snapshot before = tree_before();
    const Outcome r = run("GET");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, output_not_saved);
    EXPECT_EQ(r.out, notice);
    EXPECT_EQ(server.transcript(), login_transcript(1) + "RETR 1\r\nQUIT\r\n");
    EXPECT_EQ(changed(before, tree()), std::vector<std::string>{});
}

TEST_F(ReceiveJobTest, OutputFileWithTheLongestNameIsReplaced)
{
    // The longest name the file system allows: the temporary file beside it has a short
    // name of its own, so the new text is written as for any other name.
    const std::string telo_get = work_ + std::string(255 - 4, 'o') + ".txt";
    set("Mail", "Telo_Get", telo_get);
    write_file(telo_get, "z minula\r\n");
    const Message first = plain_message("ZAN_POST 1", {"prvni"});
    const Message second = plain_message("ZAN_POST 2", {"druha"});
    ScriptedServer server(pop3_login({first, second})
                              .reply(retr_answer(first))
                              .reply("+OK")
                              .reply(retr_answer(second))
                              .reply("+OK")
                              .reply("+OK"),
                          pop3_port);
    const Outcome r = run("GET");
    expect_clean(r);
    EXPECT_EQ(server.transcript(), all_handled_transcript(2));
    EXPECT_EQ(read(telo_get), " 1\r\nprvni\r\n 2\r\ndruha\r\n");
}

}  // namespace
}  // namespace zanpost::jobs_test
