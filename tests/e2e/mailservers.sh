#!/usr/bin/env bash
# A real SMTP + POP3 + IMAP server set for end-to-end runs: OpenSMTPD on 127.0.0.1:25, Dovecot
# POP3 on 127.0.0.1:110 and IMAP on 127.0.0.1:143, sharing one Maildir of one mailbox user; and
# their secure side, Dovecot with certificates of a test CA made for the run: POP3 on 995
# (implicit TLS) and 110 (STLS), IMAP on 993 (implicit TLS) and 143 (STARTTLS), submission on
# 465 (implicit TLS) and 587 (STARTTLS), relaying to OpenSMTPD on port 25 for delivery into the
# same Maildir. The good certificate is served on 127.0.0.2, broken ones
# (expired, for another name, of an unknown CA) on 127.0.0.3 to .5, all on the same ports.
#
# Needs root, and must run inside a private network AND mount namespace, because it mounts a
# private tmpfs over /run and an empty folder over /var/spool/smtpd (so runs never share a
# control socket or a queue) and binds the well-known ports. It refuses to run otherwise.
# The easy way in is tests/e2e/run_in_mailns, which does all of this around one command.
# By hand:  unshare -n -m --propagation private bash -c '
#             ip link set lo up; . tests/e2e/mailservers.sh; trap mail_stop EXIT; mail_start; ...'
#
# Two ways to use it:
#   sourced:  . tests/e2e/mailservers.sh   then call the mail_* functions below.
#   called:   tests/e2e/mailservers.sh COMMAND [ARGS]   where COMMAND is a function name without
#             the "mail_" prefix and with "-" for "_" (start, stop, stop-smtp, start-smtp, count,
#             list, wait-count, put, clear, env). "start" leaves the servers running and prints
#             `export` lines to eval; every other command finds the servers through ZP_MAIL_DIR.
#
# Functions (each returns non-zero with a message on stderr when it fails):
#   mail_start            create user, configs and mounts, start both servers, wait until both
#                         ports greet, export the ZP_* variables below
#   mail_stop             kill exactly the processes mail_start started (by PID), unmount,
#                         remove the run's directory (ZP_MAIL_KEEP=1 first copies it to a new
#                         $TMPDIR/zp-mail-kept.* and says where); safe to call twice and after a
#                         failed start, so it belongs in an EXIT trap
#   mail_stop_smtp        stop OpenSMTPD only (port 25 then refuses connections); POP3 stays up
#   mail_start_smtp       start OpenSMTPD again after mail_stop_smtp
#   mail_count            print the number of messages in the Maildir's INBOX (new + cur), read
#                         on disk; IMAP folders (Maildir++ .NAME subfolders) are not counted
#   mail_list             print the paths of those messages, oldest delivery first
#   mail_wait_count N [S] wait up to S seconds (default 15) until exactly N messages are on disk;
#                         SMTP hands messages to the Maildir a moment after it answers "250"
#   mail_put [FILE]       drop a raw message (FILE or stdin) straight into the Maildir, bypassing
#                         SMTP, byte for byte; prints its path
#   mail_clear            delete every message in the Maildir, in INBOX and in every IMAP folder
#                         (the folders themselves stay)
#   mail_env              print the ZP_* variables as `export` lines
#
# Variables exported by mail_start (read them, don't set them; ZP_MAIL_PASSWORD and
# ZP_MAIL_DOMAIN may be set beforehand to choose them):
#   ZP_MAIL_HOST          127.0.0.1
#   ZP_SMTP_PORT          25
#   ZP_POP3_PORT          110
#   ZP_IMAP_PORT          143
#   ZP_MAIL_USER          POP3 user name of the mailbox
#   ZP_MAIL_COLLEAGUE     a second login name of the same mailbox with the same password, as a
#                         colleague sharing it would have: Dovecot's log names each session's
#                         user, so the tests' own sessions are told from the program's
#   ZP_MAIL_PASSWORD      its password (plaintext login is allowed; only loopback listens)
#   ZP_MAIL_DOMAIN        test domain: every recipient @ this domain lands in the mailbox, as does
#                         every recipient of a local domain (localhost, the host name). Recipients
#                         of any other domain are refused with 550, for refused-recipient tests.
#   ZP_MAIL_ADDRESS       ZP_MAIL_USER@ZP_MAIL_DOMAIN
#   ZP_MAILDIR            the mailbox's Maildir (messages live in its new/ and cur/)
#   ZP_MAIL_DIR           the run's directory (on the private /run) holding configurations,
#                         logs, queue and Maildir
#   ZP_SMTPD_LOG, ZP_DOVECOT_LOG   the servers' logs
#   ZP_SMTPD_PID, ZP_DOVECOT_PID   PIDs of the two server processes
#   ZP_MAILSERVERS        the path of this script, for calling it from a test in any language
#
# The secure side (127.0.0.1:110 stays as it was: Dovecot counts a client on its own address as
# secure, so the clear-text login works there; on the other addresses it is refused before TLS):
#   ZP_TLS_HOST           127.0.0.2: good certificate for ZP_TLS_NAME and this IP, signed by ZP_TLS_CA
#   ZP_TLS_EXPIRED_HOST   127.0.0.3: signed by ZP_TLS_CA, for ZP_TLS_NAME, expired 2021-01-01
#   ZP_TLS_WRONG_NAME_HOST 127.0.0.4: signed by ZP_TLS_CA, for jiny.zanpost.test only
#   ZP_TLS_UNKNOWN_CA_HOST 127.0.0.5: for ZP_TLS_NAME, signed by ZP_TLS_UNKNOWN_CA (trusted by no one)
#   ZP_TLS_NAME           localhost (the name to verify; connect to the IP above)
#   ZP_POP3S_PORT         995  POP3 over implicit TLS, on every ZP_TLS_*HOST
#   ZP_POP3_PORT          110  also STLS there; USER/PASS, PLAIN and LOGIN only after STLS
#   ZP_IMAPS_PORT         993  IMAP over implicit TLS, on every ZP_TLS_*HOST
#   ZP_IMAP_PORT          143  also STARTTLS there; LOGIN (LOGINDISABLED before it) and
#                              AUTHENTICATE PLAIN only after STARTTLS
#   ZP_SMTPS_PORT         465  submission over implicit TLS, AUTH PLAIN LOGIN CRAM-MD5
#   ZP_SUBMISSION_PORT    587  submission with STARTTLS; no AUTH offered or taken before it
#   ZP_TLS_CA, ZP_TLS_UNKNOWN_CA   PEM files of the two CAs
#   ZP_TLS_FINGERPRINT, ZP_TLS_EXPIRED_FINGERPRINT, ZP_TLS_WRONG_NAME_FINGERPRINT,
#   ZP_TLS_UNKNOWN_CA_FINGERPRINT  SHA-256 of each served certificate, "AB:CD:..." (a pin)
#   ZP_TLS_DIR            the folder holding the keys and certificates
# IMAP announces MOVE, UIDPLUS and SPECIAL-USE once logged in; the folder Trash (created on
# first use) carries the \Trash special use. Every IMAP client logs out with a line in
# ZP_DOVECOT_LOG that counts what it was sent:
#   imap(USER)<...>: Disconnected: Logged out in=.. out=.. hdr_count=N hdr_bytes=.. body_count=N
#   body_bytes=.. deleted=N expunged=N trashed=N
# (hdr_count: messages whose header fields were fetched; body_count: whole messages fetched).
# The mailbox user logs in with the same password by USER/PASS, APOP, PLAIN, LOGIN and CRAM-MD5,
# and by XOAUTH2 (and OAUTHBEARER) with an OAuth 2.0 access token that the run's token service
# (oauth_service.py, on free ports of 127.0.0.1) issued and that has not expired, or with:
#   ZP_OAUTH_TOKEN        an access token valid for the whole run
# The token service answers as Microsoft's and Google's do (see oauth_service.py):
#   ZP_OAUTH_URL_BASE     https://localhost:PORT, certificate oauth.pem of ZP_TLS_CA for localhost
#                         and 127.0.0.1; Microsoft's endpoints under /TENANT/oauth2/v2.0/,
#                         Google's at /token and /o/oauth2/v2/auth
#   ZP_OAUTH_CONTROL      http://127.0.0.1:PORT: the tests' handle under /_test/ (state, settings,
#                         reset, device, revoke)
#   ZP_OAUTH_INTROSPECTION  the endpoint Dovecot asks
#   ZP_OAUTH_TENANT       Microsoft tenant ID (the domain ZP_MAIL_DOMAIN names it too)
#   ZP_OAUTH_CLIENT_ID, ZP_OAUTH_CLIENT_SECRET  a Microsoft confidential application and its
#                         secret; it also takes a client assertion signed with:
#   ZP_OAUTH_CERTIFICATE  PEM file: the application's certificate and private key
#   ZP_OAUTH_PUBLIC_CLIENT_ID  a Microsoft public application (device code, refresh)
#   ZP_OAUTH_GOOGLE_CLIENT_ID, ZP_OAUTH_GOOGLE_CLIENT_SECRET  a Google desktop application
#   ZP_OAUTH_SERVICE_ACCOUNT  Google service-account JSON key file (token_uri: the service)
#   ZP_OAUTH_LOG          the service's log (paths and answers, never a secret)
#
# OpenSMTPD accepts messages up to 256 MiB (its default would refuse large attachments after
# they were sent), as does Dovecot submission; ZP_MAIL_MAX_MESSAGE set beforehand (as 768M:
# a number with K, M or G) raises both, for bench/run's 500 MiB attachment.

