# Set-up and test entry points; see README.md.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all build build-asan build-stress run test test-normal test-asan test-stress clean

all: build

build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build -j $(JOBS)

build-asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVESSRIN_SANITIZE=ON -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
	$(CMAKE) --build build-asan -j $(JOBS)

# The sanitizer build again, with a full collection at every allocation: a
# missing root shows up as a sanitizer report or a wrong output.
build-stress:
	$(CMAKE) -S . -B build-stress -DCMAKE_BUILD_TYPE=Debug -DVESSRIN_SANITIZE=ON -DVESSRIN_GC_STRESS=ON -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
	$(CMAKE) --build build-stress -j $(JOBS)

run: build
	./build/vessrin examples/hello.vsr

test-normal: build
	cd build && ctest --output-on-failure

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

test-stress: build-stress
	cd build-stress && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

test: test-normal test-asan test-stress

clean:
	rm -rf build build-asan build-stress

# Races the release build against Lua 5.4 (see bench/README.md); prints a table.
.PHONY: bench
bench: build
	python3 bench/run --vessrin build/vessrin
