# The two commands a newcomer needs: `make run` and `make test`.
BUILD ?= build
SANITIZE_BUILD ?= build-sanitize
WINDOWS_BUILD ?= build-windows
RELEASE_BUILD ?= build-release
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build run demo test install test-sanitize windows test-windows bench clean

all: build

# What a fresh Debian machine lacks, installed by scripts/install-deps (the
# one list of packages); a few dpkg queries when everything is there.
deps:
	@scripts/install-deps

$(BUILD)/CMakeCache.txt: | deps
	cmake -S . -B $(BUILD)

build: deps $(BUILD)/CMakeCache.txt
	cmake --build $(BUILD) -j $(JOBS)

# Starts the tool in examples/, where the demo DEMs lie under images/.
run: build
	mkdir -p examples/images
	cd examples && ../$(BUILD)/skarnovelt_v2

# The same dialogue from a script (examples/demo.answers): compares the demo
# surveys and shows the volumes beside those of the landslide they hold.
demo: build
	@cd examples && out=$$(../$(BUILD)/skarnovelt_v2 < demo.answers) || { printf '%s\n' "$$out"; exit 1; }; \
	printf 'Answers: %s\n' "$$(tr '\n' ' ' < demo.answers)"; \
	printf '%s\n' "$$out" | tail -n 1 | sed 's/^[[:space:]]*/Tool: /'; \
	echo "Results: examples/images/demo/change_2D_m4.raw, change_3D_m4.raw and their .txt descriptors"; \
	echo "The landslide as it was made (examples/images/demo/landslide.txt):"; \
	sed -n '3,$$p' images/demo/landslide.txt

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

# The programs into $(PREFIX)/bin, their manual pages (with help2man) into
# $(PREFIX)/share/man/man1, the README into $(PREFIX)/share/doc; DESTDIR
# stages the whole under another root.
PREFIX ?= /usr/local
install: build
	cmake --install $(BUILD) --prefix $(PREFIX)

test-sanitize: deps
	cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=Debug -DSKARNOVELT_SANITIZE=ON
	cmake --build $(SANITIZE_BUILD) -j $(JOBS)
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)

# The tool for 64-bit Windows, cross-built with MinGW-w64: $(WINDOWS_BUILD)/skarnovelt_v2.exe.
WINDOWS_CMAKE = cmake -S . -B $(WINDOWS_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake

windows:
	@scripts/install-deps --windows
	$(WINDOWS_CMAKE) -DSKARNOVELT_TESTS=OFF
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)

# The Windows build's tests, run under Wine and compared with the Linux build.
test-windows: build
	@scripts/install-deps --windows
	$(WINDOWS_CMAKE) -DSKARNOVELT_TESTS=ON -DSKARNOVELT_NATIVE_BUILD=$(abspath $(BUILD))
	cmake --build $(WINDOWS_BUILD) -j $(JOBS)
	cd $(WINDOWS_BUILD) && ctest --output-on-failure -j $(JOBS)

# Benchmarks of whole runs on large rasters against the I/O floor, and the
# microbenchmarks of the stages and of the reference and fast kernels
# (with the share of cells the fast path hands to the reference), and
# dem_change by tiles on a Dask LocalCluster of 1 and 2 workers
# (bench/bench_dask.py), on a Release build; by hand, never in CI.
# Tables on the console, CSV files in $(BUILD)/bench/; the generated DEMs
# lie in $(RELEASE_BUILD)/bench-data while they are measured, then are
# removed. Fails when a run's peak memory exceeds 34 bytes per cell + 64 MiB,
# or dem_change's exceeds 128 MiB.
bench:
	cmake -S . -B $(RELEASE_BUILD) -DCMAKE_BUILD_TYPE=Release -DSKARNOVELT_TESTS=OFF
	cmake --build $(RELEASE_BUILD) -j $(JOBS) --target skarnovelt_v2 demgen run_bench bench_stages bench_kernels bench_budget bench_errors dem_change dem_coreg bench_change
	$(RELEASE_BUILD)/bench/run_bench --tool $(RELEASE_BUILD)/skarnovelt_v2 \
	  --demgen $(RELEASE_BUILD)/tools/demgen/demgen --stages $(RELEASE_BUILD)/bench/bench_stages \
	  --work $(RELEASE_BUILD)/bench-data --out $(BUILD)/bench
	@echo "Reference and fast kernels (redone_pct: cells the reference recomputed):"
	$(RELEASE_BUILD)/bench/bench_kernels --benchmark_out=$(BUILD)/bench/kernels.csv --benchmark_out_format=csv
	@echo "The budget's exact sums against a plain sum in double:"
	$(RELEASE_BUILD)/bench/bench_budget --benchmark_out=$(BUILD)/bench/budget.csv --benchmark_out_format=csv
	@echo "What the errors learned from stable ground add to a cell (extended precision), against a double floor:"
	$(RELEASE_BUILD)/bench/bench_errors --benchmark_out=$(BUILD)/bench/errors.csv --benchmark_out_format=csv
	@echo "dem_change and dem_coreg against the GDAL floor and gdal_calc.py (float32 GeoTIFF pairs), and the compressions:"
	$(RELEASE_BUILD)/bench/bench_change --dem-change $(RELEASE_BUILD)/tools/change/dem_change \
	  --dem-coreg $(RELEASE_BUILD)/tools/coreg/dem_coreg \
	  --work $(RELEASE_BUILD)/bench-data --out $(BUILD)/bench
	@# dem_change by tiles on a Dask LocalCluster of 1 and 2 workers, where the Python module is built.
	@if cmake --build $(RELEASE_BUILD) --target help | grep -q _skarnovelt; then \
	  cmake --build $(RELEASE_BUILD) -j $(JOBS) --target _skarnovelt && \
	  echo "dem_change by tiles on a Dask LocalCluster against dem_change (10000 x 10000):" && \
	  PYTHONPATH=$(RELEASE_BUILD)/python /usr/bin/python3 bench/bench_dask.py \
	    --dem-change $(RELEASE_BUILD)/tools/change/dem_change --work $(RELEASE_BUILD)/bench-data --out $(BUILD)/bench; \
	else echo "The Python module is not built (scripts/install-deps --python): the Dask bench is skipped"; fi

clean:
	rm -rf $(BUILD) $(SANITIZE_BUILD) $(WINDOWS_BUILD) $(RELEASE_BUILD)
