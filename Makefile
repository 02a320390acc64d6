# The two commands of the README, and the conventions scripts rely on.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
RELEASE := build/release
ASAN := build/asan

.PHONY: run build test bench deps clean package

deps:
	@scripts/install-deps

build: deps
	@cmake -S . -B $(RELEASE) -G Ninja -DCMAKE_BUILD_TYPE=Release -DTOLVAN_BUILD_TESTS=OFF >/dev/null
	@cmake --build $(RELEASE) -j $(JOBS)

run: build
	@scripts/run-tolvan $(RELEASE)/bin

test: deps
	@cmake -S . -B $(ASAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVAN_SANITIZE=ON -DTOLVAN_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(ASAN) -j $(JOBS)
	@cd $(ASAN) && ctest --output-on-failure -j $(JOBS) --timeout 600

package: build
	@cmake --build $(RELEASE) --target package
	@ls $(RELEASE)/tolvan_*.deb

bench: build
	@scripts/run-bench $(RELEASE)/bin

clean:
	rm -rf build
