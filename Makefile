# The user's entry points; CMake does the building.
NATIVE   := build/native
SANITIZE := build/sanitize
JOBS     ?= $(shell nproc)

.PHONY: all deps build sanitize test bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(NATIVE) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(NATIVE) -j $(JOBS)

# Everything again with AddressSanitizer and UndefinedBehaviorSanitizer.
sanitize: deps
	cmake -S . -B $(SANITIZE) -DCMAKE_BUILD_TYPE=Debug -DSFX_SANITIZE=ON
	cmake --build $(SANITIZE) -j $(JOBS)

test: build sanitize
	ctest --test-dir $(NATIVE) --output-on-failure -j $(JOBS)
	ctest --test-dir $(SANITIZE) --output-on-failure -j $(JOBS)

# Figures, not gates: sizes and speeds against gzip and xz, then the decoder alone.
bench: build
	$(NATIVE)/bench/corpus_bench $(NATIVE)/sfxpack
	$(NATIVE)/bench/decoder_bench --benchmark_min_time=1

clean:
	rm -rf build
