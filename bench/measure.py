"""Times ZanPost SEND and GET against the tools a user would pick instead, on the same data,
through the OpenSMTPD + Dovecot pair that tests/e2e/run_in_mailns starts. Run through
bench/run, which builds the program, starts the servers and draws the plots.

usage: measure.py ZANPOST [--sizes 1,10,50,500] [--tls-sizes 1,10,50,500]
                          [--messages 100,400,1600,6400] [--runs 3] [--once-from 500]
                          [--messages-once-from 1600] [--repeat-below 20] [--json FILE]

Sizes: one attachment of random bytes plus a 20-line body, sent and fetched by every tool.
With --tls-sizes the same jobs run over TLS against the servers' secure side: ZanPost SEND
over implicit TLS (Dovecot submission on 465, AUTH) against mpack + msmtp with TLS, ZanPost
GET over POP3S (995) against fetchmail with SSL + munpack, every peer verifying the
certificate against the run's test CA.

GET over IMAP, beside POP3 at every size: ZanPost with [Mail] Prijem=IMAP against Dovecot IMAP
on 143 and fetchmail over IMAP (clear text, as ZanPost: no opportunistic STARTTLS) + munpack,
both deleting what they took.

Messages: GET of N marked messages (2 KB text + 20 KB file each), put straight into the
Maildir, by ZanPost, fetchmail + munpack and Python poplib + email.

Repetitions: below --once-from (sizes) and --messages-once-from (counts) one warm-up round,
then --runs rounds, the tools taking turns; at and above, no warm-up, each peer once (the
peers take minutes there) and ZanPost up to --runs times while a run stays under
--repeat-below seconds. A peer whose memory need (its peak RSS per MiB at the largest smaller
size, times this size) exceeds 60 % of the memory the machine has free is left out with a
note rather than left to the OOM killer.

Every run of every tool is checked: the delivered message must carry the attachment's exact
bytes (SHA-256) and the body lines, every unpacked file must equal the original, every
message's text must be in the text output, and GET must leave the mailbox empty. A tool that
moves a wrong byte stops the benchmark: what was measured before is printed and saved,
marked incomplete, and the exit status is 1.
"""
import argparse
import binascii
import hashlib
import json
import mmap
import os
import pathlib
import random
import re
import shutil
import smtplib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from mailharness import MailServerError, MailServers  # noqa: E402
from zanpost_install import Installation  # noqa: E402

PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
GNU_TIME = "/usr/bin/time"
MIB = 1024 * 1024
CHUNK = 16 * MIB


class BenchError(RuntimeError):
    pass


class Servers(MailServers):
    """The run's servers as the tests see them, with the benchmark's longer wait for delivery
    (hundreds of MiB go through the queue) and the size limit SMTP announces."""

    def __init__(self):
        super().__init__(os.environ)

    def wait_count(self, n):
        super().wait_count(n, 120)

    def smtp_size_limit(self):
        """The SIZE OpenSMTPD announces (0: none)."""
        with smtplib.SMTP(self.host, self.smtp_port, timeout=30) as smtp:
            smtp.ehlo()
            return int(smtp.esmtp_features.get("size", "0") or 0)


def mem_available_mib():
    with open("/proc/meminfo") as f:
        for line in f:
            if line.startswith("MemAvailable:"):
                return int(line.split()[1]) / 1024
    return float("inf")


# --- timing -----------------------------------------------------------------------------

