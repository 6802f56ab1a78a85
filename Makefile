# Three entry points:
#   make run    installs missing Debian packages, builds the release preset
#               and reads three words from the built-in simulator with mira
#   make bench  builds the bench preset and prints the performance table
#   make test   installs missing Debian packages, then builds and tests the
#               dev, asan and tsan presets
PACKAGES := cmake ninja-build g++ libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev binutils
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps build-% test-% bench fuzz clean

run: deps
	$(MAKE) build-release
	./build/release/src/cli/mira read N7:0 W0 W1 W2

deps:
	@missing=$$(for p in $(PACKAGES); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps
	$(MAKE) test-dev test-asan test-tsan

# One table: the driver-side benchmarks (short runs), then the end-to-end reads
# on a pseudo-terminal and the peak resident size of `mira poll`.
bench: deps build-bench
	./build/bench/bench/mira_bench --benchmark_min_time=0.05
	./build/bench/bench/mira_e2e --no-header

clean:
	rm -rf build
