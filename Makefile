# Front door of the project: every generated file stays under build/.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=

.PHONY: all build build-asan test demo bench clean

all: build

build:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

build-asan:
	cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DSANITIZE=ON -DBUILD_BENCH=OFF $(CMAKE_FLAGS)
	cmake --build build/asan -j $(JOBS)

# Every test twice: optimised, then under AddressSanitizer and UBSan.
test: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build/asan && ctest --output-on-failure -j $(JOBS)

demo: build
	./build/MaxEntDecoder -m examples/model -d examples/dict.txt -n 3 < examples/input.txt

clean:
	rm -rf build
