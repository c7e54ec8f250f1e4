#!/usr/bin/env bash
# Mutation check: does the test suite notice small deliberate faults?
#
# Applies the faults listed in tools/mutations.txt to a scratch copy of the
# tree, one at a time, rebuilds, runs the host test suite and reports which
# faults the suite caught. It never touches the tree it checks: the tracked
# files (with their uncommitted changes) are copied to a scratch directory,
# the presets (host, win32 and win64) are configured and built there once, the
# unmutated suite must pass, and then for each fault:
#   apply it (the text to find must occur exactly once in its file, or the
#   fault is "not applicable"), rebuild incrementally, run
#   ctest --test-dir <scratch>/build/host --stop-on-failure, restore the file.
# A fault whose mutant does not build counts as "not applicable: does not
# build"; the list should have none.
#
# Which tests run for a fault depends on where it lives, because the Wine
# tests take most of a pass (about 100 of 150 s on a loaded two-core machine,
# one Wine prefix being initialised per run):
#   - Win32-only files (platform/win32/, wizard/win32/, resources/vsetup.rc):
#     only the win32 and win64 presets are rebuilt and only the Wine tests run
#     (-R '^wine_'). The other files of resources/ (the headers, the art) are
#     read by the host build too.
#   - Host-only files (platform/host/, wizard/batch/, wizard/qt/, the other
#     host front-end files under wizard/): only the host preset is rebuilt and
#     the Wine tests are left out (-E '^wine_').
#   - Everything else is shared code: every preset is rebuilt and the whole
#     suite runs, the tests without Wine first and the Wine tests only when
#     those pass.
#
# A developer's tool, never run in CI: a whole run takes a while (see
# docs/testing.md). Needs the three presets' toolchains, Wine and ccache.
#
# Usage: tools/mutate.sh [--tree DIR] [--only ID[,ID...]] [--list] [--work DIR]
#   --tree DIR   the checkout to check (default: the one this script is in)
#   --only IDS   run only these faults (comma-separated ids)
#   --list       print the faults and whether each applies, build nothing
#   --work DIR   scratch directory to use and keep (default: a new temporary
#                directory, removed at the end); reusing one saves the first
#                full build
# Exit status: 0 when every applicable fault was caught, 1 when one was
# missed, 2 on a usage error or when the unmutated tree does not build or
# pass its tests.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
tree=$(cd "$here/.." && pwd)
only=""
list_only=0
work=""
keep=0

usage() { sed -n '/^# Usage:/,/^# Exit status/p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
while [ $# -gt 0 ]; do
  case "$1" in
    --tree) [ $# -ge 2 ] || usage; tree=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --only) [ $# -ge 2 ] || usage; only=$2; shift 2 ;;
    --list) list_only=1; shift ;;
    --work) [ $# -ge 2 ] || usage; mkdir -p "$2" && work=$(cd "$2" && pwd) || exit 2; keep=1; shift 2 ;;
    -h|--help) usage ;;
    *) echo "mutate.sh: unknown argument: $1" >&2; usage ;;
  esac
done

faults_file="$tree/tools/mutations.txt"
[ -f "$faults_file" ] || faults_file="$here/mutations.txt"
[ -f "$faults_file" ] || { echo "mutate.sh: no tools/mutations.txt" >&2; exit 2; }
git -C "$tree" rev-parse --show-toplevel >/dev/null 2>&1 || { echo "mutate.sh: $tree is not a git checkout" >&2; exit 2; }

# --- The list of faults ------------------------------------------------------
# One record per fault, records apart by blank lines:
#   id: NAME          file: PATH          what: one line saying what is wrong
#   find: TEXT        repl: TEXT
# find and repl take the rest of their line as it stands (after "find: ");
# "find+ TEXT" / "repl+ TEXT" add a further line. Lines starting with # are
# comments.
ids=() files=() whats=() finds=() repls=()
parse_faults() {
  local id="" file="" what="" find="" repl="" line
  flush() {
    if [ -n "$id" ]; then
      if [ -z "$file" ] || [ -z "$find" ]; then
        echo "mutate.sh: fault $id lacks file: or find:" >&2; exit 2
      fi
      ids+=("$id") files+=("$file") whats+=("$what") finds+=("$find") repls+=("$repl")
    fi
    id="" file="" what="" find="" repl=""
  }
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      '#'*) ;;
      '') flush ;;
      'id: '*) flush; id=${line#id: } ;;
      'file: '*) file=${line#file: } ;;
      'what: '*) what=${line#what: } ;;
      'find: '*) find=${line#find: } ;;
      'find+ '*) find+=$'\n'${line#find+ } ;;
      'repl: '*) repl=${line#repl: } ;;
      'repl:') repl="" ;;
      'repl+ '*) repl+=$'\n'${line#repl+ } ;;
      *) echo "mutate.sh: cannot read this line of the fault list: $line" >&2; exit 2 ;;
    esac
  done <"$faults_file"
  flush
}
parse_faults

