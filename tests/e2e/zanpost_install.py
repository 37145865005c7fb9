"""The program in an installation of its own, as the e2e tests, the benchmarks and the Windows
run set it up: a copy of the program beside its Zan_Post.ini, a working folder to start it
from (relative names in the INI refer to that one) and a folder for the files.

    inst = Installation(root, program)         # program/, work/, files/ under root
    inst.configure({"Mail": {...}, ...})       # writes Zan_Post.ini in CP1250
    run = inst.run("SEND")                     # Run: code, stdout, stderr, seconds, log
    inst.command("GET"), inst.work             # to start it under another tool (GNU time)

The Windows program under Wine is a subclass in scripts/win32harness.py; its runs are read from
Wine's debug log there, since its boxes are windows and not lines of output.
"""

import pathlib
import shutil
import socket
import subprocess
import time


def ini_bytes(sections):
    """Zan_Post.ini as the program reads it: {section: {key: value}}, CR LF lines, str values in
    CP1250 and bytes as they are; a None value or section leaves it out."""
    lines = []
    for section, keys in sections.items():
        if keys is None:
            continue
        lines.append(f"[{section}]".encode("cp1250"))
        lines.extend(key.encode("cp1250") + b"=" + (value if isinstance(value, bytes) else str(value).encode("cp1250"))
                     for key, value in keys.items() if value is not None)
    return b"".join(line + b"\r\n" for line in lines)


class Run:
    """What one run of the program left: exit code, output (bytes and UTF-8 text; stderr is None
    when it was joined to stdout), seconds, and the run log's bytes."""

    def __init__(self, completed, seconds=None, log=b""):
        self.code = completed.returncode
        self.stdout_bytes, self.stderr_bytes = completed.stdout, completed.stderr
        self.stdout = completed.stdout.decode("utf-8")
        self.stderr = completed.stderr.decode("utf-8") if completed.stderr is not None else None
        self.seconds = seconds
        self.log = log


class Installation:
    """The program beside its own Zan_Post.ini, started from a working folder of its own; the
    run log, when [Mail] Protokol names it, is log.txt in the installation."""

    PROGRAM_NAME = "zanpost"

    def __init__(self, root, program):
        self.root = pathlib.Path(root)
        self.program_dir, self.work, self.files = self.root / "program", self.root / "work", self.root / "files"
        for d in (self.program_dir, self.work, self.files):
            d.mkdir(parents=True)
        self.program = self.program_dir / self.PROGRAM_NAME
        shutil.copy2(program, self.program)
        self.ini = self.program_dir / "Zan_Post.ini"
        self.log = self.root / "log.txt"
        self.sections = {}

    def configure(self, sections):
        """{section: {key: value}} (see ini_bytes); kept in self.sections for a later change."""
        self.sections = sections
        self.ini.write_bytes(ini_bytes(sections))

    def command(self, mode):
        return [str(self.program), mode]

    def start(self, mode, env=None, merged=False):
        """The program running in the background, its output captured (stderr joined to stdout
        when `merged`, to see the order of all its boxes); finish() waits for it."""
        process = subprocess.Popen(self.command(mode), cwd=self.work, env=env, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT if merged else subprocess.PIPE)
        process.started = time.monotonic()
        return process

    def finish(self, process, timeout=90):
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            stdout, stderr = process.communicate()
        seconds = time.monotonic() - process.started
        log = self.log.read_bytes() if self.log.exists() else b""
        return Run(subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr), seconds, log)

    def run(self, mode, env=None, timeout=90, merged=False):
        return self.finish(self.start(mode, env, merged), timeout)


def free_port(host="127.0.0.1"):
    """A TCP port nobody listens on now (the kernel's pick), for a server the caller starts."""
    with socket.socket() as probe:
        probe.bind((host, 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, seconds=20, host="127.0.0.1"):
    """True once `port` takes connections; False when `process` ended or time ran out first."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and process.poll() is None:
        try:
            with socket.create_connection((host, port), timeout=1):
                return True
        except OSError:
            time.sleep(0.2)
    return False
