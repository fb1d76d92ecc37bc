#!/usr/bin/env bash
# Builds the fuzzers with clang-14 (libFuzzer, ASan, UBSan) and runs each one for a bounded
# time on a copy of its committed corpus, so that a run never rewrites the repository.
#   bash fuzz/run.sh [--build-dir DIR] [--seconds N] [--werror ON|OFF] [fuzzer-name...]
# Fails when any fuzzer finds a crash; the input that did it is kept in DIR/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."

build_dir=build-fuzz
seconds=60
werror=OFF
names=()
while [ "$#" -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir="$2"; shift 2 ;;
        --seconds) seconds="$2"; shift 2 ;;
        --werror) werror="$2"; shift 2 ;;
        -*) echo "fuzz/run.sh: unknown option $1" >&2; exit 2 ;;
        *) names+=("$1"); shift ;;
    esac
done
if [ "${#names[@]}" -eq 0 ]; then
    for source in fuzz/*_fuzzer.cpp; do
        names+=("$(basename "$source" .cpp)")
    done
fi

bash scripts/install-deps.sh cmake ninja-build clang-14 libclang-rt-14-dev

# The compiler is fixed when the directory is first configured; later runs keep it.
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build_dir" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_FUZZ=ON -DTARNWICK_WITH_QT=OFF \
    -DTARNWICK_WERROR="$werror" >/dev/null
cmake --build "$build_dir" --target "${names[@]}"

export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
failed=()
for name in "${names[@]}"; do
    corpus="$build_dir/corpus/$name"
    artifacts="$build_dir/artifacts/$name"
    rm -rf "$corpus"
    mkdir -p "$corpus" "$artifacts"
    if [ -d "fuzz/corpus/$name" ]; then
        cp -R "fuzz/corpus/$name/." "$corpus/"
    fi
    args=(-max_total_time="$seconds" -timeout=30 -print_final_stats=1
          -artifact_prefix="$artifacts/")
    if [ -f "fuzz/$name.dict" ]; then
        args+=(-dict="fuzz/$name.dict")
    fi
    log="$build_dir/logs/$name.log"
    mkdir -p "$build_dir/logs"
    echo "== $name: $seconds s on a copy of fuzz/corpus/$name (log: $log)"
    if "$build_dir/fuzz/$name" "${args[@]}" "$corpus" >"$log" 2>&1; then
        grep -E '^(#[0-9]+[[:space:]]+DONE|stat::)' "$log" || true
    else
        tail -n 60 "$log" >&2
        echo "== $name FAILED; the input is in $artifacts/" >&2
        failed+=("$name")
    fi
done

if [ "${#failed[@]}" -gt 0 ]; then
    echo "Fuzzers that failed: ${failed[*]}" >&2
    exit 1
fi
echo "Every fuzzer ran $seconds s without a finding."
