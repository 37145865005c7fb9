"""The benchmark's byte checks must catch a tool that moves wrong bytes, in every message form
the tools write (LF or CR LF lines, parts with or without headers, base64 of any line width).

usage: /usr/bin/python3 bench/test_verify.py
"""
import base64
import hashlib
import pathlib
import random
import sys
import tempfile
import unittest

sys.argv = sys.argv[:1]
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import measure  # noqa: E402

DATA = random.Random(7).randbytes(100_003)
EXPECTED = (len(DATA), hashlib.sha256(DATA).hexdigest())
BODY = [b"Radek 01: obraty", b"Radek 02: soucet = 1234.50 Kc"]


def message(eol=b"\r\n", width=76, data=DATA, body=BODY, text_head=True, boundary=b"=_b"):
    b64 = base64.b64encode(data)
    lines = [b64[i:i + width] for i in range(0, len(b64), width)]
    out = [b"From: a@b", b'Content-Type: multipart/mixed; boundary="' + boundary + b'"', b"",
           b"preamble", b"--" + boundary]
    out += [b"Content-Type: text/plain", b""] if text_head else [b""]
    out += body
    out += [b"--" + boundary, b"Content-Type: application/octet-stream",
            b"Content-Transfer-Encoding: base64", b'Content-Disposition: attachment; filename="x.dat"', b""]
    out += lines
    out += [b"--" + boundary + b"--", b""]
    return eol.join(out)


class CheckDelivered(unittest.TestCase):
    CASES = [
        # name, message, error expected (None: must pass)
        ("CR LF, 76 columns", message(), None),
        ("LF, as OpenSMTPD stores it", message(eol=b"\n"), None),
        ("base64 in lines of 64", message(width=64), None),
        ("text part without a header", message(text_head=False), None),
        ("one byte of the file changed", message(data=DATA[:500] + b"\x00" + DATA[501:]), "differ"),
        ("file cut short", message(data=DATA[:-3]), "differ"),
        ("a body line lost", message(body=BODY[:1]), "body line missing"),
        ("no closing delimiter", message().replace(b"--=_b--", b""), "closing delimiter"),
        ("no attachment", message().replace(b"filename=", b"name="), "no attachment"),
    ]

    def test_cases(self):
        with tempfile.TemporaryDirectory() as d:
            path = pathlib.Path(d) / "m.eml"
            for name, raw, error in self.CASES:
                with self.subTest(name):
                    path.write_bytes(raw)
                    if error is None:
                        measure.check_delivered(path, EXPECTED, BODY)
                    else:
                        with self.assertRaisesRegex(measure.BenchError, error):
                            measure.check_delivered(path, EXPECTED, BODY)

    def test_base64_split_across_chunks(self):
        # A group of four characters cut by a chunk border must still decode.
        raw = message(eol=b"\n", width=77)
        with tempfile.TemporaryDirectory() as d:
            path = pathlib.Path(d) / "m.eml"
            path.write_bytes(raw)
            old = measure.CHUNK
            try:
                measure.CHUNK = 1001
                measure.check_delivered(path, EXPECTED, BODY)
            finally:
                measure.CHUNK = old


class BatchMessages(unittest.TestCase):
    def test_parts_decode_to_the_file(self):
        raw, digest = measure.batch_message(42, "a@b")
        with tempfile.TemporaryDirectory() as d:
            path = pathlib.Path(d) / "m.eml"
            path.write_bytes(raw)
            measure.check_delivered(path, (measure.BATCH_FILE, digest), [b"Zprava 00042 radek 01: obraty "
                                                                         b"za obdobi, soucet =    1234.50 Kc"])
        self.assertTrue(1800 <= raw.index(b"--" + measure.BATCH_BOUNDARY.encode() + b"\r\nContent-Type: app")
                        - raw.index(b"Zprava") <= 2300, "about 2 KB of text")


if __name__ == "__main__":
    unittest.main(verbosity=2)
