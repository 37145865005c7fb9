"""The mail server pair of an end-to-end run, as seen from a Python test.

Run the test through the wrapper, which starts OpenSMTPD and Dovecot POP3 in private namespaces
and stops them afterwards:

    tests/e2e/run_in_mailns python3 tests/e2e/test_x.py

Then, in the test:

    from mailharness import MailServers
    servers = MailServers.from_environment()   # exits with a hint when not under the wrapper
    servers.host, servers.smtp_port, servers.pop3_port
    servers.user, servers.password, servers.address, servers.domain
    servers.maildir                            # pathlib.Path of the mailbox on disk
    servers.count()                            # messages on disk (new + cur)
    servers.wait_count(n)                      # until SMTP has handed n messages to the Maildir
    servers.messages()                         # their raw bytes as stored, oldest first
    servers.put(raw_bytes)                     # a message straight into the Maildir, no SMTP
    servers.clear()                            # empty the mailbox
    servers.stop_smtp(); servers.start_smtp()  # port 25 refuses connections in between
    servers.tls                                # the TLS side (see TlsServers below)

Every operation goes through tests/e2e/mailservers.sh, so a bash test or script gets the same
behaviour from the same commands. Messages stored in the Maildir have LF line ends; POP3 serves
them with CR LF. Each SMTP recipient that lands in the mailbox makes its own copy.
"""

import os
import pathlib
import subprocess
import sys

SKIP_RETURN_CODE = 77


class TlsServers:
    """Dovecot's TLS side: POP3 on 995 (implicit TLS) and 110 (STLS), submission on 465
    (implicit) and 587 (STARTTLS; no AUTH before it), relaying to OpenSMTPD for delivery into
    the same Maildir. Clear-text logins are refused without TLS. Each address serves one
    certificate, all of them with the same server key:

        host             the good server: a certificate for `name` (and for the IP), signed by `ca`
        expired_host     signed by `ca`, for `name`, expired in 2021
        wrong_name_host  signed by `ca`, for jiny.zanpost.test only
        unknown_ca_host  for `name`, signed by `unknown_ca`, which nobody trusts

    fingerprints maps each of those host attributes' names to the SHA-256 of the certificate it
    serves, colon-separated upper-case hex, as a pin is written."""

    def __init__(self, environ):
        self.host = environ["ZP_TLS_HOST"]
        self.expired_host = environ["ZP_TLS_EXPIRED_HOST"]
        self.wrong_name_host = environ["ZP_TLS_WRONG_NAME_HOST"]
        self.unknown_ca_host = environ["ZP_TLS_UNKNOWN_CA_HOST"]
        self.name = environ["ZP_TLS_NAME"]
        self.ca = pathlib.Path(environ["ZP_TLS_CA"])
        self.unknown_ca = pathlib.Path(environ["ZP_TLS_UNKNOWN_CA"])
        self.pop3s_port = int(environ["ZP_POP3S_PORT"])
        self.pop3_port = int(environ["ZP_POP3_PORT"])
        self.smtps_port = int(environ["ZP_SMTPS_PORT"])
        self.submission_port = int(environ["ZP_SUBMISSION_PORT"])
        self.fingerprints = {
            "host": environ["ZP_TLS_FINGERPRINT"],
            "expired_host": environ["ZP_TLS_EXPIRED_FINGERPRINT"],
            "wrong_name_host": environ["ZP_TLS_WRONG_NAME_FINGERPRINT"],
            "unknown_ca_host": environ["ZP_TLS_UNKNOWN_CA_FINGERPRINT"],
        }


class MailServerError(RuntimeError):
    """A harness command failed; the message carries its diagnostics."""


class MailServers:
    def __init__(self, environ):
        self._env = dict(environ)
        self.host = environ["ZP_MAIL_HOST"]
        self.smtp_port = int(environ["ZP_SMTP_PORT"])
        self.pop3_port = int(environ["ZP_POP3_PORT"])
        self.user = environ["ZP_MAIL_USER"]
        self.password = environ["ZP_MAIL_PASSWORD"]
        self.domain = environ["ZP_MAIL_DOMAIN"]
        self.address = environ["ZP_MAIL_ADDRESS"]
        self.maildir = pathlib.Path(environ["ZP_MAILDIR"])
        self.directory = pathlib.Path(environ["ZP_MAIL_DIR"])
        self.smtpd_log = pathlib.Path(environ["ZP_SMTPD_LOG"])
        self.dovecot_log = pathlib.Path(environ["ZP_DOVECOT_LOG"])
        self._script = environ["ZP_MAILSERVERS"]
        self.tls = TlsServers(environ)

    @classmethod
    def from_environment(cls):
        if "ZP_MAIL_DIR" not in os.environ or "ZP_MAILSERVERS" not in os.environ:
            sys.stderr.write(
                "no mail servers: run this through tests/e2e/run_in_mailns, e.g.\n"
                f"  tests/e2e/run_in_mailns python3 {sys.argv[0]}\n")
            sys.exit(2)
        return cls(os.environ)

    def _run(self, *args, stdin=None):
        result = subprocess.run([self._script, *args], input=stdin, env=self._env,
                                capture_output=True, check=False)
        if result.returncode != 0:
            raise MailServerError(
                f"mailservers.sh {' '.join(args)} failed ({result.returncode}): "
                + result.stderr.decode(errors="replace").strip())
        return result.stdout.decode()

    def count(self):
        return int(self._run("count").strip())

    def paths(self):
        return [pathlib.Path(p) for p in self._run("list").splitlines() if p]

    def messages(self):
        return [p.read_bytes() for p in self.paths()]

    def wait_count(self, n, seconds=15):
        self._run("wait-count", str(n), str(seconds))

    def put(self, raw):
        return pathlib.Path(self._run("put", stdin=raw).strip())

    def clear(self):
        self._run("clear")

    def stop_smtp(self):
        self._run("stop-smtp")

    def start_smtp(self):
        self._run("start-smtp")
