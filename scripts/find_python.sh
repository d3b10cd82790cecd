#!/bin/sh
# find_python.sh [VERSION]: prints the CPython interpreter of VERSION (default 3.9; the usual build,
# with the interpreter lock) to build with: $PYTHON, pythonVERSION on PATH, or pyenv's.
# find_python.sh --default VERSION...: prints the version to build for when none is named: the first
# of VERSION... found (3.9 first, then the newest), saying so on stderr when it is not the first;
# nothing, and status 1, when none is found.
works() {
  [ -n "$1" ] && "$1" -c 'import sys, platform, sysconfig
assert platform.python_implementation() == "CPython" and not sysconfig.get_config_var("Py_GIL_DISABLED")
assert "%d.%d" % sys.version_info[:2] == sys.argv[1]' "$2" >/dev/null 2>&1
}
locate() {
  if works "python$1" "$1"; then command -v "python$1"; return 0; fi
  root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for p in "$root"/versions/"$1".*/bin/python"$1"; do
    if works "$p" "$1"; then echo "$p"; return 0; fi
  done
  return 1
}

if [ "$1" = "--default" ]; then
  shift
  preferred=$1
  for version in "$@"; do
    if interp=$(locate "$version"); then
      if [ "$version" != "$preferred" ]; then
        echo "find_python: no CPython $preferred found; building for CPython $version ($interp), the newest found" \
             "(PYVER=3.X or PYTHON=... chooses another)" >&2
      fi
      echo "$version"; exit 0
    fi
  done
  echo "find_python: none of CPython $* found (put python3.X on PATH, install it with pyenv or" \
       "the Debian package python3)" >&2
  exit 1
fi

version=${1:-3.9}
if [ -n "$PYTHON" ]; then
  if works "$PYTHON" "$version"; then echo "$PYTHON"; exit 0; fi
  echo "find_python: \$PYTHON=$PYTHON is not a working CPython $version" >&2; exit 1
fi
if locate "$version"; then exit 0; fi
echo "find_python: no CPython $version found (set PYTHON, put python$version on PATH or install it with pyenv)" >&2
exit 1
