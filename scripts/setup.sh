#!/bin/sh
# Installs the Debian packages vesk needs to build, test and run.
# Quiet and quick when everything is already present.
set -eu

PACKAGES="build-essential cmake make pkg-config clang libclang-rt-14-dev
libgtest-dev libgmock-dev libbenchmark-dev libmpfr-dev libgmp-dev
libboost-dev libboost-graph-dev libcli11-dev nlohmann-json3-dev
libxml2-utils python3 python3-dev python3-venv python3-pip
python3-setuptools pybind11-dev python3-pybind11 python3-numpy python3-matplotlib
python3-pytest octave liboctave-dev libopenmpi-dev openmpi-bin"

missing=""
for p in $PACKAGES; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  case "$status" in
    *"install ok installed"*) ;;
    *) missing="$missing $p" ;;
  esac
done

[ -z "$missing" ] && exit 0

echo "setup: installing:$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then
  if command -v sudo >/dev/null 2>&1; then SUDO="sudo"; else
    echo "setup: need root (or sudo) to install:$missing" >&2; exit 1
  fi
fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
echo "setup: done"
