# Entry points for a fresh Debian 12 machine: `make demo` and `make test`.
BUILD      ?= build
ASAN_BUILD ?= build-asan
TSAN_BUILD ?= build-tsan
JOBS       ?= $(shell nproc)
CMAKE_FLAGS ?= -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
CTEST_FLAGS ?= --output-on-failure --timeout 600 -j$(JOBS)
# The native builds link the pinned libcurl and FLTK that scripts/build-curl and scripts/build-fltk
# build once (see there why).
NATIVE_FLAGS = -DNUVRA_CURL_PREFIX=$(shell scripts/build-curl --prefix) \
               -DNUVRA_FLTK_PREFIX=$(shell scripts/build-fltk --prefix)

.PHONY: deps build test test-plain mutants test-asan test-tsan demo fuzz bench package screenshots \
        windows test-windows screenshots-windows package-windows clean

deps:
	@scripts/install-deps
	@scripts/build-curl >/dev/null
	@scripts/build-fltk >/dev/null

build: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS)

# Every test, once plainly, once under AddressSanitizer + UndefinedBehaviorSanitizer, and the
# window and worker tests under ThreadSanitizer.
test: test-plain test-asan test-tsan

test-plain: build
	cd $(BUILD) && ctest $(CTEST_FLAGS)

test-asan: deps
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS) -DNUVRA_SANITIZE=address,undefined
	cmake --build $(ASAN_BUILD) -j$(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 LSAN_OPTIONS=suppressions=$(CURDIR)/testing/lsan.supp \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest $(CTEST_FLAGS)

test-tsan: deps
	cmake -S . -B $(TSAN_BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS) -DNUVRA_SANITIZE=thread
	cmake --build $(TSAN_BUILD) -j$(JOBS) --target ui_tests engine_window_tests nuvraupdater_cpp
	cd $(TSAN_BUILD) && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS) -L "^window$$"

# Breaks the code in each way testing/mutants.txt lists, one at a time, in a scratch copy under
# $(MUTANTS_BUILD), and reports every breakage that no test caught (not part of `make test`).
MUTANTS_BUILD ?= build-mutants
mutants: deps
	JOBS=$(JOBS) testing/mutants.sh $(MUTANTS_BUILD)

# Pictures of the window mode, taken under a private Xvfb from the real program, at 96 DPI and at
# 192 (*-200.png).
screenshots: build
	scripts/screenshots $(BUILD)/nuvraupdater_cpp docs/screenshots
	NUVRA_DPI=192 scripts/screenshots $(BUILD)/nuvraupdater_cpp docs/screenshots

# HEADLESS=1 forces the headless mode even when a display is available.
demo: build
	HEADLESS=$(HEADLESS) scripts/demo $(BUILD)

package: build
	cd $(BUILD) && cpack -G DEB
	@ls $(BUILD)/*.deb

# Benchmarks against bsdtar and curl (not part of `make test`). Shrink the corpus for a quick
# try: make bench BIG_MIB=128 MANY_FILES=2000
# Knobs given on the command line reach both scripts (make exports them), e.g. a distant server
# with many small modpaks: make bench SHAPE=60ms,25MB/s CORPORA="small60 mixed"
# Only the corpora that the run needs and that are not built yet get built.
BENCH_CORPUS ?= $(BUILD)/bench-corpus
bench: build
	@missing=; for c in $${CORPORA:-big many mixed}; do \
	  [ -f $(BENCH_CORPUS)/$$c/archives.txt ] || \
	    grep -q "^$$c/mirror/" $(BENCH_CORPUS)/corpus-info.txt 2>/dev/null || missing="$$missing $$c"; \
	done; \
	[ -z "$$missing" ] || CORPORA="$$missing" bench/make_corpus.sh $(BENCH_CORPUS)
	PUBLISH=$(BUILD)/nuvrapublish bench/run_bench.sh $(BUILD)/nuvraupdater_cpp $(BENCH_CORPUS)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(WINDOWS_BUILD)

# The Windows executables, cross-built with mingw-w64 against static libraries built from the
# pinned sources (windows/build-deps; NUVRA_THIRD_PARTY names their folder) and tested under wine:
# the unit suites run inside wine; the differential and window tests run natively against the .exe.
WINDOWS_BUILD ?= build-windows
windows: deps
	scripts/install-deps windows
	deps=$$(windows/build-deps) && cmake -S . -B $(WINDOWS_BUILD) $(CMAKE_FLAGS) \
	  -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/windows/mingw-toolchain.cmake -DNUVRA_WINDOWS_DEPS="$$deps"
	cmake --build $(WINDOWS_BUILD) -j$(JOBS)

test-windows: windows build
	windows/run-tests $(WINDOWS_BUILD) $(BUILD) --timeout 600 -j$(JOBS)

# Pictures of the Windows build's window under wine, into docs/screenshots/windows-*.png, at 96
# DPI and at 192 (*-200.png).
screenshots-windows: windows
	for dpi in 96 192; do \
	  NUVRA_DPI=$$dpi NUVRA_UNDER_WINE=1 WINEPREFIX=$(CURDIR)/$(WINDOWS_BUILD)/wineprefix WINEDEBUG=-all \
	    WINEDLLOVERRIDES="mscoree,mshtml=" NUVRA_WINDOWS_EXE=$(CURDIR)/$(WINDOWS_BUILD)/nuvraupdater_cpp.exe \
	    scripts/screenshots windows/wine-updater docs/screenshots windows- || exit 1; \
	done

# A zip for players: the .exe, a short README and the licences of every library linked into it.
package-windows: windows
	windows/package $(WINDOWS_BUILD)

# Fuzzes the JSON reader with libFuzzer (clang) for FUZZ_SECONDS. New inputs collect in
# $(FUZZ_BUILD)/json-fuzz-corpus for the next run; a crashing input is kept in $(FUZZ_BUILD)/.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600
fuzz: deps
	cmake -S . -B $(FUZZ_BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS) -DNUVRA_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target json_fuzz
	mkdir -p $(FUZZ_BUILD)/json-fuzz-corpus
	$(FUZZ_BUILD)/manifest/json_fuzz -max_total_time=$(FUZZ_SECONDS) -timeout=10 -print_final_stats=1 \
	  -dict=manifest/json_fuzz.dict -artifact_prefix=$(FUZZ_BUILD)/ \
	  $(FUZZ_BUILD)/json-fuzz-corpus manifest/json_fuzz_seeds

# Reads a file list of 100,000 entries and a modpak manifest of 10,000 (Google Benchmark).
.PHONY: bench-json
bench-json: deps
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS) $(NATIVE_FLAGS)
	cmake --build $(BUILD) -j$(JOBS) --target manifests_bench
	$(BUILD)/manifest/manifests_bench
