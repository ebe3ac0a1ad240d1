#!/bin/sh
# The service under a real systemd: a Debian container of this machine's release, booted
# with systemd-nspawn, gets the package and the fake capture device, and the service is
# driven as a user drives it. Stops at start-up, in mid-file, at a file boundary and while
# the device is away each end it within 5 s with every file true and nothing recorded after;
# the files of each run, joined in name order, are one capture of the device; a wrong
# configuration stops it with the line and value, a device that fails at once is tried again
# without leaving files, a card that is not mounted is waited for; errors reach journalctl -p
# err; it records again after restart and reboot, sandboxed. The tree is made once with
# debootstrap and kept in /var/lib/machines; each run boots an overlay of it.
#
#   systemd_test.sh CPACK CPACK_CONFIG FAKE_PCM_LIB     exit status 77: cannot boot one here
set -eu
cpack=$1
cpack_config=$2
plugin=$3
check="python3 $(cd "$(dirname "$0")" && pwd)/capture_check.py"
skip() {
    echo "SKIP: $*"
    exit 77
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
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
    mirror=$(sed -n 's/^URIs: *\([^ ]*\).*/\1/p; s/^deb  *\(http[^ ]*\).*/\1/p' \
        /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1)
    debootstrap --variant=minbase --include=$packages "$VERSION_CODENAME" "$base.new" \
        "${mirror:-http://deb.debian.org/debian}" >"$base.log" 2>&1 ||
        skip "debootstrap failed (no network?): $(tail -n 2 "$base.log")"
    echo "$packages" >"$base.new/.nalvo-test" && mv "$base.new" "$base"
fi

# What a run killed on its way left: its container and its overlay (this one holds the lock).
for stale in /var/lib/machines/.nalvo-test-*; do
    for pid in $(pgrep -f -- "-D $stale/root "); do
        kill -s KILL $(pgrep -P "$pid") "$pid" || true
    done
    umount -l "$stale/root" 2>/dev/null || true
    rm -rf "$stale"
done
run=$(mktemp -d /var/lib/machines/.nalvo-test-XXXXXX)
root=$run/root
nspawn=""
cleanup() {
    if [ -n "$nspawn" ]; then
        kill -s KILL $(pgrep -P "$nspawn") "$nspawn" 2>/dev/null || true
        wait "$nspawn" 2>/dev/null || true
    fi
    umount "$root" 2>/dev/null || umount -l "$root"
    rm -rf "$run"
}
trap cleanup EXIT
trap 'exit 1' INT TERM HUP
mkdir "$run/upper" "$run/work" "$root"
mount -t overlay overlay -o "lowerdir=$base,upperdir=$run/upper,workdir=$run/work" "$root" ||
    skip "cannot mount an overlay on /var/lib/machines"

"$cpack" --config "$cpack_config" -G DEB -B "$run/deb" >"$run/cpack.log" 2>&1 ||
    fail "cpack: $(cat "$run/cpack.log")"
cp "$run"/deb/nalvo_*.deb "$root/var/tmp/nalvo.deb"
mkdir -p "$root/usr/local/lib/nalvo-test" "$root/etc/nalvo" "$root/srv/card"
cp "$plugin" "$root/usr/local/lib/nalvo-test/"
cat >"$root/etc/asound.conf" <<EOF
pcm_type.nalvo_fake { lib "/usr/local/lib/nalvo-test/${plugin##*/}" }
pcm.field { type nalvo_fake realtime true }
pcm.away { type nalvo_fake realtime true vanish_after_frames 96000 away_ms 2500 vanish_times 2 }
pcm.broken { type nalvo_fake realtime true fail_after_frames 0 }
EOF
# A card in fstab that is not there: its mount fails at boot, a second later.
echo "/dev/disk/by-label/NALVOCARD /srv/card vfat nofail,x-systemd.device-timeout=1s 0 0" \
    >>"$root/etc/fstab"
configure() {
    printf 'FORMAT=2448\nDURATION=2\nDEVICE=%s\nCHANNELS=2\nDIRECTORY=%s\n' "$2" "$3" \
        >"$root/etc/nalvo/$1.conf"
}
# As a Windows editor saves it, with comments after values and indented lines.
printf '# Recorder\r\n  FORMAT=2448  # 48 kHz\r\nDURATION = 2\r\nDEVICE=field\r\nCHANNELS=2\r\n%s\r\n' \
    'DIRECTORY=/srv/nalvo/field   # on the card' >"$root/etc/nalvo/field.conf"
configure away away /home/recordist/away
configure broken broken /srv/nalvo/broken
configure card field /srv/card
printf '# Wrong\nDURATION=2\nFORMAT=9999\nDIRECTORY=/srv/nalvo/field\n' >"$root/etc/nalvo/wrong.conf"

inside() {
    nsenter -t "$pid1" -m -u -i -n -p -C -- env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"
}
# Retries the command after the number of seconds for up to that many seconds.
await() {
    tries=$(($1 * 10))
    shift
    until "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || fail "timed out waiting for: $*"
        sleep 0.1
    done
}
booted() {
    kill -s 0 "$nspawn" 2>/dev/null || $cannot_boot "the container did not boot: $(tail -n 3 "$run/console")"
    pid1=$(pgrep -P "$nspawn") || return 1
    case $(inside systemctl is-system-running 2>/dev/null) in running | degraded) ;; *) return 1 ;; esac
}
# Real-time priority for the service needs a hard limit the container's systemd may raise.
boot() {
    systemd-nspawn -q -b -D "$root" --register=no --keep-unit --console=passive \
        --machine="${run##*-}" --capability=CAP_IPC_LOCK --rlimit=RLIMIT_RTPRIO=20 \
        >>"$run/console" 2>&1 &
    nspawn=$!
    await 120 booted
}
cannot_boot=skip
show() {
    inside systemctl show -P "$2" "nalvo@$1"
}
journal() {
    inside journalctl -q -o cat -u "nalvo@$@"
}
files_in() {
    [ "$(inside find "$1" -name '*.wav' | wc -l)" -ge "$2" ]
}
has() {
    [ "$(show "$1" "$2")" "$3" "$4" ]
}
logged() {
    journal "$1" | grep -q -- "$2"
}
# Sleeps until the UTC clock is $1 ms past a multiple of 2 s, a file boundary.
at_ms() {
    now=$(date +%s%N)
    left=$(((2000000000 + $1 * 1000000 - now % 2000000000) % 2000000000))
    sleep "$((left / 1000000000)).$(printf %09d $((left % 1000000000)))"
}
# systemd's account of the last stop of nalvo@$1 (a unit that stopped is forgotten, its
# status with it): the line after "Stopping" says it ended well, not that its main process
# failed or was killed after the timeout.
stopped_well() {
    inside journalctl -q -o cat -u "nalvo@$1" _PID=1 | sed -n '/^Stopping /h; /^Stopping /!H; ${x; p}' |
        sed -n 2p | grep -qx "nalvo@$1.service: Deactivated successfully."
}
# Stops nalvo@$1, which must end within 5 s, cleanly; $2 says when.
stop() {
    start=$(date +%s%N)
    inside systemctl stop "nalvo@$1"
    took=$((($(date +%s%N) - start) / 1000000))
    echo "stop $2: $took ms"
    [ "$took" -lt 5000 ] && has "$1" ActiveState = inactive || fail "stop $2 after $took ms"
    await 5 stopped_well "$1"
}
# Moves the files a run left in $1 aside and checks them; $2 gaps are expected, each input
# one capture from the device's first frame. The names are noted to find a file that grew
# or came later.
runs=0
check_run() {
    gaps=$2
    runs=$((runs + 1))
    mkdir -p "$run/runs/$runs"
    find "$1" -maxdepth 1 -name '*.wav' -exec mv -t "$run/runs/$runs" {} +
    ls -ln "$run/runs/$runs" >"$run/runs/$runs.list"
    for input in 1 2; do
        set -- "$run/runs/$runs"/*_$input*.wav
        [ -f "$1" ] || set --
        result=$($check $((input - 1)) 2 "$@") || fail "run $runs, input $input: $result"
        [ "${result#*gaps=}" = "$gaps" ] || fail "run $runs, input $input: $result"
        echo "    input $input: $# files, $result"
    done
}
security() {
    inside systemd-analyze security --no-pager "nalvo@$1.service" |
        sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p'
}

boot
cannot_boot=fail
inside dpkg -i /var/tmp/nalvo.deb >"$run/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$run/dpkg.log")"
[ "$(inside id -nG nalvo)" = "nalvo audio" ] || fail "user nalvo: $(inside id nalvo)"
inside install -d -o nalvo -g nalvo /srv/nalvo /srv/nalvo/field /srv/nalvo/broken /srv/card \
    /home/recordist/away
inside systemctl start nalvo@wrong nalvo@broken nalvo@card

# A wrong configuration: not tried again, and the reason is shown.
await 5 has wrong ActiveState = failed
has wrong ExecMainStatus = 78 && has wrong SubState = failed || fail "nalvo@wrong not stopped"
inside journalctl -q -p err -u nalvo@wrong | grep -q 'line 3: FORMAT=9999 is not' ||
    fail "journalctl -p err: $(journal wrong)"

inside systemctl enable --now nalvo@field 2>/dev/null
exposure=$(security field)
echo "systemd-analyze security: $exposure"
awk "BEGIN { exit !($exposure <= 3.0) }" || fail "exposure $exposure"
await 20 files_in /srv/nalvo/field 6
pid=$(show field MainPID)
inside grep -q '^VmLck:[[:space:]]*[1-9]' "/proc/$pid/status" || fail "nalvo locks no memory"
if [ "$(inside awk '/realtime priority/ { print $5 }' /proc/1/limits)" -ge 20 ]; then
    inside sh -c "for t in /proc/$pid/task/*; do chrt -p \${t##*/}; done" | grep -q SCHED_FIFO ||
        fail "no real-time capture thread"
