#!/bin/sh
# Installs the built program into a scratch prefix, checks that exactly the program and its
# manual page arrive, then removes them with `make uninstall` and checks that nothing is left.
set -eu
source_dir=$1
build_dir=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build_dir" --prefix "$prefix" >/dev/null
installed=$(cd "$prefix" && find . -type f | sort | tr '\n' ' ')
expected="./bin/wirrtex ./share/man/man1/wirrtex.1 "
if [ "$installed" != "$expected" ]; then
  echo "installed: $installed"; echo "expected:  $expected"; exit 1
fi
[ -x "$prefix/bin/wirrtex" ] || { echo "bin/wirrtex is not executable"; exit 1; }
make -s -C "$source_dir" uninstall PREFIX="$prefix" >/dev/null
left=$(cd "$prefix" && find . -type f | wc -l)
[ "$left" -eq 0 ] || { echo "uninstall left $left files"; exit 1; }
echo "install and uninstall: 1 passed, 0 failed"
