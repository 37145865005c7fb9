"""The program's own OAuth 2.0 tokens, end to end: SEND over 587 (STARTTLS) and GET over 995
with Overeni=XOAUTH2 and [OAuth] set, against the run's token service (oauth_service.py, which
answers as Microsoft's and Google's do) and Dovecot, which asks that service about each token.

Each flow signs in (PRIHLASENI, approved by the test: the device code through the service's
control, Google's consent through a fake xdg-open that plays the browser), sends with a fresh
token and fetches with the cached one. Each failure shows its box and cause, connects to no
mail server and leaves the token cache as it was. No secret may reach an output, the run log,
the service's log or any file but the cache.

    tests/e2e/run_in_mailns python3 tests/e2e/test_oauth.py build/linux/zanpost [unittest args]
"""

import json
import os
import pathlib
import random
import stat
import sys
import tempfile
import time
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from mailharness import Installation, MailServers, leaks, left_files  # noqa: E402

PROGRAM = SERVERS = OAUTH = ENV = None
BROWSER_DIR = tempfile.TemporaryDirectory(prefix="zp-e2e-browser-")
BOX = {"SEND": "ZanPost - Chyba: Nepodařilo se odeslat zprávu na server odchozí pošty (SMTP).",
       "GET": "ZanPost - Chyba: Nepodařilo se připojit k serveru příchozí pošty (POP3).",
       "PRIHLASENI": "ZanPost - Chyba: Přihlášení k OAuth se nepodařilo."}
NOTICE = "ZanPost: Přenos dat je ukončen. Je-li to potřeba, zavěste modem.\n"
SIGNED_IN = "ZanPost: Přihlášení proběhlo, ZanPost si token uložil.\n"
UNREACHABLE = "Službu pro tokeny OAuth se nepodařilo zastihnout (síť, Adresa, Timeout)."
REFUSED = "Služba OAuth odmítla aplikaci (KlientID, KlientHeslo, Certifikat nebo oprávnění)."
GRANTS = {"aplikace": "client_credentials", "ucet": "urn:ietf:params:oauth:grant-type:jwt-bearer",
          "obnova": "refresh_token"}

# xdg-open for Google's sign-in: returns at once, as the real one does, while the "browser"
# opens the consent page and follows its redirect to the program's loopback port.
BROWSER = r'''#!/usr/bin/env python3
import os, ssl, sys, urllib.request
if os.fork() == 0:
    os.dup2(os.open(os.devnull, os.O_RDWR), 1); os.dup2(1, 2)
    tls = urllib.request.HTTPSHandler(context=ssl.create_default_context(cafile=os.environ["ZP_TLS_CA"]))
    urllib.request.build_opener(urllib.request.ProxyHandler({}), tls).open(sys.argv[1], timeout=30).read()
'''


def setUpModule():
    global SERVERS, OAUTH, ENV
    SERVERS = MailServers.from_environment()
    OAUTH = SERVERS.oauth
    browser = pathlib.Path(BROWSER_DIR.name) / "xdg-open"
    browser.write_text(BROWSER)
    browser.chmod(0o755)
    ENV = dict(os.environ, PATH=f"{BROWSER_DIR.name}:{os.environ['PATH']}")


def flows():
    o = OAUTH
    return {
        "aplikace, secret": dict(Tok="aplikace", Tenant=o.tenant, KlientID=o.client_id, KlientHeslo=o.client_secret,
                                 Adresa=o.ms_url(o.tenant)),
        "aplikace, certificate": dict(Tok="Aplikace", Tenant=o.tenant, KlientID=o.client_id,
                                      Certifikat=o.certificate, Adresa=o.ms_url(o.tenant)),
        "ucet": dict(Tok="ucet", KlicUctu=o.service_account),
        "obnova, Microsoft": dict(Tok="obnova", KlientID=o.public_client_id, Adresa=o.ms_url("organizations")),
        "obnova, Google": dict(Tok="OBNOVA", Poskytovatel="google", KlientID=o.google_id,
                               KlientHeslo=o.google_secret, Adresa=o.google_token, AdresaPrihlaseni=o.google_auth),
    }


def settings(**values):
    return lambda inst: OAUTH.control("settings", **values)


def configure(**oauth):
    return lambda inst: inst.configure(dict(inst.sections, OAuth=dict(inst.sections["OAuth"], **oauth)))


def revoke_cached(inst):
    OAUTH.control("revoke", refresh_token=json.loads(inst.cache_file.read_bytes())["tokens"][""]["refresh_token"])


def another_certificate(inst):
    """A certificate and key the application never registered."""
    other = inst.root / "jina-aplikace.pem"
    other.write_bytes((SERVERS.tls.ca.parent / "server.pem").read_bytes() +
                      (SERVERS.tls.ca.parent / "server.key").read_bytes())
    configure(Certifikat=other)(inst)


def let_the_code_expire(inst):
    OAUTH.control("settings", device_expires=2)
    return "ignore"


