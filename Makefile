# Quellmoor: `make demo` and `make test` each install what is missing, configure and build first.
PRESET ?= default
BUILD := build/$(PRESET)

.PHONY: deps configure build demo test asan bench clean

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

demo: build
	@scripts/demo.sh $(BUILD)/quellmoor

test: build
	@ctest --preset $(PRESET)

asan:
	@$(MAKE) test PRESET=asan

bench: build
	@scripts/run-benchmarks.sh $(BUILD)

clean:
	rm -rf build
