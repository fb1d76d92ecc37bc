# Set-up and everyday commands; see README.md.
BUILD      ?= build
ASAN_BUILD ?= build-asan
BUILD_TYPE ?= RelWithDebInfo
WERROR     ?= OFF
CTEST_JOBS ?= 2
FUZZ_BUILD ?= build-fuzz
FUZZ_SECONDS ?= 60

CMAKE_FLAGS = -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DTARNWICK_WERROR=$(WERROR)

.PHONY: all deps configure build test package run sanitize fuzz screenshots bench bench-quick format clean load translations

all: build

deps:
	@bash scripts/install-deps.sh

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

configure: deps $(BUILD)/build.ninja

build: configure
	cmake --build $(BUILD)

test: build
	cd $(BUILD) && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j$(CTEST_JOBS)

# build/tarnwick-pico_<version>_<arch>.deb
package: build
	cmake --build $(BUILD) --target package

run: build
	@if [ -x $(BUILD)/tarnwick-pico ]; then ./$(BUILD)/tarnwick-pico; \
	else echo "The window is not built yet."; fi

$(ASAN_BUILD)/build.ninja:
	cmake -S . -B $(ASAN_BUILD) $(CMAKE_FLAGS) -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON

# The package tests (label package) are left to `make test`: a sanitizer build is not packaged.
sanitize: deps $(ASAN_BUILD)/build.ninja
	cmake --build $(ASAN_BUILD)
	cd $(ASAN_BUILD) && QT_QPA_PLATFORM=offscreen \
		ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
		LSAN_OPTIONS=suppressions=$(CURDIR)/tests/lsan.supp:print_suppressions=0 \
		UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
		ctest --output-on-failure -j$(CTEST_JOBS) -LE package

# Every fuzzer in fuzz/ for FUZZ_SECONDS each, built with clang-14 in $(FUZZ_BUILD).
fuzz:
	bash fuzz/run.sh --build-dir $(FUZZ_BUILD) --seconds $(FUZZ_SECONDS) --werror $(WERROR)

# Brings i18n/tarnwick-pico_en.ts up to date with the sources and lists the texts that
# still wait for their English; translate them with Qt Linguist.
translations: configure
	cmake --build $(BUILD) --target update_translations

format:
	git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(FUZZ_BUILD)

# The load and fault tests of the relay engine in their full form (minutes, not seconds).
load: build
	cd $(BUILD) && TARNWICK_LOAD=full ctest -L load --output-on-failure

bench: build
	bash bench/run.sh --full

bench-quick: build
	bash bench/run.sh --quick

# The windows rendered offscreen into $(BUILD)/screenshots/*.png: the port panel and its
# dialogs, then the main window, the about box and the debug console; in English into
# $(BUILD)/screenshots/en/.
screenshots: build
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/tests/screenshots/render_screenshots $(CURDIR)/$(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/tests/app/render_app_screenshots $(CURDIR)/$(BUILD)/screenshots
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/tests/screenshots/render_screenshots $(CURDIR)/$(BUILD)/screenshots/en en
	QT_QPA_PLATFORM=offscreen ./$(BUILD)/tests/app/render_app_screenshots $(CURDIR)/$(BUILD)/screenshots/en en
