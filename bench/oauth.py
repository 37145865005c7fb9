"""A GET over POP3S (995) of one marked message, three ways side by side: with a password,
with an OAuth token the program fetches from the token service at every run, and with the
token it cached the run before. Run through bench/run (or tests/e2e/run_in_mailns), which
starts Dovecot and the run's token service (tests/e2e/oauth_service.py).

usage: oauth.py ZANPOST [--runs 10] [--json FILE]

Each run is checked: the message's file arrives with its exact bytes, the mailbox is empty
afterwards, and the token service was asked exactly as often as the mode says (once for a
fresh token, never for a cached one).
"""
import argparse
import json
import pathlib
import statistics
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "e2e"))
from mailharness import Installation, MailServers  # noqa: E402

MESSAGE = (b"From: ucetni@pobocka.example\nTo: {to}\nSubject: ZAN_POST obraty\nMIME-Version: 1.0\n"
           b"Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nobraty\n"
           b"--b\nContent-Type: application/octet-stream; name=\"a.dbf\"\nContent-Transfer-Encoding: base64\n\n"
           b"QUJDREVGR0hJSktMTU5PUFFSU1RVVldYWVo=\n--b--\n")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("zanpost")
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--json")
    args = parser.parse_args()
    servers = MailServers.from_environment()
    oauth, tls = servers.oauth, servers.tls
    with tempfile.TemporaryDirectory(prefix="zp-bench-oauth-") as root:
        inst = Installation(root, args.zanpost)
        base = {"Mail": {"POP3": tls.host, "Uzivatel": servers.user, "Telo_Get": "prijato.txt",
                         "Timeout": 30},
                "Soubory": {"Cesta": f"{inst.files}/"},
                "Upozorneni": {"Upozornovat": 0}}
        pop3s = {"Sifrovani": "TLS", "CA": tls.ca, "Jmeno": tls.name}
        password = dict(base, Mail=dict(base["Mail"], Heslo=servers.password), POP3=pop3s)
        token = dict(base, POP3=dict(pop3s, Overeni="XOAUTH2"),
                     OAuth={"Tok": "aplikace", "Tenant": oauth.tenant, "KlientID": oauth.client_id,
                            "KlientHeslo": oauth.client_secret, "Adresa": oauth.ms_url(oauth.tenant),
                            "CA": tls.ca})
        cache = inst.program_dir / "Zan_Post.token"
        modes = [("password", password, False, 0), ("fresh token", token, True, 1), ("cached token", token, False, 0)]
        results = {}
        for name, sections, forget, asked in modes:
            inst.configure(sections)
            seconds = []
            for _ in range(args.runs + 1):
                servers.clear()
                servers.put(MESSAGE.replace(b"{to}", servers.address.encode()))
                if forget:
                    cache.unlink(missing_ok=True)
                oauth.reset()
                run = inst.run("GET")
                got = (inst.files / "a.dbf").read_bytes() if (inst.files / "a.dbf").exists() else b""
                if run.code != 0 or run.stderr or got != b"ABCDEFGHIJKLMNOPQRSTUVWXYZ" or servers.count() != 0:
                    sys.exit(f"oauth.py: GET with {name} failed: {run.stderr or run.stdout}")
                if len(oauth.requests()) != asked:
                    sys.exit(f"oauth.py: GET with {name} asked the token service {len(oauth.requests())} times")
                (inst.files / "a.dbf").unlink()
                seconds.append(run.seconds)
            seconds = seconds[1:]  # the first run warms the caches (and fills the token cache)
            results[name] = {"median": statistics.median(seconds), "min": min(seconds), "max": max(seconds),
                             "token_requests_per_run": asked}
        print(f"GET over POP3S (995) of one marked message, {args.runs} runs each, seconds of wall time:")
        print(f"  {'login':<14} {'median':>8} {'min':>8} {'max':>8}  token requests per run")
        for name, r in results.items():
            print(f"  {name:<14} {r['median']:8.3f} {r['min']:8.3f} {r['max']:8.3f}  {r['token_requests_per_run']}")
        if args.json:
            pathlib.Path(args.json).write_text(json.dumps(results, indent=1))


if __name__ == "__main__":
    main()
