"""The OAuth 2.0 side of an end-to-end run: a token service that answers as Microsoft's
identity platform and Google's OAuth server do, and the introspection endpoint that Dovecot's
oauth2 passdb asks whether a token may log in. Started by mailservers.sh:

    oauth_service.py DIRECTORY        (environment: ZP_MAIL_USER, ZP_MAIL_DOMAIN, ZP_TLS_DIR,
                                       ZP_OAUTH_TOKEN)

It makes the run's material in DIRECTORY (an application certificate with its key, a Google
service-account key file, client IDs and secrets), listens, and then writes DIRECTORY/env:
`export` lines of the ZP_OAUTH_* variables that mailservers.sh documents.

Listeners, all on 127.0.0.1 at free ports:
  HTTPS (certificate oauth.pem of the run's CA, for localhost and 127.0.0.1):
    POST /{tenant}/oauth2/v2.0/token       Microsoft: client_credentials (secret or PS256 client
                                           assertion), refresh_token (rotating), device_code
    POST /{tenant}/oauth2/v2.0/devicecode  Microsoft: device authorization
    POST /token                            Google: jwt-bearer (RS256 service account),
                                           authorization_code with PKCE, refresh_token
    GET  /o/oauth2/v2/auth                 Google: the consent page, answered as a browser
                                           would see it once the person agreed (302 to the
                                           loopback redirect_uri)
  HTTP (for Dovecot and the tests only; the program never meets it):
    POST /introspect                       RFC 7662
    /_test/...                             the tests' handle, see Control below

Every parameter is checked, and a refusal carries the real service's error shape and status.
Nothing secret is ever logged: a request is logged by its path, grant and answer only.
"""

import base64
import datetime
import hashlib
import http.server
import json
import os
import re
import secrets
import ssl
import sys
import threading
import time
import urllib.parse
import uuid

from cryptography import x509
from cryptography.exceptions import InvalidSignature
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import padding, rsa
from cryptography.x509.oid import NameOID
from zanpost_install import free_port

# Both services tolerate clocks that differ by a few minutes.
SKEW = 300
JWT_BEARER = "urn:ietf:params:oauth:client-assertion-type:jwt-bearer"
DEVICE_GRANT = "urn:ietf:params:oauth:grant-type:device_code"
GOOGLE_JWT_GRANT = "urn:ietf:params:oauth:grant-type:jwt-bearer"
MS_MAIL_SCOPES = {"https://outlook.office.com/POP.AccessAsUser.All", "https://outlook.office.com/IMAP.AccessAsUser.All",
                  "https://outlook.office.com/SMTP.Send"}
MS_APP_SCOPE = "https://outlook.office365.com/.default"
MS_SPECIAL_SCOPES = {"offline_access", "openid", "profile", "email"}
GOOGLE_MAIL_SCOPE = "https://mail.google.com/"

DEFAULT_SETTINGS = {
    "lifetime": 3599,        # seconds an access token lives
    "interval": 5,           # device code polling interval
    "device_expires": 900,   # seconds a device code lives
    "delay": 0.0,            # seconds before a token endpoint answers
    "fail": [],              # the next answers of the token endpoints: [{"status", "body"}]
    "slow_down": 0,          # this many next device polls are told slow_down
    "consent": "approve",    # or "decline": what the person does on Google's consent page
    "certificate": "trusted",  # or "untrusted": a certificate of a CA that is not the run's
    "down": False,           # True: the HTTPS port refuses connections
}


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    # JWTs use base64url without padding; anything else is a malformed token.
    if not re.fullmatch(r"[A-Za-z0-9_-]*", text):
        raise ValueError("not base64url")
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


def split_jwt(token):
    """(header, claims, signature, signed bytes); ValueError when it is not a JWS."""
    parts = token.split(".")
    if len(parts) != 3:
        raise ValueError("not three parts")
    header, claims = json.loads(b64url_decode(parts[0])), json.loads(b64url_decode(parts[1]))
    if not isinstance(header, dict) or not isinstance(claims, dict):
        raise ValueError("not JSON objects")
    return header, claims, b64url_decode(parts[2]), f"{parts[0]}.{parts[1]}".encode()


def now():
    return time.time()


class Refusal(Exception):
    """A token endpoint's error answer."""

    def __init__(self, status, body):
        super().__init__(body.get("error") if isinstance(body, dict) else status)
        self.status, self.body = status, body


def microsoft_error(status, error, code, text):
    stamp = datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M:%SZ")
    trace, correlation = str(uuid.uuid4()), str(uuid.uuid4())
    return Refusal(status, {
        "error": error,
        "error_description": f"AADSTS{code}: {text}\r\nTrace ID: {trace}\r\nCorrelation ID: {correlation}\r\n"
                             f"Timestamp: {stamp}",
        "error_codes": [code], "timestamp": stamp, "trace_id": trace, "correlation_id": correlation,
        "error_uri": f"https://login.microsoftonline.com/error?code={code}"})


def google_error(status, error, text):
    return Refusal(status, {"error": error, "error_description": text})


