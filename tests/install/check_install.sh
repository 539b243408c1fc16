#!/bin/sh
# Installs the project into a scratch prefix, builds an outside program
# against it twice (with pkg-config and with find_package(ZorvDaq)) and runs
# the installed program.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR ZORV_DAQ_PROGRAM
set -eu
build=$1 src=$2 prog=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
"$prog" gen --sample -o "$work/sample" >/dev/null
file=$(ls "$work"/sample/*.raw | head -n 1)

# pkg-config
libdir=$(ls -d "$work"/prefix/lib*/pkgconfig | head -n 1)
PKG_CONFIG_PATH=$libdir
export PKG_CONFIG_PATH
c++ "$src/tests/install/outside.cpp" -o "$work/outside" $(pkg-config --cflags --libs zorvdaq) \
    -Wl,-rpath,"$(dirname "$libdir")"
"$work/outside" "$file" | grep -q '^channels [1-9]'

# CMake package
mkdir "$work/cm"
cp "$src/tests/install/outside.cpp" "$work/cm/"
cat > "$work/cm/CMakeLists.txt" <<'CM'
cmake_minimum_required(VERSION 3.25)
project(outside CXX)
find_package(ZorvDaq REQUIRED)
add_executable(outside outside.cpp)
target_link_libraries(outside PRIVATE ZorvDaq::zorvdaq)
CM
cmake -S "$work/cm" -B "$work/cm/build" -DCMAKE_PREFIX_PATH="$work/prefix" \
      -DCMAKE_BUILD_RPATH="$(dirname "$libdir")" >/dev/null
cmake --build "$work/cm/build" >/dev/null
"$work/cm/build/outside" "$file" | grep -q '^OK$'
# The installed program starts from its prefix without the loader being told
# where the libraries are, and comes with its completion and manual page.
installed=$work/prefix/bin/zorv-daq
env -u LD_LIBRARY_PATH "$installed" --version | grep -q '^zorv-daq [0-9]'
env -u LD_LIBRARY_PATH "$installed" ls "$file" | grep -q '"name"'
completion=$work/prefix/share/bash-completion/completions/zorv-daq
test "$(env -u LD_LIBRARY_PATH bash -c '. "$1"; COMP_WORDS=("$2" read --ch); COMP_CWORD=2; _zorv_daq;
    echo "${COMPREPLY[@]}"' sh "$completion" "$installed")" = "--chan"
if command -v help2man >/dev/null; then
    grep -q '^\.SS read' "$work/prefix/share/man/man1/zorv-daq.1"
fi
# The Python module, when built, from the installed prefix alone.
pydir=$(ls -d "$work"/prefix/lib/python3*/dist-packages 2>/dev/null | head -n 1)
if [ -n "$pydir" ] && [ -d "$pydir/zorvdaq" ]; then
    ZORV_DAQ_READER_IGNORE_FILE_CLOSE_TIME=1 PYTHONPATH=$pydir /usr/bin/python3 -c '
import sys, zorvdaq
with zorvdaq.open(sys.argv[1]) as run:
    assert zorvdaq.__file__.startswith(sys.argv[2]) and len(run.arrays(limit=2)) == 2
' "$file" "$pydir" >/dev/null
fi
echo "install check passed"
