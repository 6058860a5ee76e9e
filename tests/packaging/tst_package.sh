#!/usr/bin/env bash
# The package as CPack makes it from this build (what scripts/package.sh does after building):
# its files and control data, the service account, the systemd units, and the program unpacked
# from it running once unattended.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
pass() { echo "PASS: $*"; }

if ! cpack -G "DEB;TGZ" -B "$scratch/out" --config "$build/CPackConfig.cmake" >"$scratch/cpack.log" 2>&1; then
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack" >&2
    exit 1
fi
deb=$(ls "$scratch"/out/orvelsqlbackup_*.deb)
tgz=$(ls "$scratch"/out/orvelsqlbackup-*.tar.gz)

# Files: the program folder, the units, the account, the desktop entry; owned by root.
contents=$(dpkg-deb -c "$deb")
expect_file() { # mode path
    if grep -Eq "^$1 root/root .* \./$2\$" <<<"$contents"; then pass "$2"; else fail "$2 ($1) missing"; fi
}
expect_file -rwxr-xr-x opt/orvelsqlbackup/OrvelSQLBackup
expect_file -rwxr-xr-x opt/orvelsqlbackup/orvelsqlbackup-cli
expect_file -rw-r--r-- opt/orvelsqlbackup/libtgputtylib.so
expect_file -rw-r--r-- usr/share/man/man1/orvelsqlbackup-cli.1.gz
expect_file -rw-r--r-- usr/share/bash-completion/completions/orvelsqlbackup-cli
# The command line program on the PATH: a link into the program folder.
if grep -Eq '^lrwxrwxrwx root/root .* \./usr/bin/orvelsqlbackup-cli -> /opt/orvelsqlbackup/orvelsqlbackup-cli$' <<<"$contents"; then
    pass "usr/bin/orvelsqlbackup-cli link"
else
    fail "usr/bin/orvelsqlbackup-cli is no link to the program folder's"
fi
expect_file -rw-r--r-- lib/systemd/system/orvelsqlbackup.service
expect_file -rw-r--r-- lib/systemd/system/orvelsqlbackup.timer
expect_file -rw-r--r-- usr/lib/sysusers.d/orvelsqlbackup.conf
expect_file -rw-r--r-- usr/share/applications/orvelsqlbackup.desktop
expect_file -rw-r--r-- usr/share/icons/hicolor/scalable/apps/orvelsqlbackup.svg
# The program folder and everything in it root's, and writable by root only: whoever could write
# there would run code as the program's user.
if grep -Eq '^drwxr-xr-x root/root .* \./opt/orvelsqlbackup/$' <<<"$contents"; then
    pass "program folder root's, mode 0755"
else
    fail "program folder: $(grep ' \./opt/orvelsqlbackup/$' <<<"$contents")"
fi
writable=$(grep ' \./opt/' <<<"$contents" | grep -Ev '^[dl-]rw.r-.r-. root/root ' || true)
[ -z "$writable" ] || fail "in the program folder, not root's or writable by others: $writable"
# The program's own data is never shipped, so neither an upgrade nor a removal touches it.
if grep -Eiq 'sqlback\.mdb|OrvelSQLBackup\.INI|known_hosts|orvelsqlbackup/log/|\.(zip|bak|trn)$' <<<"$contents"; then
    fail "the package carries data of the program folder"
fi
archive=$(tar -tzf "$tgz")
if grep -q '/opt/orvelsqlbackup/OrvelSQLBackup$' <<<"$archive"; then pass "tar archive"; else fail "tar archive lacks the program"; fi

# Control data: dependencies found in the binaries, the maintainer scripts.
info=$(dpkg-deb -I "$deb")
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6network6 libsybdb5 libsqlcipher libcurl4 libssl3 'systemd | adduser'; do
    if grep -Fq "$lib" <<<"$depends"; then pass "depends on $lib"; else fail "Depends lacks $lib: $depends"; fi
done
for script in postinst prerm postrm; do
    if grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " <<<"$info"; then pass "$script"; else fail "$script missing"; fi
