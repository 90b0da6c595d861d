# Quellmoor: `make demo` and `make test` each install what is missing, configure and build first.
PRESET ?= default
BUILD := build/$(PRESET)
# Seconds each libFuzzer target runs in `make test` (when clang++ is there).
FUZZ_SECONDS ?= 10

.PHONY: deps configure build demo test asan tsan fuzz bench clean

deps:
	@scripts/install-deps.sh

configure: deps
	@cmake --preset $(PRESET) >/dev/null

build: configure
	@cmake --build --preset $(PRESET)

demo: build
	@scripts/demo.sh $(BUILD)/quellmoor

# The suite; with the default preset also a short run of every fuzz target
# (scripts/fuzz.sh, skipped without clang++) and the threaded tests under
# ThreadSanitizer.
test: build
	@ctest --preset $(PRESET)
ifeq ($(PRESET),default)
	@scripts/fuzz.sh $(FUZZ_SECONDS)
	@$(MAKE) --no-print-directory tsan
endif

asan:
	@$(MAKE) test PRESET=asan

# The threaded tests (jobs, app) under ThreadSanitizer.
tsan: deps
	@cmake --preset tsan >/dev/null
	@cmake --build --preset tsan
	@ctest --preset tsan

fuzz: deps
	@scripts/fuzz.sh $(FUZZ_SECONDS)

bench: build
	@scripts/run-benchmarks.sh $(BUILD)

clean:
	rm -rf build
