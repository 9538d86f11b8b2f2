# Quick start: `make demo` and `make test` set up a fresh Debian machine
# (as root, installing only missing packages), build, and run.

PACKAGES := cmake ninja-build g++ pkg-config binutils \
            libgtest-dev libgmock-dev libbenchmark-dev \
            libcli11-dev nlohmann-json3-dev libstb-dev \
            g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix \
            libraw-dev python3-setuptools python3-wheel python3-build python3-venv \
            python3-numpy python3-matplotlib python3-pytest python3-tifffile \
            libmpfr-dev wine64

# Debian's Python (NumPy, matplotlib, pytest come from Debian packages), not
# whichever python3 comes first on PATH.
PYTHON := /usr/bin/python3
VENV := $(CURDIR)/build/venv

DLLS := $(CURDIR)/build/mingw-i686/MORVIK_DLL.dll;$(CURDIR)/build/mingw-x86_64/MORVIK_DLL.dll

.PHONY: all deps build demo test dlls asan bench fuzz clean python wheel python-test

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
	$(MAKE) --no-print-directory python-test
	$(MAKE) --no-print-directory asan

# The Python package: a virtual environment that sees Debian's packages,
# with morvik installed from the source tree (offline, no build isolation).
$(VENV)/bin/python:
	$(PYTHON) -m venv --system-site-packages $(VENV)

python: deps $(VENV)/bin/python
	$(VENV)/bin/pip install --no-build-isolation --no-index .

# The wheel, installed into the venv; the tests then run against the
# installation (MORVIK_EXPECT_INSTALLED) and compare with the release CLI.
wheel: deps
	rm -rf build/dist
	$(PYTHON) -m build --no-isolation --wheel --outdir build/dist .

python-test: build wheel $(VENV)/bin/python
	$(VENV)/bin/pip install --no-index --force-reinstall --no-deps build/dist/morvik-*.whl
	cd build && MORVIK_EXPECT_INSTALLED=1 MORVIK_SOURCE_DIR=$(CURDIR) MORVIK_CLI=$(CURDIR)/build/release/morvik \
	    $(VENV)/bin/python -m pytest -p no:cacheprovider -q $(CURDIR)/python/tests

bench: build
	./build/release/morvik_bench

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz --target fuzz_debuginfo fuzz_readers

clean:
	rm -rf build
