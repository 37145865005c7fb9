"""The mail server pair of an end-to-end run, as seen from a Python test.

Run the test through the wrapper, which starts OpenSMTPD and Dovecot (POP3, IMAP, submission) in
private namespaces and stops them afterwards:

    tests/e2e/run_in_mailns python3 tests/e2e/test_x.py

Then, in the test:

    from mailharness import MailServers
    servers = MailServers.from_environment()   # exits with a hint when not under the wrapper
    servers.host, servers.smtp_port, servers.pop3_port, servers.imap_port
    servers.user, servers.password, servers.address, servers.domain
    servers.colleague                          # a second login of the same mailbox (IMAP)
    servers.maildir                            # pathlib.Path of the mailbox on disk
    servers.count()                            # messages on disk in INBOX (new + cur)
    servers.wait_count(n)                      # until SMTP has handed n messages to the Maildir
    servers.messages()                         # their raw bytes as stored, oldest first
    servers.put(raw_bytes)                     # a message straight into the Maildir, no SMTP
    servers.put_many([raw, ...])               # thousands of them, without a process each
                                               # (a pathlib.Path item: that file's bytes)
    servers.clear()                            # empty the mailbox, every IMAP folder too
    servers.stop_smtp(); servers.start_smtp()  # port 25 refuses connections in between
    servers.tls                                # the TLS side (see TlsServers below)
    servers.oauth                              # the OAuth token service (see OAuthService)
    with servers.imap() as box:                # a second IMAP client of the mailbox (ImapClient)
        box.append(raw); box.messages("Presun")
    servers.folder("Presun")                   # the same, for one look at one folder

and the program itself, in an installation of its own (zanpost_install.py, named here too):

    inst = Installation(root, program)         # program/, work/, files/ under root
    inst.configure({"Mail": {...}, ...})       # writes Zan_Post.ini in CP1250
    run = inst.run("SEND")                     # Run: code, stdout, stderr, log (the run log)

Every operation goes through tests/e2e/mailservers.sh, so a bash test or script gets the same
behaviour from the same commands. Messages stored in the Maildir have LF line ends; POP3 serves
them with CR LF. Each SMTP recipient that lands in the mailbox makes its own copy.
"""

import base64
import email.policy
import imaplib
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import time
import urllib.request
from email.mime.application import MIMEApplication
from email.mime.multipart import MIMEMultipart
from email.mime.text import MIMEText

from zanpost_install import Installation, Run, free_port, wait_for_port  # noqa: F401  (one import for the tests)

SKIP_RETURN_CODE = 77


