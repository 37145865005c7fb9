"""GET over IMAP, end to end: the program against Dovecot IMAP on 143 (STARTTLS, or in the clear
on 127.0.0.1) and 993, with [IMAP] Presun (taken messages moved there) and without (deleted), a
mailbox that a second client changes while the program reads it, and XOAUTH2 with a token the
program fetches from the run's token service ([OAuth] Tok=aplikace).

What the program did is checked from three sides: the files and text it stored, the mailbox as
a second IMAP client sees it (unmarked messages unread and where they were, what another client
marked \\Deleted still there), and Dovecot's own count of what each session fetched and expunged
(see tests/e2e/mailservers.sh), which shows that a later GET asks only for new mail.

    tests/e2e/run_in_mailns python3 tests/e2e/test_imap.py build/linux/zanpost [unittest args]
"""

import collections
import os
import pathlib
import random
import re
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mailharness import Installation, MailServers, leaks, left_files, marked_message  # noqa: E402

PROGRAM = SERVERS = TLS = OAUTH = None
NOTICE = "ZanPost: Přenos dat je ukončen. Je-li to potřeba, zavěste modem.\n"
# A folder name beyond ASCII: CP1250 in the INI, modified UTF-7 at the server.
PRESUN, PRESUN_AT_SERVER = "Převzato", "P&AVk-evzato"
BODY = ["Příliš žluťoučký kůň", ".tecka", "", "konec"]


def setUpModule():
    global SERVERS, TLS, OAUTH
    SERVERS = MailServers.from_environment()
    TLS, OAUTH = SERVERS.tls, SERVERS.oauth


def marked(name, size=3000):
    return marked_message(name, random.Random(name).randbytes(size))


def ordinary(name):
    return f"From: dodavatel@firma.example\nSubject: faktura {name}\n\nradek {name}\n".encode()


def subjects(messages):
    return [m.header("Subject").decode() for m in messages]


def oauth_keys():
    return dict(Tok="aplikace", Tenant=OAUTH.tenant, KlientID=OAUTH.client_id, KlientHeslo=OAUTH.client_secret,
                Adresa=OAUTH.ms_url(OAUTH.tenant), CA=TLS.ca)


class ImapJobTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        OAUTH.reset()

    def install(self, host=None, imap=None, oauth=None):
        """An installation that sends to port 25 and gets over IMAP from `host` with `imap` keys."""
        directory = tempfile.TemporaryDirectory(prefix="zp-e2e-imap-")
        self.addCleanup(directory.cleanup)
        inst = Installation(directory.name, PROGRAM)
        (inst.work / "telo.txt").write_bytes("".join(line + "\r\n" for line in BODY).encode("cp1250"))
        login = {"Uzivatel": SERVERS.user, "Heslo": None if oauth else SERVERS.password}
        inst.configure({
            "Mail": dict(login, SMTP=SERVERS.host, POP3=host or SERVERS.host, Prijem="IMAP",
                         Odesilatel="ucetni@pobocka.example", Adresat=SERVERS.address, Telo="telo.txt",
                         Telo_Get="prijato.txt", Timeout=20, Protokol=inst.log),
            "IMAP": imap or {},
            "Soubory": {"Cesta": f"{inst.files}/"},
            **({"OAuth": oauth} if oauth else {}),
        })
        return inst

    def send(self, inst, tag, data):
        """SEND of one marked message with a file, as a branch sends it; the file is then
        removed, so that only GET can bring it back."""
        (inst.files / f"{tag}.dbf").write_bytes(data)
        inst.configure(dict(inst.sections, Mail=dict(inst.sections["Mail"], Predmet=f"ZAN_POST {tag}"),
                            Soubory=dict(inst.sections["Soubory"], Soubory=f"{tag}.dbf")))
        waiting = SERVERS.count()
        run = inst.run("SEND")
        self.assertEqual((run.stderr, run.stdout, run.code), ("", NOTICE, 0))
        SERVERS.wait_count(waiting + 1)
        (inst.files / f"{tag}.dbf").unlink()

    def get(self, inst, process=None):
        """GET (or the end of one started before), which must end without a box; its run."""
        run = inst.finish(process) if process else inst.run("GET")
        self.assert_clean(inst, run)
        self.assertEqual((run.stderr, run.stdout, run.code), ("", NOTICE, 0), run.stderr)
        return run

    def take_text(self, inst):
        """Telo_Get as the last run wrote it, removed so the next run's stands alone."""
        path = inst.work / "prijato.txt"
        text = path.read_bytes() if path.exists() else b""
        path.unlink(missing_ok=True)
        return text

    def assert_clean(self, inst, run):
        """No password or token in any output, the run log or a file the program left."""
        secrets = {SERVERS.password, os.environ["ZP_OAUTH_TOKEN"], *OAUTH.secrets()}
        places = dict(left_files(inst.root), output=run.stdout_bytes + run.stderr_bytes)
        self.assertEqual(leaks(secrets, SERVERS.user, places), {})

    def logins(self, mark):
        """(method, address reached, over TLS) of each IMAP login Dovecot logged since `mark`."""
        log = SERVERS.dovecot_log.read_bytes()[mark:].decode(errors="replace")
        return [(m[0], m[1], "TLS" in m[2])
                for m in re.findall(rf"imap-login: Info: Login: user=<{SERVERS.user}>, method=(\S+), rip=\S+, "
                                    r"lip=([\d.]+), mpid=\d+, ([^\n]*)", log)]

    @staticmethod
    def fetched(mark):
        """Dovecot's counters summed over the program's IMAP sessions since `mark`."""
        return sum(map(collections.Counter, SERVERS.imap_sessions(mark, count=1)), collections.Counter())


