#!/usr/bin/env bash
# Installs what the project needs on a fresh Debian machine (as root), and
# nothing that is already there.
set -euo pipefail

need=()
for pkg in cmake ninja-build g++ clang clang-format clang-tidy libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev pkg-config libtomlplusplus-dev libsqlite3-dev sqlite3 libcli11-dev nlohmann-json3-dev libsystemd-dev scdoc libpq-dev postgresql mosquitto mosquitto-clients libmosquitto-dev libcpp-httplib-dev chromium ser2net prometheus; do
  dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
done
# The Windows DLL and its test under Wine.
if [ "${Q31_SKIP_WINDOWS:-0}" != 1 ]; then
  if ! grep -qx i386 <<<"$(dpkg --print-foreign-architectures)"; then
    dpkg --add-architecture i386
    fresh_arch=1
  fi
  for pkg in g++-mingw-w64-i686-posix wine wine32:i386 wine64; do
    dpkg -s "$pkg" >/dev/null 2>&1 || need+=("$pkg")
  done
fi
if [ ${#need[@]} -gt 0 ] || [ -n "${fresh_arch:-}" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi
