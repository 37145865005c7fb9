"""The Windows program under Wine, as scripts/test-win32 runs it: a Wine prefix for the run, a
virtual display, a Czech locale, certificates for the TLS session's test, and what the program's
boxes said, read from Wine's debug log. The installation itself (program beside its INI, work
and files folders) is the one the e2e tests and the benchmarks use (tests/e2e/zanpost_install.py).
"""

import os
import pathlib
import re
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "tests" / "e2e"))
import zanpost_install  # noqa: E402

WINE_RUN = ROOT / "cmake" / "wine-run"
# The calls whose arguments Wine's relay trace records; everything else stays quiet.
RELAY_CALLS = ";".join([
    "user32.MessageBoxA", "shell32.Shell_NotifyIconA", "user32.LoadIconA",
    "kernel32.GetPrivateProfileStringA", "kernel32.GetACP",
])


def say(text):
    print(f"test-win32: {text}", flush=True)


def can_run_32bit_wine():
    loader = pathlib.Path("/usr/lib/wine/wine")
    if not loader.exists():
        return False
    try:
        return subprocess.run([loader, "--version"], capture_output=True, timeout=60).returncode == 0
    except OSError:  # "Exec format error": the kernel has no 32-bit support
        return False


# ---------------------------------------------------------------------------------------
# Wine sessions


class WineSession:
    """A fresh Wine prefix with a persistent wineserver for the length of a `with` block.

    The services Wine starts on first use outlive the program that started them; they are
    started here with no open output, so they never hold a test's output pipe open."""

    def __init__(self, arch, directory, environment=None):
        self.arch = arch
        self.env = dict(os.environ if environment is None else environment)
        self.env["WINEPREFIX"] = str(pathlib.Path(directory) / f"prefix-{arch}")
        self.env["WINEDEBUG"] = "-all"
        self.env["WINEDLLOVERRIDES"] = "mscoree,mshtml="

    def wine(self, *arguments, **kwargs):
        return subprocess.run([WINE_RUN, self.arch, *arguments], env=self.env, stdin=subprocess.DEVNULL,
                              **kwargs)

    def __enter__(self):
        say(f"creating the Wine prefix {self.env['WINEPREFIX']}")
        quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.wine("wineboot", "--init", timeout=300, **quiet)
        self.wine("reg", "add", r"HKCU\Software\Wine\X11 Driver", "/v", "Managed", "/d", "N", "/f",
                  timeout=120, **quiet)
        self.wine("reg", "add", r"HKCU\Software\Wine\Debug", "/v", "RelayInclude", "/d", RELAY_CALLS, "/f",
                  timeout=120, **quiet)
        subprocess.run(["wineserver", "-k"], env=self.env, timeout=60, **quiet)
        subprocess.run(["wineserver", "-w"], env=self.env, timeout=60, **quiet)
        # A persistent server keeps each later start of a program short.
        subprocess.run(["wineserver", "-p"], env=self.env, stdin=subprocess.DEVNULL, timeout=60, **quiet)
        self.wine("wineboot", timeout=300, **quiet)
        return self

    def __exit__(self, *exc):
        subprocess.run(["wineserver", "-k"], env=self.env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
        return False



# ---------------------------------------------------------------------------------------
# The Schannel backend against openssl s_server (loopback only, certificates made per run)

TLS_CA_CONFIG = """[ca]
default_ca = test_ca
[test_ca]
database = {d}/index.txt
new_certs_dir = {d}
serial = {d}/serial
default_md = sha256
policy = any_name
unique_subject = no
[any_name]
commonName = supplied
[local]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:localhost, IP:127.0.0.1
[other]
basicConstraints = CA:FALSE
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
subjectAltName = DNS:other.example.org
"""


def make_tls_certificates(directory):
    """A test CA; leaves signed by it for localhost/127.0.0.1 (valid and expired) and for
    another name; a self-signed leaf for localhost. Returns {name: (certificate, key)}."""
    d = pathlib.Path(directory)
    d.mkdir(parents=True, exist_ok=True)
    (d / "index.txt").write_text("")
    (d / "serial").write_text("1000\n")
    (d / "ca.cnf").write_text(TLS_CA_CONFIG.format(d=d))
    quiet = dict(stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d / "ca.key",
                    "-out", d / "ca.pem", "-subj", "/CN=ZanPost Test CA", "-days", "30",
                    "-addext", "basicConstraints=critical,CA:TRUE",
                    "-addext", "keyUsage=critical,keyCertSign,cRLSign"], **quiet)
    made = {}
    for name, section, subject, dates in (
            ("good", "local", "/CN=localhost", ["-days", "30"]),
            ("expired", "local", "/CN=localhost", ["-startdate", "20200101000000Z", "-enddate", "20200201000000Z"]),
            ("other", "other", "/CN=other.example.org", ["-days", "30"])):
        subprocess.run(["openssl", "req", "-new", "-newkey", "rsa:2048", "-nodes", "-keyout", d / f"{name}.key",
                        "-out", d / f"{name}.csr", "-subj", subject], **quiet)
        subprocess.run(["openssl", "ca", "-batch", "-notext", "-config", d / "ca.cnf", "-cert", d / "ca.pem",
                        "-keyfile", d / "ca.key", "-extensions", section, *dates, "-in", d / f"{name}.csr",
                        "-out", d / f"{name}.pem"], **quiet)
        made[name] = (d / f"{name}.pem", d / f"{name}.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", d / "self.key",
                    "-out", d / "self.pem", "-subj", "/CN=localhost", "-days", "30",
                    "-addext", "subjectAltName=DNS:localhost"], **quiet)
    made["self"] = (d / "self.pem", d / "self.key")
    return made


