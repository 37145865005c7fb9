"""Times ZanPost SEND and GET against the tools a user would pick instead, on the same data,
through the OpenSMTPD + Dovecot pair that tests/e2e/run_in_mailns starts. Run through
bench/run, which builds the program and starts the servers.

usage: measure.py ZANPOST [--sizes 1,10,50] [--tls-sizes 50] [--runs 5] [--json FILE]

With --tls-sizes (default 50; "" for none) the same jobs run over TLS against the servers'
secure side: ZanPost SEND over implicit TLS (Dovecot submission on 465, AUTH) against mpack +
msmtp with TLS, ZanPost GET over POP3S (995) against fetchmail with SSL + munpack, every peer
verifying the certificate against the run's test CA.

Every run of every tool is checked: the delivered message must carry the attachment's exact
bytes and the body lines, the unpacked file must equal the original (cmp), and GET must
leave the mailbox empty. A tool that moves the wrong bytes fails the whole benchmark.
"""
import argparse
import binascii
import json
import os
import pathlib
import random
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable
GNU_TIME = "/usr/bin/time"
MIB = 1024 * 1024


class BenchError(RuntimeError):
    pass


class Servers:
    def __init__(self):
        env = os.environ
        self.host = env["ZP_MAIL_HOST"]
        self.smtp_port = env["ZP_SMTP_PORT"]
        self.pop3_port = env["ZP_POP3_PORT"]
        self.user = env["ZP_MAIL_USER"]
        self.password = env["ZP_MAIL_PASSWORD"]
        self.address = env["ZP_MAIL_ADDRESS"]
        self.maildir = pathlib.Path(env["ZP_MAILDIR"])
        self.script = env["ZP_MAILSERVERS"]
        self.tls_host = env["ZP_TLS_HOST"]
        self.tls_name = env["ZP_TLS_NAME"]
        self.tls_ca = env["ZP_TLS_CA"]
        self.smtps_port = env["ZP_SMTPS_PORT"]
        self.pop3s_port = env["ZP_POP3S_PORT"]

    def _run(self, *args):
        r = subprocess.run([self.script, *args], capture_output=True, check=False)
        if r.returncode != 0:
            raise BenchError(f"mailservers {' '.join(args)}: {r.stderr.decode(errors='replace')}")
        return r.stdout.decode()

    def paths(self):
        return [pathlib.Path(p) for p in self._run("list").splitlines() if p]

    def count(self):
        return int(self._run("count").strip())

    def wait_count(self, n):
        self._run("wait-count", str(n), "60")

    def put(self, path):
        self._run("put", str(path))

    def clear(self):
        self._run("clear")


# --- timing -----------------------------------------------------------------------------

def timed(cmd, cwd, stdin_path=None):
    """Runs cmd under GNU time; wall seconds, CPU seconds (user+sys), peak RSS in KiB."""
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
                         f"{r.stdout.decode(errors='replace')}{r.stderr.decode(errors='replace')}")

    def field(name):
        m = re.search(re.escape(name) + r": ([0-9.]+)", text)
        if not m:
            raise BenchError(f"GNU time gave no '{name}'")
        return float(m.group(1))

    cpu = field("User time (seconds)") + field("System time (seconds)")
    return {"wall": wall, "cpu": cpu, "rss_kib": field("Maximum resident set size (kbytes)"),
            "stdout": r.stdout, "stderr": r.stderr}


# --- checking what was delivered --------------------------------------------------------

def split_message(raw):
    """Header bytes and body bytes of a message with LF or CR LF line ends."""
    raw = raw.replace(b"\r\n", b"\n")
    head, sep, body = raw.partition(b"\n\n")
    if not sep:
        raise BenchError("message without a header/body separator")
    return head, body


