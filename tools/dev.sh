#!/usr/bin/env bash
# Set-up, build and run, or build and test, on a fresh Debian 12 machine.
#   tools/dev.sh run    install what builds and runs the program, build a release, make its CA
#                       trusted in your browsers' NSS databases (tools/trust-ca.sh) and start it
#   tools/dev.sh test   install that and the test tools, build with test hooks and sanitizers, run
#                       every test; then the unit tests and the memory and resource-limit tests in
#                       an optimised build without sanitizers
#   tools/dev.sh tsan   build under ThreadSanitizer and run the concurrency tests (their names
#                       hold "Concurrent"); "test" does this too
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc 2>/dev/null || echo 4)

# What builds and runs the program; the gost engine serves its GOST R 34.10-2012 keys.
run_packages=(
  g++ cmake ninja-build pkg-config
  libssl-dev openssl libengine-gost-openssl nlohmann-json3-dev libcurl4-openssl-dev qt6-base-dev
  libnss-myhostname tzdata libnss3-tools
)
# What the tests add: unit-test libraries, the format check, a virtual display with a tray and a
# window manager, a browser driven over WebDriver, pytest, and node for an independent GOST
# signature check.
test_packages=(
  clang-format git libgtest-dev libgmock-dev
  python3 python3-pytest curl xvfb xdotool trayer x11-utils x11-apps openbox wmctrl
  chromium chromium-driver iproute2 nodejs
)

# The independent GOST verifier of the black-box tests, pinned, installed under the test build.
gost_verifier=node-gost-crypto
gost_verifier_version=1.0.2

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

install_dependencies() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
  fi
}

# Installs the verifier into <folder>/node_modules unless that version is there; a slow or
# failing registry gets a few tries, then the test command stops with the reason, since the GOST
# tests cannot pass without it.
install_gost_verifier() {
  local folder=$1 try
  # Debian's npm only where nodejs brought none: a nodejs with its own npm conflicts with it.
  command -v npm >/dev/null || install_dependencies npm
  local installed="$folder/node_modules/$gost_verifier/package.json"
  if [ -f "$installed" ] && grep -q "\"version\": *\"$gost_verifier_version\"" "$installed"; then
    return
  fi
  mkdir -p "$folder"
  for try in 1 2 3; do
    if npm install --prefix "$folder" --prefer-offline --no-audit --no-fund --no-save \
        --fetch-timeout=60000 --fetch-retries=2 --fetch-retry-mintimeout=2000 \
        --fetch-retry-maxtimeout=10000 "$gost_verifier@$gost_verifier_version"; then
      return
    fi
    [ "$try" -eq 3 ] || sleep $((try * 10))
  done
  echo "Could not install $gost_verifier $gost_verifier_version from npm's registry into" \
    "$folder; the GOST signature tests need it. Try again later." >&2
  exit 1
}

configure_and_build() {
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -G Ninja "$@"
  cmake --build "$dir" -j "$jobs"
}

run_concurrency_tests() {
  configure_and_build "$root/build/tsan" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_TEST_HOOKS=ON -DDRAVIK_TSAN=ON
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
    ctest --test-dir "$root/build/tsan" --output-on-failure -j "$jobs" --timeout 300 -R Concurrent --no-tests=ignore
}

case "${1:-}" in
  run)
    install_dependencies "${run_packages[@]}"
    configure_and_build "$root/build/release" -DCMAKE_BUILD_TYPE=Release -DDRAVIK_TEST_HOOKS=OFF -DDRAVIK_BUILD_TESTS=OFF
    "$root/tools/trust-ca.sh" "$root/build/release/generated/tls/SSL_CertCA.pem"
    program="$root/build/release/shell/DravikPluginHost"
    if [ -x "$program" ]; then
      exec "$program"
    fi
    echo "Built the libraries in build/release; the program DravikPluginHost is not part of this build yet."
    ;;
  test)
    install_dependencies "${run_packages[@]}" "${test_packages[@]}"
    install_gost_verifier "$root/build/test/node"
    configure_and_build "$root/build/test" -DCMAKE_BUILD_TYPE=Debug -DDRAVIK_TEST_HOOKS=ON -DDRAVIK_SANITIZE=ON
    ctest --test-dir "$root/build/test" --output-on-failure -j "$jobs" --timeout 300
    configure_and_build "$root/build/opt" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDRAVIK_TEST_HOOKS=ON \
      -DDRAVIK_E2E_OPTIMISED_ONLY=ON
    ctest --test-dir "$root/build/opt" --output-on-failure -j "$jobs" --timeout 300
    run_concurrency_tests
    ;;
  tsan)
    install_dependencies "${run_packages[@]}" "${test_packages[@]}"
    run_concurrency_tests
    ;;
  *)
    echo "usage: $0 run|test|tsan" >&2
    exit 2
    ;;
esac