done
dpkg-deb -e "$deb" "$scratch/control"
for script in postinst prerm postrm; do
    sh -n "$scratch/control/$script" || fail "$script is no valid shell script"
done

dpkg -x "$deb" "$scratch/root"

# The account, made from the snippet into a scratch root.
mkdir -p "$scratch/sysroot/etc"
if systemd-sysusers --root="$scratch/sysroot" "$scratch/root/usr/lib/sysusers.d/orvelsqlbackup.conf" 2>"$scratch/sysusers.log"; then
    account=$(grep '^orvelsqlbackup:' "$scratch/sysroot/etc/passwd" || true)
    IFS=: read -r _ _ uid gid _ home shell <<<"$account"
    if [ -n "$account" ] && [ "$uid" -lt 1000 ] && [ "$home" = /var/lib/orvelsqlbackup ] && [[ "$shell" == */nologin ]] &&
        grep -q "^orvelsqlbackup:x:$gid:" "$scratch/sysroot/etc/group"; then
        pass "system account $account"
    else
        fail "account: '$account'"
    fi
else
    cat "$scratch/sysusers.log" >&2
    fail "systemd-sysusers refuses the snippet"
fi

# The units, as systemd reads them, with the program where the package puts it.
if systemd-analyze --version >/dev/null 2>&1; then
    mkdir -p "$scratch/units"
    sed "s#/opt/orvelsqlbackup#$scratch/root/opt/orvelsqlbackup#g" \
        "$scratch/root/lib/systemd/system/orvelsqlbackup.service" >"$scratch/units/orvelsqlbackup.service"
    cp "$scratch/root/lib/systemd/system/orvelsqlbackup.timer" "$scratch/units/"
    if out=$(systemd-analyze verify "$scratch/units/orvelsqlbackup.service" "$scratch/units/orvelsqlbackup.timer" 2>&1) &&
        [ -z "$out" ]; then
        pass "systemd-analyze verify"
    else
        fail "systemd-analyze verify: $out"
    fi
    # How much of the system the night may reach, as systemd reckons it (0 none .. 10 all).
    if exposure=$(systemd-analyze security --offline=true "$scratch/units/orvelsqlbackup.service" \
        2>/dev/null | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p') &&
        [ -n "$exposure" ]; then
        if awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }'; then
            pass "systemd-analyze security: exposure $exposure"
        else
            fail "systemd-analyze security: exposure $exposure, more than 2.5"
        fi
    else
        echo "SKIP: systemd-analyze security does not run here"
    fi
else
    echo "SKIP: systemd-analyze does not run here; the units were not verified"
fi
unit=$scratch/root/lib/systemd/system/orvelsqlbackup.service
for line in Type=oneshot User=orvelsqlbackup WorkingDirectory=/var/lib/orvelsqlbackup NoNewPrivileges=yes \
    StateDirectory=orvelsqlbackup StateDirectoryMode=0700 \
    ProtectSystem=strict PrivateTmp=yes ProtectHome=yes \
    CapabilityBoundingSet= 'RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6 AF_NETLINK' \
    RestrictNamespaces=yes SystemCallArchitectures=native SystemCallFilter=@system-service \
    RestrictRealtime=yes ProtectKernelLogs=yes ProtectClock=yes ProtectHostname=yes \
    ProtectProc=invisible PrivateIPC=yes LimitCORE=0 UMask=0077; do
    grep -qx "$line" "$unit" || fail "service lacks $line"
done
# The data folder writable and never executable; the program folder never writable.
grep -Eq '^NoExecPaths=(.* )?/var/lib/orvelsqlbackup( |$)' "$unit" || fail "service may run code from the data folder"
grep -E '^(ReadWritePaths|ExecPaths)=.*/opt/' "$unit" && fail "service may write or run more than the program in /opt"
grep -q '^SuccessExitStatus' "$unit" && fail "service takes a failed night for a success"
# The night runs the command line program, not the window on a platform without a screen.
if [ "$(grep '^ExecStart=' "$unit")" = "ExecStart=/opt/orvelsqlbackup/orvelsqlbackup-cli run" ]; then
    pass "service runs orvelsqlbackup-cli run"
