#!/bin/sh
# The service for unattended recording as installed, where no container boots for the real
# systemd (systemd_test.sh): systemd-analyze finds nothing wrong in nalvo@.service (with -s);
# the wrapper reads a configuration as a user writes it and becomes nalvo with the service's
# options, its output passed on with the journal's priorities; the generator gives the
# instance its directory and card. The command line the unit starts, run here as systemd
# would run it for nalvo@field with the example configuration pointed at the fake device,
# records one file after another, keeps nalvo's meter out of the journal, ends the recording
# in progress cleanly when every process gets SIGTERM, and refuses each wrong value with its
# line without recording, and a card that is not mounted. The recordings are left out in a
# cross build (EMULATOR given): the wrapper runs nalvo directly, which only works on the
# build machine's architecture.
#
#   service_test.sh [-s SYSTEMD_ANALYZE] CMAKE BUILD_DIR [EMULATOR...]
# ALSA_CONFIG_PATH selects the fake capture device.
set -eu
analyze=""
if [ "$1" = -s ]; then
    analyze=$2
    shift 2
fi
cmake=$1
build=$2
shift 2

scratch=$(mktemp -d /tmp/nalvo-service-XXXXXX)
wrapper_job=""
cleanup() {
    [ -z "$wrapper_job" ] || kill -s KILL -- "-$wrapper_job" 2>/dev/null || true
    rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

# Installed under a prefix of its own, the unit names the files of that installation.
"$cmake" --install "$build" --prefix "$scratch/usr" >"$scratch/install.log" 2>&1 ||
    fail "cmake --install: $(cat "$scratch/install.log")"
unit="$scratch/usr/lib/systemd/system/nalvo@.service"
[ -f "$unit" ] || fail "no lib/systemd/system/nalvo@.service installed"
conf_dir="$scratch/usr/etc/nalvo"
[ -d "$conf_dir" ] || fail "no configuration directory etc/nalvo installed"

if [ -n "$analyze" ]; then
    # A template is verified through an instance of it.
    cp "$unit" "$scratch/nalvo@field.service"
    "$analyze" verify --man=no "$scratch/nalvo@field.service" >"$scratch/verify" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$scratch/verify")"
    [ ! -s "$scratch/verify" ] || fail "systemd-analyze verify: $(cat "$scratch/verify")"
fi

# The unit's command line for the instance "field": the wrapper, nalvo and the instance's
# configuration file, as installed.
command=$(sed -n 's/^ExecStart=//p' "$unit" | sed 's/%I/field/g; s/"//g')
read -r wrapper program conf rest <<EOF
$command
EOF
if [ "$wrapper" != "$scratch/usr/libexec/nalvo/nalvo-service" ] || [ ! -x "$wrapper" ] ||
    [ "$program" != "$scratch/usr/bin/nalvo" ] || [ "$conf" != "$conf_dir/field.conf" ] ||
    [ -n "$rest" ]; then
    fail "unexpected ExecStart for nalvo@field: $command"
fi
example="$scratch/usr/share/doc/nalvo/examples/field.conf"
recordings="$scratch/recordings"
mkdir "$recordings" "$scratch/card"
# A card in fstab (findmnt --fstab reads this one), not mounted: an empty directory.
echo "/dev/disk/by-label/CARD $scratch/card vfat nofail 0 0" >"$scratch/fstab"
export LIBMOUNT_FSTAB="$scratch/fstab"
# The example configuration, the device, the duration or the directory replaced.
configure() {
    sed -e "s|^DEVICE=.*|DEVICE=$1|" -e "s|^DURATION=.*|DURATION=$2|" \
        -e "s|^DIRECTORY=.*|DIRECTORY=$3|" "$example" >"$conf"
}

# Runs the command in the background in a session and process group of its own, as systemd
# runs a service in a cgroup of its own. (A background job of this shell leads no group, so
# setsid makes the group at once instead of starting the command in another process.)
start() {
    setsid "$wrapper" "$program" "$conf" >"$scratch/stdout" 2>"$scratch/stderr" &
    wrapper_job=$!
}
# Waits until the directory holds at least $1 files with audio in them, then sends SIGTERM
# to every process of the group (what systemctl stop does) and waits for the command.
stop_after() {
    tries=0
    while [ "$(find "$recordings" -name '*.wav' -size +1k | wc -l)" -lt "$1" ]; do
        tries=$((tries + 1))
        [ "$tries" -lt 300 ] || fail "fewer than $1 recordings after 30 s: $(cat "$scratch/stderr")"
        sleep 0.1
    done
    kill -s TERM -- "-$wrapper_job"
    status=0
    wait "$wrapper_job" || status=$?
    [ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat "$scratch/stderr")"
    # The filter passes on what nalvo printed last, then ends: the group is gone.
    while kill -s 0 -- "-$wrapper_job" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 350 ] || fail "processes left 5 s after the stop"
        sleep 0.1
    done
    wrapper_job=""
}
# Every file is whole: its header announces exactly the data that follows.
check_files() {
    for file in "$recordings"/*.wav; do
        size=$(wc -c <"$file")
        riff=$(od -An -tu4 -j4 -N4 "$file" | tr -d ' ')
        data=$(od -An -tu4 -j40 -N4 "$file" | tr -d ' ')
        if [ "$riff" -ne $((size - 8)) ] || [ "$data" -ne $((size - 44)) ] ||
            [ "$data" -eq 0 ]; then
            fail "$(basename "$file"): $size bytes, header sizes $riff and $data"
        fi
        grep -qx "<5>Finished ${file##*/}" "$scratch/stdout" || fail "${file##*/} not named"
    done
}
# nalvo's report reaches the journal, its meter line does not.
check_console() {
    grep -qx '<6>Done' "$scratch/stdout" || fail "no report in the output: $(cat "$scratch/stdout")"
    ! grep -q 'elapsed' "$scratch/stdout" || fail "the meter line reached the output"
    [ "$(tr -d '\r' <"$scratch/stdout" | wc -c)" -eq "$(wc -c <"$scratch/stdout")" ] ||
        fail "carriage returns in the output"
}

