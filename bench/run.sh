#!/usr/bin/env bash
# The benchmark suite, in one command:
#
#   bench/run.sh            every case on full-size inputs; prints the table and
#                           writes it to docs/benchmarks.md (the first run also
#                           spends a few minutes making the inputs: mscompress is
#                           slow)
#   bench/run.sh --quick    small inputs, one round, nothing written: checks in
#                           seconds that every case still runs and every output
#                           is right
#   bench/run.sh --only expand,registry   some of the cases (expand, registry,
#                           install, startup, creg), nothing written
#
# Builds in Release in build/bench (VSETUP_BENCH_BUILD overrides). Fails only
# when some output is wrong or a case cannot run, never on a missed speed
# target: the table reports those.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir="$PWD"
build="${VSETUP_BENCH_BUILD:-build/bench}"
mkdir -p "$build"
build="$(cd "$build" && pwd)"

# Further arguments go to the driver (bench/bench_main.cpp), e.g. --only expand.
args=("$@")
case " $* " in
  *" --quick "*|*" --only "*) ;;
  *) args+=(--docs "$source_dir/docs/benchmarks.md") ;;
esac

# The "bench" preset (Release, no Qt, no tests), in $build.
cmake --preset bench -B "$build" >/dev/null
cmake --build "$build" -j2 --target vsetup vsetup_bench vsetup_lower_bound

# Wine's LZ32, called by a small Win32 program.
lz32="$build/lz32_copy.exe"
if command -v i686-w64-mingw32-gcc >/dev/null; then
  if [ ! -f "$lz32" ] || [ bench/wine/lz32_copy.c -nt "$lz32" ]; then
    i686-w64-mingw32-gcc -O2 -Wall -o "$lz32" bench/wine/lz32_copy.c -llz32
  fi
  args+=(--lz32 "$lz32")
fi

exec "$build/bench/vsetup_bench" "${args[@]}" --source "$source_dir" --build "$build" \
  --vsetup "$build/wizard/vsetup" --lower-bound "$build/bench/vsetup_lower_bound"