class Material:
    """What the run's clients hold: IDs, secrets, the application certificate and the
    service-account key. Made fresh per run; the secret files are readable by root only."""

    def __init__(self, directory, url_base):
        self.tenant = str(uuid.uuid4())
        self.app_id, self.public_id = str(uuid.uuid4()), str(uuid.uuid4())
        self.app_secret = "Zp8Q~" + secrets.token_urlsafe(26)[:35]
        self.google_id = f"{secrets.randbelow(10**12):012d}-{secrets.token_hex(16)}.apps.googleusercontent.com"
        self.google_secret = "GOCSPX-" + secrets.token_urlsafe(21)[:28]
        self.token_uri = url_base + "/token"

        app_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        name = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, "ZanPost OAuth test application")])
        start = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=1)
        certificate = (x509.CertificateBuilder().subject_name(name).issuer_name(name)
                       .public_key(app_key.public_key()).serial_number(x509.random_serial_number())
                       .not_valid_before(start).not_valid_after(start + datetime.timedelta(days=31))
                       .sign(app_key, hashes.SHA256()))
        self.app_public_key = app_key.public_key()
        self.app_thumbprint = b64url(hashlib.sha256(certificate.public_bytes(serialization.Encoding.DER)).digest())
        self.certificate_file = os.path.join(directory, "application.pem")
        write_private(self.certificate_file, certificate.public_bytes(serialization.Encoding.PEM) + pkcs8(app_key))

        account_key = rsa.generate_private_key(public_exponent=65537, key_size=2048)
        self.account_public_key = account_key.public_key()
        self.account_key_id = secrets.token_hex(20)
        self.account_email = "zanpost-posta@zanpost-testy.iam.gserviceaccount.com"
        self.account_client_id = str(secrets.randbelow(10**21)).zfill(21)
        self.account_file = os.path.join(directory, "service-account.json")
        write_private(self.account_file, json.dumps({
            "type": "service_account", "project_id": "zanpost-testy", "private_key_id": self.account_key_id,
            "private_key": pkcs8(account_key).decode(), "client_email": self.account_email,
            "client_id": self.account_client_id, "auth_uri": url_base + "/o/oauth2/auth",
            "token_uri": self.token_uri, "auth_provider_x509_cert_url": "https://www.googleapis.com/oauth2/v1/certs",
            "client_x509_cert_url": "https://www.googleapis.com/robot/v1/metadata/x509/" + self.account_email,
            "universe_domain": "googleapis.com"}, indent=2).encode() + b"\n")


def pkcs8(key):
    return key.private_bytes(serialization.Encoding.PEM, serialization.PrivateFormat.PKCS8,
                             serialization.NoEncryption())


def write_private(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "wb") as f:
        f.write(data)