def header_value(head, name):
    # Unfold, then find the header in any case.
    unfolded = re.sub(rb"\n[ \t]+", b" ", head)
    m = re.search(rb"(?im)^" + re.escape(name) + rb":[ \t]*(.*)$", unfolded)
    return m.group(1).decode("latin-1") if m else ""


def mime_parts(raw):
    """(headers, body) of every leaf part of a multipart message, one level deep."""
    head, body = split_message(raw)
    ctype = header_value(head, b"Content-Type")
    m = re.search(r'boundary="?([^";]+)"?', ctype, re.I)
    if not m:
        return [(head, body)]
    delimiter = b"--" + m.group(1).encode("latin-1")
    parts = []
    chunks = (b"\n" + body).split(b"\n" + delimiter)
    for chunk in chunks[1:]:
        if chunk.startswith(b"--"):
            break
        chunk = chunk.split(b"\n", 1)[1] if b"\n" in chunk else b""
        if chunk.startswith(b"\n"):
            parts.append((b"", chunk[1:]))  # a part without header lines
        else:
            part_head, _, part_body = chunk.partition(b"\n\n")
            parts.append((part_head, part_body))
    return parts


def decode_part(head, body):
    encoding = header_value(head, b"Content-Transfer-Encoding").strip().lower()
    if encoding == "base64":
        return binascii.a2b_base64(body)
    if encoding == "quoted-printable":
        return binascii.a2b_qp(body)
    return body


def check_delivered(raw, original, body_lines):
    """The delivered message holds the attachment's exact bytes and every body line."""
    found_file = False
    text = b""
    for head, body in mime_parts(raw):
        disposition = header_value(head, b"Content-Disposition")
        decoded = decode_part(head, body)
        if "filename" in disposition:
            if decoded != original:
                raise BenchError(f"attachment bytes differ ({len(decoded)} bytes, expected {len(original)})")
            found_file = True
        else:
            text += decoded
    if not found_file:
        raise BenchError("no attachment in the delivered message")
    lines = [line.rstrip() for line in text.replace(b"\r\n", b"\n").split(b"\n")]
    missing = [b for b in body_lines if b.rstrip() not in lines]
    if missing:
        raise BenchError(f"body line missing from the delivered message: {missing[0]!r}")


def cmp_files(a, b):
    r = subprocess.run(["cmp", str(a), str(b)], capture_output=True, check=False)
    if r.returncode != 0:
        raise BenchError(f"unpacked file differs: {r.stdout.decode(errors='replace').strip()} "
                         f"{r.stderr.decode(errors='replace').strip()}")


def check_text(path, body_lines):
    lines = [line.rstrip() for line in pathlib.Path(path).read_bytes().replace(b"\r\n", b"\n").split(b"\n")]
    missing = [b for b in body_lines if b.rstrip() not in lines]
    if missing:
        raise BenchError(f"{path}: body line missing: {missing[0]!r}")


# --- the tools --------------------------------------------------------------------------

