#!/usr/bin/env bash
# Makes sure the Debian packages that building and testing lndb need are
# installed: installs the missing ones with apt-get when run as root, else
# prints the exact apt-get line to run and fails.
set -euo pipefail

packages=(cmake make g++ binutils libgtest-dev libgmock-dev libbenchmark-dev libpugixml-dev python3
          # the lndb command takes sockets passed by systemd, parses its command
          # line with CLI11 and writes --json with nlohmann-json
          libsystemd-dev libcli11-dev nlohmann-json3-dev
          # the lndb man page, made from its --help
          help2man
          # the package check and the ABI check
          abigail-tools pkg-config dpkg-dev file
          # the service units (systemd-analyze, systemd-socket-activate) and the
          # rotation of the logs
          systemd logrotate)

missing=()
for package in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
    [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -q
    apt-get install -y -q --no-install-recommends "${missing[@]}"
else
    echo "Missing Debian packages. Install them with:" >&2
    echo "  sudo apt-get install -y ${missing[*]}" >&2
    exit 1
fi
