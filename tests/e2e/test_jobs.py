"""The real program against the real server pair: SEND, then GET, with the exit code, the boxes
it printed, the files it wrote and the mailbox checked.

    tests/e2e/run_in_mailns python3 tests/e2e/test_jobs.py build/linux/zanpost [unittest args]

Every test installs its own copy of the program, with its own Zan_Post.ini, in a fresh
temporary directory, and starts it from a working directory of its own. On Linux a message box
is one line "caption: text" in UTF-8: error boxes on stderr, every other box on stdout.
"""

import email.charset
import email.policy
import os
import pathlib
import poplib
import random
import shutil
import smtplib
import subprocess
import sys
import tempfile
import unittest
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import zanpost_install  # noqa: E402
from mailharness import MailServers, Run, marked_message  # noqa: E402

PROGRAM = None
SERVERS = None

ERROR = "ZanPost - Chyba: "
SMTP_BOX = ERROR + "Nepodařilo se odeslat zprávu na server odchozí pošty (SMTP)."
POP3_BOX = ERROR + "Nepodařilo se připojit k serveru příchozí pošty (POP3)."
NOTICE = "ZanPost: Přenos dat je ukončen. Je-li to potřeba, zavěste modem."


def save_box(path):
    return ERROR + f'Nepodařilo se uložit soubor "{path}".'


def setUpModule():
    global SERVERS
    SERVERS = MailServers.from_environment()


def cp1250(text):
    return text.encode("cp1250")


def crlf_file(lines):
    """What the program writes for a list of lines: each one followed by CR LF."""
    return b"".join(line + b"\r\n" for line in lines)


class Installation(zanpost_install.Installation):
    """The shared installation of PROGRAM, configured by section maps in the order the jobs'
    INI has them."""

    def __init__(self, root):
        super().__init__(root, PROGRAM)

    def configure(self, mail, files=None, notice=None):
        """str values are stored in CP1250, bytes as they are; a None section is left out."""
        super().configure({"Mail": mail, "Soubory": files, "Upozorneni": notice})

    def run(self, mode):
        """Runs the program with stdout and stderr captured apart."""
        return super().run(mode, timeout=60)

    def run_merged(self, mode):
        """Runs the program with stderr joined to stdout, to see the order of all its boxes."""
        return super().run(mode, timeout=60, merged=True)


def server_settings(password=None):
    return {
        "SMTP": SERVERS.host,
        "POP3": SERVERS.host,
        "Uzivatel": SERVERS.user,
        "Heslo": SERVERS.password if password is None else password,
        "Timeout": "20",
    }


def snapshot(root):
    """{relative path: bytes} of every file below root."""
    return {p.relative_to(root): p.read_bytes() for p in sorted(root.rglob("*")) if p.is_file()}


def pop3_subjects():
    """The Subject lines of the waiting messages, in the server's own order."""
    box = poplib.POP3(SERVERS.host, SERVERS.pop3_port, timeout=30)
    try:
        box.user(SERVERS.user)
        box.pass_(SERVERS.password)
        count = box.stat()[0]
        subjects = []
        for number in range(1, count + 1):
            header = box.top(number, 0)[1]
            subjects.append(next(h for h in header if h.startswith(b"Subject: ")))
        box.quit()
        return subjects
    finally:
        box.close()


class JobTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        self.assertEqual(SERVERS.count(), 0)

    def install(self):
        directory = tempfile.TemporaryDirectory(prefix="zp-e2e-")
        self.addCleanup(directory.cleanup)
        return Installation(pathlib.Path(directory.name))

    def assert_boxes(self, run, errors=(), notices=(NOTICE,), code=0):
        self.assertEqual((run.stderr, run.stdout, run.code),
                         ("".join(e + "\n" for e in errors), "".join(n + "\n" for n in notices),
                          code))

    def sender(self, subject, body, files=None, recipients=None, odesilatel="ucetni@pobocka.example"):
        """An installation set up to SEND; `files` are {name: bytes} written into its Cesta."""
        inst = self.install()
        (inst.work / "telo.txt").write_bytes(body)
        mail = dict(server_settings(), Odesilatel=odesilatel, Predmet=subject, Telo="telo.txt",
                    Adresat=SERVERS.address if recipients is None else recipients)
        names = []
        for name, data in (files or {}).items():
            (inst.files / name).write_bytes(data)
            names.append(name)
        inst.configure(mail, {"Cesta": f"{inst.files}/", "Soubory": ",".join(names)})
        return inst

    def receiver(self, password=None, telo_get="prijato.txt"):
        inst = self.install()
        inst.configure(dict(server_settings(password), Telo_Get=telo_get),
                       {"Cesta": f"{inst.files}/"})
        return inst

    def send(self, inst, expected_total):
        run = inst.run("SEND")
        self.assert_boxes(run)
        SERVERS.wait_count(expected_total)

    def assert_nothing_sent(self, log_mark):
        """A probe goes in after the program ran; once it is delivered, the server has logged
        every connection made before it, so the probe's must be the only one since the mark."""
        probe = b"Subject: probe after the run\r\n\r\nprobe\r\n"
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            smtp.sendmail("probe@zanpost.test", [SERVERS.address], probe)
        SERVERS.wait_count(1)
        self.assertIn(b"Subject: probe after the run", SERVERS.messages()[0])
        log = SERVERS.smtpd_log.read_bytes()[log_mark:]
        self.assertEqual(log.count(b" smtp connected "), 1, log.decode(errors="replace"))


BODY_LINES = [
    cp1250("Příliš žluťoučký kůň úpěl ďábelské ódy"),
    b".tecka na zacatku",
    b".",
    b"..",
    b"=",
    b"a=b =41",
    b"",
    cp1250("řádek s mezerou na konci "),
    cp1250("dlouhý " * 45),
    b"konec",
]


class SendAndGetTest(JobTest):
    def test_message_with_files_arrives_whole_and_unmarked_mail_stays(self):
        rng = random.Random(7)
        files = {"obraty.dbf": rng.randbytes(70_000),
                 "saldo.dbf": bytes(range(256)) * 3 + b"\r\n.\r\n\x00\r"}
        sender = self.sender(cp1250("ZAN_POST data z pobočky"), crlf_file(BODY_LINES), files)
        self.send(sender, 1)
        unmarked = b"From: banka@banka.example\nSubject: Vypis z uctu\n\nzustava na serveru\n"
        SERVERS.put(unmarked)

        receiver = self.receiver()
        self.assert_boxes(receiver.run("GET"))
        for name, data in files.items():
            self.assertEqual((receiver.files / name).read_bytes(), data, name)
        self.assertEqual(sorted(p.name for p in receiver.files.iterdir()), sorted(files))
        # The text part closes with the empty line written before the closing delimiter.
        expected = [cp1250(" data z pobočky")] + BODY_LINES + [b""]
        self.assertEqual((receiver.work / "prijato.txt").read_bytes(), crlf_file(expected))
        self.assertEqual(SERVERS.messages(), [unmarked])
        # Sending changed nothing of what was sent.
        for name, data in files.items():
            self.assertEqual((sender.files / name).read_bytes(), data)

    def test_what_a_killed_run_left_is_removed_and_nothing_else(self):
        receiver = self.receiver()
        left = [receiver.files / "~zp0123abcd.zptmp", receiver.work / "~zpdeadbeef.zptmp"]
        kept = [receiver.files / "~zp0123abcd.zptmp.bak", receiver.files / "~zpnot-ours.zptmp",
                receiver.work / "obraty.zptmp"]
        for path in left + kept:
            path.write_bytes(b"half a file")
        self.assert_boxes(receiver.run("GET"))
        self.assertEqual([p.exists() for p in left + kept], [False] * len(left) + [True] * len(kept))

    def test_message_without_files_brings_its_body(self):
        sender = self.sender(b"ZAN_POST jen text", crlf_file(BODY_LINES), files={})
        self.send(sender, 1)
        # Declared as Czech text for human readers; ZanPost reads it back as before.
        self.assertIn(b"\nMIME-Version: 1.0\nContent-Type: text/plain; charset=windows-1250\n"
                      b"Content-Transfer-Encoding: 8bit\n\n", SERVERS.messages()[0])

        receiver = self.receiver()
        self.assert_boxes(receiver.run("GET"))
        self.assertEqual((receiver.work / "prijato.txt").read_bytes(),
                         crlf_file([b" jen text"] + BODY_LINES))
        self.assertEqual(list(receiver.files.iterdir()), [])
        self.assertEqual(SERVERS.count(), 0)

    def test_a_line_longer_than_a_wire_line_arrives_whole(self):
        long_line = (cp1250("Příliš žluťoučký kůň úpěl ďábelské ódy; ") * 200)[:7800]
        lines = [b"prvni", long_line, b".konec"]
        for files in ({"a.dbf": b"\x00\x01AAA"}, {}):
            with self.subTest(files=list(files)):
                SERVERS.clear()
                self.send(self.sender(b"ZAN_POST dlouhy radek", crlf_file(lines), files), 1)
                stored = SERVERS.messages()[0]
                self.assertLessEqual(max(len(line.rstrip(b"\r")) for line in stored.split(b"\n")), 998)
                # Another mailer reads the line whole, in the quoted-printable text.
                message = email.message_from_bytes(stored, policy=email.policy.default)
                text = next(part for part in message.walk() if part.get_content_type() == "text/plain")
                self.assertEqual(text["Content-Transfer-Encoding"], "quoted-printable")
                self.assertIn(long_line, text.get_payload(decode=True).splitlines())

                receiver = self.receiver()
                self.assert_boxes(receiver.run("GET"))
                expected = [b" dlouhy radek"] + lines + ([b""] if files else [])
                self.assertEqual((receiver.work / "prijato.txt").read_bytes(), crlf_file(expected))

    def test_two_marked_messages_in_one_run(self):
        first = self.sender(cp1250("zan_post první dávka"), crlf_file([b"jedna", b"."]),
                            {"a.dbf": b"\x00\x01AAA"})
        self.send(first, 1)
        second = self.sender(cp1250("Výkaz ZAN_POST"), crlf_file([cp1250("druhá")]))
        self.send(second, 2)
        texts = {cp1250("Subject: zan_post první dávka"):
                 [cp1250(" první dávka"), b"jedna", b".", b""],
                 cp1250("Subject: Výkaz ZAN_POST"): [b"", cp1250("druhá")]}
        order = pop3_subjects()
        self.assertCountEqual(order, texts)

        receiver = self.receiver()
        self.assert_boxes(receiver.run("GET"))
        expected = [line for subject in order for line in texts[subject]]
        self.assertEqual((receiver.work / "prijato.txt").read_bytes(), crlf_file(expected))
        self.assertEqual((receiver.files / "a.dbf").read_bytes(), b"\x00\x01AAA")
        self.assertEqual(SERVERS.count(), 0)


