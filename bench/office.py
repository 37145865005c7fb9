"""The office mailbox: GET over a mailbox of N waiting ordinary messages and a few marked ones,
on loopback and through a relay that adds a delay to every round trip, as to a provider
20 ms away. Run through bench/run (or tests/e2e/run_in_mailns by hand).

usage: office.py ZANPOST [--counts 1000,20000] [--runs 3] [--delay-ms 20] [--peer-counts 1000]
                         [--protocols pop3,imap] [--json FILE] [--plots DIR]

For each count, link and protocol (POP3 on 110, IMAP on 143: [Mail] Prijem=IMAP, the same
mailbox through Dovecot's IMAP, the ledger Zan_Post.imap):
  first   ZanPost's first run over the full mailbox (no ledger yet): N + 3 TOPs, pipelined as
          Dovecot announces PIPELINING, 3 messages fetched; --runs times, the ledger removed
          and the 3 marked messages put back before each;
  steady  a later run that finds 3 new marked messages among the N known ones; --runs times;
  floor   what no client can leave out: login, LIST, UIDL and QUIT (Python poplib over the
          same link); over IMAP login, SELECT (which tells the next UID) and LOGOUT (Python
          imaplib); --runs times;
  fetchmail  fetchmail with uidl and keep, its seen list made beforehand, fetching the 3 new
          messages of a steady run (only for --peer-counts: making its list means fetching
          every waiting message once, through the MDA); POP3 only.
Every run is checked: the marked messages' files and texts arrive once, the ordinary ones
stay, the mailbox holds N messages afterwards. Medians of wall time and peak RSS are printed
with the ratios to the floor that the office-mailbox issue sets goals for (steady at most
2 x the floor plus the new messages' own transfer, first at most 5 x the floor at 20,000
messages and 20 ms).
"""
import argparse
import imaplib
import itertools
import json
import os
import pathlib
import queue
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import poplib

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from measure import BenchError, MailServerError, Servers, run_zanpost, timed, zanpost_install  # noqa: E402
from mailharness import marked_message  # noqa: E402

MARKED = 3


