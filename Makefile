# The two commands of the README: `make demo` and `make test`. Both install what is missing first.
JOBS ?= $(shell nproc)
RELEASE := build/release
SANITIZE := build/sanitize
FUZZ := build/fuzz
MPI := build/mpi
MPI_PACKAGES := libopenmpi-dev openmpi-bin
# The MPI variant is built and tested by `make test` when its packages are there (.ci/run
# installs them); `make mpi` installs them first.
HAVE_MPI := $(shell dpkg-query -W -f='$${Status}\n' $(MPI_PACKAGES) 2>/dev/null | \
	grep -c 'install ok installed')
# The Python package's tests run with Debian's Python (a pyenv or conda python3 first on PATH
# lacks its GDAL bindings); numpy, GDAL's bindings and pytest are among the packages `deps`
# installs, so they are there by the time the tests run, on a fresh machine too.
PYTHON := /usr/bin/python3
# The QGIS provider's tests run when Debian's QGIS is installed (`make qgis-deps`, about 740 MB).
QGIS_PACKAGES := qgis python3-qgis qgis-providers
HAVE_QGIS := $(shell dpkg-query -W -f='$${Status}\n' $(QGIS_PACKAGES) 2>/dev/null | \
	grep -c 'install ok installed')
PLUGIN_ZIP := build/landalloc_processing.zip
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := config grid pipeline
CTEST_FLAGS := --output-on-failure -j $(JOBS)

.PHONY: all deps build build-sanitize demo test test-share test-release test-sanitize test-python qgis-deps qgis-plugin \
	test-qgis bench fuzz fuzz-deps \
	mpi mpi-deps test-mpi clean

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

# The demo builds the program alone: the tests and benchmarks are most of a full build's time.
demo: deps $(RELEASE)/CMakeCache.txt
	cmake --build $(RELEASE) -j $(JOBS) --target landalloc
	@examples/demo/run.sh $(RELEASE)/landalloc

test: test-share test-release test-sanitize $(if $(filter 2,$(HAVE_MPI)),test-mpi) \
	test-python $(if $(filter 3,$(HAVE_QGIS)),test-qgis)

# Test code stays within 36 % of the source (scripts/test-share.sh says how it is counted).
test-share:
	@scripts/test-share.sh 36

test-release: build
	cd $(RELEASE) && ctest $(CTEST_FLAGS)

test-sanitize: build-sanitize
	cd $(SANITIZE) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest $(CTEST_FLAGS)

test-python: build
	env -u PYTHONHOME PYTHONPATH=python LANDALLOC=$(CURDIR)/$(RELEASE)/landalloc \
	  $(PYTHON) -m pytest -q -p no:cacheprovider python/tests

# The QGIS plugin as QGIS installs it from a zip: the provider, the Python package it runs the
# program through, and the example whose values fill the dialog.
qgis-plugin:
	rm -rf build/plugin && mkdir -p build/plugin
	cp -r qgis/landalloc_processing build/plugin/
	cp -r python/landalloc build/plugin/landalloc_processing/
	cp examples/demo/config.json build/plugin/landalloc_processing/example.json
	find build/plugin -name __pycache__ -prune -exec rm -rf {} +
	cd build/plugin && rm -f ../$(notdir $(PLUGIN_ZIP)) && \
	  $(PYTHON) -m zipfile -c ../$(notdir $(PLUGIN_ZIP)) landalloc_processing

qgis-deps:
	@scripts/install-deps.sh $(QGIS_PACKAGES)

# qgis_process from Debian's own Python, with no other Python's settings.
test-qgis: build qgis-plugin
	env -u PYTHONHOME PATH=/usr/bin:$$PATH PYTHONPATH=python QT_QPA_PLATFORM=offscreen \
	  LANDALLOC=$(CURDIR)/$(RELEASE)/landalloc LANDALLOC_PLUGIN_ZIP=$(CURDIR)/$(PLUGIN_ZIP) \
	  $(PYTHON) -m pytest -q -p no:cacheprovider qgis/tests

# The same program with MPI, its repeats shared by the processes of a job.
mpi-deps:
	@scripts/install-deps.sh $(MPI_PACKAGES)

$(MPI)/CMakeCache.txt: | mpi-deps
	cmake -S . -B $(MPI) -DCMAKE_BUILD_TYPE=Release -DLANDALLOC_WERROR=ON -DLANDALLOC_MPI=ON \
	  -DLANDALLOC_BENCH=OFF

mpi: deps mpi-deps $(MPI)/CMakeCache.txt
	cmake --build $(MPI) -j $(JOBS) --target landalloc

# The unit tests do not change with MPI: the variant runs the program's tests and the layer's.
test-mpi: mpi
	cmake --build $(MPI) -j $(JOBS) --target landalloc_cli_tests landalloc_cluster_tests
	cd $(MPI) && ctest $(CTEST_FLAGS) -R '^(ClusterJob|[A-Za-z]+CliTest)'

# Fuzzing needs clang and its runtime; nothing else does.
fuzz-deps:
	@scripts/install-deps.sh clang libclang-rt-14-dev

$(FUZZ)/CMakeCache.txt: | fuzz-deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DLANDALLOC_FUZZ=ON -DLANDALLOC_BENCH=OFF

fuzz: fuzz-deps $(FUZZ)/CMakeCache.txt
	cmake --build $(FUZZ) -j $(JOBS) --target $(FUZZ_TARGETS:%=landalloc_fuzz_%)
	@for t in $(FUZZ_TARGETS); do scripts/fuzz.sh $(FUZZ) $$t $(FUZZ_SECONDS) || exit 1; done

bench: build
	$(RELEASE)/landalloc_bench

clean:
	rm -rf build
