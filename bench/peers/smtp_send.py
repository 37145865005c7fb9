"""The Python way to send a file: the email package builds the message, smtplib sends it.

usage: smtp_send.py HOST PORT FROM TO SUBJECT BODY_FILE ATTACHMENT
"""
import os
import smtplib
import sys
from email.message import EmailMessage


def main():
    host, port, sender, recipient, subject, body_file, attachment = sys.argv[1:8]
    msg = EmailMessage()
    msg["From"] = sender
    msg["To"] = recipient
    msg["Subject"] = subject
    with open(body_file, encoding="latin-1") as f:
        msg.set_content(f.read())
    with open(attachment, "rb") as f:
        data = f.read()
    msg.add_attachment(data, maintype="application", subtype="octet-stream",
                       filename=os.path.basename(attachment))
    with smtplib.SMTP(host, int(port)) as smtp:
        smtp.send_message(msg)


main()