def timed(cmd, cwd, stdin_path=None):
    """Runs cmd under GNU time; wall seconds, CPU seconds (user+sys), peak RSS in KiB (of the
    largest process of the tree: GNU time reports the children's maximum too)."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        stdin = open(stdin_path, "rb") if stdin_path else subprocess.DEVNULL
        try:
            start = time.perf_counter()
            r = subprocess.run([GNU_TIME, "-v", "-o", report.name, *cmd], cwd=cwd, stdin=stdin,
                               capture_output=True, check=False)
            wall = time.perf_counter() - start
        finally:
            if stdin_path:
                stdin.close()
        text = report.read()
    if r.returncode != 0:
        raise BenchError(f"{cmd[0]} exited with {r.returncode}: "
                         f"{r.stdout.decode(errors='replace')[-2000:]}{r.stderr.decode(errors='replace')[-2000:]}")

    def field(name):
        m = re.search(re.escape(name) + r": ([0-9.]+)", text)
        if not m:
            raise BenchError(f"GNU time gave no '{name}'")
        return float(m.group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    return {"wall": wall, "cpu": cpu, "rss_kib": field("Maximum resident set size (kbytes)"),
            "stdout": r.stdout, "stderr": r.stderr}


# --- checking what was delivered --------------------------------------------------------
# Messages of 700 MB are checked without holding them: the file is mapped, the MIME parts
# found by searching the map, and base64 decoded in chunks into a SHA-256.

def header_value(head, name):
    # Unfold, then find the header in any case.
    unfolded = re.sub(rb"\r?\n[ \t]+", b" ", head.replace(b"\r\n", b"\n"))
    m = re.search(rb"(?im)^" + re.escape(name) + rb":[ \t]*(.*)$", unfolded)
    return m.group(1).decode("latin-1") if m else ""


def _blank_line(mm, start, end):
    """(end of the header, start of the body) of the text from start, LF or CR LF lines."""
    if mm[start:start + 1] == b"\n":
        return start, start + 1
    if mm[start:start + 2] == b"\r\n":
        return start, start + 2
    found = [(i, i + n) for i, n in ((mm.find(b"\n\n", start, end), 2), (mm.find(b"\n\r\n", start, end), 3))
             if i >= 0]
    if not found:
        raise BenchError("message part without a header/body separator")
    i, body = min(found)
    return i, body


def leaf_parts(mm):
    """(header bytes, body start, body end) of every leaf part of a message, one level of
    multipart deep (what every tool here writes)."""
    head_end, body = _blank_line(mm, 0, len(mm))
    head = mm[:head_end]
    m = re.search(r'boundary="?([^";]+)"?', header_value(head, b"Content-Type"), re.I)
    if not m:
        return [(head, body, len(mm))]
    delimiter = b"\n--" + m.group(1).strip().encode("latin-1")
    parts = []
    pos = mm.find(delimiter, body - 1)
    while pos >= 0:
        after = pos + len(delimiter)
        if mm[after:after + 2] == b"--":
            break
        line_end = mm.find(b"\n", after)
        if line_end < 0:
            break
        start = line_end + 1
        following = mm.find(delimiter, start - 1)
        if following < 0:
            raise BenchError("multipart message without its closing delimiter")
        end = following - 1 if mm[following - 1:following] == b"\r" else following
        part_head_end, part_body = _blank_line(mm, start, end)
        parts.append((mm[start:part_head_end], part_body, end))
        pos = following
    return parts


def b64_digest(mm, start, end):
    """Size and SHA-256 of what the base64 text in mm[start:end] decodes to."""
    h = hashlib.sha256()
    size = 0
    carry = b""
    for off in range(start, end, CHUNK):
        data = carry + mm[off:min(off + CHUNK, end)].translate(None, b" \t\r\n")
        whole = len(data) - len(data) % 4
        decoded = binascii.a2b_base64(data[:whole])
        h.update(decoded)
        size += len(decoded)
        carry = data[whole:]
    if carry:
        raise BenchError(f"base64 ends in a broken group: {carry!r}")
    return size, h.hexdigest()


def decode_text(head, raw):
    encoding = header_value(head, b"Content-Transfer-Encoding").strip().lower()
    if encoding == "base64":
        return binascii.a2b_base64(raw)
    if encoding == "quoted-printable":
        return binascii.a2b_qp(raw)
    return raw


def file_digest(path):
    h = hashlib.sha256()
    size = 0
    with open(path, "rb") as f:
        while block := f.read(CHUNK):
            h.update(block)
            size += len(block)
    return size, h.hexdigest()


def text_lines(data):
    return {line.rstrip() for line in data.replace(b"\r\n", b"\n").split(b"\n")}


def check_delivered(path, expected, body_lines):
    """The delivered message holds the attachment's exact bytes and every body line."""
    found_file = False
    text = b""
    with open(path, "rb") as f, mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ) as mm:
        for head, start, end in leaf_parts(mm):
            if "filename" in header_value(head, b"Content-Disposition"):
                if header_value(head, b"Content-Transfer-Encoding").strip().lower() != "base64":
                    raise BenchError("the attachment is not in base64")
                got = b64_digest(mm, start, end)
                if got != expected:
                    raise BenchError(f"attachment bytes differ ({got[0]} bytes, expected {expected[0]})")
                found_file = True
            else:
                text += decode_text(head, mm[start:end])
    if not found_file:
        raise BenchError("no attachment in the delivered message")
    lines = text_lines(text)
    missing = [b for b in body_lines if b.rstrip() not in lines]
    if missing:
        raise BenchError(f"body line missing from the delivered message: {missing[0]!r}")


def check_file(path, expected):
    if not path.is_file():
        raise BenchError(f"{path.name} was not unpacked")
    got = file_digest(path)
    if got != expected:
        raise BenchError(f"unpacked {path.name} differs ({got[0]} bytes, expected {expected[0]})")


def check_text(path, body_lines):
    lines = text_lines(pathlib.Path(path).read_bytes())
    missing = [b for b in body_lines if b.rstrip() not in lines]
    if missing:
        raise BenchError(f"{path}: body line missing: {missing[0]!r}")


def zanpost_install(directory, zanpost, sections):
    # ZanPost reads Zan_Post.ini beside its real path, so it gets a copy of its own.
    inst = Installation(directory, zanpost)
    inst.configure(sections)
    return inst


