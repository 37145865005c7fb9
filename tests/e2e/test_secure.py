"""The real program against the secure side of the real servers: Dovecot POP3 on 995 and 110
(STLS) and Dovecot submission on 465 and 587 (STARTTLS), with certificates of a CA made for the
run (see tests/e2e/mailservers.sh). Files make round trips over every mode and mechanism; every
way a secure connection or a login can fail must show the job's failure box with a line naming
the cause, send or delete nothing, and keep the password out of every output and the run log.
XOAUTH2 meets Dovecot's oauth2 passdb, whose token the run's introspection endpoint knows
(ZP_OAUTH_TOKEN). The run log ([Mail] Protokol) is also checked for its size limit.

    tests/e2e/run_in_mailns python3 tests/e2e/test_secure.py build/linux/zanpost [unittest args]

On Linux a message box is one line "caption: text" in UTF-8 (error boxes on stderr); a box text
of two lines shows as two lines, the second one being the cause.
"""

import base64
import os
import pathlib
import random
import re
import smtplib
import sys
import tempfile
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mailharness import Installation, MailServers  # noqa: E402

PROGRAM = None
SERVERS = None
TLS = None

ERROR = "ZanPost - Chyba: "
SMTP_BOX = ERROR + "Nepodařilo se odeslat zprávu na server odchozí pošty (SMTP)."
POP3_BOX = ERROR + "Nepodařilo se připojit k serveru příchozí pošty (POP3)."
NOTICE = "ZanPost: Přenos dat je ukončen. Je-li to potřeba, zavěste modem."
# A wrong mode waits for this long at most; the run may take a little longer to start and end.
SHORT_TIMEOUT = 5


def setUpModule():
    global SERVERS, TLS
    SERVERS = MailServers.from_environment()
    TLS = SERVERS.tls


def wrong_password():
    return SERVERS.password + "-spatne"


def token():
    return os.environ["ZP_OAUTH_TOKEN"]


def wrong_token():
    return "ya29.neplatny-" + token()[-8:]


def secrets():
    """Every form in which a password or token could leak: as typed, and as PLAIN, LOGIN and
    XOAUTH2 carry it."""
    forms = set()
    for password in (SERVERS.password, wrong_password(), token(), wrong_token()):
        forms.add(password.encode())
        forms.add(base64.b64encode(password.encode()))
        forms.add(base64.b64encode(f"\0{SERVERS.user}\0{password}".encode()))
        forms.add(base64.b64encode(f"user={SERVERS.user}\x01auth=Bearer {password}\x01\x01".encode()))
    return forms


# The secure settings of each case, as [SMTP] or [POP3] keys. "host" picks the address (and so
# the certificate) the program connects to, by the name of a TlsServers attribute or as an
# address; everything else is written as given.
def secure(host="host", **keys):
    return dict(keys, host=host)


def with_login(keys, password=None):
    keys = dict(keys)
    keys.setdefault("Uzivatel", SERVERS.user)
    keys.setdefault("Heslo", SERVERS.password if password is None else password)
    return keys


def split_host(keys):
    keys = dict(keys)
    host = keys.pop("host")
    return getattr(TLS, host) if hasattr(TLS, host) else host, keys


def trusted(**keys):
    """The keys every TLS case shares: the test CA as the only root, the certificate's name."""
    return dict({"CA": str(TLS.ca), "Jmeno": TLS.name}, **keys)


class SecureJobTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        self.assertEqual(SERVERS.count(), 0)

    def install(self):
        directory = tempfile.TemporaryDirectory(prefix="zp-e2e-secure-")
        self.addCleanup(directory.cleanup)
        return Installation(pathlib.Path(directory.name), PROGRAM)

    def sender(self, smtp, files, subject="ZAN_POST zabezpečeně", timeout=20):
        inst = self.install()
        host, smtp = split_host(smtp)
        (inst.work / "telo.txt").write_bytes("Příliš žluťoučký kůň\r\n.\r\nkonec\r\n".encode("cp1250"))
        for name, data in files.items():
            (inst.files / name).write_bytes(data)
        inst.configure({
            "Mail": {"SMTP": host, "Odesilatel": "ucetni@pobocka.example", "Adresat": SERVERS.address,
                     "Predmet": subject, "Telo": "telo.txt", "Timeout": timeout, "Protokol": inst.log},
            "SMTP": smtp,
            "Soubory": {"Cesta": f"{inst.files}/", "Soubory": ",".join(files)},
        })
        return inst

    def receiver(self, pop3, timeout=20, password=None):
        inst = self.install()
        host, pop3 = split_host(pop3)
        inst.configure({
            "Mail": {"POP3": host, "Uzivatel": SERVERS.user,
                     "Heslo": SERVERS.password if password is None else password,
                     "Telo_Get": "prijato.txt", "Timeout": timeout, "Protokol": inst.log},
            "POP3": pop3,
            "Soubory": {"Cesta": f"{inst.files}/"},
        })
        return inst

    def assert_no_secret(self, run, inst):
        """Neither the boxes nor the log nor any file the program left carries the password."""
        outputs = {"stdout": run.stdout_bytes, "stderr": run.stderr_bytes}
        outputs.update({str(p): p.read_bytes() for p in inst.root.rglob("*")
                        if p.is_file() and p.name not in ("zanpost", "Zan_Post.ini")})
        for where, data in outputs.items():
            for secret in secrets():
                self.assertNotIn(secret, data, f"a password form reached {where}")

    def assert_success(self, run, inst):
        self.assertEqual((run.stderr, run.stdout, run.code), ("", NOTICE + "\n", 0))
        self.assert_no_secret(run, inst)

    def assert_tls_logged(self, run, attribute):
        """The run log names the TLS version and the fingerprint of the certificate served."""
        self.assertRegex(run.log, rb"TLS ?v?1\.[23]")
        flat = run.log.replace(b":", b"").lower()
        self.assertIn(TLS.fingerprints[attribute].replace(":", "").lower().encode(), flat)

    def failure_cause(self, run, inst, box, cause_required=True):
        """Asserts the job's failure box (and only it) and the closing notice; returns the line
        that names the cause (None when it may be missing and is)."""
        self.assertEqual((run.stdout, run.code), (NOTICE + "\n", 0), run.stderr)
        match = re.fullmatch(re.escape(box) + r"(?:\r?\n([^\r\n]+))?\r?\n", run.stderr)
        self.assertIsNotNone(match, f"expected the box {box!r}, got {run.stderr!r}")
        if cause_required:
            self.assertIsNotNone(match.group(1), f"the box names no cause: {run.stderr!r}")
        self.assertTrue(run.log, "the run log was not written")
        self.assert_no_secret(run, inst)
        return match.group(1)

    def assert_nothing_sent(self, log_mark):
        """Once a probe sent after the run has been delivered, everything accepted before it
        has been logged: the probe must be the only message since the mark, and the only one
        in the mailbox."""
        probe = b"Subject: probe after the run\r\n\r\nprobe\r\n"
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            smtp.sendmail("probe@zanpost.test", [SERVERS.address], probe)
        SERVERS.wait_count(1)
        self.assertIn(b"Subject: probe after the run", SERVERS.messages()[0])
        log = SERVERS.smtpd_log.read_bytes()[log_mark:]
        self.assertEqual(log.count(b" smtp message "), 1, log.decode(errors="replace"))
        self.assertNotIn(b"Successfully relayed", SERVERS.dovecot_log.read_bytes()[self.dovecot_mark:])


def random_file(seed, size):
    return random.Random(seed).randbytes(size)


