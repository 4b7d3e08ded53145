# shellcheck shell=bash
# Functions shared by the scripts in this directory; sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
VENV_DIR="$ROOT/.venv"
ALL_VENVS=(cp-np2 cp-np1 pp-np1 pp-np2)

# Scripts must not pick up a developer's dev-build module instead of the installed one.
unset PYTHONPATH PYTHONHOME

say() { printf '%s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

is_known_venv() {
  local v
  for v in "${ALL_VENVS[@]}"; do [[ $v == "$1" ]] && return 0; done
  return 1
}

venv_python() { printf '%s\n' "$VENV_DIR/$1/bin/python"; }

# Runs a command with its output captured; the output is shown only if it fails,
# so a green run stays short but a broken build still explains itself.
run_logged() {
  local what=$1; shift
  local log
  log="$(mktemp)"
  "$@" >"$log" 2>&1 && { rm -f "$log"; return 0; }
  local rc=$?
  say "---- $what failed (exit $rc); output follows ----"
  cat "$log" >&2
  say "---- end of output of $what ----"
  rm -f "$log"
  return $rc
}

# Several developers share one work tree: serialise whatever writes to one venv or build dir.
with_lock() {
  local lockfile=$1; shift
  mkdir -p "$(dirname "$lockfile")"
  ( flock 9; "$@" ) 9>"$lockfile"
}

as_root() {
  if [[ $(id -u) -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null; then
    sudo "$@"
  else
    die "need root (or sudo) to run: $*"
  fi
}

# pip install of the working tree into one venv. Each venv keeps its own build directory: venvs
# of one wheel tag sharing build/<wheel tag> recompile everything whenever they take turns.
install_module() {
  run_logged "pip install . into .venv/$1" \
    "$(venv_python "$1")" -m pip install --disable-pip-version-check --no-build-isolation \
    --no-deps -q --config-settings=build-dir="build/pip-$1" "$ROOT"
}
