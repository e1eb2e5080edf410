# Shared by scripts/demo and scripts/test: finding a Python and making venvs.
# Sourced, not run.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out=${OSTREL_OUT:-$root/out}
mkdir -p "$out"

say() { printf '\n== %s\n' "$*"; }

# find_python 3.12 -> path of a working python3.12. $OSTREL_PYTHON312 (or
# $OSTREL_PYTHON313 ...) wins; then pythonX.Y on PATH; then pyenv's versions.
find_python() {
  local version=$1 var="OSTREL_PYTHON${1/./}" candidate
  local candidates=("${!var:-}" "$(command -v "python$version" 2>/dev/null || true)")
  local pyenv_root
  pyenv_root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
  for candidate in "$pyenv_root"/versions/"$version"*/bin/python"$version" \
                   /usr/bin/python"$version" /usr/local/bin/python"$version"; do
    candidates+=("$candidate")
  done
  for candidate in "${candidates[@]}"; do
    [ -n "$candidate" ] && [ -x "$candidate" ] || continue
    if "$candidate" -c "import sys, venv; sys.exit(sys.version_info[:2] != tuple(map(int, '$version'.split('.'))))" \
        >/dev/null 2>&1; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}

# make_venv DIR PYTHON: a virtual environment with an up-to-date pip.
make_venv() {
  local dir=$1 python=$2
  if [ ! -x "$dir/bin/python" ]; then
    "$python" -m venv "$dir"
    pip_install "$dir" --upgrade pip
  fi
}

pip_install() {
  local dir=$1
  shift
  # This machine's pip configuration names local mirrors that may be absent; drop that noise.
  "$dir/bin/python" -m pip install --quiet --disable-pip-version-check "$@" \
    2> >(grep -v '^WARNING: Location .* is ignored' >&2)
}

# install_debian_packages COMMAND:PACKAGE...: apt-get installs each PACKAGE
# whose COMMAND is missing (as root, or through sudo), without questions.
install_debian_packages() {
  local pair missing=()
  for pair in "$@"; do
    command -v "${pair%%:*}" >/dev/null 2>&1 || missing+=("${pair#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  echo "installing ${missing[*]} (Debian packages)"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    > "$out/apt-get.log" 2>&1 || { tail -20 "$out/apt-get.log"; return 1; }
}

# cpp_report LOG XML: the C++ test program's closing line ("N passed, N
# failed, N skipped") as a JUnit summary for the test command's totals.
cpp_report() {
  local counts
  counts=$(tail -1 "$1" | sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed, \([0-9]*\) skipped$/\1 \2 \3/p')
  [ -n "$counts" ] || { echo "error: no closing line in $1" >&2; return 1; }
  set -- "$2" $counts
  printf '<testsuite name="cpp" tests="%d" failures="%d" errors="0" skipped="%d"/>\n' \
    $(($2 + $3 + $4)) "$3" "$4" > "$1"
}
