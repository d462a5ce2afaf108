# The user's entry points; CMake does the building.
NATIVE   := build/native
SANITIZE := build/sanitize
JOBS     ?= $(shell nproc)

.PHONY: all deps build sanitize test clean

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

clean:
	rm -rf build
