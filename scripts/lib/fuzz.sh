# Shared by scripts/fuzz.sh and bench/fuzz_all.sh: builds the libFuzzer
# targets with clang (ASan+UBSan) in build/fuzz and runs one of them.
fuzz_dir=build/fuzz

# build_fuzzers: installs clang when missing and builds every target.
build_fuzzers() {
  source scripts/lib/packages.sh
  ensure_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-14-dev
  CC=clang CXX=clang++ cmake -S . -B "$fuzz_dir" -G Ninja -DKELPD_FUZZ=ON -DKELPD_SANITIZE=ON \
    -DKELPD_BUILD_TESTS=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$fuzz_dir" -j "$(nproc)"
}

# fuzzer_names: the built targets, one a line.
fuzzer_names() {
  local bin
  for bin in "$fuzz_dir"/fuzz/*_fuzzer; do
    [ -x "$bin" ] && basename "$bin"
  done
}

# run_fuzzer NAME SECONDS: fuzzes NAME for SECONDS starting from the seeds in
# fuzz/corpus/NAME/ and the inputs found before, which it keeps in
# build/fuzz/corpus/NAME/. Prints libFuzzer's output; a crash leaves its
# input in build/fuzz/ and fails. The code under test writes to closed
# standard output and error (the MX walk, for one, prints a line for every
# record that is not MX): printing for each input would cost more than the
# parsing, while the sanitizers and libFuzzer still report on their own copy
# of standard error.
run_fuzzer() {
  local name=$1 seconds=$2
  local seeds=fuzz/corpus/$name work=$fuzz_dir/corpus/$name
  mkdir -p "$work" "$seeds"
  (cd "$fuzz_dir" && "./fuzz/$name" -max_total_time="$seconds" -max_len=65536 \
    -rss_limit_mb=2048 -close_fd_mask=3 -print_final_stats=1 "corpus/$name" "../../$seeds")
}
