# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
JOBS ?= $(shell nproc)
RELEASE := build/release
SANITIZE := build/sanitize
CTEST_FLAGS := --output-on-failure -j $(JOBS)

.PHONY: all deps build build-sanitize demo test test-release test-sanitize bench clean

all: build

deps:
	@scripts/install-deps.sh

$(RELEASE)/CMakeCache.txt:
	cmake -S . -B $(RELEASE) -DCMAKE_BUILD_TYPE=Release -DLANDALLOC_WERROR=ON

$(SANITIZE)/CMakeCache.txt:
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLANDALLOC_WERROR=ON \
	  -DLANDALLOC_SANITIZE=ON -DLANDALLOC_BENCH=OFF

build: deps $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS)

build-sanitize: deps $(SANITIZE)/CMakeCache.txt
	cmake --build $(SANITIZE) -j $(JOBS)

demo: build
	@examples/demo/run.sh $(RELEASE)/landalloc

test: test-release test-sanitize

test-release: build
	cd $(RELEASE) && ctest $(CTEST_FLAGS)

test-sanitize: build-sanitize
	cd $(SANITIZE) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_FLAGS)

bench: build
	$(RELEASE)/landalloc_bench

clean:
	rm -rf build