class TlsServers:
    """Dovecot's TLS side: POP3 on 995 (implicit TLS) and 110 (STLS), IMAP on 993 (implicit)
    and 143 (STARTTLS; LOGINDISABLED before it), submission on 465 (implicit) and 587
    (STARTTLS; no AUTH before it), relaying to OpenSMTPD for delivery into
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
        self.imaps_port = int(environ["ZP_IMAPS_PORT"])
        self.imap_port = int(environ["ZP_IMAP_PORT"])
        self.smtps_port = int(environ["ZP_SMTPS_PORT"])
        self.submission_port = int(environ["ZP_SUBMISSION_PORT"])
        self.fingerprints = {
            "host": environ["ZP_TLS_FINGERPRINT"],
            "expired_host": environ["ZP_TLS_EXPIRED_FINGERPRINT"],
            "wrong_name_host": environ["ZP_TLS_WRONG_NAME_FINGERPRINT"],
            "unknown_ca_host": environ["ZP_TLS_UNKNOWN_CA_FINGERPRINT"],
        }


class OAuthService:
    """The run's OAuth token service (oauth_service.py): its addresses, the clients it knows
    and the tests' handle on it. Microsoft's token URL is ms_url(tenant), its device-code URL
    ms_url(tenant, "devicecode"); Google's are google_token and google_auth."""

    def __init__(self, environ):
        self.url_base = environ["ZP_OAUTH_URL_BASE"]
        self.control_url = environ["ZP_OAUTH_CONTROL"] + "/_test/"
        (self.tenant, self.client_id, self.client_secret, self.public_client_id, self.google_id,
         self.google_secret) = (environ["ZP_OAUTH_" + name] for name in (
            "TENANT", "CLIENT_ID", "CLIENT_SECRET", "PUBLIC_CLIENT_ID", "GOOGLE_CLIENT_ID", "GOOGLE_CLIENT_SECRET"))
        self.certificate, self.service_account, self.log = (
            pathlib.Path(environ["ZP_OAUTH_" + name]) for name in ("CERTIFICATE", "SERVICE_ACCOUNT", "LOG"))
        self.google_token = self.url_base + "/token"
        self.google_auth = self.url_base + "/o/oauth2/v2/auth"

    def ms_url(self, tenant, endpoint="token"):
        return f"{self.url_base}/{tenant}/oauth2/v2.0/{endpoint}"

    def control(self, action, /, **body):
        request = urllib.request.Request(self.control_url + action, data=json.dumps(body).encode())
        with urllib.request.urlopen(request, timeout=30) as answer:
            return json.loads(answer.read())

    def reset(self, **settings):
        """Default answers, request list emptied; then the given settings (see oauth_service.py)."""
        self.control("reset")
        return self.control("settings", **settings)

    def requests(self):
        """The token endpoints' requests since the last reset: provider, endpoint, grant,
        client, status, error (and refresh_token when one was presented)."""
        return self.control("state")["requests"]

    def pending(self, seconds=30):
        """The user code of the one device code still waiting for the person, once there is one."""
        deadline = time.monotonic() + seconds
        while time.monotonic() < deadline:
            codes = [d["user_code"] for d in self.control("state")["pending"] if d["state"] == "pending"]
            if codes:
                return codes[-1]
            time.sleep(0.1)
        raise MailServerError("no device code came to be approved")

    def secrets(self):
        """Every secret of the run: the client secrets, each token issued and each assertion,
        device code and authorization code the service was shown."""
        state = self.control("state")
        return {self.client_secret, self.google_secret, *state["access_tokens"], *state["refresh_tokens"],
                *state["presented"]}


def marked_message(name, data):
    """A marked message as another branch's mailer writes it (LF line ends): the text
    "text NAME" and `data` as the file NAME.dbf."""
    message = MIMEMultipart()
    message["From"] = "pobocka@firma.example"
    message["Subject"] = f"ZAN_POST {name}"
    message.attach(MIMEText(f"text {name}\n", "plain", "us-ascii"))
    part = MIMEApplication(data, "octet-stream")
    part["Content-Disposition"] = f'attachment; filename="{name}.dbf"'
    message.attach(part)
    return message.as_bytes(policy=email.policy.compat32.clone(linesep="\n"))


def leaks(secrets, user, places):
    """{where: how many} of the places (name -> bytes) holding one of the secrets as typed or
    as a login carries it (AUTH PLAIN, XOAUTH2). Counted, never shown: a failing test must not
    print what it found."""
    forms = set()
    for s in secrets:
        forms |= {s.encode(), base64.b64encode(s.encode()), base64.b64encode(f"\0{user}\0{s}".encode()),
                  base64.b64encode(f"user={user}\x01auth=Bearer {s}\x01\x01".encode())}
    found = {where: sum(form in data for form in forms) for where, data in places.items()}
    return {where: n for where, n in found.items() if n}


def left_files(root):
    """name -> bytes of each file under root but the program, its INI and its token cache,
    which holds tokens by design."""
    return {str(p): p.read_bytes() for p in pathlib.Path(root).rglob("*")
            if p.is_file() and p.name not in ("zanpost", "Zan_Post.ini", "Zan_Post.token")}


class MailServerError(RuntimeError):
    """A harness command failed; the message carries its diagnostics."""


