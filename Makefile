# One command per job; every target sets up what it needs.
#   make test           install missing packages, configure, build, run every test
#   make run            build and run the demo
#   make bench          release build of the benchmarks, run them
#   make test-sanitize  every test under AddressSanitizer + UndefinedBehaviorSanitizer
#   make test-tsan      the concurrency tests under ThreadSanitizer (builds only those)
#   make fuzz           clang build of the fuzz targets, each run FUZZ_SECONDS (default 60)
#   make fuzz-ci        the same, 10 s per target (what CI runs)

BUILD        ?= build
BUILD_SAN    ?= build-sanitize
BUILD_TSAN   ?= build-tsan
BUILD_BENCH  ?= build-bench
BUILD_FUZZ   ?= build-fuzz
FUZZ_SECONDS ?= 60
BENCH_JSON   ?= $(BUILD)/bench.json
JOBS         ?= $(shell nproc)
GENERATOR    := $(shell command -v ninja >/dev/null 2>&1 && echo "-G Ninja")
CTEST_ARGS   ?= --output-on-failure -j$(JOBS)

# The concurrency test programs (tests/<dir>/*Concurrency*.cpp -> <dir>_<stem>):
# all that the ThreadSanitizer run needs, so that it builds nothing else.
TSAN_TARGETS := $(foreach f,$(wildcard tests/*/*Concurrency*.cpp),$(notdir $(patsubst %/,%,$(dir $(f))))_$(basename $(notdir $(f))))

.PHONY: all deps configure build test run bench test-sanitize test-tsan fuzz fuzz-ci install clean

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo

configure: deps $(BUILD)/CMakeCache.txt

build: configure
	cmake --build $(BUILD) -j$(JOBS)

test: build
	ctest --test-dir $(BUILD) $(CTEST_ARGS)

run: build
	$(BUILD)/tools/objstore/objstore demo

bench: deps
	cmake -S . -B $(BUILD_BENCH) $(GENERATOR) -DCMAKE_BUILD_TYPE=Release -DOBJSTORE_BUILD_BENCH=ON -DOBJSTORE_BUILD_TESTS=OFF
	cmake --build $(BUILD_BENCH) -j$(JOBS)
	bash bench/run.sh $(BUILD_BENCH) $(BENCH_JSON)

test-sanitize: deps
	cmake -S . -B $(BUILD_SAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOBJSTORE_SANITIZE=ON
	cmake --build $(BUILD_SAN) -j$(JOBS)
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --test-dir $(BUILD_SAN) $(CTEST_ARGS)

test-tsan: deps
	cmake -S . -B $(BUILD_TSAN) $(GENERATOR) -DCMAKE_BUILD_TYPE=Debug -DOBJSTORE_TSAN=ON
	cmake --build $(BUILD_TSAN) -j$(JOBS) --target $(TSAN_TARGETS)
	TSAN_OPTIONS=halt_on_error=1 ctest --test-dir $(BUILD_TSAN) $(CTEST_ARGS) -L concurrency

fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD_FUZZ) $(GENERATOR) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DOBJSTORE_FUZZ=ON -DOBJSTORE_BUILD_TESTS=OFF
	cmake --build $(BUILD_FUZZ) -j$(JOBS) --target fuzz_all
	FUZZ_SECONDS=$(FUZZ_SECONDS) bash fuzz/run.sh $(BUILD_FUZZ)

fuzz-ci:
	$(MAKE) fuzz FUZZ_SECONDS=10

install: build
	cmake --install $(BUILD) --prefix $(or $(PREFIX),/usr/local)

clean:
	rm -rf $(BUILD) $(BUILD_SAN) $(BUILD_TSAN) $(BUILD_BENCH) $(BUILD_FUZZ)
