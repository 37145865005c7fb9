"""The token introspection endpoint (RFC 7662) that Dovecot's oauth2 passdb asks during an
end-to-end run, so that XOAUTH2 logins meet a real server. Started by mailservers.sh.

    ZP_OAUTH_TOKEN=TOKEN oauth_introspect.py PORT_FILE USER

Listens on 127.0.0.1 on a free port, writes the port to PORT_FILE once it listens, and
answers every request: {"active": true, "username": USER} for TOKEN (taken from the
environment, not the command line that anyone may list), {"active": false} for
anything else. The token may come as the form field "token" (Dovecot's post mode), as a bearer
token or at the end of the path. Nothing is logged: a token must not reach a log.
"""

import http.server
import json
import os
import sys
import urllib.parse


def main():
    port_file, user = sys.argv[1:3]
    token = os.environ["ZP_OAUTH_TOKEN"]

    class Introspection(http.server.BaseHTTPRequestHandler):
        def presented(self):
            length = int(self.headers.get("Content-Length") or 0)
            form = urllib.parse.parse_qs(self.rfile.read(length).decode("latin-1")) if length else {}
            bearer = self.headers.get("Authorization", "")
            return {*form.get("token", []), bearer[len("Bearer "):] if bearer.startswith("Bearer ") else None,
                    urllib.parse.unquote(self.path.rsplit("/", 1)[-1])}

        def answer(self):
            active = token in self.presented()
            body = json.dumps({"active": True, "username": user} if active else {"active": False}).encode()
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        do_GET = do_POST = answer

        def log_message(self, *args):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Introspection)
    with open(port_file + ".new", "w") as f:
        f.write(f"{server.server_address[1]}\n")
    os.rename(port_file + ".new", port_file)
    server.serve_forever()


if __name__ == "__main__":
    main()
