# Every target sets up the toolchain first (scripts/toolchain), then runs
# inside it: on the host when it has Python 3.14 with headers, otherwise in
# a Debian testing root built once under ~/.cache/quorvatel.
TOOLCHAIN := scripts/toolchain run

.PHONY: demo check test sanitize build fuzz toolchain clean

demo:
	$(TOOLCHAIN) scripts/demo

# The fast loop: release build, C++ tests, pytest.
check:
	$(TOOLCHAIN) scripts/check

# Everything CI runs: check, the wheel, the debug-interpreter reference
# check, and all the tests again under the sanitizers.
test:
	$(TOOLCHAIN) scripts/test

fuzz:
	$(TOOLCHAIN) scripts/fuzz $(FUZZ_SECONDS)

sanitize:
	$(TOOLCHAIN) scripts/sanitize

build:
	$(TOOLCHAIN) scripts/build release

# The benchmarks: core_bench, then bench/bench.py; BENCH_ARGS go to bench.py
# (e.g. make bench BENCH_ARGS="--sets 10k,dense --quick").
.PHONY: bench
bench:
	$(TOOLCHAIN) scripts/bench $(BENCH_ARGS)

toolchain:
	scripts/toolchain ensure

clean:
	rm -rf build
