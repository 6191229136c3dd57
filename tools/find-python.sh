# Sourced by run_tests.sh and tools/install.sh: find_python prints a Python 3.13 or later (with
# the interpreter lock, the kind the module is tested and installed for).
#
# PYTHON wins when set. Otherwise python3.13 and the like on the PATH, which need not work: a
# pyenv shim is on the PATH for every version pyenv has, and fails (exit 127) for one that is
# not selected. So the versions pyenv keeps are looked at too, where nothing has to be activated.
suitable_python() {
  "$1" -c 'import sys, sysconfig
sys.exit(sys.version_info < (3, 13) or bool(sysconfig.get_config_var("Py_GIL_DISABLED")))' \
    2>/dev/null
}

find_python() {
  local candidate
  local -a kept
  if [ -n "${PYTHON:-}" ]; then
    if ! suitable_python "$PYTHON"; then
      echo "PYTHON=$PYTHON is not a Python 3.13 or later with the interpreter lock" >&2
      return 1
    fi
    command -v "$PYTHON"
    return 0
  fi
  mapfile -t kept < <(printf '%s\n' "${PYENV_ROOT:-$HOME/.pyenv}"/versions/3.1[3-9]*/bin/python3 |
    sort -V)
  for candidate in python3.13 python3.14 python3 "${kept[@]}"; do
    if suitable_python "$candidate"; then
      command -v "$candidate"
      return 0
    fi
  done
  echo "no Python 3.13 or later found; install one, or set PYTHON to its path" >&2
  return 1
}
