# Quick start: `make demo` and `make test` set up a fresh Debian machine
# (as root, installing only missing packages), build, and run.

PACKAGES := cmake ninja-build g++ pkg-config binutils \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev nlohmann-json3-dev libstb-dev \
            g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix

DLLS := $(CURDIR)/build/mingw-i686/MORVIK_DLL.dll;$(CURDIR)/build/mingw-x86_64/MORVIK_DLL.dll

.PHONY: all deps build demo test dlls asan bench fuzz clean

all: build

deps:
	@missing=$$(for p in $(PACKAGES); do \
	    dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	    echo "Installing:" $$missing; \
	    SUDO=; [ "$$(id -u)" = 0 ] || SUDO=sudo; \
	    $$SUDO apt-get update -qq && \
	    DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi

build: deps
	cmake --preset release
	cmake --build --preset release

demo: build
	./build/release/morvik demo

dlls: deps
	cmake --preset mingw-i686
	cmake --build --preset mingw-i686
	cmake --preset mingw-x86_64
	cmake --build --preset mingw-x86_64

asan: deps
	cmake --preset asan-ubsan
	cmake --build --preset asan-ubsan
	ctest --preset asan-ubsan

# Release suite (with the export tables of libmorvik.so and both DLLs), then
# the same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test: deps dlls
	cmake --preset release -DMORVIK_DLLS="$(DLLS)"
	cmake --build --preset release
	ctest --preset release
	$(MAKE) --no-print-directory asan

bench: build
	./build/release/morvik_bench

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_debuginfo fuzz_readers

clean:
	rm -rf build
