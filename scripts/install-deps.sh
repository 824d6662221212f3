#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need.
# Fast and silent apart from one line when everything is already there;
# otherwise one `apt-get update` and one `apt-get install` of what is missing.
set -euo pipefail

# package            what needs it
packages=(
    cmake                       # configure, CTest, CPack
    ninja-build                 # generator of every preset
    g++                         # native preset (with ASan/UBSan runtimes)
    clang clang-14              # fuzz preset
    libclang-rt-14-dev          # libFuzzer and the sanitizer runtimes for clang
    g++-mingw-w64-x86-64-posix  # windows preset
    wine wine64                 # runs the .exe and its tests
    googletest                  # sources in /usr/src/googletest, built per preset
    python3                     # controller simulator, corpus generator
    util-linux                  # flock, setsid
    coreutils                   # timeout
    procps                      # ps, pgrep -s for clean-up checks
    zip unzip                   # package checks by hand; CPack itself uses libarchive
    clang-format-14             # formatting check of the C++
    shellcheck                  # lint of the shell scripts
    yamllint                    # lint of the CI workflow
    socat python3-serial        # the simulator on a serial pair
)

installed() {
    [ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" = "install ok installed" ]
}

missing=()
for p in "${packages[@]}"; do
    installed "$p" || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        sudo=(sudo)
    else
        echo "install-deps: not root and no sudo; install these by hand: ${missing[*]}" >&2
        exit 1
    fi
fi
# With recommends, as on the machines where the Wine behaviour was checked.
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q </dev/null
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q "${missing[@]}" </dev/null

still=()
for p in "${missing[@]}"; do
    installed "$p" || still+=("$p")
done
if [ ${#still[@]} -ne 0 ]; then
    echo "install-deps: still missing after install: ${still[*]}" >&2
    exit 1
fi
echo "install-deps: done"
