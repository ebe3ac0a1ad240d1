#!/usr/bin/env bash
# Records through the fake device under valgrind in every channel mode and width, with
# overruns, a lost device and a non-interleaved device: any memory error or leak fails.
# Usage: run.sh <nalvo> <tests' alsa.conf>
set -euo pipefail
nalvo=$1
base_conf=$2
work=$(mktemp -d /tmp/nalvo-valgrind-XXXXXX)
trap 'rm -rf "$work"' EXIT
cat > "$work/devices.conf" <<'CONF'
pcm.vg_xrun { type nalvo_fake
  xrun_periods [ 0 2 ] }
pcm.vg_gone { type nalvo_fake
  fail_after_frames 9000 }
pcm.vg_noninter { type nalvo_fake
  access [ "RW_NONINTERLEAVED" ]
  xrun_periods [ 1 ] }
CONF
export ALSA_CONFIG_PATH="$base_conf:$work/devices.conf"
failures=0
run() {
    local want=$1
    shift
    local dir="$work/run$RANDOM"
    mkdir "$dir"
    local status=0
    (cd "$dir" && valgrind -q --error-exitcode=99 --leak-check=full \
        --errors-for-leak-kinds=definite,indirect,possible "$nalvo" "$@" >/dev/null 2>"$dir/err") ||
        status=$?
    if [ "$status" -ne "$want" ]; then
        echo "FAILED (status $status, expected $want): nalvo $*"
        cat "$dir/err"
        failures=$((failures + 1))
    else
        echo "ok: nalvo $*"
    fi
}
for format in 1648 2448; do
    run 0 "$format" 0.4 vg_xrun 1 a.wav
    run 0 "$format" 0.4 vg_xrun 2 a.wav b.wav
    run 0 "$format" 0.4 vg_xrun s a.wav
    run 0 "$format" 0.4 vg_noninter s a.wav
    run 0 "$format" 0.4 vg_noninter 2 a.wav b.wav
done
run 1 2496 1 vg_gone s a.wav
run 1 1644 1 no_such_device
run 1 1644 nan
[ "$failures" -eq 0 ]
