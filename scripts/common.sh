# Shared by the project's scripts: install what is missing, then configure and build.
# shellcheck shell=bash

QUORRIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUORRIN_BUILD="${QUORRIN_BUILD:-$QUORRIN_ROOT/build}"

QUORRIN_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libopencv-dev libjpeg-dev libcpp-httplib-dev libx11-dev zlib1g-dev dbus qtkeychain-qt5-dev gnome-keyring
                  xvfb xdotool x11-utils imagemagick fonts-wqy-microhei fonts-noto-cjk fonts-dejavu-core fontconfig pngcheck qttranslations5-l10n
                  qttools5-dev-tools qttools5-dev clang libclang-rt-14-dev libheif-dev libheif-examples liblcms2-dev)

quorrin_install_packages() {
    local missing=()
    for package in "${QUORRIN_PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
            || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# quorrin_build [extra cmake arguments...]; QUORRIN_CMAKE_ARGS adds more (a sanitized build, say).
quorrin_build() {
    # shellcheck disable=SC2086
    cmake -S "$QUORRIN_ROOT" -B "$QUORRIN_BUILD" ${QUORRIN_CMAKE_ARGS:-} "$@" >/dev/null
    cmake --build "$QUORRIN_BUILD" -j"$(nproc)"
}

quorrin_configured_endpoint() {
    sed -n 's/^QUORRIN_SERVICE_URL:STRING=//p' "$QUORRIN_BUILD/CMakeCache.txt"
}

quorrin_port_open() {
    (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts quorrin-localservice on the default port unless something listens there already.
# Sets QUORRIN_SERVICE_PID when it started one.
quorrin_start_localservice() {
    QUORRIN_SERVICE_PID=""
    if quorrin_port_open 8711; then
        echo "Using the service already listening on 127.0.0.1:8711, as it is (it was not started here, so"
        echo "QUORRIN_LOCALSERVICE_ARGS does not reach it; stop it first to start one with other options)"
        return 0
    fi
    "$QUORRIN_BUILD/localservice/quorrin-localservice" "$@" >"$QUORRIN_BUILD/localservice.log" 2>&1 &
    QUORRIN_SERVICE_PID=$!
    for _ in $(seq 100); do
        quorrin_port_open 8711 && { echo "Started the local service (log: $QUORRIN_BUILD/localservice.log)"; return 0; }
        kill -0 "$QUORRIN_SERVICE_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "The local service did not start; see $QUORRIN_BUILD/localservice.log" >&2
    return 1
}
