#!/usr/bin/env bash
# Installs, with apt-get, whatever the build, the tests and the demo need and
# this Debian 12 machine lacks. Installing needs root; when all is there it
# does nothing and any user may run it.
set -euo pipefail
pkgs=(build-essential cmake ninja-build clang libclang-rt-14-dev
      libgtest-dev libgmock-dev libbenchmark-dev libexpat1-dev
      iproute2 util-linux procps nftables python3 python3-dbfread libdbd-xbase-perl)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  if [ "$(id -u)" != 0 ]; then
    echo "bootstrap: missing ${missing[*]}; installing them needs root (run scripts/bootstrap.sh as root)" >&2
    exit 2
  fi
  echo "bootstrap: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