else
    fail "service: $(grep '^ExecStart' "$unit")"
fi
timer=$scratch/root/lib/systemd/system/orvelsqlbackup.timer
grep -qx 'OnCalendar=\*-\*-\* 02:30:00' "$timer" && grep -qx 'Persistent=true' "$timer" || fail "timer"
desktop-file-validate "$scratch/root/usr/share/applications/orvelsqlbackup.desktop" || fail "desktop entry"

# The manual page renders without a warning and names every command the program lists; the
# completion offers every command and the subcommands.
cli=$scratch/root/opt/orvelsqlbackup/orvelsqlbackup-cli
commands=$("$cli" --help | sed -n '/^Befehle:/,/^$/p' | sed -n 's/^  \([a-z-]*\).*/\1/p' | sort -u)
[ -n "$commands" ] || fail "orvelsqlbackup-cli --help lists no commands"
man=$(zcat "$scratch/root/usr/share/man/man1/orvelsqlbackup-cli.1.gz")
warnings=$(preconv <<<"$man" | groff -man -Tutf8 -ww -z 2>&1)
[ -z "$warnings" ] && pass "man page renders" || fail "man page: $warnings"
for command in $commands; do
    grep -Eq "^\.(B|BI|BR) \"?$command( |\"|\$)" <<<"$man" || fail "man page lacks the command $command"