def fetchmail_rc(path, servers, tls, mda, imap=False):
    s = servers
    if imap:
        server = f'{s.host} protocol imap port {s.imap_port}'
        security = "no sslcertck sslproto ''"
    elif tls:
        server = f'{s.tls.host} protocol pop3 port {s.tls.pop3s_port}'
        security = (f'ssl sslproto TLS1.2+ sslcertck sslcertfile "{s.tls.ca}" '
                    f'sslcommonname "{s.tls.name}"')
    else:
        server = f'{s.host} protocol pop3 port {s.pop3_port}'
        security = 'no sslcertck'
    path.write_text(
        f'set no syslog\n'
        f'poll {server}\n'
        f'  user "{s.user}" there with password "{s.password}" is root here\n'
        f'  fetchall nokeep {security}\n'
        f'  mda "{mda}"\n')
    path.chmod(0o600)


def run_zanpost(inst, job):
    t = timed(inst.command(job), inst.work)
    if t["stderr"].strip() or t["stdout"].strip():
        # On Linux a box prints; a run that printed one failed somewhere.
        raise BenchError(f"zanpost {job} reported: " + (t["stdout"] + t["stderr"]).decode(errors="replace"))
    return t


# --- one attachment size ----------------------------------------------------------------

class Case:
    """One attachment size: its data, body and working directories."""

    def __init__(self, root, size_mib, servers, zanpost, tls=False):
        self.size_mib = size_mib
        self.tls = tls
        self.dir = pathlib.Path(root) / f"{size_mib}MiB{'-tls' if tls else ''}"
        self.data_dir = self.dir / "data"
        self.data_dir.mkdir(parents=True)
        self.name = f"export{size_mib}.dat"
        self.file = self.data_dir / self.name
        self.expected = self._write_random(self.file, size_mib * MIB, seed=size_mib)
        self.body_lines = [f"Radek {i:02d}: obraty za obdobi, soucet = {i * 1234.5:.2f} Kc".encode()
                           for i in range(1, 21)]
        self.body = self.dir / "telo.txt"
        self.body.write_bytes(b"\r\n".join(self.body_lines) + b"\r\n")
        self.subject = f"ZAN_POST bench {size_mib} MiB"
        self.servers = servers
        self.sample = None  # a message as ZanPost sent it, served to every GET tool

        host = servers.tls.host if tls else servers.host
        secure = {"Sifrovani": "TLS", "CA": servers.tls.ca, "Jmeno": servers.tls.name}
        quiet = {"Upozornovat": 0}
        self.zp_send = zanpost_install(self.dir / "zanpost-send", zanpost, {
            "Mail": {"Odesilatel": "ucetni@zanpost.test", "Adresat": servers.address, "SMTP": host,
                     "Predmet": self.subject, "Telo": self.body},
            "Soubory": {"Cesta": f"{self.data_dir}/", "Soubory": self.name},
            "Upozorneni": quiet,
            "SMTP": dict(secure, Uzivatel=servers.user, Heslo=servers.password) if tls else None})
        self.out_dir = self.dir / "out"
        self.out_dir.mkdir()
        get = {"Uzivatel": servers.user, "Heslo": servers.password, "Telo_Get": f"{self.out_dir}/prijato.txt"}
        self.zp_get = zanpost_install(self.dir / "zanpost-get", zanpost, {
            "Mail": dict(get, POP3=host), "Soubory": {"Cesta": f"{self.out_dir}/"}, "Upozorneni": quiet,
            "POP3": secure if tls else None})
        self.zp_get_imap = zanpost_install(self.dir / "zanpost-get-imap", zanpost, {
            "Mail": dict(get, Prijem="IMAP", POP3=servers.host), "Soubory": {"Cesta": f"{self.out_dir}/"},
            "Upozorneni": quiet}) if not tls else None

    @staticmethod
    def _write_random(path, size, seed):
        rng = random.Random(seed)
        h = hashlib.sha256()
        with open(path, "wb") as f:
            left = size
            while left:
                block = rng.randbytes(min(CHUNK, left))
                f.write(block)
                h.update(block)
                left -= len(block)
        return size, h.hexdigest()

    def fresh_out(self):
        shutil.rmtree(self.out_dir)
        self.out_dir.mkdir()

    # SEND tools: each returns its timing; the check follows.

    def send_zanpost(self):
        return run_zanpost(self.zp_send, "SEND")

    def send_mpack_msmtp(self):
        s = self.servers
        out = self.dir / "mpack.eml"
        out.unlink(missing_ok=True)  # mpack will not replace a file
        if self.tls:
            # The password comes from a command, as it would from a keyring.
            connection = (f'--host={s.tls.host} --port={s.tls.smtps_port} --tls=on --tls-starttls=off '
                          f'--tls-trust-file={s.tls.ca} --tls-host-override={s.tls.name} '
                          f'--auth=plain --user={s.user} --passwordeval="printf %s {s.password}"')
        else:
            connection = f'--host={s.host} --port={s.smtp_port} --auth=off --tls=off'
        script = (f'mpack -s "$1" -d "$2" -o "$3" "$4" && '
                  f'msmtp {connection} --from=ucetni@zanpost.test -- {s.address} < "$3"')
        try:
            return timed(["sh", "-c", script, "sh", self.subject, str(self.body), str(out), self.name],
                         self.data_dir)
        finally:
            out.unlink(missing_ok=True)

    def send_python(self):
        s = self.servers
        return timed([PYTHON, str(HERE / "peers" / "smtp_send.py"), s.host, str(s.smtp_port),
                      "ucetni@zanpost.test", s.address, self.subject, str(self.body), str(self.file)],
                     self.dir)

    def before_send(self):
        pass

    def after_send(self, key):
        self.servers.wait_count(1)
        path = self.servers.paths()[0]
        check_delivered(path, self.expected, self.body_lines)
        if key == "zanpost" and self.sample is None:
            self.sample = self.dir / "sample.eml"
            shutil.copyfile(path, self.sample)
        self.servers.clear()

    # GET tools

    def get_zanpost(self):
        return run_zanpost(self.zp_get, "GET")

    def get_zanpost_imap(self):
        return run_zanpost(self.zp_get_imap, "GET")

    def get_fetchmail_imap_munpack(self):
        return self.get_fetchmail_munpack(imap=True)

    def get_fetchmail_munpack(self, imap=False):
        fetched = self.dir / "fetched.eml"
        rc = self.dir / "fetchmailrc"
        fetchmail_rc(rc, self.servers, self.tls, f"/bin/sh -c 'cat > {fetched}'", imap)
        script = (f'fetchmail -s -f "$1" --pidfile "$2" && '
                  f'munpack -q -t -C "$3" "$4" > /dev/null')
        try:
            return timed(["sh", "-c", script, "sh", str(rc), str(self.dir / "fetchmail.pid"),
                          str(self.out_dir), str(fetched)], self.dir)
        finally:
            fetched.unlink(missing_ok=True)

    def get_python(self):
        s = self.servers
        return timed([PYTHON, str(HERE / "peers" / "pop3_get.py"), s.host, str(s.pop3_port), s.user,
                      s.password, str(self.out_dir), str(self.out_dir / "prijato.txt")], self.dir)

    def before_get(self):
        self.servers.clear()
        self.servers.put_many([self.sample])
        self.fresh_out()

    def after_get(self, key):
        if self.servers.count() != 0:
            raise BenchError(f"{key}: the message is still on the server")
        check_file(self.out_dir / self.name, self.expected)
        if key in ("zanpost", "zanpost-imap", "python"):
            check_text(self.out_dir / "prijato.txt", self.body_lines)
        else:
            # munpack -t writes each text part to its own file (part1, part2, ...).
            joined = b"\n".join(p.read_bytes() for p in self.out_dir.iterdir() if p.name != self.name)
            missing = [b for b in self.body_lines if b.rstrip() not in text_lines(joined)]
            if missing:
                raise BenchError(f"munpack's text parts lack a body line: {missing[0]!r}")
        self.fresh_out()


