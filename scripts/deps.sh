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
# pulseaudio, pactl and ALSA's pulse plugin, and PipeWire with its tools, WirePlumber and
# D-Bus: the recordings through real sound servers (PipeWire's ALSA plugin: see below);
# lintian and systemd-analyze: the package and its service unit; debootstrap and
# systemd-nspawn (systemd-container): the service under a real systemd, in a container;
# python3: scripts/mutate and the check of the service's recordings.
TEST_PACKAGES=(googletest libgtest-dev libbenchmark-dev valgrind pulseaudio pulseaudio-utils
    libasound2-plugins pipewire pipewire-bin wireplumber dbus lintian systemd debootstrap
    systemd-container python3)

# PipeWire's ALSA plugin for the tests. Its package, pipewire-alsa, conflicts with
# pulseaudio (both take the machine's default device), so it is unpacked, not installed:
# the plugin alone, of the installed PipeWire's version, where tests/e2e looks for it
# (NALVO_PIPEWIRE_ALSA_DIR). Nothing to do where pipewire-alsa is installed.
PIPEWIRE_ALSA_DIR=/usr/local/lib/nalvo-tests/pipewire-alsa
unpack_pipewire_alsa() {
    [ "$(dpkg-query -W -f='${Status}' pipewire-alsa 2>/dev/null)" = "install ok installed" ] &&
        return 0
    local version
    version=$(dpkg-query -W -f='${Version}' pipewire)
    [ "$(cat "$PIPEWIRE_ALSA_DIR/version" 2>/dev/null)" = "$version" ] && return 0
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    local tmp
    tmp=$(mktemp -d)
    echo "Unpacking pipewire-alsa $version into $PIPEWIRE_ALSA_DIR"
    # Downloaded as whoever runs this, into a directory apt's own user could not write to.
    (cd "$tmp" &&
        apt-get download -qq -o APT::Sandbox::User="$(id -un)" "pipewire-alsa=$version") &&
        dpkg-deb -x "$tmp"/pipewire-alsa_*.deb "$tmp/root" &&
        $sudo mkdir -p "$PIPEWIRE_ALSA_DIR" &&
        $sudo cp "$tmp"/root/usr/lib/*/alsa-lib/libasound_module_pcm_pipewire.so \
            "$PIPEWIRE_ALSA_DIR/" &&
        echo "$version" | $sudo tee "$PIPEWIRE_ALSA_DIR/version" >/dev/null
    local status=$?
    rm -rf "$tmp"
    return $status
}

# Configures and builds the project into build/.
build_project() {
    cmake -S "$ROOT" -B "$ROOT/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$ROOT/build" -j"$(nproc)"
}
