# Front door for newcomers: `make test` and `make run` install what is
# missing (Debian packages), build, and run.
BUILD ?= build
TSAN_BUILD ?= build-tsan
AVX512_BUILD ?= build-avx512
FUZZ_BUILD ?= build-fuzz
# The ARM64 cross builds: $(AARCH64_BUILD)-<kernel> for each ARM64 kernel, and -sysroot.
AARCH64_BUILD ?= build-aarch64
# Seconds per fuzz target: make fuzz, and the short run inside make test.
FUZZ_SECONDS ?= 60
FUZZ_SMOKE_SECONDS ?= 5
JOBS ?= $(shell nproc)
# Build options, for example CMAKE_FLAGS=-DQVN_KERNEL=avx512. Each make run
# starts from the default options, so that a choice made once does not stay
# behind in the build folder's cache; the default kernel follows the processor.
CMAKE_FLAGS ?=
DEFAULT_OPTIONS = -DCMAKE_BUILD_TYPE=Release -UQVN_KERNEL -DQVN_NATIVE=OFF

.PHONY: all deps build test unit tsan avx512 aarch64 fuzz fuzz-smoke deb install run bench bench-compare mca format clean

all: build

deps:
	@scripts/install-deps

build: deps
	cmake -S . -B $(BUILD) $(DEFAULT_OPTIONS) $(CMAKE_FLAGS)
	cmake --build $(BUILD) -j $(JOBS)

# The whole suite: unit and integration tests, then the threaded parts again
# under ThreadSanitizer, then the eight-way AVX-512 build, then the ARM64
# builds under emulation, then a few seconds of each fuzz target.
test: unit tsan avx512 aarch64 fuzz-smoke

unit: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

tsan: deps
	cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQVN_SANITIZE=thread -DQVN_BUILD_BENCH=OFF
	cmake --build $(TSAN_BUILD) -j $(JOBS)
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1 ctest --output-on-failure -j $(JOBS) -L tsan

# The AVX-512 build is always compiled; its tests need a processor that can
# run it and are skipped, saying why, on one that cannot. An ARM machine
# skips the variant.
ifeq ($(shell uname -m),x86_64)
avx512: deps
	cmake -S . -B $(AVX512_BUILD) $(DEFAULT_OPTIONS) -DQVN_KERNEL=avx512
	cmake --build $(AVX512_BUILD) -j $(JOBS)
	@if why=$$(scripts/can-run-avx512); then \
	  cd $(AVX512_BUILD) && ctest --output-on-failure -j $(JOBS); \
	else \
	  echo "skipping the AVX-512 build's tests: $$why"; \
	fi
else
avx512:
	@echo "skipping the AVX-512 build: not an x86-64 machine"
endif

# Every ARM64 kernel's flavour cross-built and tested under qemu-aarch64,
# with a private sysroot: the host's setup is left alone.
aarch64: deps
	AARCH64_BUILD=$(AARCH64_BUILD) JOBS=$(JOBS) scripts/cross-aarch64

# Each libFuzzer target of tests/fuzz for FUZZ_SECONDS, one after the other.
fuzz: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz $(FUZZ_SECONDS)

fuzz-smoke: deps
	FUZZ_BUILD=$(FUZZ_BUILD) JOBS=$(JOBS) scripts/fuzz --smoke $(FUZZ_SMOKE_SECONDS)

# The Debian packages qvncpu and qvncpu-avx512 (debian/), built by
# dpkg-buildpackage from a copy of the work tree's files (tracked or new, not
# ignored) in $(BUILD)/deb, so that the tree itself stays clean. Both .deb
# files land in $(BUILD): sudo apt install ./$(BUILD)/qvncpu_*.deb
DEB_SOURCE = $(BUILD)/deb/qvncpu
deb: deps
	rm -rf $(BUILD)/deb && mkdir -p $(DEB_SOURCE)
	git ls-files -z --cached --others --exclude-standard | \
	  tar -c --null -T - --ignore-failed-read 2>/dev/null | tar -x -C $(DEB_SOURCE)
	cd $(DEB_SOURCE) && DEB_BUILD_OPTIONS="parallel=$(JOBS) $(DEB_BUILD_OPTIONS)" \
	  dpkg-buildpackage -b -us -uc
	rm -f $(BUILD)/qvncpu*.deb
	cp $(BUILD)/deb/qvncpu_*.deb $(BUILD)/
	# qvncpu-avx512 is built on amd64 only.
	for deb in $(BUILD)/deb/qvncpu-avx512_*.deb; do [ ! -e "$$deb" ] || cp "$$deb" $(BUILD)/; done

# The program, its man page, the systemd unit and its options file under
# PREFIX, staged under DESTDIR when given (a packager's make install).
PREFIX ?= /usr/local
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)"

run: build
	scripts/demo $(BUILD)/qvncpu

bench: build
	$(BUILD)/bench/qvn_bench $(BENCH_ARGS)

# Both builds of REF (a git commit) and of the working tree, their kernel
# benchmarks run interleaved, and the ratios: make bench-compare REF=main
bench-compare: deps
	scripts/bench-compare $(REF) $(ROUNDS)

# llvm-mca's cycles per round of each kernel on other cores' models, from the
# real builds' assembly (build-mca-*), and on x86 the measured figure beside
# this machine's model: scripts/mca. A developers' tool, not part of make test.
mca: deps
	AARCH64_BUILD=$(AARCH64_BUILD) JOBS=$(JOBS) scripts/mca $(MCA_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

clean:
	rm -rf $(BUILD) $(TSAN_BUILD) $(AVX512_BUILD) $(FUZZ_BUILD) $(AARCH64_BUILD)-* build-mca-*
