# Front door for newcomers: `make test` and `make run` install what is
# missing (Debian packages), build, and run.
# One tree per architecture, every kernel's flavour in it: this machine's in
# $(BUILD), the ARM64 cross build in $(AARCH64_BUILD) (its sysroot in
# $(AARCH64_BUILD)-sysroot).
BUILD ?= build
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= build-fuzz
AARCH64_BUILD ?= build-aarch64
# Seconds per fuzz target: make fuzz, and the short run inside make test.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
JOBS ?= $(shell nproc)
# Build options, for example CMAKE_FLAGS=-DQVN_KERNEL=avx512 (the flavour built
# as qvncpu). Each make run starts from the default options, so that a choice
# made once does not stay behind in the build folder's cache; the default
# flavour follows the processor.
CMAKE_FLAGS ?=
DEFAULT_OPTIONS = -DCMAKE_BUILD_TYPE=Release -UQVN_KERNEL -DQVN_NATIVE=OFF

.PHONY: all deps deps-build deps-deb build test unit tsan avx512 aarch64 fuzz fuzz-smoke deb install run bench bench-compare bench-contended mca format clean

all: build

# Everything the whole suite needs; deps-build only what building and the
# demo need, so that make run installs no more; deps-deb what make deb needs.
deps:
	@scripts/install-deps

deps-build:
	@scripts/install-deps build

deps-deb:
	@scripts/install-deps deb

build: deps-build
	cmake -S . -B $(BUILD) $(DEFAULT_OPTIONS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite: every flavour's and the shared tests, then the threaded
# parts again under ThreadSanitizer, then the ARM64 tree under emulation, then
# a few seconds of each fuzz target.
test: unit tsan aarch64 fuzz-smoke

# Every flavour is built; the tests of one that this processor cannot run are
# skipped, saying why: the AVX-512 one's on an x86-64 processor without
# AVX-512F and AVX-512VL, the SHA3 ones' on an ARM64 core without SHA3.
UNTESTABLE = scripts/untestable-flavours
unit: deps build
	@exclude=$$($(UNTESTABLE)); \
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $${exclude:+-LE "$$exclude"}

# Only the executables whose tests run under ThreadSanitizer: tsan_tests.
tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVN_SANITIZE=thread -DQVN_BUILD_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target tsan_tests
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L tsan

# The AVX-512 flavour's tests alone (part of make unit); skipped, saying why,
# where the processor cannot run them.
ifeq ($(shell uname -m),x86_64)
avx512: build
	@if [ -z "$$($(UNTESTABLE))" ]; then \
	  cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -L '^avx512$$'; \
	fi
else
avx512:
	@echo "skipping the AVX-512 flavour: not an x86-64 machine"
endif

# The ARM64 tree, every ARM64 kernel's flavour, cross-built and tested under
# qemu-aarch64, with a private sysroot: the host's setup is left alone.
aarch64: deps
	AARCH64_BUILD=$(AARCH64_BUILD) JOBS=$(JOBS) scripts/cross-aarch64

# Each libFuzzer target of tests/fuzz for FUZZ_SECONDS, JOBS at a time.
fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz $(FUZZ_SECONDS)

fuzz-smoke: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz --smoke $(FUZZ_SMOKE_SECONDS)

# The Debian packages qvncpu and qvncpu-avx512 (debian/), built by
# dpkg-buildpackage from a copy of the work tree's files (tracked or new, not
# ignored) in $(BUILD)/deb, so that the tree itself stays clean. Both .deb
# files land in $(BUILD): sudo apt install ./$(BUILD)/qvncpu_*.deb
# Their version carries the commit's time (scripts/deb-version), so that a
# package of a later commit installs as an upgrade.
DEB_SOURCE = $(BUILD)/deb/qvncpu
deb: deps-deb
	rm -rf $(BUILD)/deb && mkdir -p $(DEB_SOURCE)
	git ls-files -z --cached --others --exclude-standard | \
	  tar -c --null -T - --ignore-failed-read 2>/dev/null | tar -x -C $(DEB_SOURCE)
	scripts/deb-version $(DEB_SOURCE)
	# debian/rules is a makefile too: MAKEFLAGS would hand it this make's
	# command-line variables, a DEB_BUILD_OPTIONS there replacing the one
	# below, and with it parallel=: the build would run on one core.
	cd $(DEB_SOURCE) && MAKEFLAGS= DEB_BUILD_OPTIONS="parallel=$(JOBS) $(DEB_BUILD_OPTIONS)" \
	  dpkg-buildpackage -b -us -uc
	rm -f $(BUILD)/qvncpu*.deb
	cp $(BUILD)/deb/qvncpu_*.deb $(BUILD)/
	# qvncpu-avx512 is built on amd64 only.
	for deb in $(BUILD)/deb/qvncpu-avx512_*.deb; do [ ! -e "$$deb" ] || cp "$$deb" $(BUILD)/; done

# The program, its man page, the systemd unit and its options file under
# PREFIX, staged under DESTDIR when given (a packager's make install). It
# installs the tree as the last make build configured it (make build
# CMAKE_FLAGS=-DQVN_KERNEL=avx512, then make install: the AVX-512 program);
# with CMAKE_FLAGS, or without a tree, it configures one first.
PREFIX ?= /usr/local
install: deps-build
	if [ -n "$(CMAKE_FLAGS)" ] || [ ! -f $(BUILD)/CMakeCache.txt ]; then \
	  cmake -S . -B $(BUILD) $(DEFAULT_OPTIONS) $(CMAKE_FLAGS); \
	fi
	cmake --build $(BUILD) -j $(JOBS)
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

run: build
	scripts/demo $(BUILD)/qvncpu

# qvn_bench, then the other flavours' kernels this processor can run, and
# each kernel's cycles per round beside its floor's: scripts/bench-summary.
# BENCH_ARGS reaches the script through the environment, unparsed by the
# shell, so that a filter such as BM_x(4|8)_kernel needs no second quoting.
bench: export BENCH_ARGS := $(BENCH_ARGS)
bench: build
	scripts/bench-summary $(BUILD)

# Both builds of REF (a git commit) and of the working tree, their kernel
# benchmarks run interleaved, and the ratios: make bench-compare REF=main
bench-compare: deps
	scripts/bench-compare $(REF) $(ROUNDS)

# The worker pool beside a busy loop that stands in for the node, against as
# many single-thread miners as cores, each as a process of its own; at the
# idle and the normal scheduling policy: scripts/bench-contended.
bench-contended: build
	scripts/bench-contended $(BUILD)

# llvm-mca's cycles per round of each kernel on other cores' models, from the
# real builds' assembly (build-mca-x86, build-mca-arm64), and on x86 the
# measured figure beside this machine's model: scripts/mca. A developers'
# tool, not part of make test.
mca: deps
	AARCH64_BUILD=$(AARCH64_BUILD) JOBS=$(JOBS) scripts/mca $(MCA_ARGS)

format: deps
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(FUZZ_BUILD) $(AARCH64_BUILD) $(AARCH64_BUILD)-* build-mca-*
