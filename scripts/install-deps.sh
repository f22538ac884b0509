#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the tests need and this
# machine lacks. Safe to run again: installed packages are left alone.
set -euo pipefail

packages=(
  g++ cmake ninja-build python3
  libgtest-dev libbenchmark-dev
  libcli11-dev nlohmann-json3-dev libssl-dev libtomlplusplus-dev libpugixml-dev libcsv-dev
  clang-16 lld-16 llvm-16 libclang-rt-16-dev
  osslsigncode openssl python3-pefile
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