class Case:
    """One attachment size: its data, body and working directories."""

    def __init__(self, root, size_mib, servers, zanpost, tls=False):
        self.size = size_mib * MIB
        self.tls = tls
        self.dir = pathlib.Path(root) / f"{size_mib}MiB{'-tls' if tls else ''}"
        self.data_dir = self.dir / "data"
        self.data_dir.mkdir(parents=True)
        self.name = f"export{size_mib}.dat"
        self.file = self.data_dir / self.name
        self.original = random.Random(size_mib).randbytes(self.size)
        self.file.write_bytes(self.original)
        self.body_lines = [f"Radek {i:02d}: obraty za obdobi, soucet = {i * 1234.5:.2f} Kc".encode()
                           for i in range(1, 21)]
        self.body = self.dir / "telo.txt"
        self.body.write_bytes(b"\r\n".join(self.body_lines) + b"\r\n")
        self.subject = f"ZAN_POST bench {size_mib} MiB"
        self.servers = servers
        self.sample = None  # a message as ZanPost sent it, served to every GET tool

        # ZanPost reads Zan_Post.ini beside its real path, so it gets copies of its own.
        secure = ["Sifrovani=TLS", f"CA={servers.tls_ca}", f"Jmeno={servers.tls_name}"]
        self.zp_send = self._zanpost_dir("send", zanpost, [
            "[Mail]", "Odesilatel=ucetni@zanpost.test", f"Adresat={servers.address}",
            f"SMTP={servers.tls_host if tls else servers.host}", f"Predmet={self.subject}", f"Telo={self.body}",
            "[Soubory]", f"Cesta={self.data_dir}/", f"Soubory={self.name}",
            "[Upozorneni]", "Upozornovat=0"]
            + (["[SMTP]", f"Uzivatel={servers.user}", f"Heslo={servers.password}"] + secure if tls else []))
        self.out_dir = self.dir / "out"
        self.out_dir.mkdir()
        self.zp_get = self._zanpost_dir("get", zanpost, [
            "[Mail]", f"POP3={servers.tls_host if tls else servers.host}", f"Uzivatel={servers.user}",
            f"Heslo={servers.password}", f"Telo_Get={self.out_dir}/prijato.txt",
            "[Soubory]", f"Cesta={self.out_dir}/",
            "[Upozorneni]", "Upozornovat=0"]
            + (["[POP3]"] + secure if tls else []))

    def _zanpost_dir(self, job, zanpost, ini_lines):
        d = self.dir / f"zanpost-{job}"
        d.mkdir()
        shutil.copy2(zanpost, d / "zanpost")
        (d / "Zan_Post.ini").write_text("\n".join(ini_lines) + "\n")
        return d

    def fresh_out(self):
        shutil.rmtree(self.out_dir)
        self.out_dir.mkdir()

    # SEND tools: each returns its timing; the check follows.

    def send_zanpost(self):
        t = timed([str(self.zp_send / "zanpost"), "SEND"], self.zp_send)
        if t["stderr"].strip():
            raise BenchError("zanpost SEND reported: " + t["stderr"].decode(errors="replace"))
        return t

    def send_mpack_msmtp(self):
        s = self.servers
        out = self.dir / "mpack.eml"
        out.unlink(missing_ok=True)  # mpack will not replace a file
        if self.tls:
            # The password comes from a command, as it would from a keyring.
            connection = (f'--host={s.tls_host} --port={s.smtps_port} --tls=on --tls-starttls=off '
                          f'--tls-trust-file={s.tls_ca} --tls-host-override={s.tls_name} '
                          f'--auth=plain --user={s.user} --passwordeval="printf %s {s.password}"')
        else:
            connection = f'--host={s.host} --port={s.smtp_port} --auth=off --tls=off'
        script = (f'mpack -s "$1" -d "$2" -o "$3" "$4" && '
                  f'msmtp {connection} --from=ucetni@zanpost.test -- {s.address} < "$3"')
        return timed(["sh", "-c", script, "sh", self.subject, str(self.body), str(out), self.name],
                     self.data_dir)

    def send_python(self):
        s = self.servers
        return timed([PYTHON, str(HERE / "peers" / "smtp_send.py"), s.host, s.smtp_port,
                      "ucetni@zanpost.test", s.address, self.subject, str(self.body), str(self.file)],
                     self.dir)

    def after_send(self, keep_sample):
        self.servers.wait_count(1)
        path = self.servers.paths()[0]
        raw = path.read_bytes()
        check_delivered(raw, self.original, self.body_lines)
        if keep_sample:
            self.sample = self.dir / "sample.eml"
            self.sample.write_bytes(raw)
        self.servers.clear()

    # GET tools

    def get_zanpost(self):
        t = timed([str(self.zp_get / "zanpost"), "GET"], self.zp_get)
        if t["stderr"].strip():
            raise BenchError("zanpost GET reported: " + t["stderr"].decode(errors="replace"))
        return t

    def get_fetchmail_munpack(self):
        s = self.servers
        fetched = self.dir / "fetched.eml"
        rc = self.dir / "fetchmailrc"
        if self.tls:
            server = f'{s.tls_host} protocol pop3 port {s.pop3s_port}'
            security = (f'ssl sslproto TLS1.2+ sslcertck sslcertfile "{s.tls_ca}" '
                        f'sslcommonname "{s.tls_name}"')
        else:
            server = f'{s.host} protocol pop3 port {s.pop3_port}'
            security = 'no sslcertck'
        rc.write_text(
            f'set no syslog\n'
            f'poll {server}\n'
            f'  user "{s.user}" there with password "{s.password}" is root here\n'
            f'  fetchall nokeep {security}\n'
            f'  mda "/bin/sh -c \'cat > {fetched}\'"\n')
        rc.chmod(0o600)
        script = (f'fetchmail -s -f "$1" --pidfile "$2" && '
                  f'munpack -q -t -C "$3" "$4" > /dev/null')
        return timed(["sh", "-c", script, "sh", str(rc), str(self.dir / "fetchmail.pid"),
                      str(self.out_dir), str(fetched)], self.dir)

    def get_python(self):
        s = self.servers
        return timed([PYTHON, str(HERE / "peers" / "pop3_get.py"), s.host, s.pop3_port, s.user,
                      s.password, str(self.out_dir), str(self.out_dir / "prijato.txt")], self.dir)

    def before_get(self):
        self.servers.clear()
        self.servers.put(self.sample)
        self.fresh_out()

    def after_get(self, tool):
        if self.servers.count() != 0:
            raise BenchError(f"{tool}: the message is still on the server")
        cmp_files(self.file, self.out_dir / self.name)
        if tool == "zanpost":
            check_text(self.out_dir / "prijato.txt", self.body_lines)
        elif tool == "python":
            check_text(self.out_dir / "prijato.txt", self.body_lines)
        else:
            # munpack -t writes each text part to its own file (part1, part2, ...).
            texts = [p for p in self.out_dir.iterdir() if p.name != self.name]
            joined = self.dir / "munpack-text.txt"
            joined.write_bytes(b"\n".join(p.read_bytes() for p in texts))
            check_text(joined, self.body_lines)


