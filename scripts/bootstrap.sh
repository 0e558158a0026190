#!/usr/bin/env bash
# Installs everything the build and the tests need on a fresh Debian machine:
# Debian packages (only those missing), a .venv with CPython 3.12 and the
# Python build and test tools. Safe to run again; it does nothing twice.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(
  g++ make cmake ninja-build pkg-config git
  libabsl-dev libgtest-dev libgmock-dev libicu-dev libisal-dev libssl-dev zlib1g-dev
  # fuzzing (make fuzz): clang with libFuzzer and its sanitizer runtimes
  clang-14 libclang-rt-14-dev llvm-14
  # the formatting check (make check-format)
  clang-format-14
)

missing=()
for package in "${debian_packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$package")
  fi
done
if ((${#missing[@]})); then
  echo "bootstrap: installing Debian packages: ${missing[*]}"
  sudo_cmd=()
  if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# CPython 3.12, as named by .python-version (pyenv resolves it on these machines).
find_python() {
  local version
  version=$(tr -d '[:space:]' < .python-version)
  if command -v pyenv >/dev/null 2>&1; then
    local found
    found=$(pyenv prefix "$version" 2>/dev/null | head -n 1 || true)
    if [ -n "$found" ] && [ -x "$found/bin/python$version" ]; then
      echo "$found/bin/python$version"
      return
    fi
  fi
  if command -v "python$version" >/dev/null 2>&1; then
    command -v "python$version"
    return
  fi
  echo "bootstrap: CPython $version not found (install it with pyenv or your package manager)" >&2
  exit 1
}

if [ ! -x .venv/bin/python ]; then
  python=$(find_python)
  echo "bootstrap: creating .venv with $python"
  "$python" -m venv .venv
fi

stamp=.venv/.requirements-installed
if [ ! -f "$stamp" ] || [ requirements-dev.txt -nt "$stamp" ]; then
  .venv/bin/python -m pip install -q --upgrade pip
  .venv/bin/python -m pip install -q -r requirements-dev.txt
  touch "$stamp"
fi
