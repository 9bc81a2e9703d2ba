#!/usr/bin/env bash
# `pip install .` as docs/python.md says: offline, without build isolation,
# into a virtual environment that sees Debian's numpy; then the installed
# package is imported and run. On a copy of the tree, so that the source
# folder stays as it is.
#   pip_install.sh SOURCE_DIR PYTHON
set -euo pipefail
source=$1
python=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
(cd "$source" && tar --exclude='./build*' --exclude='./.git' -cf - .) | tar -xf - -C "$work/src"
"$python" -m venv --system-site-packages "$work/venv"
(cd "$work/src" && "$work/venv/bin/pip" install --no-build-isolation --no-index --quiet .)
cd "$work"
"$work/venv/bin/python" - <<'PY'
import numpy as np
import qova
assert qova.__file__.startswith(__import__("sys").prefix), qova.__file__
img = np.array([[[200, 120, 40]]], np.uint8)
print(qova.__version__, qova.hsi(img).tolist(), qova.saturation(img, 30).tolist())
PY
