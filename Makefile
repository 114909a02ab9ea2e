# Brindlequartz: one entry point for building, running and testing.
#   make run    build and start the program (simulated programmer when no hardware is attached)
#   make test   build everything and run every test (native, ThreadSanitizer, Address+UB sanitizers with fuzzing)
#   make bench  run the benchmarks and write docs/PERFORMANCE.md
#   make firmware  the programmer firmware images for the Arduino Uno/Nano and Mega 2560
#   make windows       cross-build the Windows programs and tests (mingw-w64) into build-win/
#   make test-windows  run the Windows tests under Wine (part of make test)
#   make package       the Debian package and the Windows zip, into build/packages/
#   make install       install the programs and their files (PREFIX=/usr/local, DESTDIR honoured)
# Missing Debian packages are installed with apt-get when run as root; otherwise
# the exact apt-get line is printed and make stops.

SHELL := /bin/bash
ROOT := $(abspath $(dir $(lastword $(MAKEFILE_LIST))))
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
BUILD := $(ROOT)/build
BUILD_TSAN := $(ROOT)/build-tsan
BUILD_ASAN := $(ROOT)/build-asan
BUILD_WIN := $(ROOT)/build-win
CMAKE_GEN := -G Ninja

BUILD_PACKAGES := cmake ninja-build g++ clang libgtest-dev libgmock-dev libcli11-dev python3 pkg-config
TEST_PACKAGES := gcc-avr avr-libc binutils-avr binutils srecord libclang-rt-14-dev llvm arduino-core-avr \
  simavr libsimavr-dev libelf-dev
WINDOWS_PACKAGES := mingw-w64 g++-mingw-w64-x86-64-posix googletest wine wine64 xvfb xauth file
# The Debian package: manual pages from --help, its dependencies, and the tools that check it.
PACKAGE_PACKAGES := dpkg-dev file help2man man-db lintian desktop-file-utils
PREFIX ?= /usr/local

.PHONY: all deps build run test firmware test-native test-tsan test-asan bench partlist clean \
  windows-deps windows-configure windows test-windows package install

all: build

# The desktop program (Qt 6 Widgets) and what its tests and screenshots run on.
QT_PACKAGES := qt6-base-dev qt6-base-dev-tools libgl-dev xvfb xauth

deps:
	@$(ROOT)/tools/ensure-packages.sh $(BUILD_PACKAGES) $(TEST_PACKAGES) $(QT_PACKAGES) \
	  $(PACKAGE_PACKAGES)

$(BUILD)/build.ninja:
	cmake -S $(ROOT) -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# With a display the desktop program starts (from the repository root, where PartList.cfg
# is); without one, a command-line session against the simulator shows the engine instead.
run: build
	@if [ -n "$$DISPLAY$$WAYLAND_DISPLAY" ] && [ -x $(BUILD)/app/qt/brindlequartz ]; then \
	  cd $(ROOT) && exec $(BUILD)/app/qt/brindlequartz $(RUN_ARGS); \
	else \
	  if [ -z "$$DISPLAY$$WAYLAND_DISPLAY" ]; then \
	    echo "No display (DISPLAY and WAYLAND_DISPLAY unset): running the command-line demo instead."; \
	  else \
	    echo "The desktop program was not built (Qt 6 missing): running the command-line demo instead."; \
	  fi; \
	  $(ROOT)/tools/demo-session.sh $(BUILD); \
	fi

# Pictures of the desktop program on each tab and of its settings dialog, under Xvfb.
.PHONY: screenshots
screenshots: build windows
	rm -rf $(BUILD)/screenshots
	cd $(ROOT) && XDG_CONFIG_HOME=$$(mktemp -d) xvfb-run -a -s "-screen 0 1280x1024x24" \
	  $(BUILD)/app/qt/brindlequartz --simulate ATmega328P --screenshot-dir $(BUILD)/screenshots
	@ls $(BUILD)/screenshots
	$(ROOT)/app/win32/screenshots.sh $(BUILD_WIN) $(BUILD)/screenshots

test-native: build
	cd $(BUILD) && ctest -j $(JOBS) --output-on-failure --timeout 900