class FailureTest(JobTest):
    def test_wrong_password_shows_the_connect_box_and_deletes_nothing(self):
        waiting = b"From: ucetni@pobocka.example\nSubject: ZAN_POST ceka\n\nradek\n"
        SERVERS.put(waiting)
        receiver = self.receiver(password=SERVERS.password + "x")
        self.assert_boxes(receiver.run("GET"), errors=[POP3_BOX])
        self.assertEqual(receiver.run_merged("GET").stdout, POP3_BOX + "\n" + NOTICE + "\n")
        self.assertEqual(SERVERS.messages(), [waiting])
        self.assertEqual(snapshot(receiver.work), {})
        self.assertEqual(snapshot(receiver.files), {})

    def test_stopped_smtp_server_gives_one_box_then_the_notice(self):
        sender = self.sender(b"ZAN_POST nikam", crlf_file([b"x"]), {"a.dbf": b"abc"})
        SERVERS.stop_smtp()
        self.addCleanup(SERVERS.start_smtp)
        self.assert_boxes(sender.run("SEND"), errors=[SMTP_BOX])
        self.assertEqual(sender.run_merged("SEND").stdout, SMTP_BOX + "\n" + NOTICE + "\n")
        self.assertEqual(SERVERS.count(), 0)

    def test_refused_recipient_does_not_stop_the_accepted_one(self):
        sender = self.sender(b"ZAN_POST pro dva", crlf_file([b"obsah"]),
                             recipients=f"nekdo@jinde.example,{SERVERS.address}")
        self.assert_boxes(sender.run("SEND"), errors=[SMTP_BOX])
        SERVERS.wait_count(1)
        delivered = SERVERS.messages()[0]
        self.assertIn(f"Delivered-To: {SERVERS.address}\n".encode(), delivered)
        self.assertIn(b"\nSubject: ZAN_POST pro dva\n", delivered)
        self.assertTrue(delivered.endswith(b"\n\nobsah\n"), delivered[-40:])

    def test_missing_attachment_ends_the_program_and_sends_nothing(self):
        log_mark = SERVERS.smtpd_log.stat().st_size
        sender = self.sender(b"ZAN_POST neuplne", crlf_file([b"x"]), {"a.dbf": b"abc"})
        ini = sender.program_dir / "Zan_Post.ini"
        ini.write_bytes(ini.read_bytes().replace(b"Soubory=a.dbf", b"Soubory=a.dbf,chybi.dbf"))
        missing = f"{sender.files}/chybi.dbf"
        self.assert_boxes(sender.run("SEND"),
                          errors=[f"Application Error: EFOpenError: Cannot open file {missing}"],
                          notices=[], code=1)
        self.assertEqual((sender.files / "a.dbf").read_bytes(), b"abc")
        self.assert_nothing_sent(log_mark)

    def test_sender_without_address_sends_nothing(self):
        log_mark = SERVERS.smtpd_log.stat().st_size
        for odesilatel in ("", "ucetni"):
            with self.subTest(odesilatel=odesilatel):
                sender = self.sender(b"ZAN_POST bez odesilatele", crlf_file([b"x"]),
                                     odesilatel=odesilatel)
                self.assert_boxes(sender.run("SEND"), errors=[SMTP_BOX])
        self.assert_nothing_sent(log_mark)

    def test_message_whose_file_cannot_be_saved_stays_until_it_can(self):
        sender = self.sender(b"ZAN_POST znovu", crlf_file([b"text jednou"]),
                             {"a.dbf": b"A" * 100, "b.dbf": b"B"})
        self.send(sender, 1)
        sent = SERVERS.messages()
        receiver = self.receiver()
        receiver.files.rmdir()

        self.assert_boxes(receiver.run("GET"), errors=[save_box(f"{receiver.files}/a.dbf"),
                                                      save_box(f"{receiver.files}/b.dbf")])
        self.assertEqual(SERVERS.messages(), sent)
        # No message was stored, so no output file is made.
        self.assertFalse((receiver.work / "prijato.txt").exists())

        receiver.files.mkdir()
        self.assert_boxes(receiver.run("GET"))
        self.assertEqual((receiver.files / "a.dbf").read_bytes(), b"A" * 100)
        self.assertEqual((receiver.files / "b.dbf").read_bytes(), b"B")
        self.assertEqual((receiver.work / "prijato.txt").read_bytes(),
                         crlf_file([b" znovu", b"text jednou", b""]))
        self.assertEqual(SERVERS.count(), 0)

    def test_output_that_cannot_be_written_before_quit_deletes_nothing(self):
        # Dovecot commits DELE only at QUIT: the session that cannot write Telo_Get ends
        # without it, and every message is still there for the run that can.
        first = self.sender(b"ZAN_POST prvni", crlf_file([b"text 1"]), {"a.dbf": b"A" * 100})
        self.send(first, 1)
        second = self.sender(b"ZAN_POST druha", crlf_file([b"text 2"]))
        self.send(second, 2)
        sent = sorted(SERVERS.messages())
        receiver = self.receiver(telo_get="vystup")
        (receiver.work / "vystup" / "obsah").mkdir(parents=True)

        self.assert_boxes(receiver.run("GET"), errors=[ERROR + "Nepodařilo se uložit text zprávy."])
        self.assertEqual(sorted(SERVERS.messages()), sent)
        self.assertTrue((receiver.work / "vystup" / "obsah").is_dir())
        self.assertEqual([p.name for p in receiver.work.iterdir()], ["vystup"])

        shutil.rmtree(receiver.work / "vystup")
        self.assert_boxes(receiver.run("GET"))
        self.assertEqual(SERVERS.count(), 0)
        output = (receiver.work / "vystup").read_bytes()
        self.assertIn(b" prvni\r\ntext 1\r\n", output)
        self.assertIn(b" druha\r\ntext 2\r\n", output)
        self.assertEqual((receiver.files / "a.dbf").read_bytes(), b"A" * 100)