class DelayLine:
    """Bytes from one socket to another, each piece sent `delay` seconds after it arrived:
    the latency of a long link without a limit on its throughput."""

    def __init__(self, source, target, delay):
        self.source, self.target, self.delay = source, target, delay
        self.pieces = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        threading.Thread(target=self._write, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.source.recv(65536)
            except OSError:
                data = b""
            self.pieces.put((time.monotonic() + self.delay, data))
            if not data:
                return

    def _write(self):
        while True:
            due, data = self.pieces.get()
            wait = due - time.monotonic()
            if wait > 0:
                time.sleep(wait)
            try:
                if not data:
                    self.target.shutdown(socket.SHUT_WR)
                    return
                self.target.sendall(data)
            except OSError:
                return


class Relay:
    """A TCP relay on a free loopback port to (host, port), half the round-trip delay each way."""

    def __init__(self, host, port, round_trip):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.target = (host, port)
        self.half = round_trip / 2
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            client, _ = self.listener.accept()
            server = socket.create_connection(self.target)
            for s in (client, server):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            DelayLine(client, server, self.half)
            DelayLine(server, client, self.half)


def ordinary(k):
    body = b"".join(b"Radek %d faktury, obycejna posta kancelare, ktera zustava ve schrance.\r\n" % n
                    for n in range(28))
    return (b"From: Dodavatel %d <dodavatel%d@firma.example>\r\nTo: kancelar@firma.example\r\n"
            b"Subject: Faktura %d\r\nDate: Mon, 7 Dec 2026 08:00:00 +0100\r\nMessage-ID: <o%d@bench>\r\n"
            b"MIME-Version: 1.0\r\nContent-Type: text/plain; charset=us-ascii\r\n\r\n" % (k, k, k, k)) + body


def marked(name):
    return marked_message(name, b"soubor " + name.encode())


class Office:
    def __init__(self, root, servers, zanpost, count, port, link, protocol="pop3"):
        self.servers, self.count, self.port, self.link, self.protocol = servers, count, port, link, protocol
        self.dir = pathlib.Path(root) / f"{count}-{link.replace(' ', '')}-{protocol}"
        self.out = self.dir / "out"
        self.out.mkdir(parents=True)
        self.zanpost = zanpost_install(self.dir / "zanpost", zanpost, {
            "Mail": {"POP3": servers.host, "Uzivatel": servers.user, "Heslo": servers.password,
                     "Telo_Get": f"{self.out}/prijato.txt", "Timeout": 60,
                     "Prijem": "IMAP" if protocol == "imap" else None},
            "IMAP" if protocol == "imap" else "POP3": {"Port": port},
            "Soubory": {"Cesta": f"{self.out}/"}, "Upozorneni": {"Upozornovat": 0}})
        # The ledger is kept beside the INI.
        self.ledger = self.zanpost.program_dir / ("Zan_Post.imap" if protocol == "imap" else "Zan_Post.uidl")
        self.serial = 0

    def fill(self):
        self.servers.clear()
        self.servers.put_many(ordinary(k) for k in range(self.count))

    def put_marked(self):
        names = [f"m{self.serial + k}" for k in range(1, MARKED + 1)]
        self.serial += MARKED
        self.servers.put_many(marked(name) for name in names)
        return names

    def fresh_out(self):
        shutil.rmtree(self.out)
        self.out.mkdir()

    def get(self, names):
        self.fresh_out()
        t = run_zanpost(self.zanpost, "GET")
        self.check(names, "zanpost")
        return t

    def check(self, names, who):
        files = sorted(p.name for p in self.out.iterdir() if p.suffix == ".dbf")
        if files != sorted(n + ".dbf" for n in names):
            raise BenchError(f"{who} {self.count} {self.link}: stored {files}, wanted {sorted(names)}")
        if who == "zanpost":
            text = (self.out / "prijato.txt").read_bytes()
            for n in names:
                if text.count(b"text " + n.encode() + b"\r\n") != 1:
                    raise BenchError(f"zanpost {self.count} {self.link}: the text of {n} is not there once")
        left = self.servers.count()
        if left != self.count:
            raise BenchError(f"{who} {self.count} {self.link}: {left} messages left, wanted {self.count}")

    def floor(self):
        start = time.perf_counter()
        if self.protocol == "imap":
            box = imaplib.IMAP4(self.servers.host, self.port, timeout=60)
            box.login(self.servers.user, self.servers.password)
            box.select("INBOX")
            box.logout()
            return time.perf_counter() - start
        box = poplib.POP3(self.servers.host, self.port, timeout=60)
        box.user(self.servers.user)
        box.pass_(self.servers.password)
        box.list()
        box.uidl()
        box.quit()
        return time.perf_counter() - start

    # fetchmail keeps the unique ids it has seen under the poll's label: the list is made
    # once on loopback, then every timed run goes through the link being measured.
    def fetchmail_rc(self, port):
        rc = self.dir / f"fetchmailrc-{port}"
        s = self.servers
        rc.write_text(f'set no syslog\nset idfile "{self.dir}/fetchids"\n'
                      f'poll office via {s.host} protocol pop3 port {port} uidl\n'
                      f'  user "{s.user}" there with password "{s.password}" is root here\n'
                      f'  keep no sslcertck\n'
                      f'  mda "munpack -q -t -C {self.out}"\n')
        rc.chmod(0o600)
        return rc

    def fetchmail_prime(self, port):
        """Every waiting message fetched once and thrown away: fetchmail's list of seen ids."""
        subprocess.run(["fetchmail", "-s", "-f", str(self.fetchmail_rc(port)), "--pidfile", str(self.dir / "fm.pid"),
                        "--mda", "cat >/dev/null"], cwd=self.dir, check=False, capture_output=True)

    def fetchmail(self, port, names):
        self.fresh_out()
        t = timed(["fetchmail", "-s", "-f", str(self.fetchmail_rc(port)), "--pidfile", str(self.dir / "fm.pid")],
                  self.dir)
        # fetchmail keeps everything on the server: what it fetched this time is taken away,
        # so that the mailbox is as ZanPost's steady runs leave it.
        self.remove_marked()
        self.check(names, "fetchmail")
        return t

    def remove_marked(self):
        for path in self.servers.paths():
            if b"Subject: ZAN_POST " in path.read_bytes()[:400]:
                path.unlink()


def median(values):
    return statistics.median(values) if values else None


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zanpost")
    parser.add_argument("--counts", default="1000,20000")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--delay-ms", type=float, default=20.0)
    parser.add_argument("--peer-counts", default="1000")
    parser.add_argument("--protocols", default="pop3,imap")
    parser.add_argument("--json")
    parser.add_argument("--plots")
    args = parser.parse_args()
    log = lambda text: print(text, file=sys.stderr, flush=True)
    counts = [int(c) for c in args.counts.split(",") if c.strip()]
    peer_counts = {int(c) for c in args.peer_counts.split(",") if c.strip()}
    servers = Servers()
    protocols = [p.strip().lower() for p in args.protocols.split(",") if p.strip()]
    server_ports = {"pop3": servers.pop3_port, "imap": servers.imap_port}
    relayed = {p: Relay(servers.host, server_ports[p], args.delay_ms / 1000).port for p in protocols}
    links = [("loopback", server_ports), (f"{args.delay_ms:g} ms", relayed)]
    root = tempfile.mkdtemp(prefix="zp-office-", dir="/run" if os.access("/run", os.W_OK) else None)
    results = []
    failure = None
    try:
        for count in counts:
            for (link, ports), protocol in itertools.product(links, protocols):
                port = ports[protocol]
                log(f"{count} waiting messages, {link}, {protocol.upper()}:")
                office = Office(root, servers, args.zanpost, count, port, link, protocol)
                office.fill()
                record = {"count": count, "link": link, "protocol": protocol, "first": [], "first_rss": [],
                          "steady": [], "steady_rss": [], "floor": [], "fetchmail": [], "fetchmail_rss": []}

                def timed_runs(kind, label, once):
                    for run in range(args.runs):
                        t = once()
                        record[kind].append(t["wall"])
                        record[kind + "_rss"].append(t["rss_kib"] / 1024)
                        log(f"  {label} {run + 1}: {t['wall']:.3f} s, {t['rss_kib'] / 1024:.1f} MiB")

                def first():
                    office.ledger.unlink(missing_ok=True)
                    return office.get(office.put_marked())
                timed_runs("first", "first run", first)
                timed_runs("steady", "steady run", lambda: office.get(office.put_marked()))
                for run in range(args.runs):
                    record["floor"].append(office.floor())
                    log(f"  floor {run + 1}: {record['floor'][-1]:.3f} s")
                if count in peer_counts and protocol == "pop3":
                    log("  fetchmail: its list of seen messages made on loopback first")
                    office.fetchmail_prime(servers.pop3_port)
                    timed_runs("fetchmail", "fetchmail steady run", lambda: office.fetchmail(port, office.put_marked()))
                results.append(record)
                shutil.rmtree(office.dir)
    except (BenchError, MailServerError) as e:
        failure = str(e)
        log(f"benchmark failed: {e}")
    finally:
        shutil.rmtree(root, ignore_errors=True)
        servers.clear()

    if failure:
        print(f"INCOMPLETE: the benchmark stopped at a failed check: {failure}\n")
    print(f"The office mailbox: N ordinary messages wait, {MARKED} marked ones are new; medians of "
          f"{args.runs} runs; the {args.delay_ms:g} ms link is a relay that delays every piece of data "
          f"by half of it each way. Floor: login, LIST, UIDL, QUIT (Python poplib); over IMAP login, "
          f"SELECT, LOGOUT (Python imaplib).")
    print()
    print("| waiting | link | protocol | first run | steady run | floor | fetchmail uidl, steady | steady / floor "
          "| first / floor |")
    print("|---:|---|---|---:|---:|---:|---:|---:|---:|")
    for r in results:
        first, steady, floor = median(r["first"]), median(r["steady"]), median(r["floor"])
        fm = median(r["fetchmail"])
        peer = "-" if fm is None else f"{fm:.3f} s, {median(r['fetchmail_rss']):.1f} MiB"
        print(f"| {r['count']:,} | {r['link']} | {r.get('protocol', 'pop3').upper()} | "
              f"{first:.3f} s, {median(r['first_rss']):.1f} MiB | "
              f"{steady:.3f} s, {median(r['steady_rss']):.1f} MiB | {floor:.3f} s | {peer} | "
              f"{steady / floor:.2f} | {first / floor:.2f} |")
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"date": time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()), "incomplete": failure,
                       "delay_ms": args.delay_ms, "runs": args.runs, "results": results}, f, indent=1)
    if args.plots and results:
        plot(results, pathlib.Path(args.plots), args.delay_ms)
    return 1 if failure else 0