class RoundTripTest(ImapJobTest):
    # (case, address, [IMAP] keys, Presun, [OAuth] keys, the login Dovecot logs: method, TLS)
    CASES = [
        ("143 STARTTLS, moved", "host", dict(Sifrovani="STARTTLS"), PRESUN, None, ("PLAIN", True)),
        ("993 TLS, deleted", "host", dict(Sifrovani="TLS", Port="993"), None, None, ("PLAIN", True)),
        ("143 in the clear on 127.0.0.1, CRAM-MD5, moved", None, dict(Overeni="CRAM-MD5"), "Presun", None,
         ("CRAM-MD5", False)),
        ("993 XOAUTH2 with the program's own token, deleted", "host", dict(Sifrovani="TLS", Overeni="XOAUTH2"),
         None, oauth_keys, ("XOAUTH2", True)),
    ]

    def test_marked_mail_is_taken_and_the_rest_stays_unread(self):
        for case, host, imap, presun, oauth, login in self.CASES:
            with self.subTest(case):
                SERVERS.clear()
                OAUTH.reset()
                keys = dict(imap, Presun=presun)
                if host:
                    keys.update(CA=TLS.ca, Jmeno=TLS.name)
                inst = self.install(getattr(TLS, host) if host else None, keys, oauth and oauth())
                data = random.Random(case).randbytes(80_000)
                self.send(inst, "vykaz", data)
                with SERVERS.imap() as other:
                    sent = other.messages()[0].raw
                    other.append(ordinary("nova"))
                    # Marked deleted by someone else, who has not expunged yet: it must stay.
                    other.append(ordinary("ke smazani"), flags="\\Deleted")
                mark = SERVERS.dovecot_log.stat().st_size

                self.get(inst)
                self.assertEqual((inst.files / "vykaz.dbf").read_bytes(), data)
                self.assertEqual(self.take_text(inst),
                                 "".join(line + "\r\n" for line in [" vykaz"] + BODY + [""]).encode("cp1250"))
                inbox = SERVERS.folder()
                self.assertEqual([(s, m.flags) for s, m in zip(subjects(inbox), inbox)],
                                 [("faktura nova", set()), ("faktura ke smazani", {"\\Deleted"})])
                moved = SERVERS.folder(PRESUN_AT_SERVER if presun == PRESUN else presun or "Presun")
                self.assertEqual([m.raw for m in moved], [sent] if presun else [])
                self.assertEqual(SERVERS.folder("Trash"), [])
                address = getattr(TLS, host) if host else SERVERS.host
                self.assertEqual({(m, a, tls) for m, a, tls in self.logins(mark)}, {(login[0], address, login[1])})
                counts = self.fetched(mark)
                self.assertEqual((counts["hdr_count"], counts["body_count"], counts["expunged"]),
                                 (3, 1, 0 if presun else 1), counts)
                if oauth:
                    self.assertEqual([(r["grant"], r["status"]) for r in OAUTH.requests()],
                                     [("client_credentials", 200)])


