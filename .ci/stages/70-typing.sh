#!/usr/bin/env bash
# The shipped stubs must match the module that was built, and the examples must type-check
# against them strictly, as a user's code would see them from the installed wheel.
set -euo pipefail
"$venv/bin/python" -m pip install -q mypy
# From outside the source tree, so that the installed stub package is the one checked.
cd "$build"
"$venv/bin/python" -m mypy.stubtest corvina_py
"$venv/bin/python" -m mypy --strict --cache-dir "$build/mypy-cache" "$root/examples"
"$venv/bin/python" -m mypy --strict --cache-dir "$build/mypy-cache" -p corvina_convert
