// The real program with the [SMTP]/[POP3]/[IMAP] sections and the run log: the log keeps the
// dialogue and no secret. What stops a job before any connection is in jobs_offline_test.cpp.

#include "app/jobs_test_harness.h"

#include <gtest/gtest.h>


namespace zanpost::jobs_test {
namespace {

const std::string smtp_box = "Nepoda\u0159ilo se odeslat zpr\u00e1vu na server odchoz\u00ed po\u0161ty (SMTP).";
const std::string pop3_box = "Nepoda\u0159ilo se p\u0159ipojit k serveru p\u0159\u00edchoz\u00ed po\u0161ty (POP3).";
const std::string login_refused = "Server odm\u00edtl p\u0159ihl\u00e1\u0161en\u00ed (u\u017eivatel, heslo nebo token).";

class SecureJobTest : public JobTest {
protected:
    void SetUp() override
    {
        JobTest::SetUp();
        if (IsSkipped()) return;
        write_file(telo_get_, "z minula\r\n");
    }
};

TEST_F(SecureJobTest, TheRunLogKeepsTheDialogueAndNoPassword)
{
    const std::string secret = "tajne-heslo-42";
    set("Mail", "Heslo", secret);
    set("Mail", "Protokol", work_ + "zanpost.log");
    const Message only = plain_message("ZAN_POST log", {"tajny obsah zpravy"});
    ScriptedServer server(Conversation()
                              .say("+OK POP3 ready")
                              .reply("+OK")
                              .reply("+OK logged in")
                              .reply(listing_answer({only}))
                              .reply(uidl_answer(1))
                              .reply(top_answer(only))
                              .reply(retr_answer(only))
                              .reply("+OK deleted")
                              .reply("+OK bye"),
                          pop3_port);
    const Outcome r = run("GET");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, notice);
    // The password did go to the server, and only there.
    EXPECT_NE(server.transcript().find("PASS " + secret + "\r\n"), std::string::npos);
    const std::string log = read(work_ + "zanpost.log");
    EXPECT_EQ(log.find(secret), std::string::npos) << log;
    EXPECT_EQ(log.find("tajny obsah"), std::string::npos) << log;
    for (const char* kept : {"> USER u\n", "> PASS *****\n", "< +OK logged in\n", "> RETR 1\n", "< (message: ",
                             "> DELE 1\n", "> QUIT\n", " end GET: fetched 1, files stored 1, deleted 1, boxes 1\n"})
        EXPECT_NE(log.find(kept), std::string::npos) << kept << "\n" << log;
}

const std::string handshake_failed =
    "\u0160ifrovan\u00e9 spojen\u00ed (TLS) se nepoda\u0159ilo nav\u00e1zat - zkontrolujte Sifrovani a Port.";

// TLS from the first byte against a server that speaks plain text: the handshake fails, the
// box says so, and not a word of the login goes out.
TEST_F(SecureJobTest, ImplicitTlsAgainstAPlainServerFailsWithoutSendingTheLogin)
{
    struct Case {
        const char* job;
        const char* section;
        std::uint16_t port;
        Conversation server;
        std::string box;
    };
    std::vector<Case> cases;
    cases.push_back({"GET", "POP3", pop3_port, Conversation().say("+OK ready").reply("+OK").reply("+OK"), pop3_box});
    cases.push_back({"SEND", "SMTP", smtp_port, Conversation().say("220 ready").reply("250 ok").reply("250 ok"), smtp_box});
    for (Case& c : cases) {
        SCOPED_TRACE(c.job);
        set(c.section, "Sifrovani", "TLS");
        set(c.section, "Port", std::to_string(c.port));
        set("SMTP", "Uzivatel", "ucetni");
        set("SMTP", "Heslo", "smtp-heslo-9");
        ScriptedServer server({std::move(c.server)}, c.port);
        const Outcome r = run(c.job);
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.err, error_box(c.box + "\n" + handshake_failed));
        EXPECT_EQ(r.out, notice);
        EXPECT_LT(r.seconds, 8.0);
        EXPECT_EQ(server.transcript().find("USER"), std::string::npos) << server.transcript();
        EXPECT_EQ(server.transcript().find("PASS"), std::string::npos) << server.transcript();
        EXPECT_EQ(server.transcript().find("AUTH"), std::string::npos) << server.transcript();
        EXPECT_EQ(server.transcript().find("smtp-heslo-9"), std::string::npos);
        unset(c.section, "Sifrovani");
        unset(c.section, "Port");
    }
}

TEST_F(SecureJobTest, ThePasswordCommandGivesThePop3Password)
{
    set("POP3", "HesloPrikaz", "printf 'from-helper-77\\r\\nignored\\n'");
    set("Mail", "Protokol", work_ + "zanpost.log");
    ScriptedServer server(Conversation().say("+OK ready").reply("+OK").reply("-ERR no"), pop3_port);
    const Outcome r = run("GET");
    // With a [POP3] key set the user chose this server's security, and learns the cause.
    EXPECT_EQ(r.err, error_box(pop3_box + "\n" + login_refused));
    EXPECT_TRUE(server.transcript().starts_with("USER u\r\nPASS from-helper-77\r\n"));
    EXPECT_EQ(read(work_ + "zanpost.log").find("from-helper-77"), std::string::npos);
}

TEST_F(SecureJobTest, ALogThatCannotBeWrittenChangesNothing)
{
    set("Mail", "Protokol", work_ + "missing/dir/zanpost.log");
    set("Mail", "Telo", work_ + "telo.txt");
    write_file(work_ + "telo.txt", "Dobry den\r\n");
    ScriptedServer server({Conversation(), Conversation()
                                               .say("220 ready")
                                               .reply("250 hello")
                                               .reply("250 sender ok")
                                               .reply("250 recipient ok")
                                               .reply("354 go on")
                                               .await_data()
                                               .say("250 queued")},
                          smtp_port);
    const Outcome r = run("SEND");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, notice);
    EXPECT_TRUE(server.transcript(1).starts_with(helo_line())) << server.transcript(1);
    EXPECT_FALSE(exists(work_ + "missing"));
}

}  // namespace
}  // namespace zanpost::jobs_test
