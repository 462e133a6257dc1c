#!/usr/bin/env bash
# Installs the Debian packages the project builds and runs with; with --tests
# also the peers that the tests, benchmarks and fuzz targets check against,
# npm and the JavaScript peers. scripts/run.sh installs only the first set,
# scripts/test.sh both.
# Idempotent: when everything is there it only checks and returns.
set -euo pipefail

tests=0
case "${1:-}" in
  "") ;;
  --tests) tests=1 ;;
  *) echo "usage: $0 [--tests]" >&2; exit 2 ;;
esac

PACKAGES=(
  # build (the configure step looks for GoogleTest even for the program alone)
  build-essential cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  # libraries
  qt6-base-dev libqt6svg6 libssl-dev libxml2-dev libcurl4-openssl-dev libldap-dev
  libp11-dev uuid-dev libglib2.0-dev esnacc libesnacc-dev zlib1g-dev
  # fonts that stand in for the usual printer faces
  fonts-dejavu-core fonts-liberation fontconfig
  # Qt's own texts in Polish
  qt6-translations-l10n
)
TEST_PACKAGES=(
  # the fuzz targets' compiler
  clang libclang-rt-14-dev
  # peers the tests check against
  openssl cabextract gcab 7zip libarchive-tools xmlsec1 libxml2-utils
  slapd ldap-utils softhsm2 opensc python3 python3-xmlschema tzdata
  # printing to PDF checked with poppler, the program driven on a virtual display
  poppler-utils xvfb xdotool xclip
  # peers of the page-rendering benchmark
  emf2svg librsvg2-bin
  # reference of the LZX compressor benchmark
  xz-utils
  # peak memory of the benchmarks' child processes
  time
)
[ $tests -eq 1 ] && PACKAGES+=("${TEST_PACKAGES[@]}")

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
# node and npm for the JavaScript peers of the tests; a machine may have them
# from elsewhere.
if [ $tests -eq 1 ]; then
  command -v npm >/dev/null 2>&1 || missing+=(npm)
fi
if [ ${#missing[@]} -ne 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # slapd's own configuration step would start a server; tests start theirs.
  echo "slapd slapd/no_configuration boolean true" | $SUDO debconf-set-selections 2>/dev/null || true
  $SUDO apt-get update -qq
  $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
[ $tests -eq 1 ] || exit 0

# JavaScript peers of the tests, in a folder of their own (node_modules is not
# committed); skipped when the installed versions are the ones asked for.
NODE_PEERS="$(cd "$(dirname "$0")/.." && pwd)/xades/tests/node"
if [ ! -f "$NODE_PEERS/node_modules/.package-lock.json" ] ||
   [ "$NODE_PEERS/package.json" -nt "$NODE_PEERS/node_modules/.package-lock.json" ]; then
  npm install --prefix "$NODE_PEERS" --no-audit --no-fund --loglevel=error
fi