# --- many messages ----------------------------------------------------------------------

BATCH_FILE = 20 * 1024
BATCH_BOUNDARY = "zp-bench-davka-7f3a"


def batch_message(i, address):
    """Marked message number i: about 2 KB of text and a 20 KB file of random bytes."""
    data = random.Random(1_000_000 + i).randbytes(BATCH_FILE)
    text = "\r\n".join(f"Zprava {i:05d} radek {n:02d}: obraty za obdobi, soucet = {n * 1234.5:10.2f} Kc"
                       for n in range(1, 29)) + "\r\n"
    b64 = binascii.b2a_base64(data, newline=False).decode()
    b64 = "\r\n".join(b64[k:k + 76] for k in range(0, len(b64), 76))
    raw = (f"From: Ucetni <ucetni@zanpost.test>\r\n"
           f"To: {address}\r\n"
           f"Subject: ZAN_POST davka {i:05d}\r\n"
           f"Date: Mon, 07 Dec 2026 12:00:00 +0100\r\n"
           f"Message-ID: <davka-{i}@zanpost.test>\r\n"
           f"MIME-Version: 1.0\r\n"
           f"Content-Type: multipart/mixed; boundary=\"{BATCH_BOUNDARY}\"\r\n"
           f"\r\n"
           f"--{BATCH_BOUNDARY}\r\n"
           f"Content-Type: text/plain; charset=windows-1250\r\n"
           f"Content-Transfer-Encoding: quoted-printable\r\n"
           f"\r\n"
           f"{text}"
           f"--{BATCH_BOUNDARY}\r\n"
           f"Content-Type: application/octet-stream; name=\"d{i:05d}.dat\"\r\n"
           f"Content-Transfer-Encoding: base64\r\n"
           f"Content-Disposition: attachment; filename=\"d{i:05d}.dat\"\r\n"
           f"\r\n"
           f"{b64}\r\n"
           f"--{BATCH_BOUNDARY}--\r\n").encode()
    return raw, hashlib.sha256(data).hexdigest()