# Runs the command to its end, under timeout (a wrapper that went on recording would never
# return): its exit status must be $1, $2 says for what.
expect_status() {
    status=0
    timeout 30 "$wrapper" "${fake:-$program}" "$conf" >/dev/null 2>"$scratch/stderr" || status=$?
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1, $2"
}

if [ $# -eq 0 ]; then
    # Files of a second from a real-time device, stopped after the second boundary: each
    # ended cleanly and named, and nothing after the stop, the filter gone with nalvo.
    configure nalvo_live 1 "$recordings"
    start
    stop_after 6
    check_files
    check_console

    # A device that cannot be opened: a failure, for systemd to try again later.
    rm -f "$recordings"/*.wav
    configure nalvo_no_such_device 60 "$recordings"
    expect_status 1 "for a device that does not exist"
fi

# A directory that is not there (yet), or on a card that is not mounted: status 1, tried again
# later.
configure default 1 "$scratch/not-mounted"
expect_status 1 "for a missing directory"
configure default 1 "$scratch/card"
expect_status 1 "for a card that is not mounted"
grep -q "$scratch/card (/etc/fstab) is not mounted" "$scratch/stderr" ||
    fail "the card: $(cat "$scratch/stderr")"
# The generator gives that instance its directory and makes it wait for the card.
"$scratch/usr/lib/systemd/system-generators/nalvo-service-generator" "$scratch/generated"
mount_unit=$(systemd-escape --path --suffix=mount "$scratch/card")
printf '%s\n' "Wants=$mount_unit" "After=$mount_unit" "ReadWritePaths=\"-$scratch/card\"" \
    "Environment=\"NALVO_WRITABLE=$scratch/card\"" |
    grep -vxFf "$scratch/generated/nalvo@field.service.d/directory.conf" &&
    fail "the generated drop-in"
# Systemd prepared the sandbox for another directory: it has not read the file since.
NALVO_WRITABLE=/srv expect_status 78 "for a changed directory"

# What a user writes is read as meant (CRLF, indented lines, blanks around "=", quotes,
# comments), and nalvo, here a stand-in that notes its arguments and prints as nalvo does,
# gets the service's options; its output reaches the journal by lines with their priorities,
# without the meter (read through a pipe, which ends when the filter does).
fake="$scratch/fake-nalvo"
cat >"$fake" <<EOF
#!/bin/sh
echo "\$*" >"$scratch/args"
printf 'Recording\n\relapsed = 0:00:01\t[##]\relapsed = 0:00:02\t[#]\nFinished a_1.wav\n\nRX\n'
printf 'nalvo: warning: 1.0 MB free\nnalvo: recording stopped, cannot write b_1.wav\n' >&2
EOF
chmod +x "$fake"
printf '# Field\r\n FORMAT = 1696  # 96 kHz\r\nDURATION=0900\r\n\t%s\r\n%s\r\n%s\r\n' \
    'DEVICE="hw:CARD=x#1"' "CHANNELS=s" "DIRECTORY=$recordings # here" >"$conf"
"$wrapper" "$fake" "$conf" | cat >"$scratch/stdout"
options="--file-seconds=900 --align --time-names --until-stopped --reconnect"
[ "$(cat "$scratch/args")" = "$options 1696 hw:CARD=x#1 s" ] ||
    fail "nalvo started as: $(cat "$scratch/args")"
printf '%s\n' "<6>Recording" "<5>Finished a_1.wav" "<4>RX" "<4>nalvo: warning: 1.0 MB free" \
    "<3>nalvo: recording stopped, cannot write b_1.wav" | diff - "$scratch/stdout" ||
    fail "nalvo's output as the journal gets it"
rm "$scratch/args"

# A wrong configuration: status 78, which the unit does not restart, and no recording.
printf 'FORMAT=1648\nDURATION=1\nDIRECTORY=%s\nDEVCE=hw:1,0\n' "$recordings" >"$conf"
expect_status 78 "for an unknown setting"
grep -q 'line 4' "$scratch/stderr" || fail "the error does not name the line: $(cat "$scratch/stderr")"
printf 'DURATION=1\nDIRECTORY=%s\n' "$recordings" >"$conf"
expect_status 78 "without FORMAT="
# Each value nalvo would refuse, naming its line and the value.
while IFS='|' read -r setting message; do
    printf '%s\nFORMAT=2448\nDURATION=60\nDIRECTORY=%s\n' "$setting" "$recordings" >"$conf"
    expect_status 78 "for $setting"
    grep -qF "$message" "$scratch/stderr" || fail "$setting: $(cat "$scratch/stderr")"
done <<EOF
FORMAT=9999|line 1: FORMAT=9999 is not one of
DURATION=0|line 1: DURATION=0 is no whole number
DURATION=-5|line 1: DURATION=-5 is no whole number
DURATION=1.5|line 1: DURATION=1.5 is no whole number
DURATION=99999999999999999999|line 1: DURATION=99999999999999999999 is no whole number
DEVICE=|line 1: DEVICE=: the device name must have
CHANNELS=|line 1: CHANNELS= is not 1, 2 or s
CHANNELS=3|line 1: CHANNELS=3 is not 1, 2 or s
DIRECTORY=srv|line 1: DIRECTORY=srv is not an absolute path
FORMAT=1648|line 2: FORMAT is set a second time
EOF
rm "$conf"
expect_status 78 "without a configuration file"
[ -z "$(ls "$recordings")" ] && [ ! -e "$scratch/args" ] || fail "recorded despite the errors"
grep -q "^RestartPreventExitStatus=78$" "$unit" || fail "the unit restarts a wrong configuration"

echo "service: unit, generator and wrapper as expected"