def sha256_of(certificate):
    out = subprocess.run(["openssl", "x509", "-in", certificate, "-noout", "-fingerprint", "-sha256"],
                         capture_output=True, text=True, check=True).stdout
    return out.strip().split("=", 1)[1].replace(":", "").lower()


# ---------------------------------------------------------------------------------------
# End to end (runs inside the mail servers' namespaces)


def czech_locale(scratch):
    """Environment entries that give Wine a Czech locale, compiling one when the system
    has none (glibc reads compiled locales from LOCPATH)."""
    env = {"LANG": "cs_CZ.UTF-8", "LC_ALL": "cs_CZ.UTF-8"}
    have = subprocess.run(["locale", "-a"], capture_output=True, text=True).stdout.split()
    if any(name.lower() in ("cs_cz.utf8", "cs_cz.utf-8") for name in have):
        return env
    locales = pathlib.Path(scratch) / "locale"
    locales.mkdir(exist_ok=True)
    subprocess.run(["localedef", "-i", "cs_CZ", "-f", "UTF-8", locales / "cs_CZ.UTF-8"], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    env["LOCPATH"] = str(locales)
    return env


class VirtualDisplay:
    def __enter__(self):
        read_end, write_end = os.pipe()
        self.process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_end)
        with os.fdopen(read_end) as numbers:
            number = numbers.readline().strip()
        if not number:
            raise RuntimeError("Xvfb did not start")
        self.name = f":{number}"
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(timeout=30)
        return False


def unescape(text, unicode_escapes):
    """Undoes Wine's debug-string escapes: \\n \\r \\t \\\\ \\" and, for other bytes,
    \\xNN (ANSI strings) or \\NNNN (wide strings, four hex digits)."""
    out, i = [], 0
    simple = {"n": "\n", "r": "\r", "t": "\t", "\\": "\\", '"': '"'}
    while i < len(text):
        c = text[i]
        if c != "\\":
            out.append(c)
            i += 1
        elif text[i + 1] in simple:
            out.append(simple[text[i + 1]])
            i += 2
        elif unicode_escapes:
            out.append(chr(int(text[i + 1:i + 5], 16)))
            i += 5
        else:
            out.append(chr(int(text[i + 2:i + 4], 16)))
            i += 4
    return "".join(out)


QUOTED = r'"((?:[^"\\]|\\.)*)"'
# Wine writes module names in the letter case of the import (KERNEL32, user32).
RELAY_BOX = re.compile(r'Call user32\.MessageBoxA\(([0-9a-f]+),[0-9a-f]+ ' + QUOTED + r',[0-9a-f]+ ' + QUOTED
                       + r',([0-9a-f]+)\)', re.IGNORECASE)
SHOWN_TEXT = re.compile(r'trace:msgbox:MSGBOX_OnInit L' + QUOTED)
NOTIFY = re.compile(r'Call shell32\.Shell_NotifyIconA\(([0-9a-f]+),', re.IGNORECASE)
PROFILE_READ = re.compile(r'Call kernel32\.GetPrivateProfileStringA\(', re.IGNORECASE)
CODE_PAGE = re.compile(r'Ret  kernel32\.GetACP\(\) retval=([0-9a-f]+)', re.IGNORECASE)


class Box:
    def __init__(self, owner, ansi_text, caption, flags, shown_text):
        self.owner, self.caption, self.flags = owner, caption, flags
        # The bytes the program passed, and the text Wine showed after converting them
        # from the ANSI code page.
        self.ansi = ansi_text.encode("latin-1")
        self.shown = shown_text

    def __repr__(self):
        return f"Box({self.caption!r}, {self.flags:#x}, {self.shown!r})"


class Outcome:
    def __init__(self, code, log, captions_seen):
        self.code = code
        self.log = log
        self.captions_seen = captions_seen
        shown = [unescape(m.group(1), True) for m in SHOWN_TEXT.finditer(log)]
        calls = list(RELAY_BOX.finditer(log))
        self.boxes = [Box(int(m.group(1), 16), unescape(m.group(2), False), unescape(m.group(3), False),
                          int(m.group(4), 16), shown[i] if i < len(shown) else None)
                      for i, m in enumerate(calls)]
        self.notify_messages = [int(m.group(1), 16) for m in NOTIFY.finditer(log)]
        self.read_profile = PROFILE_READ.search(log) is not None
        self.code_pages = set(CODE_PAGE.findall(log))


class WindowsInstallation(zanpost_install.Installation):
    """Zan_Post.exe copied into a directory of its own beside its Zan_Post.ini; it runs under
    Wine through test-win32's EndToEnd.run, which closes its boxes."""

    PROGRAM_NAME = "Zan_Post.exe"

    @staticmethod
    def windows_path(path, directory=False):
        return "Z:" + str(path).replace("/", "\\") + ("\\" if directory else "")
