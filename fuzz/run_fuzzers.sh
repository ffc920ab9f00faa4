#!/usr/bin/env bash
# Runs each fuzz target in turn for the given number of seconds, one process at
# a time, from the seed corpus (the language tests' sources and the examples)
# plus the corpus kept from earlier runs.
# usage: fuzz/run_fuzzers.sh BUILD_DIR SECONDS [TARGET...]
set -uo pipefail
build=$1
seconds=$2
shift 2
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
    targets=(fuzz_compile_run fuzz_repl fuzz_modules)
    # The server is built only where its JSON library is installed.
    if [ -x "$build/fuzz_lsp" ]; then targets+=(fuzz_lsp); else echo "== fuzz_lsp skipped: not built"; fi
fi
here=$(cd "$(dirname "$0")" && pwd)
repo=$(dirname "$here")

python3 "$here/seed_corpus.py" "$repo" "$build/seeds" >/dev/null || exit 1
status=0
for target in "${targets[@]}"; do
    case $target in
        fuzz_compile_run) seeds=compile_run ;;
        fuzz_repl) seeds=repl ;;
        fuzz_modules) seeds=modules ;;
        fuzz_lsp) seeds=lsp ;;
        *) echo "unknown fuzz target $target" >&2; exit 2 ;;
    esac
    mkdir -p "$build/corpus/$target" "$build/artifacts"
    # Inputs that once failed are replayed first, each run once.
    regressions=("$here/regressions/$seeds"/*)
    if [ -e "${regressions[0]}" ]; then
        if ! "$build/$target" -close_fd_mask=3 -timeout=20 -rss_limit_mb=3072 "${regressions[@]}" \
                2>"$build/$target-regressions.log"; then
            echo "$target failed on a kept regression input; report in $build/$target-regressions.log:" >&2
            grep -E -A30 'ERROR: |SUMMARY: ' "$build/$target-regressions.log" | head -60 >&2
            status=1
            continue
        fi
        echo "== $target: ${#regressions[@]} regression inputs replayed"
    fi
    echo "== $target for ${seconds}s"
    # -close_fd_mask=3 silences the programs' own output and diagnostics; the
    # fuzzer's and the sanitizers' reports still get through.
    "$build/$target" -max_total_time="$seconds" -close_fd_mask=3 -dict="$here/vessrin.dict" \
        -max_len=4096 -rss_limit_mb=3072 -timeout=20 -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" \
        "$build/corpus/$target" "$build/seeds/$seeds" 2>"$build/$target.log"
    result=$?
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb)|^#[0-9]+.*DONE' "$build/$target.log" || true
    if [ $result -ne 0 ]; then
        echo "$target failed (status $result); report in $build/$target.log:" >&2
        grep -E -A30 'ERROR: |SUMMARY: ' "$build/$target.log" | head -60 >&2
        status=1
    fi
done
exit $status
