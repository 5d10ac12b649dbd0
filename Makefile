# Front for the usual tasks; everything real happens in CMake and the scripts.
JOBS ?= $(shell nproc)
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all build cgi test test-optimised build-optimised test-asan test-asan-slow build-asan-tests test-fast \
        test-peers run deps deps-run clean fuzz bench-smoke

all: build

# Everything the tests need; `make run` installs only what the demo needs.
deps:
	@bash scripts/install-deps.sh

deps-run:
	@bash scripts/install-deps.sh run

# The CGI alone: no test framework, no benchmarks.
cgi: deps-run
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUORB_TESTS=OFF
	cmake --build build -j$(JOBS) --target quorb_cgi

# Everything, benchmarks included.
build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUORB_TESTS=ON
	cmake --build build -j$(JOBS)

# Every test: the optimised build runs them all but the peers (real servers and a browser,
# `make test-peers`); the ASan/UBSan build the unit and end-to-end tests but the slow walks
# (`make test-asan-slow`). The end-to-end tests only start the program, so the optimised
# build's driver runs them against the sanitizer build's program too. The two builds run side
# by side so that neither leaves a core idle. CI (.ci/run) adds the peers and the slow walks
# under the sanitizers.
test: deps
	$(MAKE) --no-print-directory -j2 test-optimised test-asan

build-optimised:
	cmake -S . -B build -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQUORB_TESTS=ON
	cmake --build build -j$(JOBS) --target quorb_cgi unit_tests e2e_tests

test-optimised: build-optimised
	cd build && ctest --output-on-failure -j$(JOBS) -LE 'peer|browser'

build-asan-tests:
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DQUORB_SANITIZE=ON -DQUORB_TESTS=ON \
	      -DQUORB_E2E_DRIVER=$(CURDIR)/build/e2e_tests
	cmake --build build-asan -j$(JOBS) --target quorb_cgi unit_tests

test-asan: build-asan-tests build-optimised
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS) -LE 'peer|browser|slow'

test-asan-slow: build-asan-tests build-optimised
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 QUORB_CGI_LEAKS=1 ctest --output-on-failure -j$(JOBS) -L slow

# The tests against real peers: Postfix, Dovecot, CUPS, lighttpd, Apache and Chromium.
test-peers: deps build-optimised
	cd build && ctest --output-on-failure -j$(JOBS) -L 'peer|browser'

test-fast: build
	cd build && ctest --output-on-failure -j$(JOBS) -LE 'peer|browser'

# Every benchmark once at a tiny size: answers checked, no timing judged (CI runs it).
BENCHES = store_bench request_bench history_bench search_bench stats_bench attach_bench \
          testbook_bench floor_bench cgi_bench sync_bench million_bench

bench-smoke: build-optimised
	cmake --build build -j$(JOBS) --target $(BENCHES)
	bash scripts/bench-smoke.sh build

fuzz: deps
	CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUORB_FUZZ=ON
	cmake --build build-fuzz -j$(JOBS)

run: cgi
	@bash scripts/run-demo.sh

clean:
	rm -rf build build-asan build-fuzz
