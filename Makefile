# Quick start: `make demo` converts the sample pictures into a PDF, `make test` runs every test.
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)

.PHONY: all deps configure build demo test bench bench-quick clean

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS) > /dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

demo: build
	@rm -rf $(BUILD)/samples && mkdir -p $(BUILD)/samples
	@$(BUILD)/tools/make_samples $(BUILD)/samples
	@$(BUILD)/cli/brannock -i $(CURDIR)/$(BUILD)/samples -o $(CURDIR)/$(BUILD)/samples.pdf
	@echo "$(CURDIR)/$(BUILD)/samples.pdf"

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: build
	@BUILD=$(BUILD) bench/run_bench.sh

bench-quick: build
	@BUILD=$(BUILD) bench/run_bench.sh --quick

clean:
	rm -rf $(BUILD)
