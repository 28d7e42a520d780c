#!/bin/sh
# Builds the libFuzzer targets with clang and the sanitizers, then runs each for a
# bounded time. Usage: fuzz/run-fuzzers.sh [SECONDS_PER_TARGET]  (default 60)
# BUILD_DIR overrides the build folder (default build-fuzz in the checkout).
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-${FUZZ_SECONDS:-60}}
build=${BUILD_DIR:-$here/build-fuzz}
targets="fuzz_file_list_json fuzz_iso_date_time"

# The fuzzers' own compiler and its runtime (about 240 MB), kept out of
# scripts/install-deps.sh: nothing else needs them.
"$here/scripts/install-deps.sh"
missing=""
for package in clang libclang-rt-14-dev; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $package"
  fi
done
if [ -n "$missing" ]; then
  sudo=""
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  echo "Installing:$missing" >&2
  $sudo apt-get update -qq
  # shellcheck disable=SC2086
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends $missing
fi

CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORVIA_FUZZ=ON -DQUORVIA_SANITIZE=ON >/dev/null
# shellcheck disable=SC2086
cmake --build "$build" --target $targets

status=0
for target in $targets; do
  corpus="$build/fuzz-corpus/$target"
  mkdir -p "$corpus"
  echo "== $target for ${seconds}s"
  # New inputs go to the first folder; the checked-in examples are read only.
  if ! "$build/fuzz/$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$build/fuzz-corpus/$target-" \
       "$corpus" "$here/fuzz/corpus/$target"; then
    echo "== $target FAILED (reproducer in $build/fuzz-corpus/)"
    status=1
  fi
done
exit $status