# Counts the occurrences of $2 in file $1.
count_in() {
  FIND=$2 python3 -c 'import os,sys; print(open(sys.argv[1],"rb").read().count(os.environb[b"FIND"]))' "$1"
}
# Replaces the one occurrence of $2 in file $1 by $3 (writes the file anew,
# so that its time stamp moves and the build sees it).
apply_in() {
  FIND=$2 REPL=$3 python3 -c '
import os, sys
p = sys.argv[1]
data = open(p, "rb").read().replace(os.environb[b"FIND"], os.environb[b"REPL"], 1)
open(p, "wb").write(data)' "$1"
}

selected() {
  [ -z "$only" ] && return 0
  case ",$only," in *",$1,"*) return 0 ;; esac
  return 1
}

# Where a file lives decides what is rebuilt and which tests run.
kind_of() {
  case "$1" in
    platform/win32/*|wizard/win32/*|resources/vsetup.rc) echo win32 ;;
    platform/host/*|wizard/batch/*|wizard/qt/*|wizard/host_main.cpp|wizard/cp1252.cpp|wizard/no_display.cpp|wizard/host_frontends.h) echo host ;;
    *) echo shared ;;
  esac
}

if [ -n "$only" ]; then
  IFS=, read -r -a wanted <<<"$only"
  for w in "${wanted[@]}"; do
    found=0
    for id in "${ids[@]}"; do [ "$id" = "$w" ] && found=1; done
    [ $found = 1 ] || { echo "mutate.sh: no fault with id $w" >&2; exit 2; }
  done
fi

if [ $list_only = 1 ]; then
  printf '%-22s %-34s %-7s %-9s %s\n' ID FILE KIND APPLIES DESCRIPTION
  for i in "${!ids[@]}"; do
    selected "${ids[$i]}" || continue
    f="$tree/${files[$i]}"
    n=0; [ -f "$f" ] && n=$(count_in "$f" "${finds[$i]}")
    if [ "$n" = 1 ]; then a=yes; else a="no ($n)"; fi
    printf '%-22s %-34s %-7s %-9s %s\n' "${ids[$i]}" "${files[$i]}" "$(kind_of "${files[$i]}")" "$a" "${whats[$i]}"
  done
  exit 0
fi

# --- The scratch copy ---------------------------------------------------------
started=$(date +%s)
if [ -z "$work" ]; then
  work=$(mktemp -d "${TMPDIR:-/tmp}/vsetup-mutate.XXXXXX") || exit 2
  # The robustness tests run vsetup from the build as an unprivileged user.
  chmod 755 "$work"
fi
cleanup() { [ $keep = 1 ] || rm -rf "$work"; }
trap cleanup EXIT
trap 'exit 130' INT TERM
src="$work"
log="$work/mutate-logs"
mkdir -p "$log"
echo "mutate.sh: scratch copy in $work" >&2

# Tracked files as they are in the working tree (uncommitted edits included,
# deleted files left out). Files are written only when they differ, so that a
# kept scratch directory rebuilds only what changed.
staging=$(mktemp -d "${TMPDIR:-/tmp}/vsetup-mutate-staging.XXXXXX") || exit 2
# Links are copied as links (the golden scenarios hold some that lead out of
# their prefix).
(cd "$tree" && git ls-files -z | while IFS= read -r -d '' f; do
   { [ -f "$f" ] || [ -L "$f" ]; } && printf '%s\0' "$f"; done |
  tar --null -T - -cf -) | tar -xf - -C "$staging" || { rm -rf "$staging"; exit 2; }
(cd "$staging" && find . \( -type f -o -type l \) -print0) | while IFS= read -r -d '' f; do
  if [ -L "$staging/$f" ] || [ -L "$src/$f" ] || ! cmp -s "$staging/$f" "$src/$f"; then
    mkdir -p "$(dirname "$src/$f")"
    rm -f "$src/$f"
    cp -P "$staging/$f" "$src/$f"
  fi
done
rm -rf "$staging"

export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR="$src"

build() {  # build host|win32|win64 -> 0 when it built
  (cd "$src" && cmake --build --preset "$1") >>"$log/build.log" 2>&1
}
# The Windows sources are built twice: VSETUP.EXE and its 64-bit twin, which
# the Wine tests run where 32-bit Wine cannot.
build_for() {  # build_for KIND
  case "$1" in
    win32) build win32 && build win64 ;;
    host) build host ;;
    *) build win32 && build win64 && build host ;;
  esac
}
# Runs one ctest pass; prints the first failing test, if any.
ctest_pass() {
  local out status failed
  # Without the timings of earlier runs ctest keeps the order the tests are
  # defined in, the quick unit tests first.
  rm -f "$src/build/host/Testing/Temporary/CTestCostData.txt"
  out=$(timeout 1800 ctest --test-dir "$src/build/host" --stop-on-failure "$@" 2>&1)
  status=$?
  printf '%s\n' "$out" >>"$log/ctest.log"
  if [ $status = 124 ]; then echo "(the suite timed out)"; return 1; fi
  [ $status = 0 ] && return 0
  # "***Skipped" is no failure: the tests of a build whose Wine cannot run.
  failed=$(printf '%s\n' "$out" | sed -n 's/^ *[0-9]*\/[0-9]* Test *#[0-9]*: \([^ ]*\) .*\*\*\*[FTE].*/\1/p' | head -1)
  [ -z "$failed" ] && failed=$(printf '%s\n' "$out" | sed -n 's/^[[:space:]]*[0-9]* - \([^ ]*\) .*/\1/p' | head -1)
  echo "${failed:-(ctest failed: status $status)}"
  return 1
}
# Runs the tests for KIND. Shared code gets the tests without Wine first and
# the Wine tests only when those pass: the verdict is the same, and a fault
# the quick tests catch costs no Wine run.
run_tests() {
  : >"$log/ctest.log"
  case "$1" in
    win32) ctest_pass -R '^wine_' ;;
    host) ctest_pass -E '^wine_' ;;
    *) ctest_pass -E '^wine_' && ctest_pass -R '^wine_' ;;
  esac
}

