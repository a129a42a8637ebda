#!/usr/bin/env bash
# zem4 as a user installs it. cmake --install into a DESTDIR (prefixes /usr
# and /usr/local) puts exactly the expected files in place; scripts/package.sh
# builds the .deb, which is unpacked into a scratch root with dpkg-deb -x;
# zem4d starts from the unit's own command lines with the packaged
# configuration, and the packaged zem4 downloads from it, with its built-in
# driver and with the packaged X64 image, each copy compared byte for byte;
# the unit's ExecReload makes it re-read the file and SIGTERM stops it (0).
# systemd-analyze verifies the unit where it is installed. Whatever it starts
# or makes is removed on every exit. Prints "install check: ok" at the end.
#   ZEM4_PACKAGE_TREE  the release tree to package (build/release)
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/common.sh"
cd "$ZEM4_ROOT"

tree="${ZEM4_PACKAGE_TREE:-build/release}"
scratch="$(mktemp -d /tmp/zem4-install.XXXXXX)"
daemon_pid=""
cleanup() {
  if [ -n "$daemon_pid" ] && kill -0 "$daemon_pid" 2>/dev/null; then
    kill -KILL "$daemon_pid" 2>/dev/null || true
    wait "$daemon_pid" 2>/dev/null || true
  fi
  rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
  echo "install check: FAIL: $*" >&2
  exit 1
}
step() {
  echo "install check: $*"
}

