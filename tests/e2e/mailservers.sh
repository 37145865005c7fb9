#!/usr/bin/env bash
# A real SMTP + POP3 server pair for end-to-end runs: OpenSMTPD on 127.0.0.1:25 and Dovecot
# (POP3 only) on 127.0.0.1:110, sharing one Maildir of one mailbox user.
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
#   mail_count            print the number of messages in the Maildir (new + cur), read on disk
#   mail_list             print the paths of those messages, oldest delivery first
#   mail_wait_count N [S] wait up to S seconds (default 15) until exactly N messages are on disk;
#                         SMTP hands messages to the Maildir a moment after it answers "250"
#   mail_put [FILE]       drop a raw message (FILE or stdin) straight into the Maildir, bypassing
#                         SMTP, byte for byte; prints its path
#   mail_clear            delete every message in the Maildir
#   mail_env              print the ZP_* variables as `export` lines
#
# Variables exported by mail_start (read them, don't set them; ZP_MAIL_PASSWORD and
# ZP_MAIL_DOMAIN may be set beforehand to choose them):
#   ZP_MAIL_HOST          127.0.0.1
#   ZP_SMTP_PORT          25
#   ZP_POP3_PORT          110
#   ZP_MAIL_USER          POP3 user name of the mailbox
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
# OpenSMTPD accepts messages up to 256 MiB (its default would refuse large attachments after
# they were sent).

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

# Waits until 127.0.0.1:PORT sends a first line starting with PREFIX, or fails after SECONDS
# (or at once when PID is gone).
zp_ms_wait_greeting() {
  local port=$1 prefix=$2 pid=$3 seconds=$4 line
  local deadline=$((SECONDS + seconds))
  while [ "$SECONDS" -le "$deadline" ]; do
    if ! zp_ms_alive "$pid"; then
      return 1
    fi
    # shellcheck disable=SC2016  # the inner shell expands $1 and $l
    if line=$(timeout 2 bash -c 'exec 3<>"/dev/tcp/127.0.0.1/$1" && IFS= read -r l <&3 && printf %s "$l"' \
                _ "$port" 2>/dev/null) && [ "${line#"$prefix"}" != "$line" ]; then
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

zp_ms_write_configs() {
  local d=$1
  # OpenSMTPD: one catch-all virtual mapping sends every accepted recipient to the mailbox user,
  # whose uid, gid and home come from a private user base.
  cat >"$d/smtpd.conf" <<EOF
# Generated for one end-to-end run; delete with its directory.
smtp max-message-size 256M
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

  # Dovecot: POP3 only, no TLS, plaintext login, the same Maildir under the same uid.
  printf '%s:{PLAIN}%s:%s:%s::%s::\n' "$ZP_MAIL_USER" "$ZP_MAIL_PASSWORD" \
    "$ZP_MS_UID" "$ZP_MS_UID" "$d/home" >"$d/passwd"
  chgrp dovecot "$d/passwd" && chmod 640 "$d/passwd"
  cat >"$d/dovecot.conf" <<EOF
# Generated for one end-to-end run; delete with its directory.
instance_name = zp-dovecot
base_dir = /run/zp-dovecot
state_dir = $d/dovecot-state
protocols = pop3
listen = 127.0.0.1
ssl = no
disable_plaintext_auth = no
auth_mechanisms = plain
# A refused login answers at once, and does not slow down the logins after it (the penalty a
# server applies against guessing): tests try wrong passwords on purpose.
auth_failure_delay = 0
log_path = $ZP_DOVECOT_LOG
mail_location = maildir:$ZP_MAILDIR
first_valid_uid = $ZP_MS_UID
last_valid_uid = $ZP_MS_UID
passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u $d/passwd
}
userdb {
  driver = passwd-file
  args = username_format=%u $d/passwd
}
service pop3-login {
  inet_listener pop3 {
    address = 127.0.0.1
    port = $ZP_POP3_PORT
  }
}
service pop3 {
  process_limit = 16
}
service anvil {
  unix_listener anvil-auth-penalty {
    mode = 0
  }
}
EOF
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
  for tool in smtpd dovecot ip mount umount timeout; do
    if ! command -v "$tool" >/dev/null; then
      zp_ms_err "$tool is missing (scripts/setup installs opensmtpd, dovecot-core, dovecot-pop3d, iproute2)"
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
  export ZP_MAIL_HOST=127.0.0.1 ZP_SMTP_PORT=25 ZP_POP3_PORT=110
  export ZP_MAIL_USER=zpmail
  export ZP_MAIL_PASSWORD=${ZP_MAIL_PASSWORD:-Tabulix-heslo-1}
  if [[ ! $ZP_MAIL_PASSWORD =~ ^[!-9\;-~]+$ ]]; then
    zp_ms_err "ZP_MAIL_PASSWORD must be printable ASCII without blanks or ':'"
    mail_stop; return 1
  fi
  export ZP_MAIL_DOMAIN=${ZP_MAIL_DOMAIN:-zanpost.test}
  export ZP_MAIL_ADDRESS=$ZP_MAIL_USER@$ZP_MAIL_DOMAIN
  export ZP_SMTPD_LOG=$d/smtpd.log ZP_DOVECOT_LOG=$d/dovecot.log
  export ZP_MAILDIR=$d/home/Maildir
  ZP_MS_UID=$(zp_ms_free_id)
  echo "uid $ZP_MS_UID" >>"$d/state"
  : >"$ZP_SMTPD_LOG"; : >"$ZP_DOVECOT_LOG"

  install -d -m 700 -o "$ZP_MS_UID" -g "$ZP_MS_UID" "$d/home" "$ZP_MAILDIR" \
    "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" "$ZP_MAILDIR/tmp" || return 1
  install -d -m 711 "$d/spool" || return 1
  install -d -m 750 "$d/dovecot-state" || return 1
  zp_ms_write_configs "$d"

  # An empty queue of our own; the mount point itself is left in place for the next run.
  mkdir -p /var/spool/smtpd
  mount --bind "$d/spool" /var/spool/smtpd || { zp_ms_err "cannot bind the queue folder"; return 1; }
  echo "mounted /var/spool/smtpd" >>"$d/state"

  zp_ms_start_smtpd || return 1

  dovecot -F -c "$d/dovecot.conf" >>"$d/dovecot.out" 2>&1 </dev/null &
  local pid=$!
  echo "$pid $(zp_ms_starttime "$pid")" >"$d/dovecot.pid"
  export ZP_DOVECOT_PID=$pid
  if ! zp_ms_wait_greeting "$ZP_POP3_PORT" +OK "$pid" 20; then
    zp_ms_err "Dovecot did not answer on 127.0.0.1:$ZP_POP3_PORT; its log:"
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
  find "$ZP_MAILDIR/new" "$ZP_MAILDIR/cur" -maxdepth 1 -type f -delete
}

mail_env() {
  local v
  for v in ZP_MAIL_HOST ZP_SMTP_PORT ZP_POP3_PORT ZP_MAIL_USER ZP_MAIL_PASSWORD ZP_MAIL_DOMAIN \
           ZP_MAIL_ADDRESS ZP_MAILDIR ZP_MAIL_DIR ZP_SMTPD_LOG ZP_DOVECOT_LOG ZP_SMTPD_PID \
           ZP_DOVECOT_PID ZP_MAILSERVERS; do
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
