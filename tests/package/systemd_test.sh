#!/bin/sh
# The service under a real systemd: the package and the fake device in a Debian container
# booted with systemd-nspawn (its tree made once with debootstrap, in /var/lib/machines; each
# run boots an overlay of it), the service driven as a user drives it.
#   systemd_test.sh CPACK CPACK_CONFIG FAKE_PCM_LIB      status 77: no container boots here
set -eu
check="python3 $(cd "$(dirname "$0")" && pwd)/capture_check.py"
skip() { echo "SKIP: $*" && exit 77; }
fail() { echo "FAIL: $*" >&2 && exit 1; }
[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
for tool in debootstrap systemd-nspawn nsenter pgrep flock python3; do
    command -v $tool >/dev/null || skip "no $tool (scripts/deps.sh installs what is missing)"
done

. /etc/os-release
base=/var/lib/machines/nalvo-test-$VERSION_CODENAME
packages=systemd,systemd-sysv,dbus,libasound2,adduser
mkdir -p /var/lib/machines
exec 9>"$base.lock"
flock 9
if [ "$(cat "$base/.nalvo-test" 2>/dev/null)" != "$packages" ]; then
    rm -rf "$base" "$base.new"
    mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p' /etc/apt/sources.list.d/*.sources 2>/dev/null |
        head -n 1)
    debootstrap --variant=minbase --include=$packages "$VERSION_CODENAME" "$base.new" \
        "${mirror:-http://deb.debian.org/debian}" >"$base.log" 2>&1 ||
        skip "debootstrap failed (no network?): $(tail -n 2 "$base.log")"
    echo "$packages" >"$base.new/.nalvo-test" && mv "$base.new" "$base"
fi
# What a killed run left (this one holds the lock): its container and its overlay.
for stale in /var/lib/machines/.nalvo-test-*; do
    for pid in $(pgrep -f -- "-D $stale/root "); do
        kill -s KILL $(pgrep -P "$pid") "$pid" || true
    done
    umount -l "$stale/root" 2>/dev/null || true && rm -rf "$stale"