SEND_TOOLS = [("zanpost", "ZanPost SEND", Case.send_zanpost),
              ("mpack", "mpack + msmtp", Case.send_mpack_msmtp),
              ("python", "Python smtplib + email", Case.send_python)]
GET_TOOLS = [("zanpost", "ZanPost GET", Case.get_zanpost),
             ("fetchmail", "fetchmail + munpack", Case.get_fetchmail_munpack),
             ("python", "Python poplib + email", Case.get_python)]
TLS_SEND_TOOLS = [("zanpost", "ZanPost SEND, TLS 465", Case.send_zanpost),
                  ("mpack", "mpack + msmtp, TLS 465", Case.send_mpack_msmtp)]
TLS_GET_TOOLS = [("zanpost", "ZanPost GET, POP3S 995", Case.get_zanpost),
                 ("fetchmail", "fetchmail SSL + munpack", Case.get_fetchmail_munpack)]


def measure_job(case, job, tools, runs, log):
    results = {key: [] for key, _, _ in tools}
    # One warm-up round, then the tools take turns so that drift hits all of them alike.
    for round_ in range(runs + 1):
        for key, label, run in tools:
            if job == "GET":
                case.before_get()
            t = run(case)
            if job == "SEND":
                case.after_send(keep_sample=(key == "zanpost"))
            else:
                case.after_get(key)
            if round_ > 0:
                results[key].append(t)
            log(f"  {job} {label:24s} {'warm-up' if round_ == 0 else f'run {round_}'}: "
                f"{t['wall']:.3f} s wall, {t['cpu']:.2f} s CPU, {t['rss_kib'] / 1024:.1f} MiB")
    return results


