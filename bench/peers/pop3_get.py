"""The Python way to fetch files: poplib downloads each message, the email package unpacks
it; named parts become files, text parts are appended to a text file, then the message is
deleted.

usage: pop3_get.py HOST PORT USER PASSWORD OUT_DIR TEXT_FILE
"""
import os
import poplib
import sys
from email import policy
from email.parser import BytesParser


def main():
    host, port, user, password, out_dir, text_file = sys.argv[1:7]
    pop = poplib.POP3(host, int(port))
    pop.user(user)
    pop.pass_(password)
    count, _ = pop.stat()
    texts = []
    for number in range(1, count + 1):
        _, lines, _ = pop.retr(number)
        msg = BytesParser(policy=policy.default).parsebytes(b"\r\n".join(lines) + b"\r\n")
        for part in msg.walk():
            if part.is_multipart():
                continue
            name = part.get_filename()
            if name:
                with open(os.path.join(out_dir, os.path.basename(name)), "wb") as f:
                    f.write(part.get_payload(decode=True))
            elif part.get_content_type() == "text/plain":
                texts.append(part.get_content())
        pop.dele(number)
    pop.quit()
    with open(text_file, "w", encoding="latin-1") as f:
        f.write("".join(texts))


main()
