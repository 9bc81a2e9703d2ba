#!/usr/bin/env bash
# Installs the build tree into a scratch prefix and builds the consumer
# programs against it, then runs them and the installed tool.
set -euo pipefail
build=$1 source=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cmake --install "$build" --prefix "$scratch/prefix" > /dev/null
export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig"
cmake -S "$source/tests/consumer" -B "$scratch/consumer" -DCMAKE_PREFIX_PATH="$scratch/prefix" > /dev/null
cmake --build "$scratch/consumer" > /dev/null
"$scratch/consumer/with_reference_host"
"$scratch/consumer/with_own_host"
# The installed tool finds its table and sample under the prefix.
cd "$scratch" && "$scratch/prefix/bin/qova" demo "$scratch/demo" > /dev/null
test -s "$scratch/demo/contact-sheet.png"
# man finds the manual page under the prefix.
test "$(MANPATH="$scratch/prefix/share/man" man -w qova)" = "$scratch/prefix/share/man/man1/qova.1"
page=$(MANPATH="$scratch/prefix/share/man" MANWIDTH=200 man qova 2> /dev/null)
[[ "$page" == *"qova - saturation, hue polarisation and a wavelength band filter"* ]]
echo "installed tree works"