test-tsan: deps
	cmake -S $(ROOT) -B $(BUILD_TSAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBQ_SANITIZE=thread -DBQ_BUILD_BENCH=OFF -DBQ_QT=OFF
	cmake --build $(BUILD_TSAN) -j $(JOBS) --target test_link test_ui test_sim test_platform \
	  test_session test_reliability reliability_document brindlequartz-sim
	cd $(BUILD_TSAN) && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" \
	  ctest -j $(JOBS) --output-on-failure --timeout 900 -L '^(link|ui|sim|platform|session|reliability)$$'

test-asan: deps
	CC=clang CXX=clang++ cmake -S $(ROOT) -B $(BUILD_ASAN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DBQ_SANITIZE=address,undefined -DBQ_FUZZ=ON -DBQ_BUILD_BENCH=OFF -DBQ_QT=OFF
	cmake --build $(BUILD_ASAN) -j $(JOBS)
	cd $(BUILD_ASAN) && ASAN_OPTIONS="detect_leaks=1" UBSAN_OPTIONS="print_stacktrace=1" \
	  ctest -j $(JOBS) --output-on-failure --timeout 900

windows-deps:
	@$(ROOT)/tools/ensure-packages.sh $(BUILD_PACKAGES) $(WINDOWS_PACKAGES)

# The Windows programs, cross-built with static runtimes (-O1 without debug information keeps
# the cross build of every test short). The COM port test talks to the native build's
# brindlequartz-sim, which test-windows builds first.
windows-configure: windows-deps
	cmake -S $(ROOT) -B $(BUILD_WIN) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=Release \
	  -DCMAKE_CXX_FLAGS_RELEASE="-O1 -DNDEBUG" -DCMAKE_C_FLAGS_RELEASE="-O1 -DNDEBUG" \
	  -DCMAKE_TOOLCHAIN_FILE=$(ROOT)/cmake/mingw-w64.cmake -DBQ_BUILD_BENCH=OFF \
	  -DBQ_NATIVE_SIM=$(BUILD)/app/sim/brindlequartz-sim

windows: windows-configure
	cmake --build $(BUILD_WIN) -j $(JOBS)
	$(ROOT)/tools/wine/check-pe.sh $$(find $(BUILD_WIN)/app $(BUILD_WIN)/tests -name '*.exe' -not -path '*/wineprefix*')

test-windows: deps $(BUILD)/build.ninja windows
	cmake --build $(BUILD) -j $(JOBS) --target brindlequartz-sim
	$(ROOT)/tools/wine/start-wine.sh $(BUILD_WIN)/wineprefix
	cd $(BUILD_WIN) && ctest -j $(JOBS) --output-on-failure --timeout 900; \
	  status=$$?; $(ROOT)/tools/wine/stop-wine.sh $(BUILD_WIN)/wineprefix; exit $$status

# The Address/UB sanitizer run comes last: its CTest summary closes the test output.
test: test-native test-tsan test-windows test-asan

# The Debian package (brindlequartz_VERSION-REVISION_ARCH.deb) and the Windows zip
# (brindlequartz-VERSION-windows-x64.zip), made by CPack from what each build installs.
package: deps $(BUILD)/build.ninja windows-configure
	cmake --build $(BUILD) -j $(JOBS) --target bq_package_contents
	cmake --build $(BUILD_WIN) -j $(JOBS) --target bq_package_contents
	rm -rf $(BUILD)/packages
	cd $(BUILD) && cpack -G DEB
	cd $(BUILD_WIN) && cpack -G ZIP -D CPACK_OUTPUT_FILE_PREFIX=$(BUILD)/packages
	@ls -l $(BUILD)/packages

# The same layout as the Debian package, under PREFIX (bin/, share/brindlequartz/, share/man/...).
install: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS) --target bq_package_contents
	cmake --install $(BUILD) --prefix $(PREFIX)

# build/firmware/brindlequartz-uno.{elf,hex} and brindlequartz-mega.{elf,hex}, with their sizes.
firmware:
	@$(ROOT)/tools/ensure-packages.sh cmake ninja-build gcc-avr avr-libc binutils-avr
	@[ -f $(BUILD)/build.ninja ] || cmake -S $(ROOT) -B $(BUILD) $(CMAKE_GEN) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) --target firmware

bench: build
	$(ROOT)/bench/run_all.sh $(BUILD)

partlist:
	python3 $(ROOT)/tools/partlist/generate.py

# The wiring pictures of the high-voltage add-on: docs/hardware-uno.svg, docs/hardware-mega.svg.
.PHONY: schematic
schematic:
	python3 $(ROOT)/tools/schematic/draw_schematic.py

clean:
	rm -rf $(BUILD) $(BUILD_TSAN) $(BUILD_ASAN) $(BUILD_WIN)
