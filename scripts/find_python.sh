#!/bin/sh
# Prints the CPython 3.9 interpreter to build with: $PYTHON, python3.9 on PATH, or pyenv's 3.9.
works() { [ -n "$1" ] && "$1" -c 'import sys; assert sys.version_info[:2] == (3, 9)' >/dev/null 2>&1; }
if [ -n "$PYTHON" ]; then
  if works "$PYTHON"; then echo "$PYTHON"; exit 0; fi
  echo "find_python: \$PYTHON=$PYTHON is not a working CPython 3.9" >&2; exit 1
fi
if works python3.9; then command -v python3.9; exit 0; fi
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for p in "$root"/versions/3.9*/bin/python3.9; do
  if works "$p"; then echo "$p"; exit 0; fi
done
echo "find_python: no CPython 3.9 found (set PYTHON, put python3.9 on PATH or install it with pyenv)" >&2
exit 1