else
    echo "real-time priority not checked: root here may not raise the container's limit"
fi
at_ms 1000
stop field "in mid-file"
# Each file was named in the journal once finished, at priority notice; no meter line.
journal field -p notice..notice | sed -n 's/^Finished //p' | sort >"$run/finished"
ls "$root/srv/nalvo/field" | diff - "$run/finished" || fail "files and Finished lines differ"
! journal field | grep -q 'elapsed' || fail "meter lines in the journal"
check_run "$root/srv/nalvo/field" 0

# Restarted, then stopped right at a file boundary.
inside systemctl start nalvo@field
await 20 files_in /srv/nalvo/field 2
before=$(ls "$root/srv/nalvo/field")
inside systemctl restart nalvo@field
mkdir "$run/restarted"
(cd "$root/srv/nalvo/field" && mv -t "$run/restarted" $before)
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

# The device drops out for 2.5 s after 2 s, comes back, and drops out again 2 s later: the
# stop comes while it is away.
inside systemctl start nalvo@away
gone_twice() {
    [ "$(journal away -p warning | grep -c 'Device gone')" -ge 2 ]
}
await 30 gone_twice
stop away "while the device is away"
check_run "$root/home/recordist/away" 1

# Meanwhile the device that fails at once has been tried again, leaving no file, and the
# card is waited for until it is mounted.
has broken NRestarts -ge 1 || fail "nalvo@broken not tried again"
inside journalctl -q -p err -u nalvo@broken | grep -q 'capture device failed' ||
    fail "journalctl -p err: $(journal broken)"