done
completion=$scratch/root/usr/share/bash-completion/completions/orvelsqlbackup-cli
offered=$(bash -c 'source "$1" || exit 1
    complete() { COMP_LINE=$1; COMP_POINT=${#1}; COMPREPLY=(); _orvelsqlbackup_cli; echo "${COMPREPLY[*]}"; }
    complete "orvelsqlbackup-cli "; complete "orvelsqlbackup-cli job "; complete "orvelsqlbackup-cli job set x FTP_S"' _ "$completion" 2>&1)
for command in $commands; do
    grep -qw -- "$command" <<<"$(head -n1 <<<"$offered")" || fail "completion lacks $command: $offered"
done
[ "$(sed -n 2p <<<"$offered")" = "show add set remove" ] || fail "completion of job: $offered"
[ "$(sed -n 3p <<<"$offered")" = "FTP_SERVER= FTP_SSL=" ] || fail "completion of a column: $offered"
pass "completion"

# Where the packaged program keeps its data: the folder the build names (a package build:
# /var/lib/orvelsqlbackup), else its own folder.
folder=$scratch/root/opt/orvelsqlbackup
named=$(sed -n 's/^ORVEL_DATA_FOLDER:STRING=\(.*\)$/\1/p' "$build/CMakeCache.txt")
expected=${named:-$folder}
shown=$("$cli" version | sed -n 's/^Datenordner: //p')
if [ "$shown" = "${expected%/}/" ]; then
    pass "data folder of the packaged program: $shown"
else
    fail "the packaged program keeps its data in '$shown', not in '$expected'"
fi

if [ -n "$named" ]; then
    echo "SKIP: this build keeps its data in $named; the unpacked program was not run"
else
# One unattended run of the unpacked program, offline, in its own folder: a clean night ends 0.
printf '[OrvelSQLBackup]\r\nInternet=1\r\n' >"$folder/OrvelSQLBackup.INI"
mkdir -p "$scratch/tmp" "$scratch/run" && chmod 700 "$scratch/run"
set +e
(cd "$folder" && env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen TMPDIR="$scratch/tmp" \
    XDG_RUNTIME_DIR="$scratch/run" timeout 120 ./OrvelSQLBackup) >"$scratch/run.log" 2>&1
code=$?
set -e
if [ $code -eq 0 ] && grep -q "Programm wird beendet" "$scratch/run.log" && [ -f "$folder/sqlback.mdb" ] &&
    ls "$folder"/log/*.txt >/dev/null 2>&1; then
    pass "unattended run of the unpacked program"
else
    cat "$scratch/run.log" >&2
    fail "unattended run ended with $code"
fi
# The same night by the command line program, as the service starts it.
set +e
(cd "$folder" && env -u DISPLAY -u WAYLAND_DISPLAY TMPDIR="$scratch/tmp" timeout 120 ./orvelsqlbackup-cli run) \
    >"$scratch/cli.log" 2>&1
code=$?
set -e
if [ $code -eq 0 ] && tail -n1 "$scratch/cli.log" | grep -q "Programm wird beendet"; then
    pass "orvelsqlbackup-cli run of the unpacked program"
else
    cat "$scratch/cli.log" >&2
    fail "orvelsqlbackup-cli run ended with $code"
fi
fi

# In a scratch root (the maintainer scripts honour DPKG_ROOT): an earlier version's layout, its
# data beside the program in /opt/orvelsqlbackup and the account's home there, installed over;
# the data moves to /var/lib/orvelsqlbackup once, nothing overwritten or lost; then upgrade,
# remove and purge, which all leave the data. Purge takes the account away.
if [ "$(id -u)" -eq 0 ]; then
    sysroot=$scratch/dpkgroot
    mkdir -p "$sysroot/var/lib/dpkg/updates" "$sysroot/var/lib/dpkg/info" "$sysroot/etc"
    touch "$sysroot/var/lib/dpkg/status"
    dpkg_in_root() {
        dpkg --root="$sysroot" --force-script-chrootless --force-depends --force-not-root \
            --log="$sysroot/dpkg.log" "$@" >"$scratch/dpkg.out" 2>&1
        local code=$?
        cat "$scratch/dpkg.out" >>"$scratch/dpkg.log"
        return $code
    }
    old=$sysroot/opt/orvelsqlbackup
    new=$sysroot/var/lib/orvelsqlbackup
    # The earlier layout: its account (home in the program folder), its folder root's and the
    # account group's with mode 1775, and what its program wrote there, a link among it.
    printf 'u orvelsqlbackup - "OrvelSQLBackup" /opt/orvelsqlbackup\n' >"$scratch/old-sysusers.conf"
    systemd-sysusers --root="$sysroot" "$scratch/old-sysusers.conf" 2>>"$scratch/dpkg.log" ||
        fail "the earlier account"
    gid=$(sed -n 's/^orvelsqlbackup:[^:]*:\([0-9]*\):.*/\1/p' "$sysroot/etc/group")
    uid=$(sed -n 's/^orvelsqlbackup:[^:]*:\([0-9]*\):.*/\1/p' "$sysroot/etc/passwd")
    mkdir -p "$old/log" "$old/.cache"
    chown "0:$gid" "$old" && chmod 1775 "$old"
    data="sqlback.mdb sqlback.mdb-journal OrvelSQLBackup.INI known_hosts ftps_known_hosts
        log/2026_12_10.txt log/2026_12_11.txt last_run.json Lager31.ZIP Lager.BAK Lager.TRN
        .cache/x metrics.prom"
    for f in $data; do echo "old $f" >"$old/$f"; done
    chown -R "$uid:$gid" "$old/log" "$old/sqlback.mdb"
    ln -s /etc/shadow "$old/planted"
    # What the data folder already holds is kept: one known_hosts, one day file.
    mkdir -p "$new/log"
    echo "new known_hosts" >"$new/known_hosts"
    echo "new log/2026_12_11.txt" >"$new/log/2026_12_11.txt"

    if dpkg_in_root -i "$deb"; then
        out=$(cat "$scratch/dpkg.out")
        grep -q "orvelsqlbackup: moved from $old to $new:" <<<"$out" ||
            fail "installing over the earlier layout says nothing about the move: $out"
        for f in $data; do
            case $f in
            known_hosts | log/2026_12_11.txt)
                # Both kept: the data folder's in place, the earlier one where it was, named.
                [ "$(cat "$new/$f")" = "new $f" ] || fail "the move overwrote $new/$f"
                [ "$(cat "$old/$f" 2>/dev/null)" = "old $f" ] || fail "the move lost the earlier $f"
                grep -q "left in $old.*$f" <<<"$out" || fail "$f left behind without a word: $out" ;;
            *)
                [ "$(cat "$new/$f" 2>/dev/null)" = "old $f" ] || fail "$f did not move to $new"
                [ ! -e "$old/$f" ] || fail "$f is still in $old" ;;
            esac
        done
        [ "$(readlink "$new/planted")" = /etc/shadow ] || fail "the planted link did not move as a link"
        [ "$(stat -c '%a %u %g' "$old")" = "755 0 0" ] ||
            fail "program folder after install: $(stat -c '%a %u %g' "$old")"
        [ "$(stat -c '%a %u %g' "$new")" = "700 $uid $gid" ] ||
            fail "data folder after install: $(stat -c '%a %u %g' "$new")"
        bad=$(find "$new" -mindepth 1 ! -user "$uid" -printf '%P ')
        [ -z "$bad" ] || fail "in the data folder, not the account's: $bad"
        [ "$(stat -c %u /etc/shadow)" = 0 ] || fail "the planted link handed /etc/shadow to the account"
        home=$(sed -n 's/^orvelsqlbackup:[^:]*:[^:]*:[^:]*:[^:]*:\([^:]*\):.*/\1/p' "$sysroot/etc/passwd")
        [ "$home" = /var/lib/orvelsqlbackup ] || fail "the account's home is $home"
        bad=$(find "$old" \( ! -user 0 -o ! -type l -perm /022 \) -printf '%P ')
        [ -z "$bad" ] || fail "in the program folder, not root's or writable by others: $bad"
        pass "installed over the earlier layout: the data moved, nothing overwritten"

        # Again: nothing left to move, nothing changed.
        before=$(cd "$sysroot" && find opt var/lib/orvelsqlbackup -printf '%p %m %u %s\n' | sort)
        dpkg_in_root -i "$deb" || fail "upgrade"
        after=$(cd "$sysroot" && find opt var/lib/orvelsqlbackup -printf '%p %m %u %s\n' | sort)
        ! grep -q "moved from" "$scratch/dpkg.out" || fail "the upgrade moved again: $(cat "$scratch/dpkg.out")"
        [ "$before" = "$after" ] || fail "the upgrade changed the folders: $(diff <(echo "$before") <(echo "$after"))"

        dpkg_in_root -r orvelsqlbackup || fail "remove"
        [ ! -e "$old/OrvelSQLBackup" ] || fail "remove left the program"
        for f in $data; do [ -f "$new/$f" ] || fail "remove lost $f"; done
        grep -q '^orvelsqlbackup:' "$sysroot/etc/passwd" || fail "remove took the account"
        dpkg_in_root -P orvelsqlbackup || fail "purge"
        for f in $data; do [ -f "$new/$f" ] || fail "purge lost $f"; done
        ! grep -q '^orvelsqlbackup:' "$sysroot/etc/passwd" "$sysroot/etc/group" || fail "purge kept the account"
        pass "upgrade, remove, purge keep the data"

        # A fresh install: the data folder made, the account's, its home.
        rm -rf "$new" "$old"
        dpkg_in_root -i "$deb" || fail "fresh install"
        uid=$(sed -n 's/^orvelsqlbackup:[^:]*:\([0-9]*\):.*/\1/p' "$sysroot/etc/passwd")
        [ "$(stat -c '%a %u' "$new" 2>/dev/null)" = "700 $uid" ] ||
            fail "data folder after a fresh install: $(stat -c '%a %u' "$new" 2>&1)"
        ! grep -q "moved from" "$scratch/dpkg.out" || fail "a fresh install moved something"
    else
        cat "$scratch/dpkg.log" >&2
        fail "install into a scratch root"
    fi
else
    echo "SKIP: not root; install, upgrade, remove and purge were not tried"
fi

[ $failures -eq 0 ] || { echo "$failures failure(s)" >&2; exit 1; }
echo "all passed"