def foreign_message(parts, subject="ZAN_POST vykaz z Brna"):
    """A multipart message as another mailer writes it: the first delimiter right after the
    header, a long boundary that folds the Content-Type header."""
    message = MIMEMultipart(boundary="----=_NextPart_000_0012_01DB4871.6A2E3F40.jiny-program")
    message["From"] = "Jana Novakova <jana@pobocka.example>"
    message["To"] = SERVERS.address
    message["Subject"] = subject
    for part in parts:
        message.attach(part)
    return message.as_bytes(policy=email.policy.compat32.clone(linesep="\n"))


def qp_text(text, subtype="plain"):
    charset = email.charset.Charset("windows-1250")
    charset.body_encoding = email.charset.QP
    return MIMEText(text, subtype, charset)


def binary(data, disposition=None):
    part = MIMEApplication(data, "octet-stream")
    if disposition is not None:
        part["Content-Disposition"] = disposition
    return part


class OtherMailerTest(JobTest):
    def test_message_of_another_mailer(self):
        body = "Dobrý den,\nv příloze posíláme výkaz.\n"
        csv = ("Účet;Částka = součet;Poznámka\r\n311;1 250,50;" + "dlouhá poznámka " * 8
               + "\r\nkonec s mezerou \r\n")
        csv_part = qp_text(csv, "csv")
        csv_part.add_header("Content-Disposition", "attachment", filename="obraty.csv")
        data = random.Random(11).randbytes(3000)
        raw = foreign_message([
            qp_text(body), csv_part,
            binary(data, 'attachment; modification-date="Mon, 7 Dec 2026 10:00:00 +0100";'
                         ' FileName=werte.bin')])
        # What makes it foreign: no preamble, folded headers, an unquoted file name.
        header, _, rest = raw.partition(b"\n\n")
        self.assertIn(b"Content-Type: multipart/mixed;\n boundary=", header)
        self.assertTrue(rest.startswith(b"------=_NextPart_"))
        self.assertIn(b"Content-Disposition: attachment;\n modification-date=", raw)
        self.assertIn(b"=\n", raw, "the long line of the .csv goes out as soft line breaks")
        SERVERS.put(raw)

        receiver = self.receiver()
        self.assert_boxes(receiver.run("GET"))
        self.assertEqual((receiver.files / "obraty.csv").read_bytes(), cp1250(csv))
        self.assertEqual((receiver.files / "werte.bin").read_bytes(), data)
        self.assertEqual(sorted(p.name for p in receiver.files.iterdir()),
                         ["obraty.csv", "werte.bin"])
        expected = [b" vykaz z Brna"] + [cp1250(line) for line in body.split("\n")]
        self.assertEqual((receiver.work / "prijato.txt").read_bytes(), crlf_file(expected))
        self.assertEqual(SERVERS.count(), 0)

    def test_names_reaching_outside_are_cut_or_refused(self):
        receiver = self.install()
        cesta = receiver.root / "a" / "b" / "data"
        cesta.mkdir(parents=True)
        telo_get = cesta / "prijato.txt"
        receiver.configure(dict(server_settings(), Telo_Get=str(telo_get)), {"Cesta": f"{cesta}/"})

        def named(name, data):
            part = binary(data)
            part.add_header("Content-Disposition", "attachment", filename=name)
            return part

        refused = ["CON.txt", "..", "data.dbf:skryty", "prijato.txt"]
        raw = foreign_message([
            qp_text("text zpravy\n"),
            named("../../x", b"dva kroky nahoru"),
            named("C:\\Windows\\y", b"cesta Windows"),
            *[named(name, b"nesmi se ulozit") for name in refused],
            binary(b"\x00\x01 bez jmena"),
        ], subject="ZAN_POST nebezpecna jmena")
        SERVERS.put(raw)
        before = snapshot(receiver.root)

        boxes = [save_box(f"{cesta}/{name}") for name in refused] + [save_box(f"{cesta}/")]
        self.assert_boxes(receiver.run("GET"), errors=boxes)
        changed = {path for path, data in snapshot(receiver.root).items()
                   if before.get(path) != data}
        data_dir = cesta.relative_to(receiver.root)
        # No message was stored whole, so the output file is not written; the first GET makes
        # the lock file beside its ledger.
        lock = receiver.program_dir.relative_to(receiver.root) / "Zan_Post.uidl.lock"
        self.assertEqual(changed, {data_dir / "x", data_dir / "y", lock})
        self.assertEqual((cesta / "x").read_bytes(), b"dva kroky nahoru")
        self.assertEqual((cesta / "y").read_bytes(), b"cesta Windows")
        # The message stays, so its text must not arrive before the run that takes it away.
        self.assertFalse(telo_get.exists())
        self.assertEqual(SERVERS.messages(), [raw])

        # It is fetched again the next time, with the same boxes before the notice.
        self.assertEqual(receiver.run_merged("GET").stdout,
                         "".join(b + "\n" for b in boxes) + NOTICE + "\n")
        self.assertEqual(SERVERS.messages(), [raw])


