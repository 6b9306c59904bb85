#!/usr/bin/env bash
# Installs the Debian packages that building and testing tarnsolve needs.
# Idempotent: packages already present are skipped; apt is consulted only when
# something is missing. Runs as root (or through sudo when available).
set -euo pipefail

packages=(g++ cmake make libgtest-dev libcfitsio-dev libcgal-dev libfftw3-dev libgmp-dev libmpfr-dev pkg-config)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ] && command -v sudo >/dev/null 2>&1; then SUDO=sudo; fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
