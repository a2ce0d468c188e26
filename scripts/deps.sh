#!/usr/bin/env bash
# Installs the Debian packages that a job needs when any is missing.
# Usage: scripts/deps.sh build|test|bench|fuzz|clean-room
#   build       the library and the two programs (the "release" preset, scripts/demo.sh)
#   test        build + the tests; the test presets also build and smoke-run the benchmarks
#   bench       build + the benchmarks and their peers (the "bench" preset, scripts/bench.sh)
#   fuzz        build + clang's libFuzzer (the "fuzz" preset)
#   clean-room  what scripts/clean-room.sh needs on the host
set -euo pipefail

build=(g++ cmake make pkg-config libboost-dev libboost-filesystem-dev libboost-locale-dev
       libboost-system-dev libicu-dev rapidjson-dev libglib2.0-dev shared-mime-info
       unzip zip psmisc)
bench=(libbenchmark-dev libcurl4-openssl-dev libmagic-dev uuid-dev)
# libtsan2 is the ThreadSanitizer runtime of the tsan preset (g++ brings it today; named so it stays).
test=(googletest libgtest-dev libgmock-dev libtsan2 locales iproute2 util-linux procps findutils
      abigail-tools strace e2fsprogs "${bench[@]}")
fuzz=(clang libclang-rt-14-dev)
clean_room=(debootstrap git tar util-linux coreutils)

case "${1:-build}" in
  build) wanted=("${build[@]}") ;;
  test)  wanted=("${build[@]}" "${test[@]}") ;;
  bench) wanted=("${build[@]}" "${bench[@]}") ;;
  fuzz)  wanted=("${build[@]}" "${fuzz[@]}") ;;
  clean-room) wanted=("${clean_room[@]}") ;;
  *) echo "usage: $0 build|test|bench|fuzz|clean-room" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$package")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "Installing missing Debian packages: ${missing[*]}"
if [[ $(id -u) -eq 0 ]]; then
  apt=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
  apt=(sudo apt-get)
else
  echo "error: these packages are missing and this user cannot install them:" >&2
  echo "  ${missing[*]}" >&2
  echo "Run as root: apt-get install ${missing[*]}" >&2
  exit 1
fi
export DEBIAN_FRONTEND=noninteractive
if ! { "${apt[@]}" update -qq && "${apt[@]}" install -y -qq --no-install-recommends "${missing[@]}"; }; then
  echo "error: apt-get could not install: ${missing[*]}" >&2
  exit 1
fi