TEXT_MARK = re.compile(rb"Zprava (\d{5}) radek 01")


class Batch:
    """GET of `count` marked messages, put straight into the Maildir before every run."""

    def __init__(self, root, count, servers, zanpost):
        self.count = count
        self.servers = servers
        self.dir = pathlib.Path(root) / f"{count}msg"
        self.dir.mkdir(parents=True)
        self.out_dir = self.dir / "out"
        self.out_dir.mkdir()
        made = [batch_message(i, servers.address) for i in range(count)]
        self.messages = [raw for raw, _ in made]
        self.digests = {f"d{i:05d}.dat": digest for i, (_, digest) in enumerate(made)}
        self.zp_get = zanpost_install(self.dir / "zanpost-get", zanpost, {
            "Mail": {"POP3": servers.host, "Uzivatel": servers.user, "Heslo": servers.password,
                     "Telo_Get": f"{self.out_dir}/prijato.txt"},
            "Soubory": {"Cesta": f"{self.out_dir}/"}, "Upozorneni": {"Upozornovat": 0}})

    def before_get(self):
        self.servers.clear()
        self.servers.put_many(self.messages)
        shutil.rmtree(self.out_dir)
        self.out_dir.mkdir()

    def get_zanpost(self):
        return run_zanpost(self.zp_get, "GET")

    def get_fetchmail_munpack(self):
        # Each message goes to munpack as it arrives, in a folder of its own: munpack names
        # every text part "part1" and would otherwise probe part1.1, part1.2, ... for each.
        rc = self.dir / "fetchmailrc"
        fetchmail_rc(rc, self.servers, False, f"munpack -q -t -C $(mktemp -d {self.out_dir}/m.XXXXXX)")
        return timed(["fetchmail", "-s", "-f", str(rc), "--pidfile", str(self.dir / "fetchmail.pid")],
                     self.dir)

    def get_python(self):
        s = self.servers
        return timed([PYTHON, str(HERE / "peers" / "pop3_get.py"), s.host, str(s.pop3_port), s.user,
                      s.password, str(self.out_dir), str(self.out_dir / "prijato.txt")], self.dir)

    def after_get(self, key):
        left = self.servers.count()
        if left != 0:
            raise BenchError(f"{key}: {left} of {self.count} messages are still on the server")
        files = {}
        texts = []
        for p in self.out_dir.rglob("*"):
            if p.is_file():
                if p.name in self.digests:
                    if p.name in files:
                        raise BenchError(f"{key}: {p.name} unpacked twice")
                    files[p.name] = p
                else:
                    texts.append(p.read_bytes())
        if len(files) != self.count:
            raise BenchError(f"{key}: {len(files)} of {self.count} files unpacked")
        for name, p in files.items():
            if hashlib.sha256(p.read_bytes()).hexdigest() != self.digests[name]:
                raise BenchError(f"{key}: {name} differs")
        marks = {int(m) for t in texts for m in TEXT_MARK.findall(t)}
        if marks != set(range(self.count)):
            raise BenchError(f"{key}: the text of {self.count - len(marks & set(range(self.count)))} "
                             f"messages is missing")


# --- rounds and results -----------------------------------------------------------------

SEND_TOOLS = [("zanpost", "ZanPost SEND", Case.send_zanpost),
              ("mpack", "mpack + msmtp", Case.send_mpack_msmtp),
              ("python", "Python smtplib + email", Case.send_python)]
GET_TOOLS = [("zanpost", "ZanPost GET", Case.get_zanpost),
             ("fetchmail", "fetchmail + munpack", Case.get_fetchmail_munpack),
             ("python", "Python poplib + email", Case.get_python),
             ("zanpost-imap", "ZanPost GET, IMAP", Case.get_zanpost_imap),
             ("fetchmail-imap", "fetchmail IMAP + munpack", Case.get_fetchmail_imap_munpack)]
TLS_SEND_TOOLS = [("zanpost", "ZanPost SEND, TLS 465", Case.send_zanpost),
                  ("mpack", "mpack + msmtp, TLS 465", Case.send_mpack_msmtp)]
TLS_GET_TOOLS = [("zanpost", "ZanPost GET, POP3S 995", Case.get_zanpost),
                 ("fetchmail", "fetchmail SSL + munpack", Case.get_fetchmail_munpack)]
BATCH_TOOLS = [("zanpost", "ZanPost GET", Batch.get_zanpost),
               ("fetchmail", "fetchmail + munpack", Batch.get_fetchmail_munpack),
               ("python", "Python poplib + email", Batch.get_python)]