class RoundTripTest(SecureJobTest):
    # Each SMTP case sends a file that the POP3 case beside it fetches; the SMTP table is
    # reused from its start when the POP3 one is longer. Absent ports take the defaults.
    SMTP_CASES = [
        ("465 TLS PLAIN", lambda: with_login(trusted(Sifrovani="TLS", Overeni="PLAIN"))),
        ("465 TLS LOGIN", lambda: with_login(trusted(Sifrovani="tls", Port="465", Overeni="login"))),
        ("465 TLS CRAM-MD5", lambda: with_login(trusted(Sifrovani="TLS", Overeni="CRAM-MD5"))),
        ("465 TLS auto", lambda: with_login(trusted(Sifrovani="TLS", Overeni="auto"))),
        ("587 STARTTLS auto", lambda: with_login(trusted(Sifrovani="STARTTLS", Port="587"))),
        ("465 pinned, no trusted chain",
         lambda: with_login(secure("unknown_ca_host", Sifrovani="TLS", Otisk=TLS.fingerprints["unknown_ca_host"],
                                   Jmeno=TLS.name))),
        ("465 password from a command",
         lambda: trusted(Sifrovani="TLS", Uzivatel=SERVERS.user,
                         HesloPrikaz=f"printf '%s\\n' '{SERVERS.password}'; echo druhy radek")),
        ("465 XOAUTH2, token from a command",
         lambda: trusted(Sifrovani="TLS", Uzivatel=SERVERS.user, Overeni="XOAUTH2",
                         HesloPrikaz=f"echo {token()}")),
    ]
    POP3_CASES = [
        ("995 TLS USER", lambda: trusted(Sifrovani="TLS", Overeni="USER")),
        ("995 TLS PLAIN", lambda: trusted(Sifrovani="TLS", Port="995", Overeni="PLAIN")),
        ("995 TLS LOGIN", lambda: trusted(Sifrovani="TLS", Overeni="LOGIN")),
        ("995 TLS CRAM-MD5", lambda: trusted(Sifrovani="TLS", Overeni="cram-md5")),
        ("995 TLS APOP", lambda: trusted(Sifrovani="TLS", Overeni="APOP")),
        ("995 TLS auto", lambda: trusted(Sifrovani="TLS", Overeni="auto")),
        ("110 STLS auto", lambda: trusted(Sifrovani="STARTTLS", Overeni="auto")),
        # Without TLS the server offers CRAM-MD5 only; auto must take it (USER is refused).
        ("110 clear, auto takes CRAM-MD5", lambda: dict(Sifrovani="ne", Overeni="auto")),
        ("995 pinned, no trusted chain",
         lambda: secure("unknown_ca_host", Sifrovani="TLS", Otisk=TLS.fingerprints["unknown_ca_host"].lower(),
                        Jmeno=TLS.name)),
        ("995 password from a command",
         lambda: trusted(Sifrovani="TLS", Overeni="USER", HesloPrikaz=f"echo {SERVERS.password}")),
        ("995 XOAUTH2, token from a command",
         lambda: trusted(Sifrovani="TLS", Overeni="XOAUTH2", HesloPrikaz=f"echo {token()}")),
    ]

    def test_files_go_out_and_come_back_over_every_mode_and_mechanism(self):
        for number, (pop3_name, pop3) in enumerate(self.POP3_CASES):
            smtp_name, smtp = self.SMTP_CASES[number % len(self.SMTP_CASES)]
            with self.subTest(send=smtp_name, get=pop3_name):
                SERVERS.clear()
                files = {"data.dbf": random_file(number, 150_000 + number),
                         "konec.bin": b"\x00\r\n.\r\n" + bytes([number])}
                smtp_keys, pop3_keys = {"host": "host", **smtp()}, {"host": "host", **pop3()}
                sender = self.sender(smtp_keys, files, subject=f"ZAN_POST kolo {number}")
                run = sender.run("SEND")
                self.assert_success(run, sender)
                SERVERS.wait_count(1)
                self.assert_tls_logged(run, smtp_keys["host"])

                # With a password command, [Mail] Heslo stays empty: the command must be used.
                receiver = self.receiver(pop3_keys, password="" if "HesloPrikaz" in pop3_keys else None)
                run = receiver.run("GET")
                self.assert_success(run, receiver)
                for name, data in files.items():
                    self.assertEqual((receiver.files / name).read_bytes(), data, name)
                self.assertEqual(SERVERS.count(), 0, "the fetched message is deleted")
                if pop3_keys.get("Sifrovani") != "ne":
                    self.assert_tls_logged(run, pop3_keys["host"])


