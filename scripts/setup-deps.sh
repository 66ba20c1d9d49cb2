#!/usr/bin/env bash
# Makes sure the build and test tools are installed. As root it installs what is missing with
# apt-get; otherwise it names the packages and stops.
# Usage: scripts/setup-deps.sh [run|test]
set -euo pipefail

purpose="${1:-run}"
packages=(build-essential cmake libssl-dev python3 openssl)
if [ "$purpose" = test ]; then
  packages+=(libgtest-dev libgmock-dev libbenchmark-dev clang)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -eq 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "missing packages: ${missing[*]}" >&2
  echo "install them with: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
