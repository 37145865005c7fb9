"""Proves the end-to-end mail server pair before any ZanPost run depends on it.

    tests/e2e/run_in_mailns python3 tests/e2e/test_servers.py

Messages go in through SMTP (smtplib, and a raw dialogue shaped like ZanPost's own client) and
come back through POP3 (poplib) and IMAP (imaplib), compared byte for byte.
"""

import base64
import hashlib
import hmac
import imaplib
import os
import pathlib
import poplib
import random
import re
import smtplib
import socket
import ssl
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


# ---------------------------------------------------------------------------------------
# The TLS side: Dovecot POP3 (995, STLS on 110) and submission (465, STARTTLS on 587)


def tls_context(ca=None, tls12_only=False):
    context = ssl.create_default_context(cafile=str(ca or SERVERS.tls.ca))
    if tls12_only:  # what Wine's Schannel speaks
        context.maximum_version = ssl.TLSVersion.TLSv1_2
    return context


def fingerprint(der):
    return ":".join(f"{b:02X}" for b in hashlib.sha256(der).digest())


def b64(text):
    return base64.b64encode(text.encode() if isinstance(text, str) else text)


def pop3_sasl(box, mechanism):
    """Logs in with AUTH MECHANISM, each client step answered to the server's "+" line."""
    user, password = SERVERS.user, SERVERS.password

    def step(line):
        box._putcmd(line.decode())
        reply = box._getline()[0]
        return reply

    reply = step(b"AUTH " + mechanism.encode())
    if mechanism == "PLAIN":
        answers = [lambda _: b64(f"\0{user}\0{password}")]
    elif mechanism == "LOGIN":
        answers = [lambda _: b64(user), lambda _: b64(password)]
    else:  # CRAM-MD5
        answers = [lambda challenge: b64(user + " " + hmac.new(
            password.encode(), base64.b64decode(challenge), "md5").hexdigest())]
    for answer in answers:
        if not reply.startswith(b"+ "):
            return reply
        reply = step(answer(reply[2:]))
    return reply


def pop3_login_with(box, mechanism, password=None):
    """Logs in by any of USER, APOP, PLAIN, LOGIN, CRAM-MD5; returns the final reply line."""
    if mechanism == "USER":
        box.user(SERVERS.user)
        return box.pass_(SERVERS.password if password is None else password)
    if mechanism == "APOP":
        return box.apop(SERVERS.user, SERVERS.password)
    return pop3_sasl(box, mechanism)


class TlsServerTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        self.tls = SERVERS.tls

    def test_each_address_serves_its_certificate_on_every_tls_port(self):
        # (host attribute, the verification error expected against the test CA and the name)
        cases = [("host", None),
                 ("expired_host", "certificate has expired"),
                 ("wrong_name_host", "Hostname mismatch"),
                 ("unknown_ca_host", "unable to get local issuer certificate")]
        for attribute, error in cases:
            host = getattr(self.tls, attribute)
            for port in (self.tls.pop3s_port, self.tls.imaps_port, self.tls.smtps_port):
                with self.subTest(host=attribute, port=port):
                    with socket.create_connection((host, port), timeout=10) as raw:
                        if error is None:
                            with tls_context(tls12_only=True).wrap_socket(
                                    raw, server_hostname=self.tls.name) as conn:
                                self.assertEqual(conn.version(), "TLSv1.2")
                                greeting = conn.recv(100)
                        else:
                            with self.assertRaises(ssl.SSLCertVerificationError) as failed:
                                tls_context().wrap_socket(raw, server_hostname=self.tls.name)
                            self.assertIn(error, failed.exception.verify_message)
                    # The pin a test gives matches what is served, whatever the chain.
                    unverified = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
                    unverified.check_hostname = False
                    unverified.verify_mode = ssl.CERT_NONE
                    with socket.create_connection((host, port), timeout=10) as raw, \
                            unverified.wrap_socket(raw) as conn:
                        self.assertEqual(fingerprint(conn.getpeercert(binary_form=True)),
                                         self.tls.fingerprints[attribute])
                if error is None:
                    expected = {self.tls.pop3s_port: b"+OK", self.tls.imaps_port: b"* OK"}.get(port, b"220 ")
                    self.assertTrue(greeting.startswith(expected), greeting)
        self.assertEqual(len(set(self.tls.fingerprints.values())), 4)

    def test_unknown_ca_certificate_verifies_against_its_own_ca(self):
        with socket.create_connection((self.tls.unknown_ca_host, self.tls.pop3s_port), timeout=10) as raw, \
                tls_context(self.tls.unknown_ca).wrap_socket(raw, server_hostname=self.tls.name) as conn:
            self.assertTrue(conn.recv(100).startswith(b"+OK"))

    def test_pop3s_logs_in_with_every_mechanism(self):
        raw = b"\n".join(message(b"ZAN_POST pres TLS", [CP1250_TEXT, b".", b"konec"], b"tls.1")) + b"\n"
        SERVERS.put(raw)
        for mechanism in ("USER", "APOP", "PLAIN", "LOGIN", "CRAM-MD5"):
            with self.subTest(mechanism=mechanism):
                box = poplib.POP3_SSL(self.tls.host, self.tls.pop3s_port, context=tls_context(),
                                      timeout=30)
                try:
                    self.assertTrue(pop3_login_with(box, mechanism).startswith(b"+OK"))
                    self.assertEqual(box.retr(1)[1], raw.split(b"\n")[:-1])
                    box.quit()
                finally:
                    box.close()
        self.assertEqual(SERVERS.messages(), [raw])

    def test_pop3_refuses_clear_text_logins_until_stls(self):
        SERVERS.put(b"Subject: ZAN_POST STLS\n\nx\n")
        box = poplib.POP3(self.tls.host, self.tls.pop3_port, timeout=30)
        try:
            capa = box.capa()
            self.assertIn("STLS", capa)
            self.assertNotIn("USER", capa)
            self.assertEqual(capa["SASL"], ["CRAM-MD5"], "only a mechanism without the password")
            with self.assertRaises(poplib.error_proto) as refused:
                box.user(SERVERS.user)
            self.assertIn(b"Plaintext authentication disallowed", refused.exception.args[0])
            self.assertTrue(pop3_sasl(box, "PLAIN").startswith(b"-ERR"))
            box.stls(tls_context())
            capa = box.capa()
            self.assertIn("USER", capa)
            self.assertEqual(capa["SASL"], ["PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"])
            box.user(SERVERS.user)
            box.pass_(SERVERS.password)
            self.assertEqual(box.stat()[0], 1)
            box.quit()
        finally:
            box.close()
        # CRAM-MD5 keeps the password off the line, so it is allowed without TLS.
        box = poplib.POP3(self.tls.host, self.tls.pop3_port, timeout=30)
        try:
            self.assertTrue(pop3_sasl(box, "CRAM-MD5").startswith(b"+OK"))
            box.quit()
        finally:
            box.close()

    def send_with(self, smtp, mechanism, subject):
        smtp.user, smtp.password = SERVERS.user, SERVERS.password
        handler = {"PLAIN": smtp.auth_plain, "LOGIN": smtp.auth_login,
                   "CRAM-MD5": smtp.auth_cram_md5}[mechanism]
        code, _ = smtp.auth(mechanism, handler, initial_response_ok=mechanism != "LOGIN")
        self.assertEqual(code, 235)
        lines = message(subject, [CP1250_TEXT, b".tecka", b"konec"], subject[-8:])
        self.assertEqual(smtp.sendmail("jan@firma.example", [SERVERS.address], b"\r\n".join(lines)), {})
        return lines

    def test_submission_delivers_over_both_tls_ports_with_every_mechanism(self):
        sent = []
        for mechanism in ("PLAIN", "LOGIN", "CRAM-MD5"):
            with smtplib.SMTP_SSL(self.tls.host, self.tls.smtps_port, context=tls_context(),
                                  timeout=30) as smtp:
                smtp.ehlo()
                self.assertEqual(smtp.esmtp_features["auth"].split(),
                                 ["PLAIN", "LOGIN", "CRAM-MD5", "XOAUTH2", "OAUTHBEARER"])
                sent.append(self.send_with(smtp, mechanism, b"ZAN_POST 465 " + mechanism.encode()))
        with smtplib.SMTP(self.tls.host, self.tls.submission_port, timeout=30) as smtp:
            smtp.ehlo()
            self.assertIn("starttls", smtp.esmtp_features)
            self.assertNotIn("auth", smtp.esmtp_features, "no AUTH before STARTTLS")
            self.assertEqual(smtp.docmd("AUTH", "CRAM-MD5")[0], 530)
            smtp.starttls(context=tls_context())
            smtp.ehlo()
            sent.append(self.send_with(smtp, "PLAIN", b"ZAN_POST 587 PLAIN"))
        SERVERS.wait_count(len(sent))
        stored = {}
        for raw in SERVERS.messages():
            lines = raw.split(b"\n")[:-1]
            stored[next(line for line in lines if line.startswith(b"Subject: "))] = lines
        self.assertEqual(len(stored), len(sent))
        for lines in sent:
            self.assert_delivered(stored[lines[2]], lines)

    def assert_delivered(self, stored, sent):
        self.assertEqual(stored[len(stored) - len(sent):], sent)
        for line in stored[:len(stored) - len(sent)]:
            self.assertRegex(line, SERVER_HEADER)

    def test_wrong_password_is_refused_on_both_servers(self):
        raw = b"Subject: ZAN_POST zustava\n\nx\n"
        SERVERS.put(raw)
        with smtplib.SMTP_SSL(self.tls.host, self.tls.smtps_port, context=tls_context(),
                              timeout=30) as smtp:
            with self.assertRaises(smtplib.SMTPAuthenticationError) as refused:
                smtp.login(SERVERS.user, SERVERS.password + "x")
            self.assertEqual(refused.exception.smtp_code, 535)
        box = poplib.POP3_SSL(self.tls.host, self.tls.pop3s_port, context=tls_context(), timeout=30)
        try:
            with self.assertRaises(poplib.error_proto):
                pop3_login_with(box, "USER", password=SERVERS.password + "x")
        finally:
            box.close()
        self.assertEqual(SERVERS.messages(), [raw])

    def test_xoauth2_takes_the_run_token_and_explains_a_refusal(self):
        def initial(token):
            return b64(f"user={SERVERS.user}\x01auth=Bearer {token}\x01\x01").decode()

        for token, accepted in ((os.environ["ZP_OAUTH_TOKEN"], True), ("ya29.neplatny", False)):
            with self.subTest(accepted=accepted):
                # POP3 in two steps, as Microsoft requires: AUTH, "+", then the token.
                box = poplib.POP3_SSL(self.tls.host, self.tls.pop3s_port, context=tls_context(),
                                      timeout=30)
                try:
                    box._putcmd("AUTH XOAUTH2")
                    self.assertEqual(box._getline()[0], b"+ ")
                    box._putcmd(initial(token))
                    reply = box._getline()[0]
                    if accepted:
                        self.assertTrue(reply.startswith(b"+OK"), reply)
                    else:
                        # A base64 error detail, answered with an empty line, then the refusal.
                        self.assertIn(b'"status":"401"', base64.b64decode(reply[2:]))
                        box._putcmd("")
                        self.assertTrue(box._getline()[0].startswith(b"-ERR"))
                finally:
                    box.close()
                with smtplib.SMTP_SSL(self.tls.host, self.tls.smtps_port, context=tls_context(),
                                      timeout=30) as smtp:
                    smtp.ehlo()
                    code, detail = smtp.docmd("AUTH", "XOAUTH2 " + initial(token))
                    if accepted:
                        self.assertEqual(code, 235)
                    else:
                        self.assertEqual(code, 334)
                        self.assertIn(b'"status":"401"', base64.b64decode(detail))
                        self.assertEqual(smtp.docmd("")[0], 535)

    def test_wrong_mode_fails_the_handshake_or_stays_silent(self):
        # TLS to a plain port: the clear-text greeting is no TLS record.
        for port in (self.tls.pop3_port, self.tls.imap_port, self.tls.submission_port):
            with self.subTest(tls_to_plain=port), \
                    socket.create_connection((self.tls.host, port), timeout=10) as raw:
                with self.assertRaises(ssl.SSLError):
                    tls_context().wrap_socket(raw, server_hostname=self.tls.name)
        # Plain to a TLS port: the server waits for a handshake and says nothing, so only the
        # client's time limit ends it.
        for port in (self.tls.pop3s_port, self.tls.imaps_port, self.tls.smtps_port):
            with self.subTest(plain_to_tls=port), \
                    socket.create_connection((self.tls.host, port), timeout=2) as raw:
                with self.assertRaises(TimeoutError):
                    raw.recv(100)


