#!/usr/bin/env bash
# The docs site: built with `mkdocs build --strict`, so a broken link, a missing page or a
# reference that names nothing fails the run, and its index and two guides opened in headless
# Chromium, which must render them with no console message. The code blocks of the README and
# of the guides run in the module's suite (tests/python/test_docs_blocks.py), against the
# installed wheel like every other test there, not here.
#
# MkDocs and its plugins go into a virtual environment of their own, with the wheel the suite
# tests: the reference pages import the converter (its argument parser) and the module (its doc
# texts). Chromium comes from apt; where nothing can be installed (not root) and none is found,
# the browser check is left out and the stage says so.
set -euo pipefail
: "${root:?}" "${build:?}" "${python:?}" "${dist:?}"
# shellcheck source=../../tools/apt-lock.sh
source "$root/tools/apt-lock.sh"

docs_venv="$build/venv-docs"
site="$build/site"
if [ ! -x "$docs_venv/bin/python" ]; then
  "$python" -m venv "$docs_venv"
fi
"$docs_venv/bin/python" -m pip install -q --disable-pip-version-check mkdocs mkdocs-material \
  "mkdocstrings[python]"
wheel=$(ls "$dist"/corvina_py-*-cp313-cp313-*.whl | head -n 1)
"$docs_venv/bin/python" -m pip install -q --disable-pip-version-check --no-index --no-deps \
  --force-reinstall "$wheel"

echo "-- mkdocs build --strict, at $SECONDS s"
cd "$root"
NO_MKDOCS_2_WARNING=1 "$docs_venv/bin/mkdocs" build --strict --clean -d "$site"

browser=""
for candidate in chromium chromium-browser; do
  if command -v "$candidate" >/dev/null; then browser=$candidate; break; fi
done
if [ -z "$browser" ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null; then
  echo "-- installing Chromium, at $SECONDS s"
  export DEBIAN_FRONTEND=noninteractive
  with_apt_lock apt-get update -qq
  with_apt_lock apt-get install -y -qq chromium >/dev/null
  browser=chromium
fi
if [ -z "$browser" ]; then
  echo "no Chromium, and none can be installed here (not root): the pages are not opened" >&2
  exit 0
fi
echo "-- the pages in headless Chromium, at $SECONDS s"
"$docs_venv/bin/python" "$root/tools/check_site.py" "$site" --screenshots "$build/site-shots"
echo "the docs site builds and renders; screenshots in $build/site-shots"
