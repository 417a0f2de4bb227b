# shellcheck shell=bash
# Debian packages that building, testing and the tools need, and an
# installer that adds only the missing ones. Sourced by scripts/test and
# scripts/demo.

trklib_packages=(
    cmake g++ make pkg-config
    qtbase5-dev
    libgtest-dev googletest
    libbenchmark-dev
    libpcap-dev
    gnuplot-nox
    tshark
    # trackd publishes through libmosquitto; its tests run Debian's broker,
    # make certificates with openssl, and the README's examples subscribe
    # with mosquitto_sub.
    libmosquitto-dev mosquitto mosquitto-clients openssl
    # The fuzz targets (scripts/fuzz): clang and its libFuzzer runtime.
    clang libclang-rt-14-dev
    # The Debian packages (scripts/package): dpkg-shlibdeps and
    # dpkg-buildflags, file for CPack, lintian to check them.
    dpkg-dev file lintian
    # The Python module (python/) and its tests, for Debian's python3:
    # pybind11, NumPy, SciPy (assignment), matplotlib (plots), pytest.
    pybind11-dev python3-dev python3-numpy python3-scipy python3-matplotlib python3-pytest
)

# True when the package is installed (not merely known to dpkg).
trklib_has_package() {
    dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed$'
}

# Installs the missing packages with apt-get; through sudo unless root.
trklib_install_deps() {
    local missing=() package
    for package in "${trklib_packages[@]}"; do
        trklib_has_package "$package" || missing+=("$package")
    done
    if ((${#missing[@]} == 0)); then
        return 0
    fi

    local as_root=()
    if [[ $(id -u) -ne 0 ]]; then
        if ! command -v sudo >/dev/null; then
            echo "Missing Debian packages: ${missing[*]}; install them as root (no sudo here)." >&2
            return 1
        fi
        as_root=(sudo)
    fi
    echo "Installing missing Debian packages: ${missing[*]}"
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update
    "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y --no-install-recommends "${missing[@]}"
}
