# Set-up and test entry points; see README.md.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

.PHONY: all deps build install build-asan build-stress run test test-normal test-asan test-stress clean \
        build-fuzz fuzz fuzz-smoke build-alloc-fail test-alloc-fail

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

# Installs bin/vessrin and the manual page under PREFIX.
PREFIX ?= /usr/local
install: build
	$(CMAKE) --install build --prefix $(PREFIX)

# A tour of the examples, each run in turn; the first failure stops it. The
# examples in TOUR_STDIN read standard input: each is fed the file after its colon.
TOUR = hello shapes bank word_count pipeline text modules/main
TOUR_STDIN = word_count_stdin:poem.txt column_sum:sales.csv
run: build
	@for example in $(TOUR); do \
		echo; echo "### examples/$$example.vsr"; \
		./build/vessrin examples/$$example.vsr || exit 1; \
	done
	@for pair in $(TOUR_STDIN); do \
		example=$${pair%%:*}; input=$${pair#*:}; \
		echo; echo "### examples/$$example.vsr < examples/$$input"; \
		./build/vessrin examples/$$example.vsr < examples/$$input || exit 1; \
	done

test-normal: deps build
	cd build && ctest --output-on-failure

test-asan: deps build-asan
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

test-stress: deps build-stress
	cd build-stress && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure

# Optional packages (line editing, the language server, the editor tests, the
# manual page check): installed where the machine allows, else skipped by name.
deps:
	@sh tools/deps.sh

test: test-normal test-asan test-stress

# The fuzz targets (libFuzzer, clang 14) with an instruction budget and a memory
# ceiling, run one after another for FUZZ_SECONDS each; see fuzz/README.md.
FUZZ_SECONDS ?= 1800
FUZZ_CXX ?= clang++-14
# The server's target needs the JSON library; without it the server is not built.
FUZZ_TARGETS = fuzz_compile_run fuzz_repl fuzz_modules $(if $(wildcard /usr/include/nlohmann/json.hpp),fuzz_lsp)

build-fuzz:
	$(CMAKE) -S . -B build-fuzz -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE="-O1 -g" -DVESSRIN_FUZZING=ON -DVESSRIN_BUILD_TESTS=OFF
	$(CMAKE) --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)

fuzz: build-fuzz
	fuzz/run_fuzzers.sh build-fuzz $(FUZZ_SECONDS)

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=60

# The sanitizer build that fails the N-th allocation on request, and the sweep
# over representative programs.
build-alloc-fail:
	$(CMAKE) -S . -B build-alloc-fail -DCMAKE_BUILD_TYPE=Debug -DVESSRIN_SANITIZE=ON -DVESSRIN_ALLOC_FAIL=ON -DCMAKE_CXX_FLAGS_DEBUG="-O1 -g"
	$(CMAKE) --build build-alloc-fail -j $(JOBS) --target vessrin

test-alloc-fail: build-alloc-fail
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 python3 tests/lang/hostile/alloc_fail.py --vessrin build-alloc-fail/vessrin

clean:
	rm -rf build build-asan build-stress build-fuzz build-alloc-fail

# Races the release build against Lua 5.4 and luajit -joff (see bench/README.md); prints a table.
.PHONY: bench
bench: build
	python3 bench/run --vessrin build/vessrin
