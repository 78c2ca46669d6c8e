# Everyday commands. Each one installs what is missing first, so a fresh
# Debian machine needs nothing but this checkout.
JOBS      ?= $(shell nproc)
BUILD     ?= build
ASAN      ?= build-asan
BENCH     ?= build-bench
PACKAGE   ?= build-package

.PHONY: all deps build run test test-normal test-asan bench mutants package screenshot format clean

all: build

deps:
	@bash tools/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/whorlgen

test: test-normal test-asan

test-normal: build
	ctest --test-dir $(BUILD) --output-on-failure

test-asan: deps
	cmake -S . -B $(ASAN) -DCMAKE_BUILD_TYPE=Debug -DWHORLGEN_SANITIZE=ON -DWHORLGEN_BUILD_BENCH=OFF
	cmake --build $(ASAN) -j $(JOBS)
	ctest --test-dir $(ASAN) --output-on-failure

bench: deps
	cmake -S . -B $(BENCH) -DCMAKE_BUILD_TYPE=Release -DWHORLGEN_BUILD_TESTS=OFF
	cmake --build $(BENCH) -j $(JOBS)
	@for b in $(BENCH)/bin/bench_*; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

# Whether the tests catch the faults of tools/mutants.txt: each is put into
# the source in turn, its test program rebuilt and run (in build-mutants/).
# Slow, so not part of `make test`; ONLY=<text> picks some of the faults.
mutants: deps
	python3 tools/mutants.py $(if $(ONLY),--only "$(ONLY)")

# A Debian package in this folder: whorlgen_<version>_<arch>.deb, which
# lintian must pass without an error or a warning.
package: deps
	cmake -S . -B $(PACKAGE) -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
	  -DWHORLGEN_BUILD_TESTS=OFF -DWHORLGEN_BUILD_BENCH=OFF
	cmake --build $(PACKAGE) -j $(JOBS)
	rm -f $(PACKAGE)/whorlgen_*.deb
	cd $(PACKAGE) && cpack -G DEB
	lintian --fail-on error,warning $(PACKAGE)/whorlgen_*.deb
	cp $(PACKAGE)/whorlgen_*.deb .

screenshot: build
	bash tools/screenshot.sh $(BUILD)/bin/whorlgen docs/window.png
	bash tools/screenshot.sh $(BUILD)/bin/whorlgen docs/running.png running

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(ASAN) $(BENCH) $(PACKAGE)
