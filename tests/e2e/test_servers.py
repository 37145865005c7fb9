"""Proves the end-to-end mail server pair before any ZanPost run depends on it.

    tests/e2e/run_in_mailns python3 tests/e2e/test_servers.py

Messages go in through SMTP (smtplib, and a raw dialogue shaped like ZanPost's own client) and
come back through POP3 (poplib), compared byte for byte.
"""

import base64
import os
import pathlib
import poplib
import random
import re
import smtplib
import socket
import subprocess
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mailharness import MailServerError, MailServers  # noqa: E402

SERVERS = None


def setUpModule():
    global SERVERS
    SERVERS = MailServers.from_environment()

# Header lines the server pair adds in front of a delivered message.
SERVER_HEADER = re.compile(rb"^(Return-Path|Delivered-To|Received): |^[ \t]")

CP1250_TEXT = (b"P\xf8\xedli\x9a \x9elu\x9dou\xe8k\xfd k\xf9\xf2 \xfap\xecl "
               b"\xef\xe1belsk\xe9 \xf3dy")


def message(subject, body_lines, message_id):
    header = [
        b"From: Jan Novak <jan@firma.example>",
        b"To: " + SERVERS.address.encode(),
        b"Subject: " + subject,
        b"Date: Mon, 7 Dec 2026 10:00:00 +0100",
        b"Message-ID: <" + message_id + b"@zanpost.test>",
    ]
    return header + [b""] + body_lines


def base64_lines(size, seed):
    data = random.Random(seed).randbytes(size)
    text = base64.b64encode(data)
    return [text[i:i + 76] for i in range(0, len(text), 76)]


def pop3_login():
    box = poplib.POP3(SERVERS.host, SERVERS.pop3_port, timeout=30)
    box.user(SERVERS.user)
    box.pass_(SERVERS.password)
    return box


def retrieve_all(box):
    """Every message of the session as {number: lines}."""
    _, listing, _ = box.list()
    result = {}
    for entry in listing:
        number = int(entry.split()[0])
        result[number] = box.retr(number)[1]
    return result


class ServerPairTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        self.assertEqual(SERVERS.count(), 0)

    def assert_delivered_as_sent(self, retrieved, sent):
        """retrieved = lines the servers put in front + exactly the lines sent."""
        self.assertGreaterEqual(len(retrieved), len(sent))
        added = retrieved[:len(retrieved) - len(sent)]
        self.assertEqual(retrieved[len(added):], sent)
        self.assertTrue(added, "the server adds at least its Received line")
        for line in added:
            self.assertRegex(line, SERVER_HEADER)

    def test_two_messages_go_in_by_smtp_and_come_out_by_pop3(self):
        small = message(b"ZAN_POST teckove radky " + CP1250_TEXT[:8],
                        [CP1250_TEXT, b".5 kg", b".", b"..", b"=", b"posledni radek"], b"small.1")
        big = message(b"ZAN_POST 5 MB", base64_lines(3_900_000, seed=5), b"big.1")
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=60) as smtp:
            refused = smtp.sendmail("jan@firma.example", [SERVERS.address], b"\r\n".join(small))
            self.assertEqual(refused, {})
            smtp.sendmail("jan@firma.example", [SERVERS.address], b"\r\n".join(big) + b"\r\n")
        SERVERS.wait_count(2)
        self.assertGreater(sum(len(m) for m in SERVERS.messages()), 5_000_000)

        box = pop3_login()
        try:
            count, octets = box.stat()
            self.assertEqual(count, 2)
            _, listing, _ = box.list()
            sizes = {int(n): int(s) for n, s in (e.split() for e in listing)}
            _, uidl, _ = box.uidl()
            uids = {int(n): u for n, u in (e.split() for e in uidl)}
            self.assertEqual(sorted(uids), [1, 2])
            self.assertEqual(len(set(uids.values())), 2)

            got = retrieve_all(box)
            by_subject = {}
            for number, lines in got.items():
                # LIST counts the message with CR LF line ends, dot-stuffing undone.
                self.assertEqual(sizes[number], sum(len(line) + 2 for line in lines))
                subject = next(line for line in lines if line.startswith(b"Subject: "))
                by_subject[subject] = number
            self.assertEqual(octets, sum(sizes.values()))
            small_number = by_subject[small[2]]
            big_number = by_subject[big[2]]
            self.assert_delivered_as_sent(got[small_number], small)
            self.assert_delivered_as_sent(got[big_number], big)

            # TOP n 1: the whole header, the empty line and the first body line.
            top = box.top(small_number, 1)[1]
            header_end = got[small_number].index(b"")
            self.assertEqual(top, got[small_number][:header_end + 2])
            self.assertEqual(top[-1], CP1250_TEXT)

            box.dele(small_number)
            self.assertEqual(SERVERS.count(), 2, "DELE only marks; QUIT removes")
            box.quit()
        finally:
            box.close()
        self.assertEqual(SERVERS.count(), 1)

        box = pop3_login()
        try:
            self.assertEqual(box.stat()[0], 1)
            _, uidl, _ = box.uidl()
            self.assertEqual(uidl, [b"1 " + uids[big_number]], "the survivor keeps its UIDL")
            self.assert_delivered_as_sent(box.retr(1)[1], big)
            box.dele(1)
            box.quit()
        finally:
            box.close()
        self.assertEqual(SERVERS.count(), 0)

    def test_dialogue_shaped_like_zanpost_client(self):
        # HELO (not EHLO), a blank after the colons, one refused and one local recipient, the
        # 8-bit body without any declaration, and the connection closed without QUIT.
        conn = socket.create_connection((SERVERS.host, SERVERS.smtp_port), timeout=30)
        replies = conn.makefile("rb")

        def command(text):
            conn.sendall(text + b"\r\n")
            return replies.readline()

        try:
            self.assertTrue(replies.readline().startswith(b"220 "))
            self.assertTrue(command(b"HELO " + socket.gethostname().encode()).startswith(b"250 "))
            self.assertTrue(command(b"MAIL FROM: <jan@firma.example>").startswith(b"250 "))
            self.assertTrue(command(b"RCPT TO: <" + SERVERS.address.encode() + b">")
                            .startswith(b"250 "))
            self.assertTrue(command(b"RCPT TO: <nekdo@jinde.example>").startswith(b"550 "))
            self.assertTrue(command(b"RCPT TO: <root@localhost>").startswith(b"250 "))
            self.assertTrue(command(b"DATA").startswith(b"354 "))
            lines = message(b"ZAN_POST " + CP1250_TEXT, [CP1250_TEXT, b"..dva", b".jeden",
                                                        b",", b"=", b"x" * 1500], b"raw.1")
            conn.sendall(b"".join(line + b"\r\n" for line in lines) + b".\r\n")
            self.assertTrue(replies.readline().startswith(b"250 "))
        finally:
            replies.close()
            conn.close()

        SERVERS.wait_count(2)  # one copy per accepted recipient
        # The server takes a leading full stop as stuffing, so an unstuffed ".jeden" loses it.
        expected = message(b"ZAN_POST " + CP1250_TEXT,
                           [CP1250_TEXT, b".dva", b"jeden", b",", b"=", b"x" * 1500], b"raw.1")
        stored = SERVERS.messages()
        self.assertEqual(len(stored), 2)
        delivered_to = set()
        for raw in stored:
            stored_lines = raw.split(b"\n")
            self.assertEqual(stored_lines[-1], b"", "the Maildir copy ends in a line break")
            self.assert_delivered_as_sent(stored_lines[:-1], expected)
            delivered_to.update(re.findall(rb"^Delivered-To: (.*)$", raw, re.M))
        self.assertEqual(delivered_to, {SERVERS.address.encode(), b"root@localhost"})

    def test_smtp_accepts_messages_up_to_256_mib(self):
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            smtp.ehlo()
            self.assertEqual(smtp.esmtp_features.get("size"), str(256 * 1024 * 1024))

    def test_wrong_password_is_refused_and_nothing_is_lost(self):
        raw = b"\n".join(message(b"ZAN_POST zustava", [b"telo"], b"keep.1")) + b"\n"
        SERVERS.put(raw)
        box = poplib.POP3(SERVERS.host, SERVERS.pop3_port, timeout=30)
        try:
            box.user(SERVERS.user)
            with self.assertRaises(poplib.error_proto) as refused:
                box.pass_(SERVERS.password + "x")
            self.assertTrue(refused.exception.args[0].startswith(b"-ERR "), refused.exception)
        finally:
            box.close()
        self.assertEqual(SERVERS.messages(), [raw])

        box = pop3_login()
        try:
            self.assertEqual(box.retr(1)[1], raw.split(b"\n")[:-1])
            box.quit()
        finally:
            box.close()
        self.assertEqual(SERVERS.messages(), [raw], "RETR and QUIT delete nothing")

    def test_deletion_without_quit_is_undone(self):
        SERVERS.put(b"\n".join(message(b"ZAN_POST", [b"telo"], b"undo.1")) + b"\n")
        box = pop3_login()
        box.dele(1)
        box.close()  # the connection drops before QUIT
        self.assertEqual(SERVERS.count(), 1)
        box = pop3_login()
        try:
            self.assertEqual(box.stat()[0], 1)
            box.quit()
        finally:
            box.close()

    def test_message_put_on_disk_is_served_byte_for_byte(self):
        lines = message(b"ZAN_POST =?windows-1250?Q?ciz=ED_po=9Atovn=ED_program?=",
                        [b"--hranice", b".", b".x", b"", CP1250_TEXT, b"\tkonec "], b"put.1")
        raw = b"\n".join(lines) + b"\n"
        path = SERVERS.put(raw)
        self.assertEqual(SERVERS.paths(), [path])
        self.assertEqual(path.read_bytes(), raw)
        box = pop3_login()
        try:
            self.assertEqual(box.retr(1)[1], lines)
            box.quit()
        finally:
            box.close()

    def test_stopping_smtp_leaves_pop3_running(self):
        env_file = SERVERS.directory / "env"
        smtpd_pid = int(re.search(r"ZP_SMTPD_PID=(\d+)", env_file.read_text()).group(1))
        dovecot_pid = int(os.environ["ZP_DOVECOT_PID"])
        SERVERS.stop_smtp()
        self.addCleanup(SERVERS.start_smtp)
        self.assertFalse(process_running(smtpd_pid))
        self.assertTrue(process_running(dovecot_pid))
        with self.assertRaises(ConnectionRefusedError):
            socket.create_connection((SERVERS.host, SERVERS.smtp_port), timeout=5).close()
        SERVERS.put(b"Subject: ZAN_POST\n\nx\n")
        box = pop3_login()
        try:
            self.assertEqual(box.stat()[0], 1)
            box.quit()
        finally:
            box.close()
        with self.assertRaises(MailServerError):
            SERVERS.stop_smtp()  # nothing left to stop: said, not ignored

        self.doCleanups()
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            smtp.sendmail("jan@firma.example", [SERVERS.address], b"Subject: znovu\r\n\r\nx\r\n")
        SERVERS.wait_count(2)


class HarnessTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()

    def test_waiting_for_a_delivery_that_never_comes_fails(self):
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            with self.assertRaises(smtplib.SMTPRecipientsRefused):
                smtp.sendmail("jan@firma.example", ["nekdo@jinde.example"], b"Subject: x\r\n\r\n")
        with self.assertRaises(MailServerError) as failure:
            SERVERS.wait_count(1, seconds=1)
        self.assertIn("expected 1 message(s) in the Maildir, found 0", str(failure.exception))

    def test_start_refuses_outside_a_private_namespace(self):
        # Seen from here, the namespaces of this very process are "the machine's own".
        env = {k: v for k, v in os.environ.items() if not k.startswith("ZP_")}
        env["ZP_OUTER_NS"] = (os.readlink("/proc/self/ns/net") + " "
                              + os.readlink("/proc/self/ns/mnt"))
        result = subprocess.run([os.environ["ZP_MAILSERVERS"], "start"], env=env,
                                capture_output=True, text=True, check=False)
        self.assertEqual(result.returncode, 1)
        self.assertIn("not inside a private network and mount namespace", result.stderr)
        # Nothing was mounted over the running pair: its control socket and queue remain.
        self.assertTrue(pathlib.Path("/run/smtpd.sock").exists())
        with smtplib.SMTP(SERVERS.host, SERVERS.smtp_port, timeout=30) as smtp:
            smtp.sendmail("jan@firma.example", [SERVERS.address], b"Subject: stale\r\n\r\nx\r\n")
        SERVERS.wait_count(1)


def process_running(pid):
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rsplit(") ", 1)[1].split()[0] not in ("Z", "X")


if __name__ == "__main__":
    unittest.main(verbosity=2)
