#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, only those that are missing.
# As root it runs apt-get; otherwise it names the packages and stops.
set -eu
packages="cmake g++ make libjsmn-dev libgtest-dev libgmock-dev libbenchmark-dev libboost-graph-dev libgdal-dev gnuplot-nox python3-numpy python3-gdal python3-pytest $*"
missing=""
for p in $packages; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" -eq 0 ]; then
  echo "installing:$missing"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends $missing >/dev/null || {
    apt-get update >/dev/null && apt-get install -y --no-install-recommends $missing >/dev/null; }
else
  echo "missing Debian packages:$missing" >&2
  echo "install them with: sudo apt-get install$missing" >&2
  exit 1
fi