class LedgerTest(ImapJobTest):
    def test_a_later_get_asks_only_for_new_mail(self):
        SERVERS.put_many([ordinary(k) for k in range(40)] + [marked("prvni")])
        inst = self.install(TLS.host, dict(Sifrovani="TLS", CA=TLS.ca, Jmeno=TLS.name))
        header_pass = re.compile(rb"> \S+ UID FETCH (\d+):\* \(UID RFC822\.SIZE BODY\.PEEK\[HEADER")

        def get():
            mark, log_mark = SERVERS.dovecot_log.stat().st_size, inst.log.stat().st_size if inst.log.exists() else 0
            self.get(inst)
            passes = [int(start) for start in header_pass.findall(inst.log.read_bytes()[log_mark:])]
            counts = self.fetched(mark)
            return passes, (counts["hdr_count"], counts["body_count"]), self.take_text(inst)

        passes, counts, text = get()
        self.assertEqual((passes, counts, text.count(b"text prvni")), ([1], (41, 1), 1))
        self.assertTrue((inst.program_dir / "Zan_Post.imap").is_file(), "the ledger beside the INI")
        with SERVERS.imap() as other:
            highest = max(m.uid for m in other.messages())
            new = [other.append(raw) for raw in (ordinary("a"), marked("druhy"), ordinary("b"))]

        passes, counts, text = get()
        self.assertEqual(len(passes), 1)
        self.assertGreater(passes[0], highest, "the header pass covered old UIDs")
        self.assertLessEqual(passes[0], min(new))
        self.assertEqual((counts, text.count(b"text druhy"), text.count(b"text prvni")), ((3, 1), 1, 0))
        self.assertEqual(sorted(p.name for p in inst.files.iterdir()), ["druhy.dbf", "prvni.dbf"])

        # Nothing new: no header pass at all.
        self.assertEqual(get(), ([], (0, 0), b""))
        self.assertEqual(len(SERVERS.folder()), 42)


class SharedMailboxTest(ImapJobTest):
    def test_a_mailbox_changed_during_the_run_gives_every_marked_message_once(self):
        names = [f"m{k:02}" for k in range(25)]
        SERVERS.put_many([ordinary(k) for k in range(1500)] + [marked(name, size=300_000) for name in names])
        inst = self.install(TLS.host, dict(Sifrovani="TLS", CA=TLS.ca, Jmeno=TLS.name, Presun="Presun"))
        texts = b""
        changes_while_running = 0
        with SERVERS.imap() as other:
            doomed = [m.uid for m in other.messages() if m.header("Subject").startswith(b"faktura")]
            process = inst.start("GET")
            # Another client reads, files and deletes mail while the program runs: messages come
            # and go between the program's commands and during its fetches.
            while process.poll() is None and changes_while_running < 200:
                name = f"n{changes_while_running:03}"
                other.append(marked(name, size=2000))
                other.append(ordinary(name))
                other.delete([doomed.pop()])
                names.append(name)
                changes_while_running += process.poll() is None
            self.get(inst, process)
            texts += self.take_text(inst)
        self.assertGreater(changes_while_running, 0, "the run ended before the mailbox changed")
        print(f"\n  {changes_while_running} changes while the program ran", file=sys.stderr)
        # What came too late for the first run is the next one's.
        self.get(inst)
        texts += self.take_text(inst)

        self.assertEqual({name: texts.count(f"text {name}\r\n".encode()) for name in names}, dict.fromkeys(names, 1))
        self.assertEqual(sorted(p.name for p in inst.files.iterdir()), sorted(f"{n}.dbf" for n in names))
        self.assertEqual(sorted(subjects(SERVERS.folder("Presun"))), sorted(f"ZAN_POST {n}" for n in names))
        self.assertEqual([s for s in subjects(SERVERS.folder()) if s.startswith("ZAN_POST")], [])


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit(f"usage: {sys.argv[0]} PATH-OF-ZANPOST [unittest arguments]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
