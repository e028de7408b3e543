# Quick start: `make demo` and `make test`. Both install what the machine lacks first.
BUILD_TYPE ?= RelWithDebInfo
FUZZ_SECONDS ?= 60
CMAKE_FLAGS = -G Ninja -Wno-dev

.PHONY: deps demo build test bench fuzz clean

deps:
	@packaging/install-deps.sh

build: deps
	cmake -S . -B build $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DVLZT_TESTS=OFF
	cmake --build build

demo: build
	demo/demo.sh build/bin

test: deps
	cmake -S . -B build-test $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DVLZT_SANITIZE=ON -DVLZT_WERROR=ON
	cmake --build build-test
	cd build-test && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j2

bench: deps
	cmake -S . -B build-bench $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Release -DVLZT_TESTS=OFF -DVLZT_BENCH=ON
	cmake --build build-bench
	@set -e; for b in build-bench/bin/*_bench; do echo "== $$(basename $$b)"; $$b; done

fuzz: deps
	packaging/install-deps.sh fuzz
	CC=clang CXX=clang++ cmake -S . -B build-fuzz $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVLZT_TESTS=OFF -DVLZT_FUZZ=ON
	cmake --build build-fuzz
	@set -e; for f in build-fuzz/bin/*_fuzz; do n=$$(basename $$f); echo "== $$n"; \
		mkdir -p build-fuzz/corpus/$$n; seeds=fuzz/corpus/$$n; [ -d $$seeds ] || seeds=; \
		$$f -max_total_time=$(FUZZ_SECONDS) build-fuzz/corpus/$$n $$seeds; done

clean:
	rm -rf build build-test build-bench build-fuzz