class OAuthTest(unittest.TestCase):
    def setUp(self):
        SERVERS.clear()
        OAUTH.reset(lifetime=60, interval=1)

    def tearDown(self):
        OAUTH.reset()

    def install(self, flow, **changes):
        directory = tempfile.TemporaryDirectory(prefix="zp-e2e-oauth-")
        self.addCleanup(directory.cleanup)
        inst = Installation(directory.name, PROGRAM)
        inst.flow, inst.cache_file = flow, inst.program_dir / "Zan_Post.token"
        inst.data = random.Random(flow).randbytes(60_000)
        (inst.work / "telo.txt").write_bytes("Výkaz přes OAuth\r\n".encode("cp1250"))
        (inst.files / "data.dbf").write_bytes(inst.data)
        tls = SERVERS.tls
        inst.configure({
            "Mail": {"SMTP": tls.host, "POP3": tls.host, "Uzivatel": SERVERS.user, "Odesilatel": "ucetni@pobocka.example",
                     "Adresat": SERVERS.address, "Predmet": "ZAN_POST OAuth", "Telo": "telo.txt",
                     "Telo_Get": "prijato.txt", "Timeout": 20, "Protokol": inst.log},
            "SMTP": {"Sifrovani": "STARTTLS", "Port": tls.submission_port, "Overeni": "XOAUTH2",
                     "Uzivatel": SERVERS.user, "CA": tls.ca, "Jmeno": tls.name},
            "POP3": {"Sifrovani": "TLS", "Overeni": "XOAUTH2", "CA": tls.ca, "Jmeno": tls.name},
            "Soubory": {"Cesta": f"{inst.files}/", "Soubory": "data.dbf"},
            "OAuth": dict(flows()[flow], CA=tls.ca, **changes),
        })
        return inst

    def sign_in(self, inst, answer="approve"):
        """PRIHLASENI, the person doing `answer` with a device code (or nothing: "ignore")."""
        process = inst.start("PRIHLASENI", ENV)
        code = OAUTH.pending() if inst.flow == "obnova, Microsoft" and answer != "ignore" else None
        if code:
            OAUTH.control("device", user_code=code, action=answer)
        run = inst.finish(process)
        self.assert_clean(inst, run)
        if code:
            self.assertIn(f"zadejte kód {code}.", run.stdout)
        return run

    def cached(self, inst):
        cache = json.loads(inst.cache_file.read_bytes())
        self.assertEqual(cache["format"], 1)
        self.assertRegex(cache["settings"], "^[0-9a-f]{64}$")
        return cache["tokens"][SERVERS.user if inst.flow == "ucet" else ""]

    def assert_clean(self, inst, *runs):
        """No secret of the run in any output, the run log, the service's log or a file the program left."""
        places = {f"output {i}": r.stdout_bytes + r.stderr_bytes for i, r in enumerate(runs)}
        places["the service's log"] = OAUTH.log.read_bytes()
        self.assertEqual(leaks(OAUTH.secrets(), SERVERS.user, places | left_files(inst.root)), {})

    def assert_done(self, inst, run):
        self.assert_clean(inst, run)  # before anything that would show the output
        self.assertEqual((run.stderr, run.stdout, run.code), ("", NOTICE, 0), run.stderr)

    def asked(self):
        """The token requests since the last reset, without the tokens they carried."""
        return [(r["grant"], r["status"], r["error"]) for r in OAUTH.requests()]

    def test_each_flow_signs_in_sends_and_fetches_from_the_cache(self):
        for flow in flows():
            with self.subTest(flow):
                # A device code is polled too fast once: the program must wait 5 s longer from then on.
                OAUTH.reset(lifetime=60, interval=1, slow_down=1)
                SERVERS.clear()
                inst = self.install(flow)
                signed = self.sign_in(inst)
                self.assertEqual((signed.stderr, signed.stdout.endswith(SIGNED_IN)), ("", True), signed.stdout)
                self.assertEqual([d["slowed"] for d in OAUTH.control("state")["pending"]],
                                 [1] if flow == "obnova, Microsoft" else [])
                self.assertEqual(stat.S_IMODE(inst.cache_file.stat().st_mode), 0o600)
                first = self.cached(inst)

                # The token has a minute left, too little to start a job with: SEND asks once.
                OAUTH.reset()
                sent = inst.run("SEND", ENV)
                self.assert_done(inst, sent)
                self.assertEqual(self.asked(), [(GRANTS[flow.split(",")[0]], 200, None)])
                self.assertRegex(sent.log, rb"= OAuth [a-z]+ [a-z]+: POST https://localhost:\d+/")
                second = self.cached(inst)
                self.assertAlmostEqual(second["expires_at"], time.time() + 3599, delta=60)
                if flow.startswith("obnova"):
                    self.assertTrue(OAUTH.requests()[0]["refresh_token"] == first["refresh_token"],
                                    "the refresh did not present the cached refresh token")
                    # Microsoft rotates (the one used is spent), Google keeps the one it gave.
                    google = flow.endswith("Google")
                    states = OAUTH.control("state")["refresh_tokens"]
                    self.assertEqual((states[first["refresh_token"]], states[second["refresh_token"]]),
                                     ("valid" if google else "used", "valid"))
                    self.assertEqual(second["refresh_token"] == first["refresh_token"], google)
                SERVERS.wait_count(1)

                (inst.files / "data.dbf").unlink()
                OAUTH.reset()
                got = inst.run("GET", ENV)
                self.assert_done(inst, got)
                self.assertEqual(self.asked(), [], "a token within the hour is taken from the cache")
                self.assertRegex(got.log, rb"= OAuth [a-z]+ [a-z]+: token from the cache, valid until "
                                          rb"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d UTC")
                self.assertEqual((inst.files / "data.dbf").read_bytes(), inst.data)
                self.assertEqual(SERVERS.count(), 0)

    def test_send_and_get_started_together_refresh_once(self):
        inst = self.install("obnova, Microsoft")
        self.assertEqual(self.sign_in(inst).stderr, "")
        # Each answer takes a while, so the second run meets the first one's lock.
        OAUTH.reset(delay=1.5)
        runs = [inst.finish(p) for p in [inst.start("SEND", ENV), inst.start("GET", ENV)]]
        for run in runs:
            self.assert_done(inst, run)
        self.assertEqual(self.asked(), [("refresh_token", 200, None)])

    # (case, flow, what goes wrong once the flow is signed in with a token too short-lived to
    # use, the mode run then, the cause line). A fault may answer "decline" or "ignore" for the
    # device code of the PRIHLASENI it precedes.
    FAILURES = [
        ("revoked refresh token", "obnova, Microsoft", revoke_cached, "GET",
         "Přihlášení k OAuth vypršelo nebo bylo odvoláno - spusťte ZanPost PRIHLASENI."),
        ("wrong client secret", "aplikace, secret", configure(KlientHeslo="Zp8Q~spatne-heslo"), "SEND", REFUSED),
        ("certificate the application never registered", "aplikace, certificate", another_certificate, "GET",
         REFUSED),
        ("service stopped", "ucet", settings(down=True), "GET", UNREACHABLE),
        ("service answers 500", "obnova, Google", settings(fail=[{"status": 500}] * 3), "SEND", UNREACHABLE),
        ("service certificate of a CA that is not the run's", "aplikace, certificate",
         settings(certificate="untrusted"), "GET", "Certifikát služby pro tokeny OAuth není důvěryhodný."),
        ("an answer that is no token", "obnova, Google",
         settings(fail=[{"status": 200, "body": "<html>Přihlaste se</html>"}]), "GET",
         "Služba OAuth neodpověděla platným tokenem."),
        ("unusable key file", "ucet", configure(KlicUctu=os.devnull), "SEND",
         "Klíč pro OAuth (Certifikat nebo KlicUctu) nelze použít."),
        ("never signed in", "obnova, Microsoft", lambda inst: inst.cache_file.unlink(), "SEND",
         "ZanPost ještě není přihlášen k OAuth - spusťte ZanPost PRIHLASENI."),
        ("device code declined", "obnova, Microsoft", lambda inst: "decline", "PRIHLASENI",
         "Přihlášení bylo odmítnuto."),
        ("consent declined in the browser", "obnova, Google", settings(consent="decline"), "PRIHLASENI",
         "Přihlášení bylo odmítnuto."),
        ("device code expired", "obnova, Microsoft", let_the_code_expire, "PRIHLASENI",
         "Kód pro přihlášení vypršel dřív, než bylo přihlášení dokončeno."),
    ]

    def test_failures_show_their_cause_and_keep_the_cache(self):
        for case, flow, fault, mode, cause in self.FAILURES:
            with self.subTest(case):
                OAUTH.reset(lifetime=60, interval=1)
                inst = self.install(flow)
                self.assertEqual(self.sign_in(inst).stderr, "")
                answer = fault(inst)
                kept = inst.cache_file.read_bytes() if inst.cache_file.exists() else None
                OAUTH.control("settings", lifetime=3599)
                dovecot_mark, asked_before = SERVERS.dovecot_log.stat().st_size, len(OAUTH.requests())
                run = self.sign_in(inst, answer or "approve") if mode == "PRIHLASENI" else inst.run(mode, ENV)
                self.assert_clean(inst, run)
                self.assertEqual(run.stderr, f"{BOX[mode]}\n{cause}\n")
                if mode != "PRIHLASENI":
                    self.assertEqual((run.stdout, run.code), (NOTICE, 0))
                self.assertEqual(inst.cache_file.read_bytes() if inst.cache_file.exists() else None, kept)
                self.assertNotIn(b"-login:", SERVERS.dovecot_log.read_bytes()[dovecot_mark:],
                                 "a failed token fetch must not reach the mail server")
                last = OAUTH.requests()[asked_before:][-1:]
                if last and last[0]["status"] != 200:
                    error = f" {last[0]['error']}:" if last[0]["error"] else ""
                    self.assertIn(f"? OAuth answer: HTTP {last[0]['status']}{error}".encode(), run.log)


if __name__ == "__main__":
    if len(sys.argv) < 2 or not os.access(sys.argv[1], os.X_OK):
        sys.exit(f"usage: {sys.argv[0]} PATH-OF-ZANPOST [unittest arguments]")
    PROGRAM = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
