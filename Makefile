# Front door of the project: every generated file stays under build/.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build build-asan build-tsan test test-python demo bench bench-check \
        bench-serve clean train-demo build-fuzz fuzz fuzz-smoke

all: build

# The project's own builds treat warnings as errors; a plain cmake configure
# does not.
CHECKS = -DMAXENT_WERROR=ON

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CHECKS) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DBUILD_BENCH=OFF $(CHECKS) $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)

# Under ThreadSanitizer: the engine's tests (threads classifying together) and
# the dictionary's load shared between two threads.
TSAN_API_TESTS = WorkShare.*:DictionarySplit.*
build-tsan:
	cmake -S . -B build/tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_BENCH=OFF $(CHECKS) \
	  -DCMAKE_CXX_FLAGS=-fsanitize=thread $(CMAKE_FLAGS)
	cmake --build build/tsan -j $(JOBS) --target test_engine test_api

# Every test: optimised, then under AddressSanitizer and UBSan (with leak
# checks for the engine), the engine under ThreadSanitizer, the Python
# package, and a short run of every fuzz harness when clang can build them.
test: build build-asan build-tsan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_engine
	TSAN_OPTIONS=halt_on_error=1 build/tsan/tests/test_api --gtest_filter='$(TSAN_API_TESTS)'
	$(MAKE) --no-print-directory test-python
	@if bash fuzz/check_clang.sh; then $(MAKE) --no-print-directory fuzz-smoke; \
	else echo "skipping fuzzing: clang with libFuzzer is not installed"; fi

# Builds the Python package into a venv under build/ and runs its tests.
test-python: build
	MAXENT_BUILD_JOBS=$(JOBS) bash python/run_tests.sh

# libFuzzer harnesses (clang only): `make fuzz` runs each for FUZZ_TIME
# seconds, `make fuzz-smoke` for FUZZ_SMOKE_TIME; FUZZ_HARNESSES picks some.
FUZZ_TIME ?= 180
FUZZ_SMOKE_TIME ?= 20
FUZZ_HARNESSES ?= parm dict field vecfile model decode

build-fuzz:
	CC=clang CXX=clang++ cmake -S . -B build/fuzz -DFUZZ=ON -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build/fuzz -j $(JOBS) --target $(addprefix fuzz_,$(FUZZ_HARNESSES))

fuzz: build-fuzz
	bash fuzz/run.sh build/fuzz $(FUZZ_TIME) $(FUZZ_HARNESSES)

fuzz-smoke: build-fuzz
	bash fuzz/run.sh build/fuzz $(FUZZ_SMOKE_TIME) $(FUZZ_HARNESSES)

demo: build
	./build/MaxEntDecoder -m examples/model -d examples/dict.txt -n 3 < examples/input.txt

# Debian package descriptions -> features -> liblinear -> imported model -> accuracy.
train-demo: build
	bash scripts/train_demo.sh

# Side by side with liblinear-predict and fastText (bench/run.py; installs the
# peers and hyperfine when missing; about 10 minutes on 2 cores). Not part of
# `make test`. bench-check: full S and K outputs against the recorded digests.
BENCH_SIZES ?= S,M,K
BENCH_ROUNDS ?= 5
bench: build
	bash bench/setup.sh
	python3 bench/run.py build/MaxEntDecoder build/bench bench/RESULTS.md --sizes $(BENCH_SIZES) --rounds $(BENCH_ROUNDS)

bench-check: build
	bash bench/check.sh build/MaxEntDecoder build/bench

# The inference server under load (wrk) on the M workload of `make bench`.
bench-serve: build
	bash bench/setup.sh
	bash bench/serve.sh build

clean:
	rm -rf build