class FailureTest(SecureJobTest):
    # (case, [SMTP] keys with "host", whether the box must name a cause, a short time limit)
    SEND_CASES = [
        ("unknown CA", lambda: with_login(trusted(host="unknown_ca_host", Sifrovani="TLS")), True, False),
        ("wrong name", lambda: with_login(trusted(host="wrong_name_host", Sifrovani="TLS")), True, False),
        ("expired", lambda: with_login(trusted(host="expired_host", Sifrovani="TLS")), True, False),
        ("pin mismatch on a trusted certificate",
         lambda: with_login(trusted(host="host", Sifrovani="TLS", Otisk=TLS.fingerprints["unknown_ca_host"])),
         True, False),
        ("system roots do not know the test CA",
         lambda: with_login(secure("host", Sifrovani="TLS", Jmeno=TLS.name)), True, False),
        ("wrong password", lambda: with_login(trusted(host="host", Sifrovani="TLS"), wrong_password()),
         True, False),
        ("refused XOAUTH2 token (the server explains first)",
         lambda: with_login(trusted(host="host", Sifrovani="TLS", Overeni="XOAUTH2"), wrong_token()),
         True, False),
        ("STARTTLS not offered (OpenSMTPD's plain port)",
         lambda: with_login(secure(SERVERS.host, Sifrovani="STARTTLS", Port=str(SERVERS.smtp_port))), True, False),
        ("no AUTH offered without TLS",
         lambda: with_login(secure("host", Sifrovani="ne", Port=str(TLS.submission_port))), True, False),
        ("TLS to a plain port",
         lambda: with_login(trusted(host="host", Sifrovani="TLS", Port=str(TLS.submission_port))), True, True),
        # A plain connection that meets a TLS server waits for a greeting that never comes.
        ("plain to a TLS port",
         lambda: with_login(secure("host", Sifrovani="ne", Port=str(TLS.smtps_port))), False, True),
        ("a mode that does not exist",
         lambda: with_login(trusted(host="host", Sifrovani="STARTLS")), True, False),
        ("a port that does not exist",
         lambda: with_login(trusted(host="host", Sifrovani="TLS", Port="65536")), True, False),
        ("a failing password command",
         lambda: trusted(host="host", Sifrovani="TLS", Uzivatel=SERVERS.user, HesloPrikaz="exit 3"), True, False),
    ]

    def test_send_fails_safely(self):
        causes = {}
        for name, smtp, cause_required, short in self.SEND_CASES:
            with self.subTest(name):
                SERVERS.clear()
                mark = SERVERS.smtpd_log.stat().st_size
                self.dovecot_mark = SERVERS.dovecot_log.stat().st_size
                sender = self.sender(smtp(), {"a.dbf": b"nesmi odejit"},
                                     timeout=SHORT_TIMEOUT if short else 20)
                run = sender.run("SEND")
                causes[name] = self.failure_cause(run, sender, SMTP_BOX, cause_required)
                if short:
                    self.assertLess(run.seconds, SHORT_TIMEOUT + 5)
                self.assert_nothing_sent(mark)
                self.assertEqual((sender.files / "a.dbf").read_bytes(), b"nesmi odejit")
        # Each certificate fault is told apart from the others.
        certificate = [causes.get(n) for n in ("unknown CA", "wrong name", "expired",
                                                "pin mismatch on a trusted certificate")]
        self.assertEqual(len(set(certificate)), 4, certificate)
        self.assertNotEqual(causes.get("wrong password"), causes.get("unknown CA"))

    # (case, [POP3] keys with "host", the [Mail] password, whether a cause is required, short)
    GET_CASES = [
        ("unknown CA", lambda: trusted(host="unknown_ca_host", Sifrovani="TLS"), None, True, False),
        ("wrong name", lambda: trusted(host="wrong_name_host", Sifrovani="TLS"), None, True, False),
        ("expired", lambda: trusted(host="expired_host", Sifrovani="TLS"), None, True, False),
        ("pin mismatch", lambda: trusted(host="host", Sifrovani="TLS", Otisk="00" * 32), None, True, False),
        ("wrong password", lambda: trusted(host="host", Sifrovani="TLS", Overeni="PLAIN"), wrong_password,
         True, False),
        ("refused XOAUTH2 token (the server explains first)",
         lambda: trusted(host="host", Sifrovani="TLS", Overeni="XOAUTH2"), wrong_token, True, False),
        ("clear-text USER refused by the server", lambda: secure("host", Sifrovani="ne", Overeni="USER"), None,
         True, False),
        ("TLS to a plain port", lambda: trusted(host="host", Sifrovani="TLS", Port=str(TLS.pop3_port)), None,
         True, True),
        ("plain to a TLS port", lambda: secure("host", Sifrovani="ne", Port=str(TLS.pop3s_port)), None,
         False, True),
        ("a mechanism that does not exist", lambda: trusted(host="host", Sifrovani="TLS", Overeni="NTLM"), None,
         True, False),
        ("a port that is not a number", lambda: trusted(host="host", Sifrovani="TLS", Port="pop3s"), None,
         True, False),
    ]

    def test_get_fails_safely(self):
        waiting = b"From: ucetni@pobocka.example\nSubject: ZAN_POST ceka\n\nradek\n"
        causes = {}
        for name, pop3, password, cause_required, short in self.GET_CASES:
            with self.subTest(name):
                SERVERS.clear()
                SERVERS.put(waiting)
                receiver = self.receiver(pop3(), timeout=SHORT_TIMEOUT if short else 20,
                                         password=password() if password else None)
                run = receiver.run("GET")
                causes[name] = self.failure_cause(run, receiver, POP3_BOX, cause_required)
                if short:
                    self.assertLess(run.seconds, SHORT_TIMEOUT + 5)
                self.assertEqual(SERVERS.messages(), [waiting])
                self.assertEqual(list(receiver.files.iterdir()), [])
                self.assertEqual([p.name for p in receiver.work.iterdir()], [])
        certificate = [causes.get(n) for n in ("unknown CA", "wrong name", "expired", "pin mismatch")]
        self.assertEqual(len(set(certificate)), 4, certificate)


