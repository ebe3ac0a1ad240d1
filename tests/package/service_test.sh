#!/bin/sh
# The service for unattended recording as installed: systemd-analyze finds nothing wrong in
# nalvo@.service (with -s), and the command line the unit starts, run here as systemd would
# run it for nalvo@field with the example configuration pointed at the fake device, records
# one file after another, keeps nalvo's meter out of the journal, ends the recording in
# progress cleanly when every process gets SIGTERM, and refuses a wrong configuration
# without recording. The recordings are left out in a cross build (EMULATOR given): the
# wrapper runs nalvo directly, which only works on the build machine's architecture.
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
command=$(sed -n 's/^ExecStart=//p' "$unit" | sed 's/%i/field/g')
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
mkdir "$recordings"
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
    wrapper_job=""
    [ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat "$scratch/stderr")"
}
# Every file is whole: its header announces exactly the data that follows.
check_files() {
    for file in "$recordings"/*.wav; do
        size=$(wc -c <"$file")
        riff=$(od -An -tu4 -j4 -N4 "$file" | tr -d ' ')
        data=$(od -An -tu4 -j40 -N4 "$file" | tr -d ' ')
        if [ "$riff" -ne $((size - 8)) ] || [ "$data" -ne $((size - 44)) ]; then
            fail "$(basename "$file"): $size bytes, header sizes $riff and $data"
        fi
    done
}
# nalvo's report reaches the journal, its meter line does not.
check_console() {
    grep -qx 'Done' "$scratch/stdout" || fail "no report in the output: $(cat "$scratch/stdout")"
    ! grep -q 'rem = ' "$scratch/stdout" || fail "the meter line reached the output"
    [ "$(tr -d '\r' <"$scratch/stdout" | wc -c)" -eq "$(wc -c <"$scratch/stdout")" ] ||
        fail "carriage returns in the output"
}

# Runs the command to its end, under timeout (a wrapper that went on recording would never
# return): its exit status must be $1, $2 says for what.
expect_status() {
    status=0
    timeout 30 "$wrapper" "$program" "$conf" >/dev/null 2>"$scratch/stderr" || status=$?
    [ "$status" -eq "$1" ] || fail "exit status $status, not $1, $2"
}

if [ $# -eq 0 ]; then
    # A long recording from a real-time device, stopped: one file per input, ended cleanly,
    # and nothing after it.
    configure nalvo_live 60 "$recordings"
    start
    stop_after 2
    [ "$(find "$recordings" -name '*.wav' | wc -l)" -eq 2 ] ||
        fail "not one file per input: $(ls "$recordings")"
    check_files
    check_console

    # Short recordings one after another, each into new files.
    rm -f "$recordings"/*.wav
    configure default 0.05 "$recordings"
    start
    stop_after 6
    check_files
    [ "$(grep -cx 'Done' "$scratch/stdout")" -ge 3 ] ||
        fail "fewer than 3 recordings reported: $(cat "$scratch/stdout")"

    # A device that cannot be opened: a failure, for systemd to try again later.
    rm -f "$recordings"/*.wav
    configure nalvo_no_such_device 60 "$recordings"
    expect_status 1 "for a device that does not exist"
fi

# A directory that is not there (yet): status 1, tried again later.
configure default 1 "$scratch/not-mounted"
expect_status 1 "for a missing directory"
# A wrong configuration: status 78, which the unit does not restart, and no recording.
printf 'FORMAT=1648\nDURATION=1\nDIRECTORY=%s\nDEVCE=hw:1,0\n' "$recordings" >"$conf"
expect_status 78 "for an unknown setting"
grep -q 'line 4' "$scratch/stderr" || fail "the error does not name the line: $(cat "$scratch/stderr")"
printf 'DURATION=1\nDIRECTORY=%s\n' "$recordings" >"$conf"
expect_status 78 "without FORMAT="
rm "$conf"
expect_status 78 "without a configuration file"
[ -z "$(ls "$recordings")" ] || fail "files recorded despite the errors: $(ls "$recordings")"
grep -q "^RestartPreventExitStatus=78$" "$unit" || fail "the unit restarts a wrong configuration"

echo "service: unit and wrapper as expected"