class MailServers:
    def __init__(self, environ):
        self._env = dict(environ)
        self.host = environ["ZP_MAIL_HOST"]
        self.smtp_port = int(environ["ZP_SMTP_PORT"])
        self.pop3_port = int(environ["ZP_POP3_PORT"])
        self.imap_port = int(environ["ZP_IMAP_PORT"])
        self.user = environ["ZP_MAIL_USER"]
        self.colleague = environ["ZP_MAIL_COLLEAGUE"]
        self.password = environ["ZP_MAIL_PASSWORD"]
        self.domain = environ["ZP_MAIL_DOMAIN"]
        self.address = environ["ZP_MAIL_ADDRESS"]
        self.maildir = pathlib.Path(environ["ZP_MAILDIR"])
        self.directory = pathlib.Path(environ["ZP_MAIL_DIR"])
        self.smtpd_log = pathlib.Path(environ["ZP_SMTPD_LOG"])
        self.dovecot_log = pathlib.Path(environ["ZP_DOVECOT_LOG"])
        self._script = environ["ZP_MAILSERVERS"]
        self.tls = TlsServers(environ)
        self.oauth = OAuthService(environ)

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

    def put_many(self, messages):
        """As put, in the order given, without a process per message (the mailbox's owner and
        mode as mailservers.sh gives them). A message is its bytes, or a pathlib.Path of a file
        to copy, which is never read whole (the benchmark's are hundreds of MiB)."""
        owner = os.stat(self.maildir)
        for k, raw in enumerate(messages):
            name = f"{time.time():.0f}.M{k}R{random.randrange(1 << 30)}P{os.getpid()}.zp-put"
            tmp = self.maildir / "tmp" / name
            if isinstance(raw, pathlib.Path):
                shutil.copyfile(raw, tmp)
            else:
                tmp.write_bytes(raw)
            os.chown(tmp, owner.st_uid, owner.st_gid)
            os.chmod(tmp, 0o600)
            os.rename(tmp, self.maildir / "new" / name)

    def clear(self):
        self._run("clear")

    def stop_smtp(self):
        self._run("stop-smtp")

    def start_smtp(self):
        self._run("start-smtp")

    def imap(self):
        """A second client of the mailbox, logged in over plain IMAP on 127.0.0.1 as the
        colleague, so that imap_sessions does not count it."""
        return ImapClient(self)

    def folder(self, name="INBOX"):
        """What `name` holds now, as ImapClient.messages."""
        with self.imap() as box:
            return box.messages(name)

    def imap_sessions(self, since=0, count=0, seconds=15):
        """The counters of every IMAP session of `user` (not the colleague's) that logged out
        after byte `since` of Dovecot's log, oldest first: {"hdr_count": .., "body_count": ..,
        "expunged": .., ...} as ints. Dovecot writes the line a moment after the client saw the
        logout: this waits until there are at least `count` of them, at most `seconds`."""
        deadline = time.monotonic() + seconds
        while True:
            log = self.dovecot_log.read_bytes()[since:].decode(errors="replace")
            sessions = [{k: int(v) for k, v in re.findall(r"(\w+)=(\d+)", line.split("Logged out", 1)[1])}
                        for line in log.splitlines() if f"imap({self.user})<" in line and "Logged out " in line]
            if len(sessions) >= count or time.monotonic() > deadline:
                return sessions
            time.sleep(0.05)


class ImapMessage:
    """One message of a folder: uid, flags (a set of str such as "\\Seen"; \\Recent, which only
    tells which session saw it first, left out) and raw bytes (CR LF)."""

    def __init__(self, uid, flags, raw):
        self.uid, self.flags, self.raw = uid, flags, raw

    def header(self, name):
        """The first field `name` as bytes without the name, unfolded; None without one."""
        found = re.search(rb"^" + re.escape(name.encode()) + rb":[ \t]*(.*(?:\r\n[ \t].*)*)\r\n",
                          self.raw.split(b"\r\n\r\n", 1)[0] + b"\r\n", re.I | re.M)
        return None if found is None else re.sub(rb"\r\n(?=[ \t])", b"", found.group(1))

    def __repr__(self):
        return f"ImapMessage(uid={self.uid}, flags={sorted(self.flags)}, subject={self.header('Subject')!r})"