def summarise(results):
    return {key: {"wall": statistics.median(r["wall"] for r in runs),
                  "cpu": statistics.median(r["cpu"] for r in runs),
                  "rss_mib": statistics.median(r["rss_kib"] for r in runs) / 1024,
                  "runs": len(runs)}
            for key, runs in results.items()}


def print_table(rows, out):
    """A Markdown table: it reads in a terminal and goes into the README as it is."""
    out("| size | job | tool | wall s | CPU s | peak RSS MiB | RSS / size | wall / fastest peer |")
    out("|---:|---|---|---:|---:|---:|---:|---:|")
    for size_mib, job, tools, summary in rows:
        fastest = min(summary[key]["wall"] for key, _, _ in tools if key != "zanpost")
        for key, label, _ in tools:
            s = summary[key]
            ratio = f"**{s['wall'] / fastest:.2f}**" if key == "zanpost" else ""
            out(f"| {size_mib} MiB | {job} | {label} | {s['wall']:.3f} | {s['cpu']:.2f} | "
                f"{s['rss_mib']:.1f} | {s['rss_mib'] / size_mib:.2f} | {ratio} |")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zanpost")
    parser.add_argument("--sizes", default="1,10,50")
    parser.add_argument("--tls-sizes", default="50")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--json")
    args = parser.parse_args()

    servers = Servers()
    root = tempfile.mkdtemp(prefix="zp-bench-", dir="/run" if os.access("/run", os.W_OK) else None)
    log = lambda text: print(text, file=sys.stderr, flush=True)
    rows = []
    try:
        for size_mib in (int(s) for s in args.sizes.split(",")):
            log(f"{size_mib} MiB attachment:")
            case = Case(root, size_mib, servers, args.zanpost)
            servers.clear()
            send = measure_job(case, "SEND", SEND_TOOLS, args.runs, log)
            rows.append((size_mib, "SEND", SEND_TOOLS, summarise(send)))
            get = measure_job(case, "GET", GET_TOOLS, args.runs, log)
            rows.append((size_mib, "GET", GET_TOOLS, summarise(get)))
            shutil.rmtree(case.dir)
        for size_mib in (int(s) for s in args.tls_sizes.split(",") if s):
            log(f"{size_mib} MiB attachment over TLS:")
            case = Case(root, size_mib, servers, args.zanpost, tls=True)
            servers.clear()
            send = measure_job(case, "SEND", TLS_SEND_TOOLS, args.runs, log)
            rows.append((size_mib, "SEND TLS", TLS_SEND_TOOLS, summarise(send)))
            get = measure_job(case, "GET", TLS_GET_TOOLS, args.runs, log)
            rows.append((size_mib, "GET TLS", TLS_GET_TOOLS, summarise(get)))
            shutil.rmtree(case.dir)
    except BenchError as e:
        log(f"benchmark failed: {e}")
        return 1
    finally:
        shutil.rmtree(root, ignore_errors=True)
        servers.clear()

    print(f"Whole programs through local OpenSMTPD and Dovecot: medians of {args.runs} runs after one "
          f"warm-up, every delivered and unpacked byte checked.")
    print()
    print_table(rows, print)
    plain = {(size, job): summary["zanpost"]["wall"] for size, job, _, summary in rows}
    ratios = [f"{job} {size} MiB {summary['zanpost']['wall'] / plain[(size, job[:-4])]:.2f}"
              for size, job, _, summary in rows if job.endswith(" TLS") and (size, job[:-4]) in plain]
    if ratios:
        print()
        print("ZanPost wall time with TLS / without: " + ", ".join(ratios) + ".")
    if args.json:
        with open(args.json, "w") as f:
            json.dump([{"size_mib": s, "job": j, "summary": summary} for s, j, _, summary in rows], f, indent=1)
    return 0


sys.exit(main())