def plot(results, directory, delay_ms):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    directory.mkdir(parents=True, exist_ok=True)
    links = sorted({r["link"] for r in results}, key=lambda l: l != "loopback")
    fig, axes = plt.subplots(1, len(links), figsize=(5 * len(links), 4), squeeze=False)
    for ax, link in zip(axes[0], links):
        for protocol in ("pop3", "imap"):
            rows = sorted((r for r in results if r["link"] == link and r.get("protocol", "pop3") == protocol),
                          key=lambda r: r["count"])
            counts = [r["count"] for r in rows]
            suffix, style, marker = ("", "-", "o") if protocol == "pop3" else (", IMAP", "--", "D")
            for colour, (key, label) in enumerate((("first", "ZanPost, first run"), ("steady", "ZanPost, 3 new"),
                                                   ("floor", "floor"), ("fetchmail", "fetchmail uidl, 3 new"))):
                points = [(c, median(r[key])) for c, r in zip(counts, rows) if r[key]]
                if points:
                    ax.plot(*zip(*points), marker=marker, color=f"C{colour}", linestyle=style, label=label + suffix)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("waiting messages")
        ax.set_ylabel("wall time, s")
        ax.set_title(f"GET of an office mailbox, {link}")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
    fig.tight_layout()
    fig.savefig(directory / "bench-office.png", dpi=100)


if __name__ == "__main__":
    sys.exit(main())
