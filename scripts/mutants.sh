#!/usr/bin/env bash
# Applies each hand-written mutant (tests/mutants/*.patch) to a scratch copy of the tree, rebuilds
# incrementally, runs the test group the mutant names and fails naming every mutant that survives.
#
#   scripts/mutants.sh                  every mutant
#   scripts/mutants.sh PATCH...         only these
#
# A patch starts with three header lines, then a unified diff relative to the repository root:
#   Mutant: <what is wrong>
#   Binary: <test binary, e.g. library_tests>
#   Filter: <gtest filter of the tests that must fail>
# An optional "Build: target..." line names what to build instead of the default (the binary
# alone for the unit-test binaries, everything for those that start the tools).
#
# Before any mutant runs, every test group named is run once on the unmutated copy: a group that
# fails there proves nothing about a mutant. MUTANT_DIR (default build/mutants) holds the copy and
# its build; it is kept between runs so that later runs rebuild only what changed.
set -uo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
work=${MUTANT_DIR:-$root/build/mutants}
src=$work/src
bld=$work/build
timeout_s=${MUTANT_TIMEOUT:-900}
jobs=${JOBS:-$(nproc)}
# The copy lives inside this repository's tree; git must not take it for part of it.
export GIT_CEILING_DIRECTORIES=$work

if [ $# -gt 0 ]; then
    patches=()
    for p in "$@"; do patches+=("$(cd "$(dirname "$p")" && pwd)/$(basename "$p")"); done
else
    mapfile -t patches < <(ls "$root"/tests/mutants/*.patch 2>/dev/null)
fi
# Mutants of headers last: applying and reverting one rebuilds much of the tree, and what follows
# would pay for it again.
mapfile -t patches < <(for p in "${patches[@]}"; do
    if grep -q '^+++ b/.*\.h$' "$p"; then echo "1 $p"; else echo "0 $p"; fi
done | sort -k1,1n -k2 | cut -d' ' -f2-)
if [ ${#patches[@]} -eq 0 ]; then
    echo "mutants: no patches" >&2
    exit 2
fi

header() {  # header FIELD PATCH
    sed -n "s/^$1:[[:space:]]*//p;/^diff /q" "$2" | head -n 1
}

# The scratch copy: the tracked and untracked (not ignored) files of the working tree. A file is
# copied only when its content differs, and then gets the current time, so that ninja rebuilds
# exactly what changed and never takes a restored file for an unchanged one.
mkdir -p "$src" "$bld"
(cd "$root" && git ls-files -z -c -o --exclude-standard) >"$work/files"
while IFS= read -r -d '' f; do
    [ -f "$root/$f" ] || continue
    if ! cmp -s "$root/$f" "$src/$f"; then
        mkdir -p "$src/$(dirname "$f")"
        cp "$root/$f" "$src/$f"
    fi
done <"$work/files"
if [ ! -f "$bld/build.ninja" ]; then
    cmake -S "$src" -B "$bld" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DK47_BUILD_BENCH=OFF \
        >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; exit 2; }
fi

build_targets() {  # build_targets PATCH
    local extra binary
    extra=$(header Build "$1")
    binary=$(header Binary "$1")
    if [ -n "$extra" ]; then
        echo "$extra"
    else
        case "$binary" in
            platform_tests | library_tests | webservice_tests) echo "$binary" ;;
            *) echo all ;;
        esac
    fi
}

run_group() {  # run_group BINARY FILTER LOG
    timeout "$timeout_s" "$bld/bin/$1" --gtest_filter="$2" --gtest_brief=1 >"$3" 2>&1
}

applied=""
cleanup() {
    if [ -n "$applied" ]; then
        (cd "$src" && git apply -R "$applied") || echo "mutants: could not revert $applied" >&2
    fi
}
trap cleanup EXIT

# Baseline: every group passes on the unmutated tree.
echo "mutants: building the unmutated copy"
ninja -C "$bld" -j "$jobs" all >"$work/build.log" 2>&1 || { tail -n 40 "$work/build.log"; exit 2; }
declare -A baseline=()
for p in "${patches[@]}"; do
    key="$(header Binary "$p")|$(header Filter "$p")"
    [ -n "${baseline[$key]:-}" ] && continue
    if run_group "$(header Binary "$p")" "$(header Filter "$p")" "$work/baseline.log"; then
        baseline[$key]=pass
    else
        echo "mutants: the group '$key' fails without any mutant:" >&2
        tail -n 30 "$work/baseline.log" >&2
        exit 2
    fi
done

killed=0
survived=()
broken=()
printf '%-44s %-9s %6s  %s\n' MUTANT RESULT SECONDS WHAT
for p in "${patches[@]}"; do
    name=$(basename "$p" .patch)
    what=$(header Mutant "$p")
    binary=$(header Binary "$p")
    filter=$(header Filter "$p")
    start=$(date +%s)
    if [ -z "$binary" ] || [ -z "$filter" ] || [ -z "$what" ]; then
        broken+=("$name (header)")
        printf '%-44s %-9s %6s  %s\n' "$name" HEADER - "$what"
        continue
    fi
    if ! (cd "$src" && git apply "$p") 2>"$work/$name.apply.log"; then
        broken+=("$name (does not apply)")
        printf '%-44s %-9s %6s  %s\n' "$name" NO-APPLY - "$what"
        continue
    fi
    applied=$p
    # shellcheck disable=SC2046
    if ! ninja -C "$bld" -j "$jobs" $(build_targets "$p") >"$work/$name.build.log" 2>&1; then
        result=NO-BUILD
        broken+=("$name (does not build)")
    elif run_group "$binary" "$filter" "$work/$name.test.log"; then
        result=SURVIVED
        survived+=("$name")
    else
        result=killed
        killed=$((killed + 1))
    fi
    (cd "$src" && git apply -R "$p") || { echo "mutants: could not revert $name" >&2; exit 2; }
    applied=""
    printf '%-44s %-9s %6s  %s\n' "$name" "$result" "$(($(date +%s) - start))" "$what"
done

# Leave the scratch build matching the tree, so that the next run starts from it.
ninja -C "$bld" -j "$jobs" all >"$work/build.log" 2>&1 || true

echo "mutants: $killed of ${#patches[@]} killed"
status=0
if [ ${#survived[@]} -gt 0 ]; then
    echo "mutants: SURVIVED: ${survived[*]}" >&2
    status=1
fi
if [ ${#broken[@]} -gt 0 ]; then
    echo "mutants: broken: ${broken[*]}" >&2
    status=1
fi
exit $status
