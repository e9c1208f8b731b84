# make demo: install what is missing, build, run the program against the simulated phone.
# make test: install what is missing, build, run every test through ctest.
# make install [PREFIX=/usr/local] [DESTDIR=...]: install the program and its files.
# make deb: build the Debian package in $(DEB_BUILD)/package and check it with lintian.

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
DEB_BUILD  ?= build-deb
PREFIX     ?= /usr/local
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=

.PHONY: all deps bench-deps build test demo run bench asan asan-test fuzz format clean install uninstall deb

all: build

deps:
	@bash packaging/install-deps.sh

build: deps
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX) $(CMAKE_ARGS) >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j $(JOBS)

demo: build
	@bash packaging/demo.sh $(BUILD)

run: build
	$(BUILD)/orvello

# Only the benchmarks install nginx and wrk.
bench-deps:
	@bash packaging/install-deps.sh --bench

bench: bench-deps build
	@bash bench/run.sh $(BUILD)

asan: deps
	@cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORV_SANITIZE=ON -DORV_BENCH=OFF >/dev/null
	@cmake --build $(ASAN_BUILD) -j $(JOBS)

asan-test: asan
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen ASAN_OPTIONS=detect_leaks=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j $(JOBS)

fuzz: deps
	@CC=clang CXX=clang++ cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORV_FUZZ=ON -DORV_BENCH=OFF >/dev/null
	@cmake --build $(FUZZ_BUILD) -j $(JOBS) --target fuzzers
	@bash tests/fuzz/run.sh $(FUZZ_BUILD)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.h')

# The udev rules take effect at once when the installation is the system's own.
install: build
	DESTDIR="$(DESTDIR)" cmake --install $(BUILD)
	@if [ -z "$(DESTDIR)" ] && [ "$$(id -u)" -eq 0 ] && command -v udevadm >/dev/null; then \
	  udevadm control --reload-rules 2>/dev/null && udevadm trigger --subsystem-match=usb --subsystem-match=tty \
	    --attr-match=idVendor=22b8 2>/dev/null || true; \
	else \
	  echo "Plug the phone in again after: sudo udevadm control --reload-rules"; \
	fi

# Removes what the last make install put in place (give the same DESTDIR),
# and the program's own folders once they are empty.
uninstall:
	@[ -f $(BUILD)/install_manifest.txt ] || { echo "nothing installed from $(BUILD)"; exit 1; }
	sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | xargs -r -d '\n' rm -f --
	sed 's|^|$(DESTDIR)|' $(BUILD)/install_manifest.txt | \
	  awk '{ d = $$0; sub("/[^/]*$$", "", d); while (d ~ "/orvello(/|$$)") { print d; sub("/[^/]*$$", "", d) } }' | \
	  sort -ru | xargs -r -d '\n' rmdir --ignore-fail-on-non-empty --

# The package is built for /usr with exactly Debian's flags (hardening included;
# build type None adds none of its own), then checked.
deb:
	@bash packaging/install-deps.sh lintian
	@export DEB_BUILD_MAINT_OPTIONS=hardening=+all; \
	cmake -S . -B $(DEB_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr -DORV_BENCH=OFF \
	  -DCMAKE_CXX_FLAGS="$$(dpkg-buildflags --get CXXFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_C_FLAGS="$$(dpkg-buildflags --get CFLAGS) $$(dpkg-buildflags --get CPPFLAGS)" \
	  -DCMAKE_EXE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" \
	  -DCMAKE_MODULE_LINKER_FLAGS="$$(dpkg-buildflags --get LDFLAGS)" >/dev/null
	@cmake --build $(DEB_BUILD) -j $(JOBS)
	cd $(DEB_BUILD) && ctest --output-on-failure -R '^package_deb$$'

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD) $(DEB_BUILD)