ZP_MAILSERVERS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/$(basename "${BASH_SOURCE[0]}")
export ZP_MAILSERVERS

zp_ms_err() { echo "mailservers: $*" >&2; }

# Reads /proc/PID/stat into the array zp_ms_f, indexed by the field numbers of proc(5)
# (zp_ms_f[3] state, [4] parent, [22] start time). The command name may hold blanks, so the
# fields are counted from the ") " that closes it. No subshell: this runs in tight loops.
zp_ms_read_stat() {
  local line
  { IFS= read -r line <"/proc/$1/stat"; } 2>/dev/null || return 1
  read -r -a zp_ms_f <<<"_ _ _ ${line##*) }"
}

# True when this process lives in another network and another mount namespace than the
# machine's own: than some visible ancestor, or than the namespaces run_in_mailns recorded in
# ZP_OUTER_NS before it unshared (a PID namespace hides the ancestors).
zp_ms_private_namespaces() {
  local my_net my_mnt pid=$$ ppid outer
  my_net=$(readlink /proc/self/ns/net) || return 1
  my_mnt=$(readlink /proc/self/ns/mnt) || return 1
  local -a seen=()
  [ -n "${ZP_OUTER_NS:-}" ] && seen+=("$ZP_OUTER_NS")
  while zp_ms_read_stat "$pid" && ppid=${zp_ms_f[4]} && [ "$ppid" -gt 0 ]; do
    outer="$(readlink "/proc/$ppid/ns/net" 2>/dev/null) $(readlink "/proc/$ppid/ns/mnt" 2>/dev/null)"
    seen+=("$outer")
    pid=$ppid
  done
  for outer in "${seen[@]}"; do
    case $outer in
      "net:"*" mnt:"*)
        [ "${outer% *}" != "$my_net" ] && [ "${outer#* }" != "$my_mnt" ] && return 0 ;;
    esac
  done
  return 1
}

