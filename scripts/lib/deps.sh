# shellcheck shell=bash
# Debian packages that building, testing and the tools need, and an
# installer that adds only the missing ones; the site view's npm packages.
# Sourced by scripts/test, scripts/demo and scripts/site-demo.

trklib_packages=(
    cmake g++ make pkg-config
    qtbase5-dev
    # The site's time zone ([site] timezone) comes from the tz database
    # that Qt's QTimeZone reads.
    tzdata
    libgtest-dev googletest
    libbenchmark-dev
    libpcap-dev
    gnuplot-nox
    tshark
    # trackd publishes through libmosquitto; its tests run Debian's broker,
    # make certificates with openssl, and the guide's examples subscribe
    # with mosquitto_sub and ask sited's API with curl.
    libmosquitto-dev mosquitto mosquitto-clients openssl curl
    # trackd loads the TLS files it is given with OpenSSL's own calls.
    libssl-dev
    # Site coordinates to latitude and longitude (the site file's origin):
    # GeographicLib, and its CartConvert that the tests check against.
    libgeographiclib-dev geographiclib-tools
    # The fuzz targets (scripts/fuzz): clang and its libFuzzer runtime.
    clang libclang-rt-14-dev
    # The Debian packages (scripts/package): dpkg-shlibdeps and
    # dpkg-buildflags, file for CPack, lintian to check them.
    dpkg-dev file lintian
    # The library's binary interface is compared with the last release's
    # by abigail-tools' abidiff (tests/packaging/abi).
    abigail-tools
    # The manual pages: help2man makes section 1 from the programs' --help,
    # scdoc section 5; their test formats them with man-db's man.
    help2man scdoc man-db
    # The API reference of the installed headers (docs/api).
    doxygen
    # The Python module (python/) and its tests, for Debian's python3:
    # pybind11, NumPy, SciPy (assignment), matplotlib (plots), pytest.
    pybind11-dev python3-dev python3-numpy python3-scipy python3-matplotlib python3-pytest
    # sited's class model is fitted by scripts/train-classes with scikit-learn.
    python3-sklearn
    # The messages' JSON Schemas (docs/schemas) are checked with a validator
    # of Debian's own.
    python3-jsonschema
    # The site view (web/): its browser test drives Debian's headless
    # Chromium and reads the page's text in DejaVu; scripts/site-demo serves
    # the page with python3's http.server.
    chromium fonts-dejavu-core python3
    # Cursor-on-Target events are validated against the event's schema
    # with libxml2's xmllint; the ASTERIX outputs are decoded by tshark.
    libxml2-utils
    # sited records the site's history into a SQLite file or a PostgreSQL
    # database (libpq; the tests and the benchmark run PostgreSQL 15's own
    # server) and answers its HTTP API with cpp-httplib; its logins hash
    # passwords (argon2id) and draw session tokens with libsodium.
    libsqlite3-dev libpq-dev postgresql-15 libcpp-httplib-dev libsodium-dev
    # The services' units are checked with systemd-analyze verify, and
    # their commands run as another user with util-linux's setpriv.
    systemd util-linux
    # trackd and sited serve /metrics for Prometheus through prometheus-cpp
    # (trackd with its pull library's server); the metrics test scrapes
    # them with Debian's Prometheus server.
    prometheus-cpp-dev libprometheus-cpp-core1.0 libprometheus-cpp-pull1.0 prometheus
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
    # node and npm for the site view: Debian's, unless the machine has its
    # own already (a node from elsewhere brings its npm, and Debian's npm
    # would not install beside it).
    command -v node >/dev/null || missing+=(nodejs)
    command -v npm >/dev/null || missing+=(npm)
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

# Installs the npm packages of the site view in DIR (web/) from its
# package-lock.json with npm ci, unless DIR/node_modules already holds
# exactly that lockfile's packages.
trklib_npm_ci() {
    local dir=$1
    local stamp=$dir/node_modules/.installed-package-lock.json
    if [[ -f $stamp ]] && cmp -s "$dir/package-lock.json" "$stamp"; then
        return 0
    fi
    echo "Installing the npm packages of $dir (npm ci)"
    (cd "$dir" && npm ci --no-audit --no-fund) &&
        cp "$dir/package-lock.json" "$stamp"
}