class OfficeMailboxTest(JobTest):
    """A mailbox shared with an office: thousands of messages that stay, a few marked ones
    among them. Only new mail costs a TOP; Dovecot announces PIPELINING, so even the first
    run sends the TOPs in batches."""

    WAITING = 3000

    @staticmethod
    def ordinary(k):
        body = b"".join(b"radek %d obycejne posty kancelare\r\n" % n for n in range(60))
        return (b"From: dodavatel%d@firma.example\r\nSubject: faktura %d\r\nMessage-ID: <%d@e2e>\r\n\r\n"
                % (k, k, k)) + body

    @staticmethod
    def marked(name):
        return marked_message(name, f"data {name}".encode())

    def run_logged(self, receiver):
        """GET with its run log; the log's lines of this run and the peak RSS in KiB (or None)."""
        log = receiver.work / "zanpost.log"
        log.unlink(missing_ok=True)
        timed = os.path.exists("/usr/bin/time")
        rss = receiver.work / "rss.txt"
        command = (["/usr/bin/time", "-f", "%M", "-o", str(rss)] if timed else []) + [str(receiver.program), "GET"]
        completed = subprocess.run(command, cwd=receiver.work, capture_output=True, timeout=120, check=False)
        self.assert_boxes(Run(completed))
        peak = int(rss.read_text().split()[-1]) if timed else None
        return log.read_bytes().decode("cp1250").splitlines(), peak

    def test_only_new_mail_costs_and_nothing_comes_twice(self):
        SERVERS.put_many([self.ordinary(k) for k in range(self.WAITING)] + [self.marked(n) for n in ("a", "b", "c")])
        receiver = self.install()
        receiver.configure(dict(server_settings(), Telo_Get="prijato.txt", Protokol="zanpost.log"),
                           {"Cesta": f"{receiver.files}/"})
        prijato = receiver.work / "prijato.txt"

        def sent(lines, verb):
            return [line for line in lines if f" > {verb} " in line or line.endswith(f" > {verb}")]

        # The first run looks at every message once, pipelined.
        lines, peak = self.run_logged(receiver)
        self.assertEqual(len(sent(lines, "TOP")), self.WAITING + 3)
        self.assertEqual(len(sent(lines, "CAPA")), 1)
        self.assertEqual(sorted(p.name for p in receiver.files.iterdir()), ["a.dbf", "b.dbf", "c.dbf"])
        self.assertEqual(prijato.read_bytes().count(b"text a"), 1)
        self.assertEqual(SERVERS.count(), self.WAITING)
        ledger = (receiver.program_dir / "Zan_Post.uidl").read_bytes().split(b"\r\n")
        self.assertEqual(sum(1 for line in ledger if line.startswith(b"U ")), self.WAITING)
        if peak is not None:
            print(f"\n  first run over {self.WAITING} waiting messages: peak {peak} KiB", file=sys.stderr)
            # A sanitized build keeps shadow memory and freed blocks: its peak says nothing.
            if not os.environ.get("ZP_SANITIZED"):
                self.assertLess(peak, 8 * 1024)

        # Two new marked messages and one ordinary one: three TOPs, nothing else asked again.
        for path in receiver.files.iterdir():
            path.unlink()
        prijato.unlink()
        SERVERS.put_many([self.marked("d"), self.ordinary(self.WAITING), self.marked("e")])
        lines, _ = self.run_logged(receiver)
        self.assertEqual(len(sent(lines, "TOP")), 3)
        self.assertEqual(sorted(p.name for p in receiver.files.iterdir()), ["d.dbf", "e.dbf"])
        texts = prijato.read_bytes()
        self.assertIn(b"text d", texts)
        self.assertNotIn(b"text a", texts)
        self.assertEqual(SERVERS.count(), self.WAITING + 1)

        # Nothing new: the floor of a run, and Telo_Get as the last run left it.
        lines, _ = self.run_logged(receiver)
        self.assertEqual(sent(lines, "TOP"), [])
        self.assertEqual(sent(lines, "RETR"), [])
        self.assertEqual(prijato.read_bytes(), texts)


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit(f"usage: {sys.argv[0]} PATH-OF-ZANPOST [unittest arguments]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