class Bench:
    def __init__(self, args, log):
        self.args = args
        self.log = log
        self.results = []  # one dict per (case, tool)
        self.rss_per_mib = {}  # (job, tool) -> peak RSS / attachment size seen so far

    def measure(self, case, job, tools, unit, amount, big, tls=False):
        """Runs the tools in turns; returns nothing, appends to self.results."""
        runs = self.args.runs
        rounds = runs if big else runs + 1
        warmup = 0 if big else 1
        skipped = {}
        if job in ("SEND", "GET") and unit == "MiB":
            for key, label, _ in tools:
                per_mib = self.rss_per_mib.get((job, tls, key))
                if not key.startswith("zanpost") and per_mib and per_mib * amount > 0.6 * mem_available_mib():
                    skipped[key] = (f"left out: would need about {per_mib * amount / 1024:.1f} GiB, more "
                                    f"than 60 % of the {mem_available_mib() / 1024:.1f} GiB available")
        samples = {key: [] for key, _, _ in tools}
        for round_ in range(rounds):
            for key, label, run in tools:
                if key in skipped:
                    continue
                # Where one run takes long, a peer runs once, and ZanPost again only while
                # its runs stay short: the whole bench has to fit in a quarter of an hour.
                if big and round_ > 0 and (not key.startswith("zanpost") or
                                           samples[key][-1]["wall"] > self.args.repeat_below):
                    continue
                getattr(case, "before_send" if job == "SEND" else "before_get")()
                t = run(case)
                getattr(case, "after_send" if job == "SEND" else "after_get")(key)
                if round_ >= warmup:
                    samples[key].append(t)
                self.log(f"  {job}{' TLS' if tls else ''} {label:26s} "
                         f"{'warm-up' if round_ < warmup else f'run {round_ - warmup + 1}'}: "
                         f"{t['wall']:.3f} s wall, {t['cpu']:.2f} s CPU, {t['rss_kib'] / 1024:.1f} MiB")
        for key, label, _ in tools:
            record = {"job": job, "tls": tls, "unit": unit, "amount": amount, "tool": key, "label": label}
            if key in skipped:
                record["skipped"] = skipped[key]
                self.log(f"  {label}: {skipped[key]}")
            else:
                runs_ = samples[key]
                record.update({"wall": statistics.median(r["wall"] for r in runs_),
                               "cpu": statistics.median(r["cpu"] for r in runs_),
                               "rss_mib": statistics.median(r["rss_kib"] for r in runs_) / 1024,
                               "walls": [round(r["wall"], 4) for r in runs_]})
                record["runs"] = len(runs_)
                if unit == "MiB":
                    self.rss_per_mib[(job, tls, key)] = record["rss_mib"] / amount
            self.results.append(record)


def pop3_peer(tool):
    """A peer that ZanPost's own GET (POP3) and SEND are held against: IMAP's rows have a line
    of their own."""
    return not tool.startswith("zanpost") and not tool.endswith("-imap")


def fmt_wall(s):
    return f"{s:.3f}" if s < 10 else f"{s:.1f}"


