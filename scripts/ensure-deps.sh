#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only when absent.
set -euo pipefail
need=()
# man-db and groff-base: the manual pages are rendered by the tests.
for pkg in cmake g++ make libgtest-dev libgmock-dev man-db groff-base; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need+=("$pkg")
done
if [ "${#need[@]}" -gt 0 ]; then
  echo "installing: ${need[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}"
fi
