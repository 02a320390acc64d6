# The two commands of the README, and the conventions scripts rely on.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
RELEASE := build/release
ASAN := build/asan
TSAN := build/tsan

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
	@# ThreadSanitizer over the tests that use threads: the query thread, the export's helper
	@# threads, the stand-in's connections (no windows in this build).
	@cmake -S . -B $(TSAN) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTOLVAN_SANITIZE_THREAD=ON -DTOLVAN_WITH_GUI=OFF -DTOLVAN_BUILD_BENCH=OFF >/dev/null
	@cmake --build $(TSAN) -j $(JOBS) --target unit_tests e2e_db e2e_runloop e2e_sandbox tolvan-sandbox tolvansql
	@cd $(TSAN) && ctest --output-on-failure -j $(JOBS) --timeout 600 -R '^(unit_tests|e2e_db|e2e_runloop|e2e_sandbox|e2e_tolvansql)$$'

package: build
	@cmake --build $(RELEASE) --target package
	@ls $(RELEASE)/tolvan_*.deb

bench: build
	@scripts/run-bench $(RELEASE)/bin

clean:
	rm -rf build
