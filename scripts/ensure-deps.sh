#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when absent.
#   ensure-deps.sh        what the build and the test suite need
#   ensure-deps.sh build  only what building the programs needs (make run)
#   ensure-deps.sh clang  that, and clang (make check-clang)
#   ensure-deps.sh fuzz   that, and clang with its libFuzzer and sanitizer
#                         run-time libraries (scripts/run-fuzzers.sh)
set -euo pipefail
pkgs=(cmake g++ make)
# The test suite: GoogleTest; man-db and groff-base render the manual pages.
tests=(libgtest-dev libgmock-dev man-db groff-base)
case "${1:-}" in
  build) ;;
  clang) pkgs+=("${tests[@]}" clang) ;;
  fuzz) pkgs+=("${tests[@]}" clang libclang-rt-14-dev) ;;
  *) pkgs+=("${tests[@]}") ;;
esac
need=()
for pkg in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