def print_tables(results, out):
    """Markdown tables: they read in a terminal and go into the README as they are."""
    sized = [r for r in results if r["unit"] == "MiB"]
    if sized:
        sizes = sorted({r["amount"] for r in sized})
        out("Wall time in seconds and peak RSS in MiB (medians; n = runs):")
        out("")
        out("| job | tool | " + " | ".join(f"{s} MiB" for s in sizes) + " |")
        out("|---|---|" + "---:|" * len(sizes))
        for job in ("SEND", "GET"):
            for tls in (False, True):
                labels = []
                for r in sized:
                    if r["job"] == job and r["tls"] == tls and r["label"] not in labels:
                        labels.append(r["label"])
                for label in labels:
                    cells = []
                    for s in sizes:
                        r = next((r for r in sized if r["label"] == label and r["job"] == job
                                  and r["tls"] == tls and r["amount"] == s), None)
                        if r is None:
                            cells.append("")
                        elif "skipped" in r:
                            cells.append("left out")
                        else:
                            n = "" if r["runs"] >= 3 else f" (n={r['runs']})"
                            cells.append(f"{fmt_wall(r['wall'])} s, {r['rss_mib']:.1f} MiB{n}")
                    out(f"| {job}{' TLS' if tls else ''} | {label} | " + " | ".join(cells) + " |")
        out("")
        out("ZanPost's wall time / the fastest peer's, for the same job:")
        out("")
        out("| job | " + " | ".join(f"{s} MiB" for s in sizes) + " |")
        out("|---|" + "---:|" * len(sizes))
        for job in ("SEND", "GET"):
            for tls in (False, True):
                cells = []
                for s in sizes:
                    here = [r for r in sized if r["job"] == job and r["tls"] == tls and r["amount"] == s
                            and "wall" in r]
                    zp = [r["wall"] for r in here if r["tool"] == "zanpost"]
                    peers = [r["wall"] for r in here if pop3_peer(r["tool"])]
                    cells.append(f"{zp[0] / min(peers):.2f}" if zp and peers else "")
                if any(cells):
                    out(f"| {job}{' TLS' if tls else ''} | " + " | ".join(cells) + " |")
        tls_ratio = []
        for job in ("SEND", "GET"):
            for s in sizes:
                plain = [r["wall"] for r in sized if r["job"] == job and not r["tls"] and r["amount"] == s
                         and r["tool"] == "zanpost"]
                secure = [r["wall"] for r in sized if r["job"] == job and r["tls"] and r["amount"] == s
                          and r["tool"] == "zanpost"]
                if plain and secure:
                    tls_ratio.append(f"{job} {s} MiB {secure[0] / plain[0]:.2f}")
        if tls_ratio:
            out("")
            out("ZanPost's wall time with TLS / without: " + ", ".join(tls_ratio) + ".")
        imap_ratio = []
        for s in sizes:
            got = {r["tool"]: r["wall"] for r in sized if r["job"] == "GET" and not r["tls"] and r["amount"] == s
                   and "wall" in r}
            if {"zanpost", "zanpost-imap", "fetchmail-imap"} <= got.keys():
                imap_ratio.append(f"{s} MiB {got['zanpost-imap'] / got['zanpost']:.2f} and "
                                  f"{got['zanpost-imap'] / got['fetchmail-imap']:.2f}")
        if imap_ratio:
            out("")
            out("ZanPost's GET over IMAP, wall time / its GET over POP3 and / fetchmail's over IMAP: "
                + ", ".join(imap_ratio) + ".")
    counted = [r for r in results if r["unit"] == "messages"]
    if counted:
        counts = sorted({r["amount"] for r in counted})
        out("")
        out("GET of N marked messages (2 KB text + 20 KB file each): wall time in seconds, peak RSS in MiB:")
        out("")
        out("| tool | " + " | ".join(f"{n}" for n in counts) + " | time ratio per 4 × messages |")
        out("|---|" + "---:|" * (len(counts) + 1))
        labels = []
        for r in counted:
            if r["label"] not in labels:
                labels.append(r["label"])
        for label in labels:
            mine = {r["amount"]: r for r in counted if r["label"] == label and "wall" in r}
            cells = []
            for n in counts:
                r = mine.get(n)
                cells.append(f"{fmt_wall(r['wall'])} s, {r['rss_mib']:.1f} MiB"
                             + ("" if r["runs"] >= 3 else f" (n={r['runs']})") if r else "")
            growth = [f"{mine[b]['wall'] / mine[a]['wall']:.1f}" for a, b in zip(counts, counts[1:])
                      if a in mine and b in mine and b == 4 * a]
            out(f"| {label} | " + " | ".join(cells) + f" | {' / '.join(growth)} |")


def pick(results, unit, job, tls, amount, tool):
    return next((r for r in results if r["unit"] == unit and r["job"] == job and r["tls"] == tls
                 and r["amount"] == amount and r["tool"] == tool and "wall" in r), None)


