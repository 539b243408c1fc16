#!/bin/sh
# Writes a help2man include file with one section per subcommand of the
# program, each the subcommand's own --help, so that the manual page lists
# every option.  Usage: man-subcommands.sh PROGRAM OUTPUT
set -eu
prog=$1 out=$2
subs=$("$prog" --help | sed -n '/^Subcommands:/,$ s/^  \([a-z][a-z-]*\) .*/\1/p')
{
    echo "[SUBCOMMANDS]"
    for s in $subs; do
        echo ".SS $s"
        echo ".nf"
        "$prog" "$s" --help | sed -e 's|^Usage: .*zorv-daq|Usage: zorv-daq|' -e 's/\\/\\e/g' -e 's/^\./\\\&./' -e "s/^'/\\\\\\&'/"
        echo ".fi"
    done
} > "$out"
