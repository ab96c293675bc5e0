# The two commands a newcomer needs: `make run` and `make test`.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
WINDOWS_BUILD ?= build-windows
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all build run test test-sanitize windows test-windows clean

all: build

$(BUILD)/CMakeCache.txt:
	cmake -S . -B $(BUILD)

build: $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Starts the tool in examples/, where the demo DEMs lie under images/.
run: build
	mkdir -p examples/images
	cd examples && ../$(BUILD)/skarnovelt_v2

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

test-sanitize:
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSKARNOVELT_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tool for 64-bit Windows, cross-built with MinGW-w64: $(WINDOWS_BUILD)/skarnovelt_v2.exe.
WINDOWS_CMAKE = cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

windows:
	$(WINDOWS_CMAKE) -DSKARNOVELT_TESTS=OFF
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The Windows build's tests, run under Wine and compared with the Linux build.
test-windows: build
	$(WINDOWS_CMAKE) -DSKARNOVELT_TESTS=ON -DSKARNOVELT_NATIVE_BUILD=$(abspath $(BUILD))
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	cd $(WINDOWS_BUILD) && ctest --output-on-failure -j $(JOBS)

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(WINDOWS_BUILD)