def print_goals(results, out):
    """The targets of the memory and secure-mail issues, each with what this run measured:
    met, not met, or not measured. Information only: the numbers belong to the machine."""
    lines = []
    sized = [r for r in results if r["unit"] == "MiB" and r["tool"] == "zanpost" and "wall" in r]
    if sized:
        worst = max(sized, key=lambda r: r["rss_mib"])
        lines.append((worst["rss_mib"] <= 8,
                      f"peak RSS of ZanPost at most 8 MiB at every size: largest {worst['rss_mib']:.1f} MiB "
                      f"({worst['job']}{' TLS' if worst['tls'] else ''}, {worst['amount']} MiB)"))
        above = []
        for r in sized:
            peers = [p["rss_mib"] for p in results if p["unit"] == "MiB" and p["job"] == r["job"]
                     and p["tls"] == r["tls"] and p["amount"] == r["amount"] and pop3_peer(p["tool"])
                     and "wall" in p]
            if peers and r["rss_mib"] >= min(peers):
                above.append(f"{r['job']}{' TLS' if r['tls'] else ''} {r['amount']} MiB "
                             f"({r['rss_mib']:.1f} against {min(peers):.1f})")
        lines.append((not above, "peak RSS of ZanPost below every peer's: " +
                      (f"at or above the leanest peer in {len(above)} of {len(sized)} cases: " + ", ".join(above)
                       if above else f"in all {len(sized)} cases")))
    for job in ("SEND", "GET"):
        for tls, limit in ((False, 0.3), (True, 0.5)):
            zp = pick(results, "MiB", job, tls, 50, "zanpost")
            peers = [r["wall"] for r in results if r["unit"] == "MiB" and r["job"] == job and r["tls"] == tls
                     and r["amount"] == 50 and pop3_peer(r["tool"]) and "wall" in r]
            if zp and peers:
                ratio = zp["wall"] / min(peers)
                lines.append((ratio <= limit, f"{job}{' TLS' if tls else ''} 50 MiB wall time at most {limit} x "
                                              f"the fastest peer: {ratio:.2f}"))
        zp_tls, zp_plain = pick(results, "MiB", job, True, 50, "zanpost"), pick(results, "MiB", job, False, 50, "zanpost")
        if zp_tls and zp_plain:
            ratio = zp_tls["wall"] / zp_plain["wall"]
            lines.append((ratio <= 1.5, f"{job} 50 MiB with TLS at most 1.5 x ZanPost's plain time: {ratio:.2f}"))
    many, fewer = pick(results, "messages", "GET", False, 6400, "zanpost"), pick(results, "messages", "GET", False, 1600, "zanpost")
    if many and fewer:
        ratio = many["wall"] / fewer["wall"]
        lines.append((ratio <= 4.5, f"GET of 6400 messages at most 4.5 x the time of 1600: {ratio:.2f}"))
    if lines:
        out("")
        out("Targets (issues 12 and 14):")
        out("")
        for met, text in lines:
            out(f"- {'met' if met else 'NOT MET'}: {text}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zanpost")
    parser.add_argument("--sizes", default="1,10,50,500")
    parser.add_argument("--tls-sizes", default="1,10,50,500")
    parser.add_argument("--messages", default="100,400,1600,6400")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--once-from", type=int, default=500)
    parser.add_argument("--messages-once-from", type=int, default=1600)
    parser.add_argument("--repeat-below", type=float, default=20.0)
    parser.add_argument("--json")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be at least 1")

    def numbers(text):
        return [int(s) for s in text.split(",") if s.strip()]

    log = lambda text: print(text, file=sys.stderr, flush=True)
    servers = Servers()
    largest = max(numbers(args.sizes) + numbers(args.tls_sizes), default=0)
    if largest:
        # base64 in lines of 76 + CR LF, and room for the headers and the body.
        need = largest * MIB * 4 // 3 * 78 // 76 + MIB
        limit = servers.smtp_size_limit()
        if limit and limit < need:
            log(f"benchmark failed: the SMTP server takes messages up to {limit // MIB} MiB, the "
                f"{largest} MiB attachment needs {need // MIB + 1} MiB (bench/run sets ZP_MAIL_MAX_MESSAGE)")
            return 1
    root = tempfile.mkdtemp(prefix="zp-bench-", dir="/run" if os.access("/run", os.W_OK) else None)
    bench = Bench(args, log)
    started = time.monotonic()
    date = time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())
    failure = None
    try:
        plain, secure = numbers(args.sizes), numbers(args.tls_sizes)
        for size_mib in sorted(set(plain) | set(secure)):
            big = size_mib >= args.once_from
            for tls in (False, True):
                if size_mib not in (secure if tls else plain):
                    continue
                log(f"{size_mib} MiB attachment{' over TLS' if tls else ''}:")
                case = Case(root, size_mib, servers, args.zanpost, tls=tls)
                servers.clear()
                bench.measure(case, "SEND", TLS_SEND_TOOLS if tls else SEND_TOOLS, "MiB", size_mib, big, tls)
                bench.measure(case, "GET", TLS_GET_TOOLS if tls else GET_TOOLS, "MiB", size_mib, big, tls)
                shutil.rmtree(case.dir)
        for count in numbers(args.messages):
            log(f"GET of {count} marked messages:")
            batch = Batch(root, count, servers, args.zanpost)
            bench.measure(batch, "GET", BATCH_TOOLS, "messages", count, count >= args.messages_once_from)
            shutil.rmtree(batch.dir)
    except (BenchError, MailServerError) as e:
        failure = str(e)
        log(f"benchmark failed: {e}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
        servers.clear()
    log(f"measured in {time.monotonic() - started:.0f} s")

    # What was measured before a failure is still shown, marked as such: a quarter of an
    # hour's figures are not thrown away for the last case.
    if failure:
        print(f"INCOMPLETE: the benchmark stopped at a failed check: {failure}")
        print()
    print(f"Whole programs through local OpenSMTPD and Dovecot, every delivered and unpacked byte "
          f"checked. Below {args.once_from} MiB and {args.messages_once_from} messages: medians of "
          f"{args.runs} runs after one warm-up; at and above: each peer once, ZanPost up to {args.runs} "
          f"times while a run takes under {args.repeat_below:g} s.")
    print()
    print_tables(bench.results, print)
    print_goals(bench.results, print)
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": date, "incomplete": failure, "runs": args.runs, "once_from": args.once_from,
                       "messages_once_from": args.messages_once_from,
                       "results": bench.results}, f, indent=1)
    return 1 if failure else 0

if __name__ == "__main__":
    sys.exit(main())
