#!/bin/sh
# Prints the CPython interpreter of version $1 (default 3.9; the usual build, with the interpreter lock) to build
# with: $PYTHON, python$1 on PATH, or pyenv's.
version=${1:-3.9}
works() {
  [ -n "$1" ] && "$1" -c 'import sys, platform, sysconfig
assert platform.python_implementation() == "CPython" and not sysconfig.get_config_var("Py_GIL_DISABLED")
assert "%d.%d" % sys.version_info[:2] == sys.argv[1]' "$version" >/dev/null 2>&1
}
if [ -n "$PYTHON" ]; then
  if works "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  echo "find_python: \$PYTHON=$PYTHON is not a working CPython $version" >&2; exit 1
fi
if works "python$version"; then command -v "python$version"; exit 0; fi
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for p in "$root"/versions/"$version".*/bin/python"$version"; do
  if works "$p"; then echo "$p"; exit 0; fi
done
echo "find_python: no CPython $version found (set PYTHON, put python$version on PATH or install it with pyenv)" >&2
exit 1
