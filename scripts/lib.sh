# Shared by the scripts: install the Debian packages a step needs, or say how to.
# shellcheck shell=bash

need_packages() {
    local missing=()
    local p
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages; install them with:" >&2
        echo "  sudo apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    echo "installing: ${missing[*]}" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -q >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
}

build_packages=(cmake ninja-build g++ pkg-config libusb-1.0-0-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev umockdev libumockdev-dev tmux)
