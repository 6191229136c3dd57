#!/usr/bin/env bash
# The sdist as a user without a wheel for their platform meets it: pip builds it in isolation,
# with the build backend from PyPI and the machine's own compiler, into a new environment. A
# file missing from the sdist, or a build requirement that is not declared, fails here, where a
# build from the work tree would pass.
set -euo pipefail
: "${root:?}" "${build:?}" "${python:?}" "${dist:?}"
sdist=$(ls "$dist"/corvina_py-*.tar.gz)
sdist_venv="$build/venv-sdist"
rm -rf "$sdist_venv"
"$python" -m venv "$sdist_venv"
# As a debug build (-O0): what is proven here is that the sdist builds and installs; the
# optimised code is the wheel's, which the main run tests.
"$sdist_venv/bin/python" -m pip install -q -C cmake.build-type=Debug "$sdist"
cd "$build"
"$sdist_venv/bin/python" -c 'import corvina_py, sys
assert corvina_py.__file__.startswith(sys.prefix), corvina_py.__file__'
"$sdist_venv/bin/python" "$root/examples/summary.py" "$root/examples/statement.txt" >/dev/null
"$sdist_venv/bin/corvina-convert" --format summary "$root/examples/statement.txt" >/dev/null
echo "the sdist builds and installs: $(basename "$sdist")"
