#!/bin/sh
# Runs each fuzzer for a while on its seed corpus; new inputs go to a work
# folder, so the seeds in the repository stay as they are.
# Usage: run-fuzzers.sh BINDIR SEEDDIR WORKDIR SECONDS
set -eu
bin=$1
seeds=$2
work=$3
seconds=$4

# libFuzzer brings libstdc++ in ahead of the shared AddressSanitizer runtime
# that the rest of the build links; preloading puts the runtime first again.
LD_PRELOAD=$(clang++ -print-file-name=libclang_rt.asan-x86_64.so)
export LD_PRELOAD

for name in config json recording capture; do
    corpus=$work/$name
    mkdir -p "$corpus"
    echo "=== fuzzing $name for ${seconds}s"
    # 64 KiB inputs leave room for documents nested 10,000 levels and more.
    "$bin/lpp_fuzz_$name" -max_total_time="$seconds" -max_len=65536 -timeout=60 \
        -rss_limit_mb=4096 -print_final_stats=1 -artifact_prefix="$work/$name-" \
        "$corpus" "$seeds/$name" 2>"$work/$name.log" || {
        tail -n 60 "$work/$name.log" >&2
        echo "=== fuzzer $name found a fault; the input is in $work/$name-*" >&2
        exit 1
    }
    grep -E '^(stat::number_of_executed_units|stat::peak_rss_mb|#[0-9]+.*DONE)' "$work/$name.log" || true
done