def imap_login(box, mechanism, token=None):
    """LOGIN, or AUTHENTICATE MECHANISM, with the mailbox user's password (or the OAuth token)."""
    user, password = SERVERS.user, SERVERS.password
    if mechanism == "LOGIN":
        return box.login(user, password)
    answers = {"PLAIN": lambda _: f"\0{user}\0{password}".encode(),
               "CRAM-MD5": lambda challenge: (user + " " + hmac.new(password.encode(), challenge, "md5")
                                              .hexdigest()).encode(),
               "XOAUTH2": lambda _: f"user={user}\x01auth=Bearer {token}\x01\x01".encode()}
    return box.authenticate(mechanism, answers[mechanism])


class ImapServerTest(unittest.TestCase):
    """Dovecot IMAP: 143 in the clear on 127.0.0.1, with STARTTLS on the TLS addresses, and 993;
    the extensions a careful client relies on, announced once logged in."""

    def setUp(self):
        SERVERS.clear()
        self.tls = SERVERS.tls

    def test_every_port_and_mechanism_reads_without_marking_read(self):
        raw = b"\r\n".join(message(b"ZAN_POST pres IMAP", [CP1250_TEXT, b".", b"konec"], b"imap.1")) + b"\r\n"
        SERVERS.put(raw.replace(b"\r\n", b"\n"))
        token = os.environ["ZP_OAUTH_TOKEN"]
        cases = [("993", lambda: imaplib.IMAP4_SSL(self.tls.host, self.tls.imaps_port, ssl_context=tls_context(),
                                                  timeout=30)),
                 ("143 STARTTLS", lambda: imaplib.IMAP4(self.tls.host, self.tls.imap_port, timeout=30)),
                 ("143 on 127.0.0.1", lambda: imaplib.IMAP4(SERVERS.host, SERVERS.imap_port, timeout=30))]
        for port, connect in cases:
            for mechanism in ("LOGIN", "PLAIN", "CRAM-MD5", "XOAUTH2"):
                with self.subTest(port=port, mechanism=mechanism):
                    box = connect()
                    try:
                        if port == "143 STARTTLS":
                            self.assertIn("LOGINDISABLED", box.capabilities)
                            with self.assertRaises(imaplib.IMAP4.error):
                                box.login(SERVERS.user, SERVERS.password)
                            box.starttls(tls_context(tls12_only=True))
                            self.assertNotIn("LOGINDISABLED", box.capabilities)
                        self.assertEqual(imap_login(box, mechanism, token)[0], "OK")
                        self.assertLessEqual({"MOVE", "UIDPLUS", "SPECIAL-USE"},
                                             set(box.capability()[1][0].decode().upper().split()))
                        box.select("INBOX")
                        _, data = box.uid("FETCH", "1:*", "(FLAGS RFC822.SIZE BODY.PEEK[])")
                        self.assertEqual(data[0][1], raw)
                        self.assertIn(b"RFC822.SIZE %d " % len(raw), data[0][0])
                        self.assertNotIn(b"\\Seen", data[0][0])
                    finally:
                        box.logout()
        self.assertEqual([m.flags for m in SERVERS.folder()], [set()])

    def test_second_client_changes_the_mailbox_and_dovecot_counts_each_session(self):
        SERVERS.put(b"Subject: ZAN_POST prvni\n\nx\n")
        mark = SERVERS.dovecot_log.stat().st_size
        with SERVERS.imap() as box:
            uid_validity = box.uid_validity()
            ours = box.append(b"Subject: ZAN_POST druha\n\ny\n")
            someone_elses = box.append(b"Subject: smazat\n\nz\n")
            kept = box.append(b"Subject: zustava\n\nw\n", flags="\\Seen")
            listed = box.messages()
            self.assertEqual([m.header("Subject") for m in listed],
                             [b"ZAN_POST prvni", b"ZAN_POST druha", b"smazat", b"zustava"])
            first = listed[0].uid
            # UID EXPUNGE removes exactly the messages named, not what someone else marked \\Deleted.
            box.flag_deleted([someone_elses, kept])
            box.delete([ours])
            self.assertEqual([(m.uid, m.flags) for m in box.messages()],
                             [(first, set()), (someone_elses, {"\\Deleted"}), (kept, {"\\Seen", "\\Deleted"})])
            # UID MOVE into a folder that does not exist yet: TRYCREATE, then it is made.
            self.assertEqual(box.connection.uid("MOVE", str(first), "Presun")[1][0][:11], b"[TRYCREATE]")
            box.connection.create("Presun")
            self.assertEqual(box.connection.uid("MOVE", str(first), "Presun")[0], "OK")
            self.assertEqual(box.uid_validity(), uid_validity)
            listed = box._ok(box.connection.list('""', "*"), "LIST")
            self.assertIn(b'(\\HasNoChildren \\Trash) "/" Trash', listed)
        self.assertEqual([m.header("Subject") for m in SERVERS.folder("Presun")], [b"ZAN_POST prvni"])
        self.assertEqual(SERVERS.count(), 2)
        # The mailbox user's own session is counted, the colleague's above are not.
        box = imaplib.IMAP4(SERVERS.host, SERVERS.imap_port, timeout=30)
        try:
            box.login(SERVERS.user, SERVERS.password)
            box.select()
            box.uid("FETCH", "1:*", "(UID RFC822.SIZE BODY.PEEK[HEADER.FIELDS (FROM SUBJECT)])")
            box.uid("FETCH", "1:*", "(BODY.PEEK[])")
            box.uid("EXPUNGE", str(kept))
        finally:
            box.logout()
        self.assertEqual([{k: s[k] for k in ("hdr_count", "body_count", "deleted", "expunged")}
                          for s in SERVERS.imap_sessions(mark, count=1)],
                         [dict(hdr_count=2, body_count=2, deleted=0, expunged=1)])
        self.assertEqual(SERVERS.count(), 1)
        SERVERS.clear()
        self.assertEqual((SERVERS.count(), SERVERS.folder("Presun")), (0, []))
        with SERVERS.imap() as box:
            self.assertIn("Presun", box.folders(), "clear keeps the folders")


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
