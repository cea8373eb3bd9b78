#!/usr/bin/env bash
# Builds the fuzz targets in build-fuzz/ (clang, libFuzzer, ASan, UBSan) and runs each for SECONDS
# (default 60) on a copy of the seed corpus in fuzz/corpus, with inputs up to 64 KB. A long run:
#   scripts/fuzz.sh 3600
# New inputs stay in build-fuzz/corpus-TARGET; a crash leaves crash-* in build-fuzz/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
scripts/install-deps.sh fuzz
cmake -S . -B build-fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DZV_FUZZ=ON \
  -DZV_BUILD_TESTS=OFF > build-fuzz.log 2>&1 || { cat build-fuzz.log; exit 1; }
cmake --build build-fuzz -j"$(nproc)" --target fuzz_interpreter_memory fuzz_interpreter_pdf
status=0
for target in interpreter_memory interpreter_pdf; do
  corpus=build-fuzz/corpus-$target
  mkdir -p "$corpus"
  cp -n fuzz/corpus/* "$corpus/"
  echo "fuzzing $target for $seconds s"
  (cd build-fuzz && LSAN_OPTIONS=suppressions=../fuzz/lsan.supp "./fuzz/fuzz_$target" -max_total_time="$seconds" -max_len=65536 \
    -dict=../fuzz/jobs.dict -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
    "corpus-$target" 2>&1 | tail -8) || status=1
done
exit $status
