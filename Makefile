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
#   make deb      builds the Debian package build/deb/mira_VERSION_ARCH.deb;
#                 make deb ARCH=arm64 or ARCH=armhf cross-builds it
#                 (build/deb-ARCH), installing the cross compilers and the
#                 target's libraries (Debian multiarch) when missing
#   make test-deb unpacks the package into a scratch root and runs it there
#   make test-arm cross-builds the tests that need no line for armhf and arm64
#                 and runs them under qemu-user (ARM_ARCHES=armhf: one of them)
#
# The libraries the build compiles or links against, as Debian development
# packages: installed for this machine and, for a cross build, for the
# target's architecture as well (libgtest-dev:armhf). A new library is one
# more word here.
LIBRARY_PACKAGES := libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev libtomlplusplus-dev libcpp-httplib-dev \
                    libmodbus-dev libmosquitto-dev libnanopb-dev
# nanopb's generator runs at build time; the MQTT tests and benchmark start
# Debian's broker (over TLS too, with certificates openssl makes).
PACKAGES := cmake ninja-build g++ pkg-config binutils libbenchmark-dev nanopb mosquitto mosquitto-clients openssl \
            $(LIBRARY_PACKAGES)
# What the tests run besides our own programs: the status page of mira serve
# is loaded in a headless browser, and the Modbus face is polled by real
# clients (pymodbus cannot be imported without python3-serial-asyncio, which
# it only recommends).
TEST_PACKAGES := chromium mbpoll python3-pymodbus python3-serial-asyncio
FUZZ_PACKAGES := clang-14 libclang-rt-14-dev
WINDOWS_PACKAGES := g++-mingw-w64-x86-64 g++-mingw-w64-i686 wine wine64
# The package build: dpkg-shlibdeps and dpkg-architecture, file (which cpack
# runs on every file), systemd-analyze for the unit.
DEB_PACKAGES := dpkg-dev file systemd
# A cross build for Debian architecture $(1): the compilers, qemu-user for the
# tests, the libraries, and the target's C and C++ runtimes, which the tests
# load under qemu-user and whose package entries dpkg-shlibdeps takes the
# dependencies from.
CROSS_PACKAGES = crossbuild-essential-$(1) qemu-user libc6:$(1) libgcc-s1:$(1) libstdc++6:$(1) \
                 $(addsuffix :$(1),$(LIBRARY_PACKAGES))
HOST_ARCH := $(shell dpkg --print-architecture 2>/dev/null)
ARCH ?= $(HOST_ARCH)
ARM_ARCHES ?= armhf arm64
# The package's preset: deb for this machine, deb-ARCH for a cross build.
DEB_PRESET := $(if $(filter $(HOST_ARCH),$(ARCH)),deb,deb-$(ARCH))
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: run test deps test-deps fuzz-deps windows-deps windows build-% test-% bench bench-build fuzz clean \
        deb deb-deps cross-deps-% test-deb test-arm

run: deps
	cmake --preset release >/dev/null
	cmake --build --preset release -j $(JOBS) --target mira_cli
	./build/release/src/cli/mira read N7:0 W0 W1 W2

# install-missing PACKAGE...: installs the packages dpkg does not know, without
# recommended packages. An index that fails to update (a mirror caught
# syncing) does not stop it: the install itself fails if a package is not
# to be had. A name without architecture is this machine's (dpkg
# asks which one once libgtest-dev:armhf is there too); one package of all
# architectures (nlohmann-json3-dev) serves every target as NAME:all.
define install-missing
	@missing=$$(for p in $(1); do q=$$p; case $$p in *:*) ;; *) q=$$p:$(HOST_ARCH) ;; esac; \
	            dpkg -s $$q >/dev/null 2>&1 || dpkg -s $${q%:*}:all >/dev/null 2>&1 || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  $(SUDO) apt-get update -qq || echo "apt-get update: an index failed (a mirror in sync?); installing from the rest"; \
	  $(SUDO) env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

deps:
	$(call install-missing,$(PACKAGES))

test-deps: deps
	$(call install-missing,$(TEST_PACKAGES))

fuzz-deps: deps
	$(call install-missing,$(FUZZ_PACKAGES))

windows-deps: deps
	$(call install-missing,$(WINDOWS_PACKAGES))

windows: windows-deps
	$(MAKE) build-windows

deb-deps: deps
	$(call install-missing,$(DEB_PACKAGES))

# cross-deps-ARCH: Debian's packages of architecture ARCH become installable
# beside this machine's (multiarch), then the cross build's are installed.
cross-deps-%: deps
	@dpkg --print-foreign-architectures | grep -qx '$*' || { echo "adding architecture $*"; $(SUDO) dpkg --add-architecture $*; }
	$(call install-missing,$(call CROSS_PACKAGES,$*))

deb: deb-deps $(if $(filter deb,$(DEB_PRESET)),,cross-deps-$(ARCH))
	cmake --preset $(DEB_PRESET) >/dev/null
	cmake --build --preset $(DEB_PRESET) -j $(JOBS)
	rm -f build/$(DEB_PRESET)/mira_*.deb
	cpack --preset $(DEB_PRESET)
	dpkg-deb --info build/$(DEB_PRESET)/mira_*_$(ARCH).deb

test-deb: deb
	sh tests/package/install_test.sh build/$(DEB_PRESET)/mira_*_$(ARCH).deb

# The ARM builds' tests that need no pseudo-terminal or network peer (label
# standalone), under qemu-user; ctest prints how many ran.
test-arm: $(addprefix cross-deps-,$(ARM_ARCHES))
	$(MAKE) $(addprefix test-,$(ARM_ARCHES))

build-%:
	cmake --preset $* >/dev/null
	cmake --build --preset $* -j $(JOBS)

test-%: build-%
	ctest --preset $* -j $(JOBS)

test: deps test-deps windows-deps
	$(MAKE) test-dev test-asan test-tsan build-windows32

bench-build: deps
	$(MAKE) build-bench

# One table: the driver-side benchmarks (short runs), then the end-to-end reads
# on a pseudo-terminal and the peak resident size of `mira poll`; then the scan
# planner of `mira serve` against an exhaustive search, mira serve on the
# paced line (a scan, /api/read, the program's CPU and resident size), a
# Modbus read of 100 registers from its tag store, and its MQTT face.
bench: bench-build
	./build/bench/bench/mira_bench --benchmark_min_time=0.05
	./build/bench/bench/mira_e2e --no-header
	./build/bench/bench/mira_plan_bench
	./build/bench/bench/mira_serve_bench --no-header
	./build/bench/bench/mira_modbus_bench
	./build/bench/bench/mira_mqtt_bench --seconds 3

fuzz: fuzz-deps
	$(MAKE) build-fuzz

clean:
	rm -rf build
