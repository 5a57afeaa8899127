# Shared by the project's scripts: install what is missing, then configure and build.
# shellcheck shell=bash

QUORRIN_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
QUORRIN_BUILD="${QUORRIN_BUILD:-$QUORRIN_ROOT/build}"

QUORRIN_PACKAGES=(cmake g++ make pkg-config qtbase5-dev libopencv-dev libcpp-httplib-dev libx11-dev
                  xvfb xdotool x11-utils imagemagick fonts-wqy-microhei)

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

# quorrin_build [extra cmake arguments...]
quorrin_build() {
    cmake -S "$QUORRIN_ROOT" -B "$QUORRIN_BUILD" "$@" >/dev/null
    cmake --build "$QUORRIN_BUILD" -j"$(nproc)"
}