(cd "$src" && cmake --preset win32 >"$log/configure.log" 2>&1 && cmake --preset win64 >>"$log/configure.log" 2>&1 &&
  cmake --preset host >>"$log/configure.log" 2>&1) ||
  { echo "mutate.sh: configuring failed; see $log/configure.log" >&2; keep=1; exit 2; }
if ! build_for shared; then
  echo "mutate.sh: the unmutated tree does not build; see $log/build.log" >&2; keep=1; exit 2
fi
t0=$(date +%s)
if ! first=$(run_tests shared); then
  echo "mutate.sh: the unmutated suite fails ($first); see $log/ctest.log" >&2; keep=1; exit 2
fi
echo "mutate.sh: unmutated tree built and passed in $(( $(date +%s) - started ))s (suite: $(( $(date +%s) - t0 ))s)" >&2

# --- One fault at a time ------------------------------------------------------
results=()
caught=0 missed=0 na=0 applicable=0
for i in "${!ids[@]}"; do
  id=${ids[$i]} file=${files[$i]}
  selected "$id" || continue
  kind=$(kind_of "$file")
  path="$src/$file"
  t0=$(date +%s)
  n=0; [ -f "$path" ] && n=$(count_in "$path" "${finds[$i]}")
  if [ "$n" != 1 ]; then
    verdict="not-applicable: text found $n times" test="-"
    na=$((na + 1))
  else
    saved="$work/saved.orig"
    cp "$path" "$saved"
    apply_in "$path" "${finds[$i]}" "${repls[$i]}"
    if ! build_for "$kind"; then
      verdict="not-applicable: does not build" test="-"
      na=$((na + 1))
      cp "$log/build.log" "$log/$id.build.log"
    elif test=$(run_tests "$kind"); then
      verdict="missed" test="-"
      applicable=$((applicable + 1)) missed=$((missed + 1))
    else
      verdict="caught"
      applicable=$((applicable + 1)) caught=$((caught + 1))
      cp "$log/ctest.log" "$log/$id.ctest.log"
    fi
    # A plain copy: the restored file is newer than the mutant's objects, so
    # the next build compiles it again (from ccache).
    cp "$saved" "$path"
  fi
  : >"$log/build.log"
  results+=("$id"$'\t'"$file"$'\t'"${whats[$i]}"$'\t'"$verdict"$'\t'"$test")
  printf '%-24s %-36s %-34s %s  (%ss)\n' "$id" "$file" "$verdict" "$test" "$(( $(date +%s) - t0 ))" >&2
done

# --- The report ---------------------------------------------------------------
echo
printf '| %s | %s | %s | %s | %s |\n' id file description result "first failing test"
printf '|---|---|---|---|---|\n'
for r in "${results[@]}"; do
  IFS=$'\t' read -r id file what verdict test <<<"$r"
  printf '| %s | %s | %s | %s | %s |\n' "$id" "$file" "$what" "$verdict" "$test"
done
echo
echo "Caught $caught of $applicable applicable faults ($missed missed, $na not applicable); $(( $(date +%s) - started ))s in all."
[ $missed = 0 ]