class RunLogTest(SecureJobTest):
    def test_a_full_log_is_set_aside_and_an_unwritable_one_fails_nothing(self):
        smtp = with_login(trusted(Sifrovani="TLS"))
        # Over 1 MiB at start: renamed to ".old" (one generation), a new log begins.
        sender = self.sender(dict(smtp, host="host"), {"a.dbf": b"abc"}, subject="ZAN_POST log 1")
        old = b"stary zaznam\n" * (1024 * 1024 // 13 + 1)
        self.assertGreater(len(old), 1024 * 1024)
        sender.log.write_bytes(old)
        pathlib.Path(str(sender.log) + ".old").write_bytes(b"predchozi generace\n")
        run = sender.run("SEND")
        self.assert_success(run, sender)
        self.assertEqual(pathlib.Path(str(sender.log) + ".old").read_bytes(), old)
        self.assertTrue(run.log and not run.log.startswith(b"stary zaznam"), run.log[:200])
        SERVERS.wait_count(1)

        # A log in a folder that does not exist: the job goes on as if none were configured.
        SERVERS.clear()
        sender = self.sender(dict(smtp, host="host"), {"a.dbf": b"abc"}, subject="ZAN_POST log 2")
        ini = sender.program_dir / "Zan_Post.ini"
        ini.write_bytes(ini.read_bytes().replace(str(sender.log).encode(),
                                                 str(sender.root / "chybi" / "log.txt").encode()))
        run = sender.run("SEND")
        self.assert_success(run, sender)
        SERVERS.wait_count(1)


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit(f"usage: {sys.argv[0]} PATH-OF-ZANPOST [unittest arguments]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