class ImapClient:
    """A second IMAP client of the mailbox (Python's imaplib), as a person in Outlook or on the
    web would be: it reads folders without marking anything read, and changes the mailbox while
    the program runs. A context manager; every failed command raises MailServerError."""

    def __init__(self, servers):
        self.connection = imaplib.IMAP4(servers.host, servers.imap_port, timeout=30)
        self.selected = None
        try:
            self._ok(self.connection.login(servers.colleague, servers.password), "LOGIN")
        except BaseException:
            self.connection.shutdown()
            raise

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.connection.logout()

    @staticmethod
    def _ok(answer, what):
        status, data = answer
        if status != "OK":
            raise MailServerError(f"IMAP {what}: {status} {data!r}")
        return data

    def _uid(self, command, *args):
        return self._ok(self.connection.uid(command, *args), f"UID {command}")

    def select(self, folder="INBOX"):
        if self.selected != folder:
            self._ok(self.connection.select(self._quoted(folder)), f"SELECT {folder}")
            self.selected = folder

    @staticmethod
    def _quoted(folder):
        return '"' + folder.replace("\\", "\\\\").replace('"', '\\"') + '"'

    def folders(self):
        """Every folder name (modified UTF-7, as the server has them)."""
        names = []
        for entry in self._ok(self.connection.list(), "LIST"):
            name = entry.decode().rsplit(' "/" ', 1)[1]
            names.append(name[1:-1] if name.startswith('"') else name)
        return names

    def messages(self, folder="INBOX"):
        """[ImapMessage] of the folder in UID order; [] when there is no such folder. Read with
        BODY.PEEK, so nothing becomes read."""
        if folder not in self.folders():
            return []
        self.select(folder)
        answer = self._uid("FETCH", "1:*", "(UID FLAGS BODY.PEEK[])")
        found = []
        for item in answer:
            if not isinstance(item, tuple):
                continue
            head = item[0].decode()
            uid = int(re.search(r"UID (\d+)", head).group(1))
            flags = set(re.search(r"FLAGS \(([^)]*)\)", head).group(1).split()) - {"\\Recent"}
            found.append(ImapMessage(uid, flags, item[1]))
        return sorted(found, key=lambda m: m.uid)

    def append(self, raw, folder="INBOX", flags=""):
        """Adds `raw` (LF or CR LF line ends) to the folder; its UID there."""
        raw = re.sub(rb"\r?\n", b"\r\n", raw)
        data = self._ok(self.connection.append(self._quoted(folder), f"({flags})" if flags else None, None, raw),
                        "APPEND")
        return int(re.search(rb"\[APPENDUID \d+ (\d+)\]", data[-1]).group(1))

    def flag_deleted(self, uids, folder="INBOX"):
        """Marks the messages \\Deleted without removing them, as a mail program does before it
        expunges (or leaves the expunge for later)."""
        self.select(folder)
        self._uid("STORE", ",".join(map(str, uids)), "+FLAGS.SILENT", "(\\Deleted)")

    def delete(self, uids, folder="INBOX"):
        """Removes exactly these messages: \\Deleted, then UID EXPUNGE of them (UIDPLUS)."""
        self.flag_deleted(uids, folder)
        self._uid("EXPUNGE", ",".join(map(str, uids)))

    def uid_validity(self, folder="INBOX"):
        data = self._ok(self.connection.status(self._quoted(folder), "(UIDVALIDITY)"), "STATUS")
        return int(re.search(rb"UIDVALIDITY (\d+)", data[0]).group(1))
