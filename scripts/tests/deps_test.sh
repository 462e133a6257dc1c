#!/usr/bin/env bash
# What scripts/run.sh installs before it builds: the packages that building
# and running need, never npm or a test peer; and what scripts/deps.sh
# --tests (scripts/test.sh) adds: the peers and the JavaScript peers.
# The scripts run from a copy, on a machine where nothing is installed, with
# stand-ins for the package tools, cmake and npm that only record their calls.
set -uo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root="$work/root"
bin="$work/bin"
log="$work/calls"
mkdir -p "$root/scripts" "$root/xades/tests/node" "$bin"
cp "$src/scripts/run.sh" "$src/scripts/deps.sh" "$root/scripts/"
cp "$src/xades/tests/node/package.json" "$root/xades/tests/node/"
: >"$log"

# Only these tools are on the path, so that no real npm or apt-get is reached.
for tool in bash env grep id dirname cat nproc; do
  ln -s "$(command -v "$tool")" "$bin/$tool"
done
stub() {
  printf '#!%s\n%s\n' "$(command -v bash)" "$2" >"$bin/$1"
  chmod +x "$bin/$1"
}
stub dpkg-query 'exit 1'
stub sudo '"$@"'
stub debconf-set-selections 'cat >/dev/null'
stub apt-get "echo \"apt-get \$*\" >>'$log'"
stub cmake "echo \"cmake \$*\" >>'$log'"

failed=0
fail() {
  echo "FAIL: $*"
  failed=1
}
installed() { grep '^apt-get install' "$log" | tr ' ' '\n'; }

# run.sh: npm is not there, and nothing may ask for it.
PATH="$bin" "$bin/bash" "$root/scripts/run.sh" >"$work/run.out" 2>&1
grep -q '^cmake --build' "$log" || { cat "$work/run.out"; fail "run.sh did not reach the build"; }
installed | grep -qx qt6-base-dev || fail "run.sh did not install the Qt development files"
for p in npm nodejs xmlsec1 xvfb xdotool cabextract slapd clang; do
  installed | grep -qx "$p" && fail "run.sh installs $p, which only the tests need"
done

# deps.sh --tests: the peers too, and the JavaScript peers through npm.
: >"$log"
stub npm "echo \"npm \$*\" >>'$log'"
PATH="$bin" "$bin/bash" "$root/scripts/deps.sh" --tests >"$work/tests.out" 2>&1 ||
  { cat "$work/tests.out"; fail "deps.sh --tests failed"; }
for p in qt6-base-dev xmlsec1 xvfb xdotool cabextract slapd clang; do
  installed | grep -qx "$p" || fail "deps.sh --tests does not install $p"
done
grep -q "^npm install --prefix $root/xades/tests/node" "$log" || fail "deps.sh --tests does not install the JavaScript peers"

# test.sh asks for the test set.
grep -q 'scripts/deps.sh" --tests' "$src/scripts/test.sh" || fail "test.sh does not install the test peers"
exit $failed
