# Entry points:
#   make run      installs missing Debian packages, builds mira, libmira, Portkit
#                 and the simulator (release preset, no tests) and reads three
#                 words from the built-in simulator
#   make test     installs missing Debian packages, then builds and tests the
#                 dev, asan and tsan presets (dev with the Windows build under
#                 wine, label windows) and builds the 32-bit Windows preset
#   make windows  installs the mingw-w64 cross compilers and wine, and leaves
#                 mira.dll, Portkit.dll and mira.exe in build/windows/bin
#   make bench    builds the bench preset and prints the performance table
#   make fuzz     builds the libFuzzer targets (fuzz preset, clang)
PACKAGES := cmake ninja-build g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev binutils \
            libmosquitto-dev libnanopb-dev nanopb mosquitto mosquitto-clients
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
WINDOWS_PACKAGES := g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps fuzz-deps windows-deps windows build-% test-% bench bench-build fuzz clean

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target mira_cli
	./build/release/src/cli/mira read N7:0 W0 W1 W2

# install-missing PACKAGE...: installs the packages dpkg does not know, without
# recommended packages.
define install-missing
	@missing=$$(for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq && $(SUDO) env DEBIAN_FRONTEND=noninteractive \
	    apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

fuzz-deps: deps
	$(call install-missing,$(FUZZ_PACKAGES))

windows-deps: deps
	$(call install-missing,$(WINDOWS_PACKAGES))

windows: windows-deps
	$(MAKE) build-windows

build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps windows-deps
	$(MAKE) test-dev test-asan test-tsan build-windows32

bench-build: deps
	$(MAKE) build-bench

# One table: the driver-side benchmarks (short runs), then the end-to-end reads
# on a pseudo-terminal and the peak resident size of `mira poll`; then the scan
# planner of `mira serve` against an exhaustive search.
bench: bench-build
	./build/bench/bench/mira_bench --benchmark_min_time=0.05
	./build/bench/bench/mira_e2e --no-header
	./build/bench/bench/mira_plan_bench

fuzz: fuzz-deps
	$(MAKE) build-fuzz

clean:
	rm -rf build
