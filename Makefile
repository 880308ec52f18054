# SPDX-License-Identifier: MIT
# Pixmill: `make test` installs what is missing, builds and runs every test; `make run` runs Pixmill.
SHELL := /bin/bash
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 10
CMAKE_FLAGS ?=
# The test builds go through ccache when it is there: a rerun recompiles only what changed, in any
# clone (paths are taken relative to the clone, and its folder name is left out of the hash).
CCACHE := $(shell command -v ccache 2>/dev/null)
ifneq ($(CCACHE),)
LAUNCHER := -DCMAKE_C_COMPILER_LAUNCHER=$(CCACHE) -DCMAKE_CXX_COMPILER_LAUNCHER=$(CCACHE)
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
endif
# The test builds keep line tables only: all a failing test's or a sanitizer's stack needs, and a
# quarter less compile time than full debug information.
TEST_FLAGS := -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"

# Debian 12 packages the build and the tests need.
DEPS := cmake make g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev libjpeg62-turbo-dev \
        qt6-base-dev libgl-dev libpng-dev zlib1g-dev libgif-dev python3 python3-pil python3-numpy netpbm \
        parallel bash-completion desktop-file-utils ccache \
        pkgconf libheif-dev libwebp-dev libjxl-dev libtiff-dev liblcms2-dev \
        libheif-examples webp libavif-bin libjxl-tools libtiff-tools \
        libpugixml-dev desktop-file-utils
# What `make cluster-check` needs besides DEPS: a Slurm cluster of one node and its authentication.
CLUSTER_DEPS := slurm-wlm munge

# The benchmarks' peers and the peak-memory meter.
BENCH_DEPS := libjpeg-turbo-progs libvips-tools time webp libwebp-dev libspng-dev

# The benchmark corpus, made by make-corpus.sh beside the project when it is missing.
PIXMILL_CORPUS ?= /tmp/pixmill-corpus
export PIXMILL_CORPUS

# What the window check under Xvfb needs besides DEPS.
WINDOW_DEPS := xvfb xdotool x11-apps

# What `make deb` needs besides DEPS: shlibdeps, and the checkers of the package and its metadata.
DEB_DEPS := dpkg-dev lintian desktop-file-utils appstream

.PHONY: all deps deb deb-repro build test test-main test-asan test-tsan run bench fuzz window-check cluster-check clean

all: build

