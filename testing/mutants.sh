#!/usr/bin/env bash
# Applies each breakage of testing/mutants.txt, one at a time, to a scratch copy of the source
# tree, rebuilds it incrementally and runs the tests named for it. Reports every breakage that no
# test caught and exits non-zero if any survived (or could not be applied or built).
# Usage: testing/mutants.sh [BUILD_DIR [NUMBER...]]   (default: build-mutants, every breakage;
# numbers count the list's breakage lines from 1, as the report does)
# A test target "windows:TARGET" rebuilds TARGET of a Windows build of the scratch tree (set up on
# first use, like `make windows`) and runs the differential tests matching the filter against
# its .exe under wine: Windows code is caught only where it runs. A test target "wine:TARGET"
# rebuilds TARGET of that Windows build and runs its own suites matching the filter (ctest -R)
# inside wine.
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
work=$(realpath -m "${1:-$source_dir/build-mutants}")
only=" ${*:2} "
list="$source_dir/testing/mutants.txt"
scratch="$work/src"
build="$work/build"
jobs=${JOBS:-$(nproc)}

mkdir -p "$scratch"
# Everything but builds and history; the working tree itself is never changed.
# tar keeps modification times, so an unchanged tree rebuilds nothing.
tar -C "$source_dir" --exclude=./.git --exclude='./build*' -cf - . | tar -C "$scratch" -xf -
# The same pinned libcurl and FLTK as `make build`.
cmake -S "$scratch" -B "$build" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DNUVRA_CURL_PREFIX="$("$source_dir/scripts/build-curl" --prefix)" \
  -DNUVRA_FLTK_PREFIX="$("$source_dir/scripts/build-fltk" --prefix)" >/dev/null
cmake --build "$build" -j"$jobs" >/dev/null

windows=$work/build-windows
windows_build() {
  [ -f "$windows/CMakeCache.txt" ] && return
  "$source_dir/scripts/install-deps" windows >/dev/null
  cmake -S "$scratch" -B "$windows" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$scratch/windows/mingw-toolchain.cmake" \
    -DNUVRA_WINDOWS_DEPS="$("$source_dir/windows/build-deps")" >/dev/null
  cmake --build "$windows" -j"$jobs" --target nuvraupdater_cpp hold_file >/dev/null
}

# Replaces the one occurrence of $2 in file $1 by $3 ("\n" meaning a line break).
mutate() {
  python3 - "$@" <<'PY'
import sys
path, find, replace = sys.argv[1], sys.argv[2].replace("\\n", "\n"), sys.argv[3].replace("\\n", "\n")
text = open(path, encoding="utf-8").read()
if text.count(find) != 1:
    sys.exit(f"found {text.count(find)} times")
open(path, "w", encoding="utf-8").write(text.replace(find, replace))
PY
}

total=0
failed=()
start=$SECONDS
while IFS= read -r line; do
  [[ -z "${line// }" || "$line" == \#* ]] && continue
  total=$((total + 1))
  if [ "$only" != "  " ] && [[ "$only" != *" $total "* ]]; then continue; fi
  # Fields are separated by " @@ "; the replacement may be empty.
  line="$line "
  file=${line%% @@ *}; rest=${line#* @@ }
  target=${rest%% @@ *}; rest=${rest#* @@ }
  filter=${rest%% @@ *}; rest=${rest#* @@ }
  find=${rest%% @@ *}; replace=${rest#* @@ }
  replace=${replace% }
  label="#$total $file: $find"
  if ! message=$(mutate "$scratch/$file" "$find" "$replace" 2>&1); then
    echo "NOT APPLIED $label ($message)"
    failed+=("$label")
    continue
  fi
  if [[ "$target" == windows:* ]]; then
    windows_build
    built_in=$windows; target=${target#windows:}
    run_tests() {
      "$source_dir/windows/with-wine" "$windows" "$build/windows/windows_tests" \
        --gtest_filter="$filter" >"$work/last-test.log" 2>&1
    }
  elif [[ "$target" == wine:* ]]; then
    windows_build
    built_in=$windows; target=${target#wine:}
    run_tests() {
      "$source_dir/windows/with-wine" "$windows" ctest --test-dir "$windows" -R "$filter" \
        --timeout 300 >"$work/last-test.log" 2>&1
    }
  else
    built_in=$build
    run_tests() { (cd "$build" && ctest -R "$filter" --timeout 120 -j"$jobs" >"$work/last-test.log" 2>&1); }
  fi
  if ! cmake --build "$built_in" -j"$jobs" --target "$target" >"$work/last-build.log" 2>&1; then
    echo "NOT BUILT   $label: $(grep -m1 'error' "$work/last-build.log")"
    failed+=("$label")
  elif run_tests; then
    echo "SURVIVED    $label (tests: $filter)"
    failed+=("$label")
  else
    echo "caught      $label"
  fi
  cp -p "$source_dir/$file" "$scratch/$file"
  touch "$scratch/$file"
done <"$list"

[ "$only" != "  " ] && total=$(($# - 1))
echo "$total breakages, $((total - ${#failed[@]})) caught, ${#failed[@]} not, in $((SECONDS - start)) s"
[ ${#failed[@]} -eq 0 ]
