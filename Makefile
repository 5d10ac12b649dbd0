# Front for the usual tasks; everything real happens in CMake and the scripts.
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all build test test-fast test-asan run deps clean fuzz

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE)
	cmake --build build -j$(JOBS)

# Every test, once with an optimised build and once under ASan/UBSan.
test: build
	cd build && ctest --output-on-failure -j$(JOBS)
	$(MAKE) --no-print-directory test-asan

test-fast: build
	cd build && ctest --output-on-failure -j$(JOBS)

test-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORB_SANITIZE=ON
	cmake --build build-asan -j$(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS) -LE browser

fuzz: deps
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORB_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS)

run: build
	@bash scripts/run-demo.sh

clean:
	rm -rf build build-asan build-fuzz
