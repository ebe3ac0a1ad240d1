#!/bin/sh
# The service for unattended recording as installed, where no systemd can be booted (the
# real one: systemd_test.sh): systemd-analyze finds nothing wrong in nalvo@.service (with
# -s); the generator gives an instance its directory and its card's mount; the wrapper reads
# a configuration as a user writes it, refuses every wrong value with the line (status 78),
# waits for a card that is not mounted, and becomes nalvo with the options the service
# records with, its output passed on line by line with the journal's priorities and without
# the meter. Then the unit's command line records from the fake device until every process
# gets SIGTERM, as systemd stops it; left out in a cross build (EMULATOR given), as the
# wrapper runs nalvo directly.
#
#   service_test.sh [-s SYSTEMD_ANALYZE] CMAKE BUILD_DIR [EMULATOR...]
# ALSA_CONFIG_PATH selects the fake capture device.
set -eu
analyze=""
while getopts s: option; do
    case $option in
    s) analyze=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))
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
conf_dir="$scratch/usr/etc/nalvo"
[ -f "$unit" ] && [ -d "$conf_dir" ] || fail "no unit or configuration directory installed"
if [ -n "$analyze" ]; then
    # A template is verified through an instance of it.
    cp "$unit" "$scratch/nalvo@field.service"
    "$analyze" verify --man=no "$scratch/nalvo@field.service" >"$scratch/verify" 2>&1 ||
        fail "systemd-analyze verify: $(cat "$scratch/verify")"
    [ ! -s "$scratch/verify" ] || fail "systemd-analyze verify: $(cat "$scratch/verify")"
fi
wrapper="$scratch/usr/libexec/nalvo/nalvo-service"
program="$scratch/usr/bin/nalvo"
conf="$conf_dir/field.conf"
grep -qx "ExecStart=$wrapper $program \"$conf_dir/%I.conf\"" "$unit" ||
    fail "unexpected ExecStart: $(grep ExecStart "$unit")"
grep -qx "RestartPreventExitStatus=78" "$unit" || fail "the unit restarts a wrong configuration"

recordings="$scratch/recordings"
mkdir "$recordings" "$scratch/card"
# Where the card is mounted, for findmnt --fstab: an empty directory until it is.
echo "/dev/disk/by-label/CARD $scratch/card vfat nofail 0 0" >"$scratch/fstab"
export LIBMOUNT_FSTAB="$scratch/fstab"
# Runs the wrapper with the configuration on standard input; its status must be $1.
expect() {
    status=$1
    cat >"$conf"
    # Read through a pipe: it ends once the filter, the last to write, has ended too.
    {
        timeout 30 "$wrapper" "$fake" "$conf" 2>"$scratch/stderr" && echo 0 >"$scratch/status" ||
            echo $? >"$scratch/status"
    } | cat >"$scratch/stdout"
    [ "$(cat "$scratch/status")" -eq "$status" ] ||
        fail "status $(cat "$scratch/status"), not $status, for: $(cat "$conf") $(cat "$scratch/stderr")"
}
# The program the wrapper becomes, standing in for nalvo: it notes its arguments and prints
# what nalvo prints, redraws and errors among it.
fake="$scratch/fake-nalvo"
cat >"$fake" <<EOF
#!/bin/sh
echo "\$*" >"$scratch/args"
printf 'Recording\n\relapsed = 0:00:01\t[##] -6 dB\relapsed = 0:00:02\t[#]\n'
printf 'Finished a_1.wav\nContinuing in b_1.wav\n\nRX\n\nDevice gone\n\nDevice back\n'
printf 'ALSA lib pcm.c:8675:(snd_pcm_recover) overrun occurred\n' >&2
printf 'nalvo: warning: the file system of b_1.wav has 1.0 MB free\n' >&2
printf 'nalvo: recording stopped, cannot write b_1.wav: No space left on device\n' >&2
printf '\n\nInput Channel Peaks:\n\tchannel 1: -6.02 dBFS\n'
exit 1
EOF
chmod +x "$fake"

