#!/usr/bin/env bash
# Installs what building and testing HexlornS needs on Debian 12, as root.
# Packages already installed are left as they are; apt-get runs only when
# something is missing.
set -euo pipefail

packages=(
    cmake ninja-build g++ python3 git           # the build
    libgtest-dev googletest                     # unit tests on the simulated Windows
    clang libclang-rt-14-dev clang-format       # fuzzing and formatting
    mingw-w64 binutils-mingw-w64-x86-64         # the real HexlornS.exe
    wine wine64                                 # our Windows for end-to-end tests
    wixl msitools                               # the MSI package
    python3-pefile                              # the PE check reads the exe
    osslsigncode openssl                        # Authenticode signing and its test
)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "setup.sh: run as root to install packages" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq "${missing[@]}" >/dev/null
fi
