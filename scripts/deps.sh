# Installs the Debian packages given as arguments that are not installed yet.
# Sourced by the other scripts; runs apt-get update at most once.
install_missing() {
    local missing=()
    local arch
    arch=$(dpkg --print-architecture)
    for pkg in "$@"; do
        # The architecture asked for (pkg:arch), else this machine's own: a board's build
        # of the same package, installed for cross builds, does not count.
        local want=$arch
        [[ $pkg == *:* ]] && want=${pkg##*:}
        dpkg-query -W -f='${Architecture} ${Status}\n' "${pkg%%:*}" 2>/dev/null |
            grep -Eq "^($want|all) install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" </dev/null
}

BUILD_PACKAGES=(g++ make cmake pkg-config libasound2-dev)
# pulseaudio, pactl and ALSA's pulse plugin: the recordings through a real sound server;
# lintian and systemd-analyze: the package and its service unit; python3: scripts/mutate.
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev valgrind pulseaudio pulseaudio-utils
    libasound2-plugins lintian systemd python3)

# Configures and builds the project into build/.
build_project() {
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$ROOT/build" -j"$(nproc)"
}