class Service:
    """Everything the endpoints know, behind one lock."""

    def __init__(self, material, mail_user, mail_domain, fixed_token, url_base):
        self.m, self.user, self.domain, self.fixed_token, self.url_base = (
            material, mail_user, mail_domain, fixed_token, url_base)
        self.lock = threading.Lock()
        self.settings = json.loads(json.dumps(DEFAULT_SETTINGS))
        self.requests = []           # one entry per token endpoint request, for the tests
        self.access = {}             # token -> {"user", "expires", "mail"}
        self.refresh = {}            # token -> {"client", "user", "scope", "state", "provider"}
        self.devices = {}            # device_code -> {...}
        self.codes = {}              # authorization code -> {...}
        self.jtis = set()
        self.presented = []          # assertions and codes the program sent: never to be logged
        self.switch_https = None     # open (True) or close (False) the HTTPS port

    # -- issuing ---------------------------------------------------------------------------

    def issue_access(self, provider, user, mail, scope, client):
        lifetime = int(self.settings["lifetime"])
        if provider == "google":
            token = "ya29.a0" + secrets.token_urlsafe(150)
        else:
            issued = int(now())
            claims = {"aud": "https://outlook.office.com", "iss": f"https://sts.windows.net/{self.m.tenant}/",
                      "iat": issued, "nbf": issued, "exp": issued + lifetime, "appid": client,
                      "tid": self.m.tenant, "oid": str(uuid.uuid4()), "scp" if user else "roles": scope,
                      "uti": secrets.token_urlsafe(16)}
            header = {"typ": "JWT", "nonce": secrets.token_urlsafe(32), "alg": "RS256", "x5t": secrets.token_urlsafe(20),
                      "kid": secrets.token_urlsafe(20)}
            token = ".".join([b64url(json.dumps(header).encode()), b64url(json.dumps(claims).encode()),
                              b64url(secrets.token_bytes(256))])
        self.access[token] = {"user": user or self.user, "expires": now() + lifetime, "mail": mail}
        return token, lifetime

    def issue_refresh(self, provider, client, user, scope):
        token = ("1//0" + secrets.token_urlsafe(75)) if provider == "google" else ("0.A" + secrets.token_urlsafe(600))
        self.refresh[token] = {"provider": provider, "client": client, "user": user, "scope": scope, "state": "valid"}
        return token

    # -- Microsoft -------------------------------------------------------------------------

    def ms_tenant(self, tenant, delegated):
        if tenant in (self.m.tenant, self.domain):
            return
        if tenant in ("organizations", "common"):
            if delegated:
                return
            raise microsoft_error(400, "invalid_request", 50059, "No tenant-identifying information found in "
                                  "either the request or implied by any provided credentials.")
        raise microsoft_error(400, "invalid_request", 90002, f"Tenant '{tenant}' not found. Check to make sure you "
                              "have the correct tenant ID and are signing into the correct cloud. Check with your "
                              "subscription administrator, this may happen if there are no active subscriptions "
                              "for the tenant.")

    def ms_client(self, form, tenant, token_url, basic):
        """Authenticates the client of a token request; returns its ID."""
        client = basic[0] if basic else require_ms(form, "client_id")
        if client not in (self.m.app_id, self.m.public_id):
            raise microsoft_error(400, "unauthorized_client", 700016, f"Application with identifier '{client}' "
                                  f"was not found in the directory '{tenant}'. This can happen if the application "
                                  "has not been installed by the administrator of the tenant or consented to by any "
                                  "user in the tenant. You may have sent your authentication request to the wrong "
                                  "tenant.")
        secret = basic[1] if basic else form.get("client_secret")
        assertion = form.get("client_assertion")
        if client == self.m.public_id:
            if secret is not None or assertion is not None:
                raise microsoft_error(401, "invalid_client", 700025, "Client is public so neither "
                                      "'client_assertion' nor 'client_secret' should be presented.")
            return client
        if secret is not None and assertion is not None:
            raise microsoft_error(400, "invalid_request", 7000216, "'client_assertion', 'client_secret' or "
                                  "'request' is required for the 'client_credentials' grant type, only one of them.")
        if secret is not None:
            if not secrets.compare_digest(secret.encode(), self.m.app_secret.encode()):
                raise microsoft_error(401, "invalid_client", 7000215, "Invalid client secret provided. Ensure the "
                                      "secret being sent in the request is the client secret value, not the client "
                                      f"secret ID, for a secret added to app '{client}'.")
            return client
        if assertion is None:
            raise microsoft_error(401, "invalid_client", 7000218, "The request body must contain the following "
                                  "parameter: 'client_assertion' or 'client_secret'.")
        self.presented.append(assertion)
        if form.get("client_assertion_type") != JWT_BEARER:
            raise microsoft_error(400, "invalid_request", 50027, "Invalid JWT token. The client_assertion_type "
                                  f"must be '{JWT_BEARER}'.")
        self.ms_assertion(assertion, client, token_url)
        return client

    def ms_assertion(self, assertion, client, token_url):
        def refuse(code, text):
            raise microsoft_error(401, "invalid_client", code, text)
        try:
            header, claims, signature, signed = split_jwt(assertion)
        except ValueError:
            refuse(50027, "JWT token is invalid or malformed.")
        if header.get("alg") != "PS256":
            refuse(700027, f"Client assertion failed signature validation: algorithm '{header.get('alg')}' is not "
                           "PS256.")
        if header.get("x5t#S256") != self.m.app_thumbprint:
            refuse(700027, "The certificate with identifier used to sign the client assertion is not registered on "
                           f"application. [Reason - The key was not found., Thumbprint of key used by client: "
                           f"'{header.get('x5t#S256')}']")
        try:
            # RFC 7518: PS256 is RSASSA-PSS with SHA-256, MGF1 with SHA-256 and a 32-byte salt.
            self.m.app_public_key.verify(signature, signed, padding.PSS(mgf=padding.MGF1(hashes.SHA256()),
                                                                        salt_length=32), hashes.SHA256())
        except InvalidSignature:
            refuse(700027, "Client assertion failed signature validation.")
        if claims.get("aud") != token_url:
            refuse(700023, "Client assertion audience claim does not match Realm issuer. "
                           "Review the documentation at https://aka.ms/certCreds .")
        if claims.get("iss") != client or claims.get("sub") != client:
            refuse(700021, "Client assertion application identifier doesn't match 'client_id' parameter.")
        exp, nbf, iat = (claims.get(k) for k in ("exp", "nbf", "iat"))
        if not isinstance(exp, int) or any(v is not None and not isinstance(v, int) for v in (nbf, iat)):
            refuse(50027, "JWT token is invalid or malformed: exp, nbf and iat must be integers.")
        t = now()
        if exp <= t - SKEW or exp > t + 600 or (nbf is not None and nbf > t + SKEW) or \
                (iat is not None and iat > t + SKEW):
            refuse(700024, "Client assertion is not within its valid time range.")
        jti = claims.get("jti")
        if not isinstance(jti, str) or not jti or jti in self.jtis:
            refuse(700027, "Client assertion contains a jti that is missing or was used before.")
        self.jtis.add(jti)

    def ms_scope(self, form, delegated):
        scope = require_ms(form, "scope").split(" ")
        if not delegated:
            if len(scope) != 1 or not scope[0].endswith("/.default"):
                raise microsoft_error(400, "invalid_scope", 1002012, f"The provided value for scope {' '.join(scope)}"
                                      " is not valid. Client credential flows must have a scope value with /.default "
                                      "suffixed to the resource identifier (application ID URI).")
            return scope
        if not scope or not all(s in MS_MAIL_SCOPES or s in MS_SPECIAL_SCOPES for s in scope):
            raise microsoft_error(400, "invalid_scope", 70011, "The provided request must include a 'scope' input "
                                  "parameter. The provided value for the input parameter 'scope' is not valid.")
        return scope

    def ms_answer(self, client, user, scope, offline=None):
        mail = (MS_APP_SCOPE in scope) if user is None else bool(MS_MAIL_SCOPES & set(scope))
        granted = [s for s in scope if s not in MS_SPECIAL_SCOPES or s == "offline_access"]
        access, lifetime = self.issue_access("microsoft", user, mail, scope, client)
        body = {"token_type": "Bearer", "scope": " ".join(granted), "expires_in": lifetime,
                "ext_expires_in": lifetime, "access_token": access}
        if user is None:
            del body["scope"]
        elif offline or "offline_access" in scope:
            body["refresh_token"] = self.issue_refresh("microsoft", client, user, scope)
        return body

    def microsoft_token(self, tenant, form, token_url, basic):
        grant = require_ms(form, "grant_type")
        if grant == "client_credentials":
            self.ms_tenant(tenant, delegated=False)
            client = self.ms_client(form, tenant, token_url, basic)
            if client == self.m.public_id:
                raise microsoft_error(400, "unauthorized_client", 700016, "The client is public and may not use "
                                      "the client_credentials grant.")
            return self.ms_answer(client, None, self.ms_scope(form, delegated=False))
        self.ms_tenant(tenant, delegated=True)
        if grant == "refresh_token":
            token = require_ms(form, "refresh_token")
            client = self.ms_client(form, tenant, token_url, basic)
            held = self.refresh.get(token)
            if held is None or held["provider"] != "microsoft" or held["client"] != client:
                raise microsoft_error(400, "invalid_grant", 70000, "Provided grant is invalid or malformed.")
            if held["state"] == "revoked":
                raise microsoft_error(400, "invalid_grant", 50173, "The provided grant has expired due to it being "
                                      "revoked, a fresh auth token is needed. The user might have changed or reset "
                                      "their password.")
            if held["state"] == "used":
                raise microsoft_error(400, "invalid_grant", 700082, "The refresh token has expired due to "
                                      "inactivity. The token was issued on a date and was inactive for a time.")
            scope = self.ms_scope(form, delegated=True) if "scope" in form else held["scope"]
            if not set(scope) <= set(held["scope"]) | MS_SPECIAL_SCOPES:
                raise microsoft_error(400, "invalid_grant", 65001, "The user or administrator has not consented "
                                      "to use the application for the scope requested.")
            # Each refresh answers a new refresh token; the one presented is spent.
            held["state"] = "used"
            return self.ms_answer(client, held["user"], scope, offline="offline_access" in held["scope"])
        if grant == DEVICE_GRANT:
            code = require_ms(form, "device_code")
            client = self.ms_client(form, tenant, token_url, basic)
            self.presented.append(code)
            return self.device_poll(code, client)
        raise microsoft_error(400, "unsupported_grant_type", 70003, f"The app requested an unsupported grant type "
                              f"'{grant}'.")

    def device_poll(self, code, client):
        device = self.devices.get(code)
        if device is None or device["client"] != client:
            raise microsoft_error(400, "bad_verification_code", 70000, "The provided value for the input "
                                  "parameter 'device_code' is not valid.")
        t = now()
        last, device["last_poll"] = device["last_poll"], t
        if device["state"] == "redeemed":
            raise microsoft_error(400, "invalid_grant", 54005, "OAuth2 Authorization code was already redeemed, "
                                  "please retry with a new valid code or use an existing refresh token.")
        if t > device["expires"]:
            raise microsoft_error(400, "expired_token", 70019, "Verification code expired.")
        # Polled sooner than the interval allows (a little slack for the scheduler), or told to.
        too_soon = last is not None and t - last < device["interval"] - 0.3
        if too_soon or self.settings["slow_down"] > 0:
            if not too_soon:
                self.settings["slow_down"] -= 1
            device["interval"] += 5
            device["slowed"] += 1
            raise microsoft_error(400, "slow_down", 70016, "OAuth 2.0 device flow error. Polling too fast; wait "
                                  "longer between requests.")
        if device["state"] == "declined":
            raise microsoft_error(400, "authorization_declined", 70000, "The user denied the authorization request.")
        if device["state"] == "pending":
            raise microsoft_error(400, "authorization_pending", 70016, "OAuth 2.0 device flow error. Authorization "
                                  "is pending. Continue polling.")
        device["state"] = "redeemed"
        return self.ms_answer(client, self.user, device["scope"])

    def microsoft_devicecode(self, tenant, form, basic):
        self.ms_tenant(tenant, delegated=True)
        client = basic[0] if basic else require_ms(form, "client_id")
        if client not in (self.m.app_id, self.m.public_id):
            self.ms_client(form, tenant, "", basic)  # refuses as the token endpoint does
        scope = self.ms_scope(form, delegated=True)
        code = secrets.token_urlsafe(96)
        user_code = "".join(secrets.choice("BCDFGHJKLMNPQRSTVWXZ23456789") for _ in range(9))
        expires, interval = int(self.settings["device_expires"]), int(self.settings["interval"])
        self.devices[code] = {"client": client, "scope": scope, "user_code": user_code, "state": "pending",
                              "expires": now() + expires, "interval": interval, "last_poll": None, "slowed": 0}
        uri = "https://microsoft.com/devicelogin"
        return {"user_code": user_code, "device_code": code, "verification_uri": uri, "expires_in": expires,
                "interval": interval, "message": f"To sign in, use a web browser to open the page {uri} and enter "
                                                 f"the code {user_code} to authenticate."}

    # -- Google ----------------------------------------------------------------------------

    def google_client(self, form, basic):
        client = basic[0] if basic else form.get("client_id")
        secret = basic[1] if basic else form.get("client_secret")
        if client is None:
            raise google_error(400, "invalid_request", "Could not determine client ID from request.")
        if client != self.m.google_id:
            raise google_error(401, "invalid_client", "The OAuth client was not found.")
        if secret is None:
            raise google_error(400, "invalid_request", "client_secret is missing.")
        if not secrets.compare_digest(secret.encode(), self.m.google_secret.encode()):
            raise google_error(401, "invalid_client", "Unauthorized")

    def google_token(self, form, basic):
        grant = form.get("grant_type")
        if grant is None:
            raise google_error(400, "unsupported_grant_type", "Invalid grant_type: ")
        if grant == GOOGLE_JWT_GRANT:
            assertion = form.get("assertion")
            if assertion is None:
                raise google_error(400, "invalid_request", "Missing required parameter: assertion")
            self.presented.append(assertion)
            return self.google_answer(*self.google_assertion(assertion), with_scope=False)
        if grant == "authorization_code":
            self.google_client(form, basic)
            code = form.get("code")
            if code is None:
                raise google_error(400, "invalid_request", "Missing required parameter: code")
            self.presented.append(code)
            held = self.codes.get(code)
            if held is None or held["used"] or now() > held["expires"]:
                raise google_error(400, "invalid_grant", "Bad Request")
            held["used"] = True  # a code is good once, whatever comes of it
            if form.get("redirect_uri") != held["redirect_uri"]:
                raise google_error(400, "redirect_uri_mismatch", "Bad Request")
            verifier = form.get("code_verifier")
            if verifier is None:
                raise google_error(400, "invalid_grant", "Missing code verifier.")
            if not re.fullmatch(r"[A-Za-z0-9._~-]{43,128}", verifier) or \
                    b64url(hashlib.sha256(verifier.encode()).digest()) != held["challenge"]:
                raise google_error(400, "invalid_grant", "Invalid code verifier.")
            body = self.google_answer(self.user, held["scope"])
            if held["offline"]:
                body["refresh_token"] = self.issue_refresh("google", self.m.google_id, self.user, held["scope"])
            return body
        if grant == "refresh_token":
            self.google_client(form, basic)
            if "refresh_token" not in form:
                raise google_error(400, "invalid_request", "Missing required parameter: refresh_token")
            held = self.refresh.get(form["refresh_token"])
            if held is None or held["provider"] != "google" or held["state"] != "valid":
                raise google_error(400, "invalid_grant", "Token has been expired or revoked.")
            scope = form["scope"].split(" ") if "scope" in form else held["scope"]
            if not set(scope) <= set(held["scope"]):
                raise google_error(400, "invalid_scope", "Bad Request")
            # Google keeps the refresh token as it is and sends none back.
            return self.google_answer(held["user"], scope)
        raise google_error(400, "unsupported_grant_type", f"Invalid grant_type: {grant}")

    def google_answer(self, user, scope, with_scope=True):
        access, lifetime = self.issue_access("google", user, GOOGLE_MAIL_SCOPE in scope, scope, None)
        body = {"access_token": access, "expires_in": lifetime, "scope": " ".join(scope), "token_type": "Bearer"}
        if not with_scope:
            del body["scope"]
        return body

    def google_assertion(self, assertion):
        def refuse(text, error="invalid_grant", status=400):
            raise google_error(status, error, text)
        try:
            header, claims, signature, signed = split_jwt(assertion)
        except ValueError:
            refuse("Invalid JWS: not a compact serialization.")
        if claims.get("iss") != self.m.account_email:
            refuse("Invalid grant: account not found")
        if header.get("alg") != "RS256" or header.get("kid") not in (None, self.m.account_key_id):
            refuse("Invalid JWT Signature.")
        try:
            self.m.account_public_key.verify(signature, signed, padding.PKCS1v15(), hashes.SHA256())
        except InvalidSignature:
            refuse("Invalid JWT Signature.")
        if claims.get("aud") != self.m.token_uri:
            refuse(f"Invalid JWT: Failed audience check. The right audience is {self.m.token_uri}")
        iat, exp, t = claims.get("iat"), claims.get("exp"), now()
        if not isinstance(iat, int) or not isinstance(exp, int) or exp - iat > 3600 or exp < iat or \
                iat > t + SKEW or exp < t - SKEW:
            refuse("Invalid JWT: Token must be a short-lived token (60 minutes) and in a reasonable timeframe. "
                   "Check your iat and exp values in the JWT claim.")
        scope = claims.get("scope")
        if not isinstance(scope, str) or not scope.strip():
            refuse("Invalid OAuth scope or ID token audience provided.", "invalid_scope")
        scope = scope.split(" ")
        if scope != [GOOGLE_MAIL_SCOPE]:
            # Domain-wide delegation grants the service account Gmail and nothing else.
            refuse("Client is unauthorized to retrieve access tokens using this method, or client not authorized "
                   "for any of the scopes requested.", "unauthorized_client", 401)
        sub = claims.get("sub")
        if sub is not None and sub not in (self.user, f"{self.user}@{self.domain}"):
            refuse("Invalid email or User ID")
        return sub or self.m.account_email, scope

    def google_auth(self, query):
        """The Location a browser is sent to once the person answered the consent page, or
        (status, text) of the error page Google shows instead."""
        def one(name):
            values = query.get(name, [])
            return values[0] if len(values) == 1 else None
        if one("client_id") != self.m.google_id:
            return 401, "Error 401: invalid_client\nThe OAuth client was not found."
        redirect = one("redirect_uri") or ""
        parsed = urllib.parse.urlsplit(redirect)
        # Desktop clients may use any port of the loopback address, over plain HTTP.
        if parsed.scheme != "http" or parsed.hostname not in ("127.0.0.1", "localhost") or parsed.port is None or \
                parsed.fragment:
            return 400, "Error 400: redirect_uri_mismatch"
        if one("response_type") != "code":
            return 400, "Error 400: invalid_request\nInvalid response_type"
        scope = (one("scope") or "").split(" ")
        challenge = one("code_challenge") or ""
        if scope != [GOOGLE_MAIL_SCOPE] or one("code_challenge_method") != "S256" or \
                not re.fullmatch(r"[A-Za-z0-9_-]{43}", challenge):
            return 400, "Error 400: invalid_request\nscope, code_challenge or code_challenge_method is not valid"
        back = {"state": one("state")} if one("state") is not None else {}
        if self.settings["consent"] != "approve":
            back["error"] = "access_denied"
        else:
            code = "4/0A" + secrets.token_urlsafe(60)
            self.codes[code] = {"redirect_uri": redirect, "challenge": challenge, "scope": scope, "used": False,
                                "expires": now() + 600, "offline": one("access_type") == "offline"}
            back.update(code=code, scope=" ".join(scope))
        return redirect + ("&" if parsed.query else "?") + urllib.parse.urlencode(back, safe="/")

    # -- introspection and the tests' control ---------------------------------------------

    def introspect(self, token):
        if token and token == self.fixed_token:
            return {"active": True, "username": self.user}
        held = self.access.get(token)
        if held is None or not held["mail"] or now() > held["expires"]:
            return {"active": False}
        return {"active": True, "username": held["user"], "exp": int(held["expires"])}

    def control(self, action, body):
        if action == "state":
            return {"requests": self.requests, "settings": self.settings,
                    "pending": [{k: d[k] for k in ("user_code", "state", "slowed")} for d in self.devices.values()],
                    "access_tokens": list(self.access), "refresh_tokens": {t: r["state"] for t, r in self.refresh.items()},
                    "presented": self.presented}
        if action == "settings":
            unknown = set(body) - set(DEFAULT_SETTINGS)
            if unknown:
                raise KeyError(f"unknown settings {sorted(unknown)}")
            self.settings.update(body)
            if "down" in body:
                self.switch_https(not body["down"])
            return self.settings
        if action == "reset":
            self.settings = json.loads(json.dumps(DEFAULT_SETTINGS))
            self.requests.clear()
            self.devices.clear()
            self.switch_https(True)
            return {}
        if action == "device":
            for device in self.devices.values():
                if device["user_code"] == body["user_code"] and device["state"] == "pending":
                    device["state"] = {"approve": "approved", "decline": "declined"}[body["action"]]
                    return {"state": device["state"]}
            raise KeyError("no pending device code " + body["user_code"])
        if action == "revoke":
            self.refresh[body["refresh_token"]]["state"] = "revoked"
            return {}
        raise KeyError("unknown action " + action)