# The files (and links) below DIR, relative and sorted.
listing() {
  (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | LC_ALL=C sort
}
# What an installation with PREFIX holds (relative to the file system's root).
expected_files() {
  local prefix="${1#/}" etc="$1/etc"
  [ "$1" = /usr ] && etc=/etc
  printf '%s\n' "${etc#/}/zem4d.conf" "$prefix/bin/zem4" \
    "$prefix/lib/systemd/system/zem4d.service" "$prefix/sbin/zem4d" \
    "$prefix/share/man/man1/zem4.1.gz" "$prefix/share/man/man8/zem4d.8.gz" \
    "$prefix/share/zem4/zem4-ia32.efi" "$prefix/share/zem4/zem4-x64.efi" | LC_ALL=C sort
}
# The value of KEY= in a unit file; exactly one such line.
unit_value() {
  local lines
  lines="$(sed -n "s/^$1=//p" "$2")"
  [ -n "$lines" ] && [ "$(wc -l <<<"$lines")" -eq 1 ] || fail "$2: not one $1= line"
  printf '%s\n' "$lines"
}

# 1. The package (also builds the release tree that cmake --install uses).
step "scripts/package.sh"
started=$(date +%s)
ZEM4_PACKAGE_TREE="$tree" ZEM4_PACKAGE_OUT="$scratch/out" bash scripts/package.sh \
  >"$scratch/package.log" 2>&1 || {
  cat "$scratch/package.log" >&2
  fail "scripts/package.sh"
}
grep '^==> ' "$scratch/package.log" | sed 's/^/  /'
deb="$(tail -1 "$scratch/package.log")"
[ -f "$deb" ] || fail "scripts/package.sh made no .deb ($deb)"
step "the .deb built in $(($(date +%s) - started)) s: $(basename "$deb")"

# 2. cmake --install: the same files for either prefix, the unit naming them.
for prefix in /usr /usr/local; do
  dest="$scratch/destdir$prefix"
  DESTDIR="$dest" cmake --install "$tree" --prefix "$prefix" >"$scratch/install.log" 2>&1 || {
    cat "$scratch/install.log" >&2
    fail "cmake --install --prefix $prefix"
  }
  diff -u <(expected_files "$prefix") <(listing "$dest") >&2 ||
    fail "cmake --install --prefix $prefix: not the expected files"
  etc="$prefix/etc"
  [ "$prefix" = /usr ] && etc=/etc
  want="$prefix/sbin/zem4d --config $etc/zem4d.conf --user zem4d"
  got="$(unit_value ExecStart "$dest$prefix/lib/systemd/system/zem4d.service")"
  [ "$got" = "$want" ] || fail "prefix $prefix: ExecStart=$got, not $want"
  step "cmake --install --prefix $prefix: $(expected_files "$prefix" | wc -l) files, unit paths below $prefix"
done

# 3. The .deb: its control data, then its files unpacked into a scratch root.
version="$(sed -n 's/^#define ZEM4_VERSION "\(.*\)"$/\1/p' "$tree/generated/zem4/Version.h")"
[ -n "$version" ] || fail "no version in $tree/generated/zem4/Version.h"
for field in "Package zem4" "Version $version" "Architecture $(dpkg --print-architecture)"; do
  [ "$(dpkg-deb -f "$deb" "${field%% *}")" = "${field#* }" ] || fail ".deb: ${field%% *} is not ${field#* }"
done
depends="$(dpkg-deb -f "$deb" Depends)"
for dep in adduser procps libc6 libssl3; do
  grep -qE "(^|, )$dep( |,|$)" <<<"$depends" || fail ".deb: Depends lacks $dep: $depends"
done
dpkg-deb -e "$deb" "$scratch/control"
[ "$(cat "$scratch/control/conffiles")" = /etc/zem4d.conf ] || fail ".deb: conffiles is not /etc/zem4d.conf"
for script in postinst prerm postrm; do
  [ -x "$scratch/control/$script" ] && sh -n "$scratch/control/$script" || fail ".deb: $script"
done

root="$scratch/root"
dpkg-deb -x "$deb" "$root"
diff -u <(expected_files /usr) <(listing "$root") >&2 || fail ".deb: not the expected files"
# Modes and owners as dpkg will leave them: the file stays readable by the
# account zem4d becomes, which re-reads it on reload.
modes="$(dpkg-deb -c "$deb" | awk '$6 ~ /zem4d\.conf$|bin\/zem4d?$/ { print $1, $2, $6 }')"
[ "$modes" = "$(printf '%s\n' "-rw-r--r-- root/root ./etc/zem4d.conf" "-rwxr-xr-x root/root ./usr/bin/zem4" \
  "-rwxr-xr-x root/root ./usr/sbin/zem4d")" ] || fail ".deb: modes and owners: $modes"
for image in ia32 x64; do
  cmp "$root/usr/share/zem4/zem4-$image.efi" "build/$image/zem4-$image.efi" ||
    fail ".deb: zem4-$image.efi is not the image built by preset $image"
  # Reproducible: the preset built again elsewhere, without the compiler
  # cache, makes the same bytes.
  { CCACHE_DISABLE=1 cmake --preset "$image" -B "$scratch/$image" &&
    CCACHE_DISABLE=1 cmake --build "$scratch/$image" -j "$(zem4_jobs)"; } >"$scratch/rebuild.log" 2>&1 || {
    cat "$scratch/rebuild.log" >&2
    fail "preset $image in $scratch/$image"
  }
  cmp "$scratch/$image/zem4-$image.efi" "build/$image/zem4-$image.efi" ||
    fail "zem4-$image.efi built again in $scratch/$image differs from build/$image's"
done
step "images: as built by their presets, and the same bytes built again in $scratch"
unit="$root/usr/lib/systemd/system/zem4d.service"
# The account the unit runs zem4d as is the one postinst makes, never nobody.
user="$(unit_value ExecStart "$unit" | sed -n 's/.* --user \([^ ]*\).*/\1/p')"
[ -n "$user" ] && [ "$user" != nobody ] || fail "unit: ExecStart has no --user of its own"
# postinst run against stand-ins for the commands it calls (a PATH of only
# those, so nothing on this system changes): a fresh install makes the
# account, one that exists is left alone. What it does about /srv/zem4 and
# systemd depends on this machine, and is expected accordingly.
stubs="$scratch/stubs"
mkdir -p "$stubs"
for tool in getent adduser mkdir chmod systemctl; do
  printf '#!/bin/sh\necho "${0##*/} $*" >>"%s"\n[ "${0##*/} $1" != "getent passwd" ] || exit "${ZEM4_GETENT:-2}"\n' \
    "$scratch/calls" >"$stubs/$tool"
  chmod +x "$stubs/$tool"
done
for case in "2:configure:" "0:configure:0.0.9"; do
  IFS=: read -r getent action previous <<<"$case"
  : >"$scratch/calls"
  ZEM4_GETENT="$getent" PATH="$stubs" /bin/sh "$scratch/control/postinst" "$action" "$previous" ||
    fail "postinst $action '$previous' failed"
  {
    echo "getent passwd $user"
    [ "$getent" = 0 ] || echo "adduser --system --group --quiet --no-create-home --home /nonexistent $user"
    [ -e /srv/zem4 ] || printf '%s\n' "mkdir -p /srv/zem4" "chmod 0755 /srv/zem4"
    if [ -d /run/systemd/system ]; then
      echo "systemctl daemon-reload"
      [ -z "$previous" ] || echo "systemctl try-restart zem4d.service"
    fi
  } >"$scratch/expected-calls"
  diff -u "$scratch/expected-calls" "$scratch/calls" >&2 || fail "postinst $action '$previous': not the expected calls"
done
grep -q -- "--user $user --check-config\$" <<<"$(unit_value ExecStartPre "$unit")" ||
  fail "unit: ExecStartPre does not check the configuration zem4d starts with"
for key in ProtectSystem=strict PrivateTmp=yes NoNewPrivileges=yes \
  "CapabilityBoundingSet=CAP_NET_BIND_SERVICE CAP_SETUID CAP_SETGID" "ReadOnlyPaths=-/srv/zem4"; do
  grep -qxF "$key" "$unit" || fail "unit: no $key"
done
for program in zem4:usr/bin/zem4 zem4d:usr/sbin/zem4d; do
  line="$("$root/${program#*:}" --version)"
  [[ "$line" =~ ^${program%%:*}\ ${version//./\\.}\ \(commit\ [0-9A-Za-z._-]+\)$ ]] ||
    fail "${program%%:*} --version: $line"
  [ "${line#* }" = "$("$tree/tools/zem4" --version | cut -d' ' -f2-)" ] ||
    fail "${program%%:*} --version: $line is not the commit of $tree"
done
# The pages come from the programs' own --help: each names its version, zem4's
# has every command's options, zem4d's the options the unit uses.
man="$root/usr/share/man"
for page in "man1/zem4.1.gz:ZEM4:1:zem4:--server" "man8/zem4d.8.gz:ZEM4D:8:zem4d:--check-config"; do
  IFS=: read -r file title section program option <<<"$page"
  text="$(zcat "$man/$file" | sed 's/\\-/-/g')" # roff's "\-" read as "-"
  grep -qE "^\.TH $title \"$section\" .* \"$program ${version//./\\.} \(commit " <<<"$text" ||
    fail "$file: no title line with the version"
  grep -qF -- "$option" <<<"$text" || fail "$file: no $option"
done
grep -q '^\.SS "zem4 get"' <<<"$(zcat "$man/man1/zem4.1.gz")" || fail "zem4.1: no section for zem4 get"
# One exit-code table, a synopsis that names the program, the configuration
# example line by line.
[ "$(zcat "$man/man1/zem4.1.gz" | grep -cE 'SHA\\?-256 mismatch')" = 1 ] || fail "zem4.1: not one exit-code table"
for page in man1/zem4.1.gz man8/zem4d.8.gz; do
  zcat "$man/$page" | sed -n '/^\.SH SYNOPSIS/,/^\.SH/p' | grep -q '^\.B zem4' || fail "$page: no synopsis"
done
zcat "$man/man8/zem4d.8.gz" | sed -n '/^\.nf$/,/^\.fi$/p' | grep -qx 'root = "/srv/boot"' ||
  fail "zem4d.8: the configuration example is not kept line by line"
step ".deb: control data, $(listing "$root" | wc -l) files, unit, versions and man pages checked"

# 4. systemd-analyze verify, with the unit's paths taken into the scratch
# root (and its man page there) since nothing is installed on this system.
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$scratch/units"
  sed "s#/usr/sbin/zem4d#$root/usr/sbin/zem4d#g; s#/etc/zem4d.conf#$root/etc/zem4d.conf#g" \
    "$unit" >"$scratch/units/zem4d.service"
  said="$(MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/units/zem4d.service" 2>&1)" ||
    fail "systemd-analyze verify: $said"
  [ -z "$said" ] || fail "systemd-analyze verify: $said"
  step "systemd-analyze verify: clean"
else
  step "systemd-analyze verify: skipped (systemd-analyze is not installed)"
fi

# 5. zem4d as the unit starts it. Paths that exist in the scratch root are
# taken there; the served root, bind address and ports are overridden to stay
# on 127.0.0.1 and out of other tests' way (the command line wins over the
# file). The account of --user exists only where postinst ran (dpkg-deb -x
# runs none) and only root may become it: otherwise --user is left out.
command_line() {
  local word skip=0
  read -r -a words <<<"$(unit_value "$1" "$unit")"
  cmd=()
  for word in "${words[@]}"; do
    if [ "$skip" = 1 ]; then
      skip=0
    elif [ "$word" = --user ] && { [ "$(id -u)" != 0 ] || ! getent passwd "$user" >/dev/null; }; then
      skip=1
    elif [[ "$word" == /* ]] && [ -e "$root$word" ]; then
      cmd+=("$root$word")
    else
      cmd+=("$word")
    fi
  done
  [ "${cmd[0]}" = "$root/usr/sbin/zem4d" ] || fail "unit: $1 does not run the packaged zem4d"
}
chmod 0755 "$scratch"
mkdir -m 0755 "$scratch/srv"
head -c $((1024 * 1024 + 4321)) /dev/urandom >"$scratch/srv/payload.bin"
chmod 0644 "$scratch/srv/payload.bin"
overrides=(--root "$scratch/srv" --bind 127.0.0.1 --port 0
  --mcast-net "239.255.$((100 + $$ % 150)).0/24" --mcast-port "$((20000 + $$ % 12000))")

command_line ExecStartPre
# The keys the packaged file shows commented out work when uncommented, one
# at a time (not mcast-if: its example names an interface this machine may
# lack).
conf="$root/etc/zem4d.conf"
examples=0
while read -r key; do
  [ "$key" = mcast-if ] && continue
  sed "s/^#$key = /$key = /" "$conf" >"$scratch/example.conf"
  rc=0
  said="$("${cmd[0]}" --config "$scratch/example.conf" --check-config "${overrides[@]}" 2>&1)" || rc=$?
  [ "$rc" = 0 ] || fail "zem4d.conf: the example of $key exits $rc: $said"
  examples=$((examples + 1))
done < <(sed -n 's/^#\([a-z-]*\) = .*/\1/p' "$conf")
[ "$examples" -ge 5 ] || fail "zem4d.conf: only $examples examples found"
step "zem4d.conf: its $examples commented examples pass --check-config"

rc=0
said="$("${cmd[@]}" "${overrides[@]}" 2>&1)" || rc=$?
[ "$rc" = 0 ] || fail "ExecStartPre exited $rc: $said"
[[ "$said" == "zem4d: configuration ok: serving "* ]] || fail "ExecStartPre said: $said"

command_line ExecStart
"${cmd[@]}" "${overrides[@]}" >"$scratch/zem4d.log" 2>&1 &
daemon_pid=$!
# Waits up to 30 s for a line matching the extended regex in zem4d's log.
wait_for_log() {
  for _ in $(seq 300); do
    grep -qE "$1" "$scratch/zem4d.log" && return 0
    kill -0 "$daemon_pid" 2>/dev/null || break
    sleep 0.1
  done
  grep -qE "$1" "$scratch/zem4d.log"
}
wait_for_log "zem4d serving .* on 127\.0\.0\.1:[0-9]+" || fail "zem4d did not start: $(cat "$scratch/zem4d.log")"
port="$(sed -n 's/.*zem4d serving .* on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$scratch/zem4d.log")"
step "zem4d from ExecStart serving on 127.0.0.1:$port"

zem4="$root/usr/bin/zem4"
for how in "built-in driver:" "packaged X64 image by multicast:--driver $root/usr/share/zem4/zem4-x64.efi --multicast"; do
  rm -f "$scratch/copy.bin"
  # shellcheck disable=SC2086 # the options are words
  "$zem4" get payload.bin --server "127.0.0.1:$port" -o "$scratch/copy.bin" -q ${how#*:} \
    >"$scratch/get.log" 2>&1 || fail "zem4 get (${how%%:*}): $(cat "$scratch/get.log")"
  cmp "$scratch/srv/payload.bin" "$scratch/copy.bin" || fail "zem4 get (${how%%:*}): copy differs"
  step "zem4 get with the ${how%%:*}: $(stat -c %s "$scratch/copy.bin") bytes, identical"
done
# The IA32 image needs the 32-bit runner, which the package leaves out: zem4
# says how to build it (exit 10) and writes nothing.
rc=0
ZEM4_RUNNER32= "$zem4" get payload.bin --server "127.0.0.1:$port" -o "$scratch/none.bin" \
  --driver "$root/usr/share/zem4/zem4-ia32.efi" >"$scratch/get.log" 2>&1 || rc=$?
[ "$rc" = 10 ] && grep -q "cmake --build --preset host32-release.*the zem4 package leaves it out" "$scratch/get.log" && [ ! -e "$scratch/none.bin" ] ||
  fail "zem4 get --driver zem4-ia32.efi without a runner: exit $rc: $(cat "$scratch/get.log")"

# systemctl reload runs the unit's ExecReload; the packaged file read again
# (by the account zem4d runs as) changes nothing.
read -r -a reload <<<"$(unit_value ExecReload "$unit")"
"${reload[@]/\$MAINPID/$daemon_pid}" || fail "ExecReload: ${reload[*]}"
reloaded="configuration reloaded from $root/etc/zem4d.conf: nothing changed"
wait_for_log "${reloaded//./\\.}\$" || fail "ExecReload: no \"$reloaded\": $(cat "$scratch/zem4d.log")"
step "ExecReload: $reloaded"

kill -TERM "$daemon_pid"
rc=0
wait "$daemon_pid" || rc=$?
daemon_pid=""
[ "$rc" = 0 ] || fail "zem4d stopped by SIGTERM exited $rc: $(cat "$scratch/zem4d.log")"
# Each get asks for the file's size first (a query it cancels); the downloads
# are one by unicast and one by a group that the client drove (bytes sent
# there count what the group repeated).
for role in unicast active; do
  grep -qE "transfer client=127\.0\.0\.1:[0-9]+ file=\"payload\.bin\" roles=$role passes=[0-9]+ bytes=[0-9]+ .*outcome=\"complete\"" \
    "$scratch/zem4d.log" || fail "zem4d logged no complete $role transfer: $(grep transfer "$scratch/zem4d.log")"
done
step "ok"