# A uid (and gid of the same number) that nobody on this machine uses; the mailbox user is
# virtual, so nothing is added to /etc/passwd.
zp_ms_free_id() {
  local id=61000
  while getent passwd "$id" >/dev/null || getent group "$id" >/dev/null; do
    id=$((id + 1))
  done
  echo "$id"
}

# Waits until ADDRESS:PORT (default 127.0.0.1) sends a first line starting with PREFIX, or fails
# after SECONDS (or at once when PID is gone).
zp_ms_wait_greeting() {
  local port=$1 prefix=$2 pid=$3 seconds=$4 address=${5:-127.0.0.1} line
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if ! zp_ms_alive "$pid"; then
      return 1
    fi
    # shellcheck disable=SC2016  # the inner shell expands $1 and $l
    if line=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/$2/$1" && IFS= read -r l <&3 && printf %s "$l"' \
                _ "$port" "$address" 2>/dev/null) && [ "${line#"$prefix"}" != "$line" ]; then
      return 0
    fi
    sleep 0.05
  done
  return 1
}

# True while PID runs (a zombie waiting for its parent counts as gone).
zp_ms_alive() {
  zp_ms_read_stat "$1" || return 1
  [ "${zp_ms_f[3]}" != Z ] && [ "${zp_ms_f[3]}" != X ]
}

# "PID STARTTIME" of every living descendant of PID, so that stopping can reach helper processes
# that outlive their parent without ever touching a process that merely reuses a number.
zp_ms_descendants() {
  local root=$1 p q
  local -A parent=() start=()
  for p in /proc/[0-9]*; do
    p=${p#/proc/}
    if zp_ms_read_stat "$p"; then
      parent[$p]=${zp_ms_f[4]}
      start[$p]=${zp_ms_f[22]}
    fi
  done
  local -a frontier=("$root") next
  while [ ${#frontier[@]} -gt 0 ]; do
    next=()
    for p in "${!parent[@]}"; do
      for q in "${frontier[@]}"; do
        if [ "${parent[$p]}" = "$q" ]; then
          next+=("$p")
          echo "$p ${start[$p]}"
        fi
      done
    done
    frontier=("${next[@]}")
  done
}

zp_ms_starttime() { zp_ms_read_stat "$1" && echo "${zp_ms_f[22]}"; }

# Stops the server whose PID is in FILE, then any of its helper processes still running.
zp_ms_kill_pidfile() {
  local file=$1 pid start helpers h hs i
  [ -f "$file" ] || return 0
  read -r pid start <"$file"
  rm -f "$file"
  [ -n "$pid" ] || return 0
  if [ "$(zp_ms_starttime "$pid")" != "$start" ]; then
    return 0   # already gone; the number may now belong to someone else
  fi
  helpers=$(zp_ms_descendants "$pid")
  kill -TERM "$pid" 2>/dev/null
  for ((i = 0; i < 100; i++)); do
    zp_ms_alive "$pid" || break
    sleep 0.05
  done
  if zp_ms_alive "$pid"; then
    zp_ms_err "PID $pid ignored SIGTERM; killing it"
    kill -KILL "$pid" 2>/dev/null
  fi
  wait "$pid" 2>/dev/null   # reaps it when this shell is its parent
  while read -r h hs; do
    [ -n "$h" ] || continue
    for ((i = 0; i < 40; i++)); do
      if [ "$(zp_ms_starttime "$h")" != "$hs" ] || ! zp_ms_alive "$h"; then break; fi
      sleep 0.05
    done
    if [ "$(zp_ms_starttime "$h")" = "$hs" ] && zp_ms_alive "$h"; then
      kill -KILL "$h" 2>/dev/null
    fi
  done <<<"$helpers"
  return 0
}

zp_ms_need_dir() {
  if [ -z "${ZP_MAIL_DIR:-}" ] || [ ! -f "$ZP_MAIL_DIR/state" ]; then
    zp_ms_err "no servers started here (ZP_MAIL_DIR is not set or not a server directory)"
    return 1
  fi
}

# The run's own certificates, made fresh each time so that no key outlives the run: a test CA,
# and leaves signed by it for the good server, an expired one and one for another name, plus a
# leaf for the good names signed by a second CA that nobody trusts. The leaves share one key (a
# pin is the hash of the certificate, so they still differ). RSA, because every TLS stack in the
# tests (OpenSSL, Python, Wine's Schannel and crypt32) verifies RSA chains.
zp_ms_make_certs() {
  local t=$1 ca name cn san from until start end
  # The configuration names it, so it must exist whenever openssl reads that file.
  local ZP_MS_SAN=DNS:localhost; export ZP_MS_SAN
  install -d -m 755 "$t" "$t/new" || return 1
  : >"$t/index.txt"
  cat >"$t/openssl.cnf" <<EOF
[ca]
default_ca = zp
[zp]
database = $t/index.txt
new_certs_dir = $t/new
serial = $t/serial
default_md = sha256
policy = any
unique_subject = no
email_in_dn = no
[any]
commonName = supplied
[req]
distinguished_name = dn
[dn]
[root]
basicConstraints = critical,CA:true
keyUsage = critical,keyCertSign,cRLSign
subjectKeyIdentifier = hash
[leaf]
basicConstraints = critical,CA:false
keyUsage = critical,digitalSignature,keyEncipherment
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
subjectAltName = \$ENV::ZP_MS_SAN
EOF
  # Key generation is the slow part of a start: the three keys are made side by side.
  local key pids=()
  for key in ca ca-unknown server; do
    openssl genrsa -out "$t/$key.key" 2048 2>/dev/null &
    pids+=($!)
  done
  for key in "${pids[@]}"; do
    wait "$key" || { zp_ms_err "openssl could not make a key"; return 1; }
  done
  for ca in ca ca-unknown; do
    openssl req -new -x509 -config "$t/openssl.cnf" -extensions root -key "$t/$ca.key" \
        -subj "/O=ZanPost tests/CN=ZanPost test $ca $$-$RANDOM" -days 30 \
        -set_serial "0x$(openssl rand -hex 8)" -out "$t/$ca.pem" 2>/dev/null ||
      { zp_ms_err "openssl could not make $ca"; return 1; }
  done
  chmod 600 "$t"/*.key
  start=$(date -u -d '-1 day' +%Y%m%d%H%M%SZ) end=$(date -u -d '+30 days' +%Y%m%d%H%M%SZ)
  # name, issuer, subject name, alternative names, not before, not after
  while read -r name ca cn san from until; do
    [ "$from" = now ] && from=$start
    [ "$until" = now ] && until=$end
    openssl rand -hex 8 >"$t/serial"
    openssl req -new -config "$t/openssl.cnf" -key "$t/server.key" -subj "/CN=$cn" \
        -out "$t/$name.csr" 2>/dev/null &&
      ZP_MS_SAN=$san openssl ca -batch -notext -config "$t/openssl.cnf" -extensions leaf \
        -cert "$t/$ca.pem" -keyfile "$t/$ca.key" -startdate "$from" -enddate "$until" \
        -in "$t/$name.csr" -out "$t/$name.pem" 2>/dev/null ||
      { zp_ms_err "openssl could not make the certificate $name"; return 1; }
  done <<EOF
server ca localhost DNS:localhost,IP:127.0.0.2 now now
expired ca localhost DNS:localhost,IP:127.0.0.3 20200101000000Z 20210101000000Z
wrong-name ca jiny.zanpost.test DNS:jiny.zanpost.test now now
unknown-ca ca-unknown localhost DNS:localhost,IP:127.0.0.5 now now
oauth ca localhost DNS:localhost,IP:127.0.0.1 now now
oauth-unknown-ca ca-unknown localhost DNS:localhost,IP:127.0.0.1 now now
EOF
  rm -f "$t"/*.csr
}

# SHA-256 of a certificate (DER), as colon-separated upper-case hex.
zp_ms_fingerprint() {
  openssl x509 -in "$1" -noout -fingerprint -sha256 | sed 's/^.*=//'
}

zp_ms_write_configs() {
  local d=$1
  # OpenSMTPD: one catch-all virtual mapping sends every accepted recipient to the mailbox user,
  # whose uid, gid and home come from a private user base.
  cat >"$d/smtpd.conf" <<EOF
# Generated for one end-to-end run; delete with its directory.
smtp max-message-size $ZP_MAIL_MAX_MESSAGE
table domains file:$d/domains
table vusers file:$d/vusers
table users file:$d/users
listen on 127.0.0.1 port $ZP_SMTP_PORT
action "mailbox" maildir "$ZP_MAILDIR" virtual <vusers> userbase <users>
match from any for domain <domains> action "mailbox"
match from any for local action "mailbox"
EOF
  printf '%s\n' "$ZP_MAIL_DOMAIN" >"$d/domains"
  printf '@ %s\n' "$ZP_MAIL_USER" >"$d/vusers"
  printf '%s %s:%s:%s\n' "$ZP_MAIL_USER" "$ZP_MS_UID" "$ZP_MS_UID" "$d/home" >"$d/users"

  # Dovecot: POP3, IMAP and submission over the same Maildir under the same uid. Passwords are stored
  # in clear so that every mechanism (PLAIN, LOGIN, CRAM-MD5, APOP) can check them. Clear-text
  # logins are refused without TLS, except for a client on the server's own address: Dovecot
  # counts 127.0.0.1 -> 127.0.0.1 as secure, which keeps the plain listener of the older tests
  # as it was, while a client of 127.0.0.2 arrives from 127.0.0.1 and meets the real refusal.
  printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$ZP_MAIL_USER" "$ZP_MAIL_PASSWORD" \
    "$ZP_MS_UID" "$ZP_MS_UID" "$d/home" "$ZP_MAIL_COLLEAGUE" "$ZP_MAIL_PASSWORD" \
    "$ZP_MS_UID" "$ZP_MS_UID" "$d/home" >"$d/passwd"
  chgrp dovecot "$d/passwd" && chmod 640 "$d/passwd"
  local t=$ZP_TLS_DIR all="$ZP_TLS_HOST $ZP_TLS_EXPIRED_HOST $ZP_TLS_WRONG_NAME_HOST $ZP_TLS_UNKNOWN_CA_HOST"
  cat >"$d/dovecot.conf" <<EOF
# Generated for one end-to-end run; delete with its directory.
instance_name = zp-dovecot
base_dir = /run/zp-dovecot
state_dir = $d/dovecot-state
protocols = pop3 imap submission
listen = 127.0.0.1
hostname = mail.$ZP_MAIL_DOMAIN
disable_plaintext_auth = yes
auth_mechanisms = plain login cram-md5 apop xoauth2 oauthbearer
# The certificate follows the address the client reached: the good one on $ZP_TLS_HOST, the
# broken ones on addresses of their own, so every failure test uses the usual ports.
ssl = yes
ssl_min_protocol = TLSv1.2
ssl_cert = <$t/server.pem
ssl_key = <$t/server.key
local $ZP_TLS_EXPIRED_HOST {
  ssl_cert = <$t/expired.pem
  ssl_key = <$t/server.key
}
local $ZP_TLS_WRONG_NAME_HOST {
  ssl_cert = <$t/wrong-name.pem
  ssl_key = <$t/server.key
}
local $ZP_TLS_UNKNOWN_CA_HOST {
  ssl_cert = <$t/unknown-ca.pem
  ssl_key = <$t/server.key
}
# A refused login answers at once, and does not slow down the logins after it (the penalty a
# server applies against guessing): tests try wrong passwords on purpose.
auth_failure_delay = 0
log_path = $ZP_DOVECOT_LOG
mail_location = maildir:$ZP_MAILDIR
# The folders an office mailbox has, Trash marked as Gmail and Microsoft 365 mark theirs, so
# that a client looking for the \\Trash special use finds it. Created on first use.
namespace inbox {
  inbox = yes
  separator = /
  mailbox Trash {
    special_use = \\Trash
    auto = create
  }
  mailbox Sent {
    special_use = \\Sent
  }
}
# What each IMAP session was sent, in its logout line: the tests count header and body fetches.
imap_logout_format = in=%i out=%o hdr_count=%{fetch_hdr_count} hdr_bytes=%{fetch_hdr_bytes} body_count=%{fetch_body_count} body_bytes=%{fetch_body_bytes} deleted=%{deleted} expunged=%{expunged} trashed=%{trashed}
first_valid_uid = $ZP_MS_UID
last_valid_uid = $ZP_MS_UID
passdb {
  driver = passwd-file
  mechanisms = plain login cram-md5 apop
  args = scheme=PLAIN username_format=%u $d/passwd
}
# OAuth 2.0 access tokens are checked by the run's introspection endpoint.
passdb {
  driver = oauth2
  mechanisms = xoauth2 oauthbearer
  args = $d/oauth2.conf
}
userdb {
  driver = passwd-file
  args = username_format=%u $d/passwd
}
# Submission hands each message to OpenSMTPD on its plain port, which delivers it.
submission_relay_host = 127.0.0.1
submission_relay_port = $ZP_SMTP_PORT
submission_relay_ssl = no
submission_max_mail_size = $ZP_MAIL_MAX_MESSAGE
protocol submission {
  # No AUTH at all before STARTTLS, not even CRAM-MD5.
  ssl = required
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1 $all
    port = $ZP_POP3_PORT
  }
  inet_listener pop3s {
    address = $all
    port = $ZP_POP3S_PORT
    ssl = yes
  }
}
service imap-login {
  inet_listener imap {
    address = 127.0.0.1 $all
    port = $ZP_IMAP_PORT
  }
  inet_listener imaps {
    address = $all
    port = $ZP_IMAPS_PORT
    ssl = yes
  }
}
service submission-login {
  inet_listener submission {
    address = $all
    port = $ZP_SUBMISSION_PORT
  }
  inet_listener submissions {
    address = $all
    port = $ZP_SMTPS_PORT
    ssl = yes
  }
}
service pop3 {
  process_limit = 16
}
service imap {
  process_limit = 16
}
service submission {
  process_limit = 16
}
# A test, the program and a second client of the mailbox may all be connected at once.
mail_max_userip_connections = 50
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
}

# The OAuth token service, which is also the endpoint Dovecot asks whether a token is valid.
# It makes the run's client material in $d/oauth and says where everything is in $d/oauth/env.
zp_ms_start_oauth() {
  local d=$ZP_MAIL_DIR i
  install -d -m 700 "$d/oauth" || return 1
  ZP_MAIL_USER=$ZP_MAIL_USER ZP_MAIL_DOMAIN=$ZP_MAIL_DOMAIN ZP_TLS_DIR=$ZP_TLS_DIR \
    ZP_OAUTH_TOKEN=$ZP_OAUTH_TOKEN python3 "$(dirname "$ZP_MAILSERVERS")/oauth_service.py" "$d/oauth" \
    >>"$d/oauth.log" 2>&1 </dev/null &
  local pid=$!
  echo "$pid $(zp_ms_starttime "$pid")" >"$d/oauth.pid"
  for ((i = 0; i < 300; i++)); do
    [ -s "$d/oauth/env" ] && break
    zp_ms_alive "$pid" || break
    sleep 0.05
  done
  if [ ! -s "$d/oauth/env" ]; then
    zp_ms_err "the OAuth token service did not start:"; cat "$d/oauth.log" >&2
    return 1
  fi
  # shellcheck source=/dev/null  # written by oauth_service.py for this run
  . "$d/oauth/env" || return 1
  ZP_OAUTH_LOG=$d/oauth.log; export ZP_OAUTH_LOG
  printf '%s\n' "introspection_mode = post" \
    "introspection_url = $ZP_OAUTH_INTROSPECTION" \
    "username_attribute = username" "active_attribute = active" "active_value = true" \
    >"$d/oauth2.conf"
}

zp_ms_start_smtpd() {
  local d=$ZP_MAIL_DIR
  if ! smtpd -n -f "$d/smtpd.conf" >>"$ZP_SMTPD_LOG" 2>&1; then
    zp_ms_err "OpenSMTPD refused its configuration:"; tail -n 20 "$ZP_SMTPD_LOG" >&2
    return 1
  fi
  smtpd -d -f "$d/smtpd.conf" >>"$ZP_SMTPD_LOG" 2>&1 </dev/null &
  local pid=$!
  echo "$pid $(zp_ms_starttime "$pid")" >"$d/smtpd.pid"
  ZP_SMTPD_PID=$pid; export ZP_SMTPD_PID
  if ! zp_ms_wait_greeting "$ZP_SMTP_PORT" 220 "$pid" 20; then
    zp_ms_err "OpenSMTPD did not answer on 127.0.0.1:$ZP_SMTP_PORT; its log:"
    tail -n 20 "$ZP_SMTPD_LOG" >&2
    return 1
  fi
}

mail_start() {
  if [ -n "${ZP_MAIL_DIR:-}" ] && [ -f "$ZP_MAIL_DIR/state" ]; then
    zp_ms_err "servers already started in $ZP_MAIL_DIR"; return 1
  fi
  if [ "$(id -u)" != 0 ]; then zp_ms_err "must run as root"; return 1; fi
  local tool
  for tool in smtpd dovecot ip mount umount timeout openssl python3; do
    if ! command -v "$tool" >/dev/null; then
      zp_ms_err "$tool is missing (scripts/setup installs opensmtpd, dovecot-core, dovecot-pop3d," \
        "dovecot-imapd, dovecot-submissiond, openssl, iproute2)"
      return 1
    fi
  done
  if ! zp_ms_private_namespaces; then
    zp_ms_err "not inside a private network and mount namespace; run under" \
      "'unshare -n -m --propagation private' (or use tests/e2e/run_in_mailns)"
    return 1
  fi
  ip link set lo up || { zp_ms_err "cannot bring up the loopback interface"; return 1; }

  # Everything of a run lives on a private tmpfs over /run: the servers' sockets and PID files,
  # the configurations, logs, queue and Maildir. The mount dies with the namespace, so even a
  # killed run leaves nothing behind.
  mount -t tmpfs -o mode=755 zp-run /run || { zp_ms_err "cannot mount a tmpfs over /run"; return 1; }
  local d
  if ! d=$(mktemp -d /run/zp-mail.XXXXXX); then umount /run; return 1; fi
  chmod 711 "$d"
  echo "mounted /run" >"$d/state"
  export ZP_MAIL_DIR=$d
  export ZP_MAIL_HOST=127.0.0.1 ZP_SMTP_PORT=25 ZP_POP3_PORT=110 ZP_IMAP_PORT=143
  export ZP_MAIL_USER=zpmail ZP_MAIL_COLLEAGUE=zpmail-kolega
  export ZP_MAIL_PASSWORD=${ZP_MAIL_PASSWORD:-Tabulix-heslo-1}
  if [[ ! $ZP_MAIL_PASSWORD =~ ^[!-9\;-~]+$ ]]; then
    zp_ms_err "ZP_MAIL_PASSWORD must be printable ASCII without blanks or ':'"
    mail_stop; return 1
  fi
  ZP_MAIL_MAX_MESSAGE=${ZP_MAIL_MAX_MESSAGE:-256M}
  if [[ ! $ZP_MAIL_MAX_MESSAGE =~ ^[1-9][0-9]*[KMG]?$ ]]; then
    zp_ms_err "ZP_MAIL_MAX_MESSAGE must be a size such as 256M"
    mail_stop; return 1
  fi
  export ZP_MAIL_DOMAIN=${ZP_MAIL_DOMAIN:-zanpost.test}
  export ZP_MAIL_ADDRESS=$ZP_MAIL_USER@$ZP_MAIL_DOMAIN
  export ZP_SMTPD_LOG=$d/smtpd.log ZP_DOVECOT_LOG=$d/dovecot.log
  export ZP_MAILDIR=$d/home/Maildir
  export ZP_TLS_HOST=127.0.0.2 ZP_TLS_EXPIRED_HOST=127.0.0.3 ZP_TLS_WRONG_NAME_HOST=127.0.0.4
  export ZP_TLS_UNKNOWN_CA_HOST=127.0.0.5 ZP_TLS_NAME=localhost
  export ZP_POP3S_PORT=995 ZP_IMAPS_PORT=993 ZP_SMTPS_PORT=465 ZP_SUBMISSION_PORT=587
  export ZP_TLS_DIR=$d/tls ZP_TLS_CA=$d/tls/ca.pem ZP_TLS_UNKNOWN_CA=$d/tls/ca-unknown.pem
  ZP_OAUTH_TOKEN=ya29.zp-$(openssl rand -hex 16); export ZP_OAUTH_TOKEN
  ZP_MS_UID=$(zp_ms_free_id)
  echo "uid $ZP_MS_UID" >>"$d/state"
  : >"$ZP_SMTPD_LOG"; : >"$ZP_DOVECOT_LOG"

  install -d -m 700 -o "$ZP_MS_UID" -g "$ZP_MS_UID" "$d/home" "$ZP_MAILDIR" \
    "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" "$ZP_MAILDIR/tmp" || return 1
  install -d -m 711 "$d/spool" || return 1
  install -d -m 750 "$d/dovecot-state" || return 1
  zp_ms_make_certs "$ZP_TLS_DIR" || return 1
  export ZP_TLS_FINGERPRINT ZP_TLS_EXPIRED_FINGERPRINT ZP_TLS_WRONG_NAME_FINGERPRINT
  export ZP_TLS_UNKNOWN_CA_FINGERPRINT
  ZP_TLS_FINGERPRINT=$(zp_ms_fingerprint "$ZP_TLS_DIR/server.pem") &&
    ZP_TLS_EXPIRED_FINGERPRINT=$(zp_ms_fingerprint "$ZP_TLS_DIR/expired.pem") &&
    ZP_TLS_WRONG_NAME_FINGERPRINT=$(zp_ms_fingerprint "$ZP_TLS_DIR/wrong-name.pem") &&
    ZP_TLS_UNKNOWN_CA_FINGERPRINT=$(zp_ms_fingerprint "$ZP_TLS_DIR/unknown-ca.pem") || return 1
  zp_ms_write_configs "$d"

  # An empty queue of our own; the mount point itself is left in place for the next run.
  mkdir -p /var/spool/smtpd
  mount --bind "$d/spool" /var/spool/smtpd || { zp_ms_err "cannot bind the queue folder"; return 1; }
  echo "mounted /var/spool/smtpd" >>"$d/state"

  zp_ms_start_smtpd || return 1
  zp_ms_start_oauth || return 1

  dovecot -F -c "$d/dovecot.conf" >>"$d/dovecot.out" 2>&1 </dev/null &
  local pid=$!
  echo "$pid $(zp_ms_starttime "$pid")" >"$d/dovecot.pid"
  export ZP_DOVECOT_PID=$pid
  if ! zp_ms_wait_greeting "$ZP_POP3_PORT" +OK "$pid" 20; then
    zp_ms_err "Dovecot did not answer on 127.0.0.1:$ZP_POP3_PORT; its log:"
    tail -n 20 "$d/dovecot.out" "$ZP_DOVECOT_LOG" >&2
    return 1
  fi
  # Every listener opens at once; the submission and IMAP greetings prove their login processes
  # start too.
  if ! zp_ms_wait_greeting "$ZP_SUBMISSION_PORT" 220 "$pid" 20 "$ZP_TLS_HOST"; then
    zp_ms_err "Dovecot submission did not answer on $ZP_TLS_HOST:$ZP_SUBMISSION_PORT; its log:"
    tail -n 20 "$d/dovecot.out" "$ZP_DOVECOT_LOG" >&2
    return 1
  fi
  if ! zp_ms_wait_greeting "$ZP_IMAP_PORT" "* OK" "$pid" 20; then
    zp_ms_err "Dovecot IMAP did not answer on 127.0.0.1:$ZP_IMAP_PORT; its log:"
    tail -n 20 "$d/dovecot.out" "$ZP_DOVECOT_LOG" >&2
    return 1
  fi
  mail_env >"$d/env"
}

mail_stop() {
  [ -n "${ZP_MAIL_DIR:-}" ] && [ -f "$ZP_MAIL_DIR/state" ] || return 0
  local d=$ZP_MAIL_DIR state kept
  zp_ms_kill_pidfile "$d/dovecot.pid"
  zp_ms_kill_pidfile "$d/smtpd.pid"
  zp_ms_kill_pidfile "$d/oauth.pid"
  state=$(<"$d/state")
  if grep -qx "mounted /var/spool/smtpd" <<<"$state"; then
    umount /var/spool/smtpd || zp_ms_err "could not unmount /var/spool/smtpd"
  fi
  rm -f "$d/state"
  if [ "${ZP_MAIL_KEEP:-0}" = 1 ] && kept=$(mktemp -d "${TMPDIR:-/tmp}/zp-mail-kept.XXXXXX") \
     && cp -a "$d/." "$kept/"; then
    echo "mailservers: kept the logs, configurations and Maildir in $kept" >&2
  fi
  rm -rf "$d"
  if grep -qx "mounted /run" <<<"$state"; then
    umount /run || zp_ms_err "could not unmount /run"
  fi
  unset ZP_MAIL_DIR ZP_SMTPD_PID ZP_DOVECOT_PID
  return 0
}

mail_stop_smtp() {
  zp_ms_need_dir || return 1
  if [ ! -f "$ZP_MAIL_DIR/smtpd.pid" ]; then zp_ms_err "OpenSMTPD is not running"; return 1; fi
  zp_ms_kill_pidfile "$ZP_MAIL_DIR/smtpd.pid"
  # OpenSMTPD leaves its control socket behind; a later start would take it for a running server.
  rm -f /run/smtpd.sock
}

mail_start_smtp() {
  zp_ms_need_dir || return 1
  if [ -f "$ZP_MAIL_DIR/smtpd.pid" ]; then zp_ms_err "OpenSMTPD is already running"; return 1; fi
  zp_ms_start_smtpd && mail_env >"$ZP_MAIL_DIR/env"
}

mail_list() {
  zp_ms_need_dir || return 1
  # A Maildir name holds no sequence within a second; the file's time of writing orders them.
  find "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" -maxdepth 1 -type f -printf '%T@\t%p\n' \
    | sort -t$'\t' -k1,1n -k2,2 | cut -f2
}

mail_count() {
  zp_ms_need_dir || return 1
  find "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" -maxdepth 1 -type f | wc -l
}

mail_wait_count() {
  local want=$1 seconds=${2:-15} have
  zp_ms_need_dir || return 1
  local deadline=$((SECONDS + seconds))
  while :; do
    have=$(mail_count)
    [ "$have" = "$want" ] && return 0
    if [ "$SECONDS" -gt "$deadline" ]; then
      zp_ms_err "expected $want message(s) in the Maildir, found $have after ${seconds}s; OpenSMTPD log:"
      tail -n 15 "$ZP_SMTPD_LOG" >&2
      return 1
    fi
    sleep 0.05
  done
}

mail_put() {
  zp_ms_need_dir || return 1
  local uid name tmp
  uid=$(awk '$1 == "uid" {print $2}' "$ZP_MAIL_DIR/state")
  name=$(date +%s).M$(date +%N)P$$R$RANDOM.zp-put
  tmp=$ZP_MAILDIR/tmp/$name
  if [ $# -gt 0 ]; then
    cat -- "$1" >"$tmp" || { rm -f "$tmp"; return 1; }
  else
    cat >"$tmp" || { rm -f "$tmp"; return 1; }
  fi
  chown "$uid:$uid" "$tmp" && chmod 600 "$tmp" && mv "$tmp" "$ZP_MAILDIR/new/$name" || return 1
  echo "$ZP_MAILDIR/new/$name"
}

mail_clear() {
  zp_ms_need_dir || return 1
  find "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" -maxdepth 1 -type f -delete &&
    find "$ZP_MAILDIR" -mindepth 2 -maxdepth 2 -path "$ZP_MAILDIR/.*/*" \( -name new -o -name cur \) \
      -type d -exec find {} -maxdepth 1 -type f -delete \;
}

mail_env() {
  local v
  for v in ZP_MAIL_HOST ZP_SMTP_PORT ZP_POP3_PORT ZP_IMAP_PORT ZP_MAIL_USER ZP_MAIL_COLLEAGUE ZP_MAIL_PASSWORD ZP_MAIL_DOMAIN \
           ZP_MAIL_ADDRESS ZP_MAILDIR ZP_MAIL_DIR ZP_SMTPD_LOG ZP_DOVECOT_LOG ZP_SMTPD_PID \
           ZP_DOVECOT_PID ZP_MAILSERVERS ZP_TLS_HOST ZP_TLS_EXPIRED_HOST ZP_TLS_WRONG_NAME_HOST \
           ZP_TLS_UNKNOWN_CA_HOST ZP_TLS_NAME ZP_POP3S_PORT ZP_IMAPS_PORT ZP_SMTPS_PORT ZP_SUBMISSION_PORT \
           ZP_TLS_DIR ZP_TLS_CA ZP_TLS_UNKNOWN_CA ZP_TLS_FINGERPRINT ZP_TLS_EXPIRED_FINGERPRINT \
           ZP_TLS_WRONG_NAME_FINGERPRINT ZP_TLS_UNKNOWN_CA_FINGERPRINT ZP_OAUTH_TOKEN \
           ZP_OAUTH_URL_BASE ZP_OAUTH_CONTROL ZP_OAUTH_INTROSPECTION ZP_OAUTH_TENANT ZP_OAUTH_CLIENT_ID \
           ZP_OAUTH_CLIENT_SECRET ZP_OAUTH_PUBLIC_CLIENT_ID ZP_OAUTH_GOOGLE_CLIENT_ID \
           ZP_OAUTH_GOOGLE_CLIENT_SECRET ZP_OAUTH_CERTIFICATE ZP_OAUTH_SERVICE_ACCOUNT ZP_OAUTH_LOG; do
    printf 'export %s=%q\n' "$v" "${!v-}"
  done
}

# Called rather than sourced: run one command.
if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -u
  if [ $# -lt 1 ]; then
    echo "usage: $0 start|stop|stop-smtp|start-smtp|count|list|wait-count N [S]|put [FILE]|clear|env" >&2
    exit 2
  fi
  cmd=mail_${1//-/_}
  shift
  case $cmd in
    mail_start|mail_stop|mail_stop_smtp|mail_start_smtp|mail_count|mail_list|mail_wait_count|mail_put|mail_clear|mail_env) ;;
    *) echo "mailservers: unknown command ${cmd#mail_}" >&2; exit 2 ;;
  esac
  if [ "$cmd" = mail_start ]; then
    # Leave the servers running for the caller, but undo a half-finished start.
    if mail_start; then
      mail_env
      exit 0
    fi
    mail_stop
    exit 1
  fi
  "$cmd" "$@"
fi