inside systemctl stop nalvo@broken
[ -z "$(ls "$root/srv/nalvo/broken")" ] || fail "files left by a failed device"
inside journalctl -q -p err -u nalvo@card | grep -q '/srv/card (/etc/fstab) is not mounted' ||
    fail "card: $(journal card)"
inside mount -t tmpfs -o "uid=$(inside id -u nalvo)" tmpfs /srv/card
await 30 files_in /srv/card 2
stop card "on the card"
mkdir "$run/card"
inside sh -c 'cp /srv/card/* /var/tmp/ && umount /srv/card'
mv -t "$run/card" "$root"/var/tmp/*.wav
check_run "$run/card" 0
[ -z "$(ls "$root/srv/card")" ] || fail "recorded beneath the card's mount point"

# A directory changed without daemon-reload is refused; once reloaded, it is the only place
# the service may write.
configure field field /home/recordist/away
inside systemctl start nalvo@field
await 5 has field ActiveState = failed
logged field 'systemctl daemon-reload' || fail "$(journal field)"
inside systemctl daemon-reload
inside systemctl start nalvo@field
await 20 files_in /home/recordist/away 2
! inside nsenter -t "$(show field MainPID)" -m setpriv --reuid=nalvo --regid=nalvo --clear-groups \
    touch /srv/nalvo/field/x 2>/dev/null || fail "the service may write outside its directory"
stop field "in the new directory"
check_run "$root/home/recordist/away" 0
configure field field /srv/nalvo/field
inside systemctl daemon-reload

# Reboot: recording resumes; the shutdown stops it as a stop does.
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
echo "systemd: $runs runs as expected"