def require_ms(form, name):
    value = form.get(name)
    if value is None or value == "":
        raise microsoft_error(400, "invalid_request", 900144, f"The request body must contain the following "
                              f"parameter: '{name}'.")
    return value


MS_PATH = re.compile(r"/([^/]+)/oauth2/v2\.0/(token|devicecode)")


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    service = None   # set on the subclass per listener
    public = True    # the HTTPS side; False for introspection and control

    def log_message(self, *args):
        pass

    def note(self, text):
        sys.stderr.write(f"{time.strftime('%H:%M:%S')} {text}\n")
        sys.stderr.flush()

    def reply(self, status, body, content_type="application/json; charset=utf-8", headers=(), chunked=False):
        data = body if isinstance(body, bytes) else (
            json.dumps(body, indent=2 if chunked else None).encode() if not isinstance(body, str) else body.encode())
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Cache-Control", "no-store, no-cache")
        for name, value in headers:
            self.send_header(name, value)
        if chunked:
            self.send_header("Transfer-Encoding", "chunked")
        else:
            self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        if chunked:
            # Google's front end sends its JSON in pieces; the reader must put them together.
            middle = len(data) // 2
            for piece in (data[:middle], data[middle:]):
                if piece:
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.write(b"0\r\n\r\n")
        else:
            self.wfile.write(data)
        self.close_connection = True

    def read_form(self):
        """The body as a form: {name: value}; Refusal for what the real front ends refuse."""
        length = self.headers.get("Content-Length") or ""
        if self.headers.get("Transfer-Encoding") or not length.isdigit():
            raise Refusal(411, "Length Required")
        if int(length) > 1 << 16:
            raise Refusal(413, "Request Entity Too Large")
        data = self.rfile.read(int(length))
        if len(data) != int(length):
            raise Refusal(400, "Bad Request")
        if (self.headers.get("Content-Type") or "").split(";")[0].strip().lower() != \
                "application/x-www-form-urlencoded":
            return {}, []
        try:
            pairs = urllib.parse.parse_qsl(data.decode("utf-8", "strict"), keep_blank_values=True)
        except ValueError:
            raise Refusal(400, "Bad Request")
        form, repeated = {}, []
        for name, value in pairs:
            if name in form:
                repeated.append(name)
            form[name] = value
        return form, repeated

    def basic_auth(self):
        value = self.headers.get("Authorization", "")
        if not value.startswith("Basic "):
            return None
        try:
            client, _, secret = base64.b64decode(value[6:], validate=True).decode().partition(":")
        except ValueError:
            # Undecodable credentials are no client: refused as an unknown one.
            return "", ""
        return urllib.parse.unquote_plus(client), urllib.parse.unquote_plus(secret)

    def do_GET(self):
        if not self.public:
            return self.control_request()
        path, _, query = self.path.partition("?")
        if path == "/o/oauth2/v2/auth":
            with self.service.lock:
                answer = self.service.google_auth(urllib.parse.parse_qs(query, keep_blank_values=True))
            self.note(f"GET {path} -> {'302' if isinstance(answer, str) else answer[0]}")
            if isinstance(answer, str):
                return self.reply(302, b"", "text/html; charset=UTF-8", [("Location", answer)])
            return self.reply(answer[0], answer[1], "text/plain; charset=utf-8")
        if MS_PATH.fullmatch(path):
            error = microsoft_error(400, "invalid_request", 900561, "The endpoint only accepts POST, OPTIONS "
                                    "requests. Received a GET request.")
            return self.reply(error.status, error.body)
        self.reply(404, "Not Found", "text/plain")

    def do_POST(self):
        if not self.public:
            return self.control_request()
        if not self.headers.get("Host"):
            return self.reply(400, "Bad Request - Invalid Hostname", "text/html")
        path = self.path.split("?")[0]
        ms = MS_PATH.fullmatch(path)
        if not ms and path != "/token":
            return self.reply(404, "Not Found", "text/plain")
        provider = "microsoft" if ms else "google"
        entry = {"provider": provider, "endpoint": ms.group(2) if ms else "token"}
        try:
            form, repeated = self.read_form()
        except Refusal as refusal:
            return self.reply(refusal.status, refusal.body, "text/plain")
        entry.update(grant=form.get("grant_type"), client=form.get("client_id"))
        if "refresh_token" in form:
            entry["refresh_token"] = form["refresh_token"]
        time.sleep(float(self.service.settings["delay"]))
        with self.service.lock:
            service = self.service
            service.requests.append(entry)
            fail = service.settings["fail"].pop(0) if service.settings["fail"] else None
            try:
                if fail is not None:
                    raise Refusal(fail.get("status", 500), fail.get("body", "Internal Server Error"))
                if repeated:
                    name = repeated[0]
                    if ms:
                        raise microsoft_error(400, "invalid_request", 90015, f"Requested parameter '{name}' is "
                                              "included more than once.")
                    raise google_error(400, "invalid_request", f"Parameter '{name}' is duplicated.")
                if ms:
                    token_url = f"{service.url_base}{path}"
                    if ms.group(2) == "token":
                        body = service.microsoft_token(ms.group(1), form, token_url, self.basic_auth())
                    else:
                        body = service.microsoft_devicecode(ms.group(1), form, self.basic_auth())
                else:
                    body = service.google_token(form, self.basic_auth())
                status = 200
            except Refusal as refusal:
                status, body = refusal.status, refusal.body
            entry.update(status=status, error=body.get("error") if isinstance(body, dict) else None)
        self.note(f"POST {path} grant={entry['grant']} -> {status} {entry['error'] or ''}")
        if isinstance(body, dict):
            self.reply(status, body, headers=(
                [("Pragma", "no-cache"), ("x-ms-request-id", str(uuid.uuid4())),
                 ("Strict-Transport-Security", "max-age=31536000; includeSubDomains")] if ms else
                [("Vary", "Origin, X-Origin, Referer"), ("Server", "scaffolding on HTTPServer2")]),
                chunked=not ms)
        else:
            self.reply(status, body, "text/html")

    def control_request(self):
        length = int(self.headers.get("Content-Length") or 0)
        data = self.rfile.read(length) if length else b""
        path = self.path.split("?")[0]
        with self.service.lock:
            if path == "/introspect":
                token = urllib.parse.parse_qs(data.decode("latin-1")).get("token", [""])[0]
                answer = self.service.introspect(token)
                self.note(f"introspection -> {'active' if answer['active'] else 'inactive'}")
                return self.reply(200, answer)
            if not path.startswith("/_test/"):
                return self.reply(404, {"error": "not found"})
            try:
                answer = self.service.control(path[len("/_test/"):], json.loads(data) if data else {})
            except (KeyError, ValueError) as error:
                return self.reply(400, {"error": str(error)})
        self.reply(200, answer)