# What a user writes: CRLF line ends, indented lines, blanks around "=", quotes, comments.
printf '# Field\r\n FORMAT = 1696  # 96 kHz\r\nDURATION=0900\r\n\tDEVICE="hw:CARD=x#1"\r\n%s\r\n%s\r\n' \
    "CHANNELS=s" "DIRECTORY=$recordings # here" | expect 1
options="--file-seconds=900 --align --time-names --until-stopped --reconnect"
[ "$(cat "$scratch/args")" = "$options 1696 hw:CARD=x#1 s" ] || fail "nalvo started as: $(cat "$scratch/args")"
cat >"$scratch/expected" <<EOF
<6>Recording
<5>Finished a_1.wav
<6>Continuing in b_1.wav
<4>RX
<4>Device gone
<6>Device back
<4>ALSA lib pcm.c:8675:(snd_pcm_recover) overrun occurred
<4>nalvo: warning: the file system of b_1.wav has 1.0 MB free
<3>nalvo: recording stopped, cannot write b_1.wav: No space left on device
<6>Input Channel Peaks:
<6>	channel 1: -6.02 dBFS
EOF
diff "$scratch/expected" "$scratch/stdout" || fail "nalvo's output as passed on to the journal"
printf 'FORMAT=1644\nDURATION=1\nDIRECTORY=%s\n' "$recordings" | expect 1
grep -q ' 1644 default 1$' "$scratch/args" || fail "defaults: $(cat "$scratch/args")"

# Each wrong value stops the service, naming its line and the value; nothing is started.
rm "$scratch/args"
while IFS='|' read -r setting message; do
    printf '%s\nFORMAT=2448\nDURATION=60\nDIRECTORY=%s\n' "$setting" "$recordings" | expect 78
    grep -qF "$message" "$scratch/stderr" || fail "$setting: $(cat "$scratch/stderr")"
done <<EOF
FORMAT=9999|line 1: FORMAT=9999 is not one of
DURATION=0|line 1: DURATION=0 is no whole number
DURATION=-5|line 1: DURATION=-5 is no whole number
DURATION=1.5|line 1: DURATION=1.5 is no whole number
DURATION=31622401|line 1: DURATION=31622401 is no whole number
DURATION=99999999999999999999|line 1: DURATION=99999999999999999999 is no whole number
DEVICE=|line 1: DEVICE=: the device name must have
DEVICE=$(printf '%064d' 0)|line 1: DEVICE=$(printf '%064d' 0): the device name must have
CHANNELS=3|line 1: CHANNELS=3 is not 1, 2 or s
DIRECTORY=srv|line 1: DIRECTORY=srv is not an absolute path
DEVCE=hw:1|line 1: "DEVCE" is not a setting
FORMAT=1648|line 2: FORMAT is set a second time
hw:1|line 1: "hw:1" is no NAME=value setting
EOF
printf 'DURATION=1\nDIRECTORY=%s\n' "$recordings" | expect 78
grep -q 'no FORMAT=' "$scratch/stderr" || fail "without FORMAT=: $(cat "$scratch/stderr")"
rm "$conf"
actual=0
"$wrapper" "$fake" "$conf" 2>/dev/null || actual=$?
[ "$actual" -eq 78 ] || fail "status $actual without a configuration file"
# The unit's sandbox was made for another directory: systemd has not read this file yet.
export NALVO_WRITABLE=/srv/elsewhere
printf 'FORMAT=1644\nDURATION=1\nDIRECTORY=%s\n' "$recordings" | expect 78
grep -q 'daemon-reload' "$scratch/stderr" || fail "another directory: $(cat "$scratch/stderr")"
unset NALVO_WRITABLE
# A directory that is not there (yet), or a card that is not mounted: tried again later.
printf 'FORMAT=1644\nDURATION=1\nDIRECTORY=%s\n' "$scratch/missing" | expect 1
printf 'FORMAT=1644\nDURATION=1\nDIRECTORY=%s\n' "$scratch/card" | expect 1
grep -q "$scratch/card (/etc/fstab) is not mounted" "$scratch/stderr" ||
    fail "card: $(cat "$scratch/stderr")"
