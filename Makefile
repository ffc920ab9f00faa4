# Set-up and test entry points; see README.md.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all build build-asan run test test-normal test-asan clean

all: build

build:
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=Release
	$(CMAKE) --build build -j $(JOBS)

build-asan:
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVESSRIN_SANITIZE=ON -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
	$(CMAKE) --build build-asan -j $(JOBS)

run: build
	./build/vessrin examples/hello.vsr

test-normal: build
	cd build && ctest --output-on-failure

test-asan: build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

test: test-normal test-asan

clean:
	rm -rf build build-asan