deps:
	@missing=$$(for p in $(DEPS) $(EXTRA_DEPS); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q '^install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  missing=$$(echo $$missing); line="apt-get update && apt-get install -y $$missing"; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; \
	  elif command -v sudo >/dev/null && { sudo -n true 2>/dev/null || [ -t 0 ]; }; then SUDO=sudo; \
	  else echo "Missing packages. As root, run: $$line"; exit 1; fi; \
	  echo "Installing:" $$missing; \
	  { $$SUDO apt-get -o DPkg::Lock::Timeout=300 update -qq && \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get -o DPkg::Lock::Timeout=300 install -y -qq $$missing; } || \
	  { echo "Could not install the missing packages. As root, run: $$line"; exit 1; }; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(TEST_FLAGS) $(CMAKE_FLAGS)
	cmake --build build -j $(JOBS)

test-main: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# Decoders, fuzz corpora and the rest under AddressSanitizer + UndefinedBehaviorSanitizer (clang).
test-asan: deps
	CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(TEST_FLAGS) \
	  -DPIXMILL_SANITIZE=address -DPIXMILL_FUZZ=ON -DPIXMILL_GUI=OFF -DPIXMILL_FUZZ_SECONDS=$(FUZZ_SECONDS)
	cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The queue and the jobs under ThreadSanitizer.
test-tsan: deps
	CC=clang CXX=clang++ cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(TEST_FLAGS) \
	  -DPIXMILL_SANITIZE=thread -DPIXMILL_GUI=OFF
	cmake --build build-tsan -j $(JOBS)
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

test: test-main test-asan test-tsan

run: build
	@bash scripts/run.sh

bench:
	$(MAKE) deps EXTRA_DEPS="$(BENCH_DEPS)"
	cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DPIXMILL_BENCH=ON -DPIXMILL_TESTS=OFF -DPIXMILL_GUI=OFF
	cmake --build build-bench -j $(JOBS)
	@if [ ! -d "$(PIXMILL_CORPUS)/png" ] || [ ! -d "$(PIXMILL_CORPUS)/photos" ]; then \
	  if [ -x ../shared/bench/make-corpus.sh ]; then echo "== making the corpus in $(PIXMILL_CORPUS)"; \
	    PYTHON=/usr/bin/python3 ../shared/bench/make-corpus.sh "$(PIXMILL_CORPUS)" >/dev/null || exit 1; \
	  else echo "== no corpus and no ../shared/bench/make-corpus.sh: the corpus benchmarks measure nothing"; fi; \
	fi
	@if [ -d "$(PIXMILL_CORPUS)" ] && [ ! -f "$(PIXMILL_CORPUS)/big/big-300mp.png" ]; then \
	  echo "== writing a 300-megapixel PNG in $(PIXMILL_CORPUS)/big (once)"; mkdir -p "$(PIXMILL_CORPUS)/big"; \
	  /usr/bin/python3 bench/make_big_png.py "$(PIXMILL_CORPUS)/big/big-300mp.png" || exit 1; \
	fi
	@for b in build-bench/bench/*_bench; do echo "== $$b"; $$b || exit 1; done
	@for b in bench/*_bench.sh; do echo "== $$b"; bash $$b build-bench/cli/pixmill-cli || exit 1; done

# A real drag onto the window under Xvfb, Esc, a second drag; with SHOTS=docs the README screenshots.
window-check:
	$(MAKE) deps EXTRA_DEPS="$(WINDOW_DEPS)"
	$(MAKE) build
	bash scripts/window-check.sh $(SHOTS)

# The Slurm job array of docs/scale-out.md on a one-node cluster started here (as root; skipped
# otherwise), one task cancelled mid-run and resumed.
cluster-check:
	@if [ "$$(id -u)" != 0 ]; then bash scripts/cluster-check.sh; exit 0; fi
	$(MAKE) deps EXTRA_DEPS="$(CLUSTER_DEPS)"
	$(MAKE) build
	bash scripts/cluster-check.sh build/cli/pixmill-cli

# Long fuzzing of one target: make fuzz TARGET=bmp_fuzz FUZZ_SECONDS=300
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DPIXMILL_SANITIZE=address -DPIXMILL_FUZZ=ON -DPIXMILL_GUI=OFF
	cmake --build build-asan -j $(JOBS) --target $(TARGET)
	mkdir -p build-asan/fuzz/work/$(TARGET)
	LSAN_OPTIONS=suppressions=$(CURDIR)/fuzz/lsan.supp build-asan/fuzz/$(TARGET) -max_total_time=$(FUZZ_SECONDS) -rss_limit_mb=2560 \
	  -artifact_prefix=build-asan/fuzz/work/$(TARGET)/ build-asan/fuzz/work/$(TARGET) fuzz/corpus/$(TARGET)

# The Debian package pixmill_<version>_<arch>.deb in this folder, checked by desktop-file-validate,
# appstreamcli and lintian (no error allowed).
# Every time stamp in it is the commit's time (SOURCE_DATE_EPOCH, which rcc and CPack honour; outside
# a clone the date of the package's latest changelog entry) and no build path enters the programs,
# so one commit gives the same package wherever it is built.
deb: export SOURCE_DATE_EPOCH ?= $(shell git log -1 --format=%ct 2>/dev/null || \
  date -d "$$(sed -n 's/^ -- .*>  //p' packaging/changelog | head -n 1)" +%s)
deb: export QT_RCC_SOURCE_DATE_OVERRIDE ?= $(SOURCE_DATE_EPOCH)
deb:
	$(MAKE) deps EXTRA_DEPS="$(DEB_DEPS)"
	cmake -S . -B build-deb -DCMAKE_BUILD_TYPE=Release -DPIXMILL_TESTS=OFF -DCMAKE_INSTALL_PREFIX=/usr \
	  -DPIXMILL_REPRODUCIBLE=ON $(CMAKE_FLAGS)
	cmake --build build-deb -j $(JOBS)
	rm -f build-deb/pixmill_*.deb
	cd build-deb && cpack -G DEB
	desktop-file-validate app/pixmill.desktop
	appstreamcli validate --no-net packaging/io.github.pixmill.Pixmill.metainfo.xml
	lintian --fail-on error build-deb/pixmill_*.deb
	rm -f pixmill_*.deb && cp build-deb/pixmill_*.deb .
	@ls pixmill_*.deb

# `make deb` in two fresh clones of this commit at different paths must give the same bytes. The
# clones hold the commit only: changes not committed are not part of the check.
deb-repro:
	@commit=$$(git rev-parse HEAD) && top=$$(mktemp -d /tmp/pixmill-repro.XXXXXX) || exit 1; \
	git diff --quiet HEAD || echo "== deb-repro: uncommitted changes are left out; building $$commit"; \
	for dir in "$$top/one" "$$top/clone-two"; do \
	  git clone -q --no-checkout "$$(git rev-parse --path-format=absolute --git-common-dir)" "$$dir" && \
	  git -C "$$dir" checkout -q --detach "$$commit" && \
	  $(MAKE) -C "$$dir" deb || { echo "== deb-repro: make deb failed in $$dir"; exit 1; }; \
	done; \
	sha256sum "$$top"/one/pixmill_*.deb "$$top"/clone-two/pixmill_*.deb; \
	if cmp -s "$$top"/one/pixmill_*.deb "$$top"/clone-two/pixmill_*.deb; then \
	  echo "== deb-repro: the two packages are identical"; rm -rf "$$top"; \
	else \
	  for dir in "$$top/one" "$$top/clone-two"; do dpkg-deb -R "$$dir"/pixmill_*.deb "$$dir/unpacked"; done; \
	  diff -r "$$top/one/unpacked" "$$top/clone-two/unpacked" | head -20; \
	  echo "== deb-repro: the packages differ (both kept under $$top)"; exit 1; \
	fi

clean:
	rm -rf build build-asan build-tsan build-bench build-deb