[ ! -e "$scratch/args" ] || fail "nalvo started despite the errors: $(cat "$scratch/args")"

# The generator gives the instance its directory, here the card, and the card's mount.
"$scratch/usr/lib/systemd/system-generators/nalvo-service-generator" "$scratch/generated"
cat >"$scratch/expected" <<EOF
[Unit]
Wants=$(systemd-escape --path --suffix=mount "$scratch/card")
After=$(systemd-escape --path --suffix=mount "$scratch/card")
[Service]
ReadWritePaths="-$scratch/card"
Environment="NALVO_WRITABLE=$scratch/card"
EOF
sed 1d "$scratch/generated/nalvo@field.service.d/directory.conf" | diff "$scratch/expected" - ||
    fail "the generator's drop-in"

if [ $# -eq 0 ]; then
    # The unit's command line, from the example configuration pointed at a real-time device,
    # run in a process group of its own as systemd runs a service in a cgroup: stopped after
    # the first file boundary (SIGTERM to every process), it ends cleanly, every file true.
    sed -e "s|^DEVICE=.*|DEVICE=nalvo_live|" -e "s|^DURATION=.*|DURATION=1|" \
        -e "s|^DIRECTORY=.*|DIRECTORY=$recordings|" \
        "$scratch/usr/share/doc/nalvo/examples/field.conf" >"$conf"
    setsid "$wrapper" "$program" "$conf" >"$scratch/stdout" 2>"$scratch/stderr" &
    wrapper_job=$!
    tries=0
    until grep -q '^<6>Continuing in' "$scratch/stdout"; do
        tries=$((tries + 1))
        [ "$tries" -lt 600 ] || fail "no file boundary in 60 s: $(cat "$scratch/stdout" "$scratch/stderr")"
        sleep 0.1
    done
    kill -s TERM -- "-$wrapper_job"
    status=0
    wait "$wrapper_job" || status=$?
    [ "$status" -eq 0 ] || fail "exit status $status after SIGTERM: $(cat "$scratch/stderr")"
    # The filter ends with nalvo's output: the group is gone.
    tries=0
    while kill -s 0 -- "-$wrapper_job" 2>/dev/null; do
        tries=$((tries + 1))
        [ "$tries" -lt 50 ] || fail "processes left 5 s after the stop"
        sleep 0.1
    done
    wrapper_job=""
    grep -qx '<6>Done' "$scratch/stdout" || fail "no report: $(cat "$scratch/stdout")"
    [ "$(grep -c '^<5>Finished 20[0-9]*T[0-9]*Z_[12]\.wav$' "$scratch/stdout")" -ge 4 ] ||
        fail "Finished lines: $(cat "$scratch/stdout")"
    ! grep -q 'elapsed' "$scratch/stdout" || fail "the meter line reached the output"
    for file in "$recordings"/*.wav; do
        size=$(wc -c <"$file")
        riff=$(od -An -tu4 -j4 -N4 "$file" | tr -d ' ')
        data=$(od -An -tu4 -j40 -N4 "$file" | tr -d ' ')
        if [ "$riff" -ne $((size - 8)) ] || [ "$data" -ne $((size - 44)) ] || [ "$data" -eq 0 ]; then
            fail "$(basename "$file"): $size bytes, header sizes $riff and $data"
        fi
        grep -q "^<5>Finished $(basename "$file")$" "$scratch/stdout" || fail "$file not announced"
    done
fi
echo "service: unit, generator and wrapper as expected"
