# The same as ./quickstart, for those who have make.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test bench bench-quick package clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo:
	@BUILD=$(BUILD) CMAKE_FLAGS="$(CMAKE_FLAGS)" ./quickstart demo

test:
	@BUILD=$(BUILD) CMAKE_FLAGS="$(CMAKE_FLAGS)" ./quickstart test

package: build
	@cmake --build $(BUILD) --target package

bench: build
	@BUILD=$(BUILD) bench/run_bench.sh

bench-quick: build
	@BUILD=$(BUILD) bench/run_bench.sh --quick

clean:
	rm -rf $(BUILD)
