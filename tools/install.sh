#!/usr/bin/env bash
# Installs corvina_py and corvina-convert into a virtual environment of their own, built with the
# first Python 3.13 or later found (see tools/find-python.sh; PYTHON chooses another):
#
#   bash tools/install.sh [VENV]        VENV defaults to .venv in the project folder
#
# Nothing has to be activated first, and nothing is installed into the interpreter itself
# (Debian's own Python refuses that anyway). Afterwards VENV/bin/python imports the module and
# VENV/bin/corvina-convert is the converter.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv=${1:-$root/.venv}
# shellcheck source=find-python.sh
source "$root/tools/find-python.sh"

python=$(find_python)
version=$("$python" -c 'import sys; print(sys.version.split()[0])')
echo "installing corvina_py into $venv with Python $version ($python);" \
  "compiling the module takes a minute or two"
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
# The module is compiled here: a C++20 compiler is needed; CMake comes from PyPI when missing.
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check "$root"
echo "installed: $venv/bin/python has corvina_py, $venv/bin/corvina-convert converts"