class HttpsListener:
    """The HTTPS port. Its certificate can be swapped for one of a CA nobody trusts, and it
    can be closed and opened again on the same port, so the address the program was set up
    with stays the same while the service fails."""

    def __init__(self, handler, port, contexts, settings):
        self.handler, self.port, self.contexts, self.settings = handler, port, contexts, settings
        self.server = None

    def open(self):
        if self.server is not None:
            return
        listener = self

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def get_request(self):
                sock, address = super().get_request()
                sock.settimeout(60)
                context = listener.contexts[listener.settings()["certificate"]]
                return context.wrap_socket(sock, server_side=True, do_handshake_on_connect=False), address

            def handle_error(self, request, address):
                kind, error = sys.exc_info()[:2]
                sys.stderr.write(f"{time.strftime('%H:%M:%S')} connection ended: {kind.__name__}: {error}\n")

        self.server = Server(("127.0.0.1", self.port), self.handler)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        if self.server is not None:
            self.server.shutdown()
            self.server.server_close()
            self.server = None


def main():
    directory = sys.argv[1]
    user, domain = os.environ["ZP_MAIL_USER"], os.environ.get("ZP_MAIL_DOMAIN", "zanpost.test")
    tls = os.environ["ZP_TLS_DIR"]
    contexts = {}
    for name, certificate in (("trusted", "oauth.pem"), ("untrusted", "oauth-unknown-ca.pem")):
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.minimum_version = ssl.TLSVersion.TLSv1_2
        context.load_cert_chain(os.path.join(tls, certificate), os.path.join(tls, "server.key"))
        contexts[name] = context

    # The port must be known before the material, which names the token URL.
    https_port = free_port()
    url_base = f"https://localhost:{https_port}"
    material = Material(directory, url_base)
    service = Service(material, user, domain, os.environ["ZP_OAUTH_TOKEN"], url_base)

    class Public(Handler):
        pass

    class Private(Handler):
        public = False

    Public.service = Private.service = service
    https = HttpsListener(Public, https_port, contexts, lambda: service.settings)
    https.open()
    control = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Private)
    control.daemon_threads = True

    service.switch_https = lambda up: https.open() if up else https.close()

    variables = {
        "ZP_OAUTH_URL_BASE": url_base, "ZP_OAUTH_CONTROL": f"http://127.0.0.1:{control.server_address[1]}",
        "ZP_OAUTH_INTROSPECTION": f"http://127.0.0.1:{control.server_address[1]}/introspect",
        "ZP_OAUTH_TENANT": material.tenant, "ZP_OAUTH_CLIENT_ID": material.app_id,
        "ZP_OAUTH_CLIENT_SECRET": material.app_secret, "ZP_OAUTH_PUBLIC_CLIENT_ID": material.public_id,
        "ZP_OAUTH_GOOGLE_CLIENT_ID": material.google_id, "ZP_OAUTH_GOOGLE_CLIENT_SECRET": material.google_secret,
        "ZP_OAUTH_CERTIFICATE": material.certificate_file, "ZP_OAUTH_SERVICE_ACCOUNT": material.account_file,
    }
    env = os.path.join(directory, "env")
    write_private(env + ".new", "".join(f"export {k}='{v}'\n" for k, v in variables.items()).encode())
    os.rename(env + ".new", env)
    sys.stderr.write(f"{time.strftime('%H:%M:%S')} listening: {url_base}, control {variables['ZP_OAUTH_CONTROL']}\n")
    sys.stderr.flush()
    control.serve_forever()


if __name__ == "__main__":
    main()
