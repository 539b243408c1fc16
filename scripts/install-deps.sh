#!/bin/sh
# Installs the Debian packages the build, the tests and the tools need.
# Idempotent: does nothing (and prints nothing) when everything is present.
set -eu

PACKAGES="g++ cmake make pkg-config zlib1g-dev liblzo2-dev libpugixml-dev
libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev
libpng-dev libdeflate-dev clang libclang-rt-14-dev valgrind help2man
python3 python3-dev pybind11-dev python3-numpy python3-pandas python3-xarray python3-tqdm
python3-matplotlib python3-pytest python3-hypothesis python3-dask python3-distributed"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
        missing="$missing $p"
    fi
done
[ -z "$missing" ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi
echo "installing:$missing" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# shellcheck disable=SC2086
$SUDO apt-get install -y -qq --no-install-recommends $missing >/dev/null
