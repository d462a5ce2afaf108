# The user's entry points; CMake does the building.
NATIVE   := build/native
SANITIZE := build/sanitize
WIN32    := build/win32
WIN64    := build/win64
FUZZ     := build/fuzz
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 1
FUZZ_WORK := build/fuzz-work
JOBS     ?= $(shell nproc)
PREFIX   ?= /usr/local

.PHONY: all deps build sanitize windows test install package fuzz demo bench bench-bundle clean

all: build windows

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(NATIVE) -j $(JOBS)

# Everything native again with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=Debug -DSFX_SANITIZE=ON
	cmake --build $(SANITIZE) -j $(JOBS)

# The loader twice from the same sources: i686 is the product, x86_64 runs under Wine here.
windows: deps
	cmake -S . -B $(WIN32) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN32) -j $(JOBS)
	cmake -S . -B $(WIN64) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN64) -j $(JOBS)

test: build sanitize windows
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SANITIZE) --output-on-failure -j $(JOBS) -LE wine

# bin/sfxpack, share/sfxpack/loader.exe and loader-x64.exe, include/sfx_package.h,
# share/man/man1/sfxpack.1 under PREFIX, staged under DESTDIR when given.
# Installs what is built; builds only the trees that are not there yet.
install:
	@[ -x $(NATIVE)/sfxpack ] && [ -f $(NATIVE)/sfxpack.1 ] || $(MAKE) build
	@[ -f $(WIN32)/loader.exe ] && [ -f $(WIN32)/extractor.exe ] && [ -f $(WIN64)/loader.exe ] && \
	  [ -f $(WIN64)/extractor.exe ] || $(MAKE) windows
	DESTDIR="$(DESTDIR)" cmake --install $(NATIVE) --prefix "$(PREFIX)"

# The same files as build/sfxpack_VERSION_amd64.deb, installed under /usr.
package: build windows
	cd $(NATIVE) && cpack -B "$(CURDIR)/build"

# Each fuzzer for FUZZ_SECONDS (clang, libFuzzer, ASan, UBSan); fails on any finding.
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(FUZZ) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSFX_FUZZ=ON
	cmake --build $(FUZZ) -j $(JOBS)
	FUZZ_JOBS=$(FUZZ_JOBS) bash fuzz/run_fuzzers.sh $(FUZZ)/fuzz $(FUZZ_WORK) $(FUZZ_SECONDS) $(FUZZ_TARGETS)

# Packs the sample stub and runs it under Wine (the 32-bit product where it can).
demo: build windows
	bash scripts/demo.sh $(NATIVE)/sfxpack $(WIN32) $(WIN64) build

# Figures, not gates: this build against an earlier commit's (BENCH_BASE, built
# once into build/bench-base), gzip, xz, zstd and deflate-8K on the PE corpus;
# the loader's start-up under Wine; then the decoder and encoder alone.
BENCH_BASE ?= HEAD~1
bench: build windows
	@base=$$(bash bench/build_base.sh $(BENCH_BASE) build/bench-base $(JOBS)) && \
	  echo "base build: $$(cat $$base/commit.txt)" && \
	  $(NATIVE)/bench/corpus_bench $(NATIVE)/sfxpack $$base/sfxpack && echo && \
	  if bash scripts/runs-32bit.sh --wine > /dev/null 2>&1; then loaders=$(WIN32); else loaders=$(WIN64); fi && \
	  bash bench/loader_startup.sh $(NATIVE)/sfxpack $$loaders/loader.exe $$base/loader.exe \
	    $$loaders/tiny_program.exe build/bench/startup
	$(NATIVE)/bench/decoder_bench --benchmark_min_time=1

# Bundles against tar | xz -9e, 7-Zip -mx9 and an NSIS installer on four
# folders made once from installed files (build/bench/A, B, C and T): sizes,
# then run times under Wine. BENCH_BUILDS builds of the bundle and of 7-Zip
# in turn (3) and BENCH_RUNS alternating runs under Wine (5), medians;
# BENCH_FOLDERS picks some.
BENCH_RUNS ?= 5
bench-bundle: build windows
	bash bench/bundle_folders.sh build/bench
	if bash scripts/runs-32bit.sh --wine > /dev/null 2>&1; then w=$(WIN32); else w=$(WIN64); fi && \
	  bash bench/bundle_bench.sh $(NATIVE)/sfxpack $$w build/bench $(BENCH_RUNS)

clean:
	rm -rf build