done
run=$(mktemp -d /var/lib/machines/.nalvo-test-XXXXXX)
root=$run/root
nspawn=""
cannot_boot=skip
cleanup() {
    [ -z "$nspawn" ] || kill -s KILL $(pgrep -P "$nspawn") "$nspawn" 2>/dev/null || true
    umount "$root" 2>/dev/null || umount -l "$root"
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mkdir "$run/upper" "$run/work" "$root" "$run/runs"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$root" ||
    skip "cannot mount an overlay in /var/lib/machines"

"$1" --config "$2" -G DEB -B "$run/deb" >"$run/log" 2>&1 || fail "cpack: $(cat "$run/log")"
cp "$run"/deb/nalvo_*.deb "$root/var/tmp/nalvo.deb"
mkdir -p "$root/etc/nalvo" "$root/srv/card" "$root/usr/local/lib/nalvo-test"
cp "$3" "$root/usr/local/lib/nalvo-test/"
cat >"$root/etc/asound.conf" <<EOF
pcm_type.nalvo_fake { lib "/usr/local/lib/nalvo-test/${3##*/}" }
pcm.field { type nalvo_fake realtime true }
pcm.away { type nalvo_fake realtime true vanish_after_frames 96000 away_ms 2500 }
pcm.broken { type nalvo_fake realtime true fail_after_frames 0 }
EOF
# A card that is not there: its mount fails at boot.
echo "LABEL=CARD /srv/card vfat nofail,x-systemd.device-timeout=1s 0 0" >>"$root/etc/fstab"
configure() {
    printf 'FORMAT=2448\nDURATION=2\nDEVICE=%s\nCHANNELS=2\nDIRECTORY=%s\n' "$2" "$3" \
        >"$root/etc/nalvo/$1.conf"
}
configure away away /home/recordist/away && configure broken broken /srv/nalvo/broken
configure card field /srv/card
# As a Windows editor saves it, with comments and indented lines.
printf '# Field\r\n  FORMAT=2448  # 48 kHz\r\nDURATION = 2\r\nDEVICE=field\r\n%s\r\n%s\r\n' \
    CHANNELS=2 'DIRECTORY=/srv/nalvo/field   # the card' >"$root/etc/nalvo/field.conf"
printf '# Wrong\nDURATION=2\nFORMAT=9999\nDIRECTORY=/srv/nalvo/field\n' \
    >"$root/etc/nalvo/wrong.conf"

inside() {
    nsenter -t "$pid1" -m -u -i -n -p -C -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# Tries the command after the number of seconds, every 0.1 s, for that long.
await() {
    tries=$(($1 * 10)) && shift
    until "$@"; do
        [ $((tries -= 1)) -gt 0 ] || fail "timed out waiting for: $*"
        sleep 0.1
    done
}
booted() {
    kill -s 0 "$nspawn" 2>/dev/null ||
        $cannot_boot "the container did not boot: $(tail -n 3 "$run/console")"
    pid1=$(pgrep -P "$nspawn") || return 1
    inside systemctl is-system-running 2>/dev/null | grep -Eqx 'running|degraded'
}
# Real-time priority needs a hard limit the container's systemd may raise for the service.
boot() {
    systemd-nspawn -q -b -D "$root" --register=no --keep-unit --console=passive \
        --machine="${run##*-}" --capability=CAP_IPC_LOCK --rlimit=RLIMIT_RTPRIO=20 \
        >>"$run/console" 2>&1 &
    nspawn=$!
    await 120 booted
}
has() { test "$(inside systemctl show -P "$2" "nalvo@$1")" "$3" "$4"; }
journal() {
    unit=nalvo@$1 && shift && inside journalctl -q -o cat -u "$unit" "$@"
}
files_in() { [ "$(inside find "$1" -name '*.wav' | wc -l)" -ge "$2" ]; }
# Sleeps until the UTC clock is $1 ms past a multiple of 2 s, a file boundary.
at_ms() {
    left=$(((2000000000 + $1 * 1000000 - $(date +%s%N) % 2000000000) % 2000000000))
    sleep "$((left / 1000000000)).$(printf %09d $((left % 1000000000)))"
}
# systemd's account of the last stop (it forgets a stopped unit's status): after "Stopping",
# the unit ended well, not with a failed main process or a kill after the timeout.
stopped_well() {
    inside journalctl -q -o cat -u "nalvo@$1" _PID=1 |
        sed -n '/^Stopping /h; /^Stopping /!H; ${x; p}' | sed -n 2p |
        grep -qx "nalvo@$1.service: Deactivated successfully."
}
# Stops nalvo@$1 ($2 says when), which must end cleanly within 5 s.
stop() {
    start=$(date +%s%N)
    inside systemctl stop "nalvo@$1"
    took=$((($(date +%s%N) - start) / 1000000))
    echo "stop $2: $took ms"
    [ "$took" -lt 5000 ] && has "$1" ActiveState = inactive || fail "stop $2 after $took ms"
    await 5 stopped_well "$1"
}
# Moves the files of a run out of $1 and checks each input's: one capture from the device's
# first frame, $2 gaps. Their sizes are noted, to find a file that grew after the stop.
check_run() {
    dir=$run/runs/$(ls "$run/runs" | wc -l)
    mkdir "$dir"
    find "$1" -maxdepth 1 -name '*.wav' -exec mv -t "$dir" {} +
    ls -ln "$dir" >"$dir.list"
    gaps=$2
    for input in 0 1; do
        set -- "$dir"/*_$((input + 1))*.wav
        [ -f "$1" ] || set --
        result=$($check $input 2 "$@") && [ "${result#*gaps=}" = "$gaps" ] || fail "$dir: $result"
        echo "    $# files, $result"
    done
}

boot
cannot_boot=fail
inside dpkg -i /var/tmp/nalvo.deb >"$run/log" 2>&1 || fail "dpkg -i: $(cat "$run/log")"
[ "$(inside id -nG nalvo)" = "nalvo audio" ] || fail "user nalvo: $(inside id nalvo)"
inside install -d -o nalvo -g nalvo /srv/nalvo/field /srv/nalvo/broken /srv/card \
    /home/recordist/away
inside systemctl start nalvo@wrong nalvo@broken nalvo@card

# A wrong configuration: not tried again, line and value at priority err.
await 5 has wrong SubState = failed
has wrong ExecMainStatus = 78 && inside journalctl -q -p err -u nalvo@wrong |
    grep -q 'line 3: FORMAT=9999 is not' || fail "nalvo@wrong: $(journal wrong)"

inside systemctl enable --now nalvo@field 2>/dev/null
exposure=$(inside systemd-analyze security nalvo@field.service |
    sed -n 's/.*level for .*: \([0-9.]*\) .*/\1/p')
echo "systemd-analyze security: $exposure"
awk "BEGIN { exit !($exposure <= 3.0) }" || fail "exposure $exposure"
await 20 files_in /srv/nalvo/field 6
pid=$(inside systemctl show -P MainPID nalvo@field)
inside grep -q '^VmLck:[[:space:]]*[1-9]' "/proc/$pid/status" || fail "nalvo locks no memory"
if [ "$(inside awk '/realtime priority/ { print $5 }' /proc/1/limits)" -lt 20 ]; then
    echo "real-time priority not checked: root here may not raise the container's limit"
elif ! inside chrt -a -p "$pid" | grep -q SCHED_FIFO; then
    fail "no real-time capture thread"
fi
# Its directory is the only place nalvo may write, not another of its own.
! inside nsenter -t "$pid" -m setpriv --reuid=nalvo --regid=nalvo --clear-groups \
    touch /srv/nalvo/broken/x 2>/dev/null || fail "the service may write outside its directory"
at_ms 1000
stop field "in mid-file"
# Each file named once finished, at priority notice; no meter line.
journal field -p notice..notice | sed -n 's/^Finished //p' | sort >"$run/finished"
ls "$root/srv/nalvo/field" | diff - "$run/finished" || fail "files and Finished lines differ"
! journal field | grep -q 'elapsed' || fail "meter lines in the journal"
check_run "$root/srv/nalvo/field" 0

# Restarted, then stopped right at a file boundary.
inside systemctl start nalvo@field
await 20 files_in /srv/nalvo/field 2
before=$(ls "$root/srv/nalvo/field")
inside systemctl restart nalvo@field
mkdir "$run/restarted" && (cd "$root/srv/nalvo/field" && mv -t "$run/restarted" $before)
check_run "$run/restarted" 0
await 20 files_in /srv/nalvo/field 4
at_ms 0
stop field "at a file boundary"
check_run "$root/srv/nalvo/field" 0
for delay in 0 0.05 0.2 0.5; do
    inside systemctl start nalvo@field
    sleep $delay
    stop field "${delay}s after the start"
    check_run "$root/srv/nalvo/field" 0
done

# The device drops out after 2 s for 2.5 s: stopped then, the files end where it went.
# Its directory is in a home directory, which the sandbox otherwise hides.
gone() { journal away -p warning | grep -q 'Device gone'; }
inside systemctl start nalvo@away
await 30 gone
stop away "while the device is away"
check_run "$root/home/recordist/away" 0

# Meanwhile the device that fails at once was tried again, leaving no file, and the card was
# waited for; once mounted, it is recorded into.
has broken NRestarts -ge 1 && [ -z "$(ls "$root/srv/nalvo/broken")" ] &&
    inside journalctl -q -p err -u nalvo@broken | grep -q 'capture device failed' ||
    fail "nalvo@broken: $(journal broken)"
inside systemctl stop nalvo@broken
inside journalctl -q -p err -u nalvo@card | grep -q '/srv/card (/etc/fstab) is not mounted' ||
    fail "nalvo@card: $(journal card)"
inside mount -t tmpfs -o "uid=$(inside id -u nalvo)" tmpfs /srv/card
await 30 files_in /srv/card 2
stop card "on the card"
inside umount /srv/card
[ -z "$(ls "$root/srv/card")" ] || fail "recorded beneath the card's mount point"

# Reboot: the shutdown stops the service as a stop does, and it records again after.
inside systemctl start nalvo@field
await 20 files_in /srv/nalvo/field 2
inside systemctl poweroff || true
wait "$nspawn" || fail "the container did not power off cleanly"
check_run "$root/srv/nalvo/field" 0
boot
await 20 files_in /srv/nalvo/field 2
stop field "after the reboot"
check_run "$root/srv/nalvo/field" 0

for list in "$run"/runs/*.list; do
    ls -ln "${list%.list}" | cmp -s - "$list" || fail "${list%.list}: recorded after the stop"
done
echo "systemd: the service as expected"
