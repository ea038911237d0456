# Quick start: `make run` builds and starts the packer, `make test` builds and runs every test.
# Package names that differ by release are given as "name|other" (tools/deps.sh); the clang
# fuzzer runtime is looked up for the installed clang (tools/fuzz-clang.sh).
PROGRAM_PACKAGES := cmake make g++ zlib1g-dev libdeflate-dev libisal-dev libedit-dev libcli11-dev \
	pkg-config libarchive-dev
# The tests of convert make their reference archives with the system's own tar, zip and 7z.
BUILD_PACKAGES := $(PROGRAM_PACKAGES) libgtest-dev libarchive-tools p7zip-full zip unzip
WINDOWS_PACKAGES := cmake make mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
	libz-mingw-w64-dev libcli11-dev googletest "wine64|wine" dpkg-dev
JOBS := $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
# Warnings are errors in CI and for the team (WERROR=ON), never by default for a user's build.
WERROR ?= OFF
CONFIGURE = -DZOREL_WERROR=$(WERROR)
MAKEFLAGS += --no-print-directory

.PHONY: all run test build configure program install deps program-deps release-test asan-test tsan-test valgrind-test fuzz fuzz-run bench windows windows-i686 windows-test clean

all: build

deps:
	@./tools/deps.sh $(BUILD_PACKAGES)

program-deps:
	@./tools/deps.sh $(PROGRAM_PACKAGES)

# Without GoogleTest the configure says how to get it and the build leaves the tests out.
configure:
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CONFIGURE) >/dev/null

# The program alone: `make run` neither needs nor builds the tests.
program: program-deps configure
	@cmake --build build -j $(JOBS) --target zorel

build: deps configure
	@cmake --build build -j $(JOBS)

run: program
	@./build/zorel

# What a packager installs, under PREFIX (DESTDIR, when set, goes in front): a Release build of
# the program, stripped, its manual page, and its bash and zsh completions.
PREFIX ?= /usr/local
install: program-deps
	@cmake -S . -B build-install -DCMAKE_BUILD_TYPE=Release -DZOREL_TESTS=OFF $(CONFIGURE) >/dev/null
	@cmake --build build-install -j $(JOBS) --target zorel
	cmake --install build-install --prefix "$(PREFIX)" --strip

# ctest names skipped tests only; tools/skipped.sh adds the reason each one gave.
test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)
	@./tools/skipped.sh build

# What a packager builds: Release with g++ and with clang++, the tests run on each.
RELEASE_TEST = CXX=$(2) cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=Release $(CONFIGURE) >/dev/null && \
	cmake --build $(1) -j $(JOBS) && ctest --test-dir $(1) --output-on-failure -j $(JOBS) && \
	./tools/skipped.sh $(1)
release-test: deps
	@./tools/deps.sh clang
	@$(call RELEASE_TEST,build-release-gcc,g++)
	@$(call RELEASE_TEST,build-release-clang,clang++)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZOREL_SANITIZE=address,undefined $(CONFIGURE) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)
	@./tools/skipped.sh build-asan

# The end-to-end and command-line tests with the program under valgrind's memcheck: any leak or
# invalid access makes the program exit 99 and its test fail. The address-space limit tests skip
# themselves.
VALGRIND := valgrind --quiet --vgdb=no --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible
valgrind-test: build
	@./tools/deps.sh valgrind
	ZOREL_TEST_WRAPPER="$(VALGRIND)" ctest --test-dir build --output-on-failure -j $(JOBS) \
		-R '^(Transcripts|Faults|CommandLine)\.'
	@./tools/skipped.sh build

# The threaded tests built with ThreadSanitizer: the scheduler, Encode and Decode on it, and the
# command line's window of entries (a race makes the program fail its command-line test).
tsan-test: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_SANITIZE=thread $(CONFIGURE) >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target zorel_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '^(Compression|Folder|CommandLine|Window)\.'
	@./tools/skipped.sh build-tsan

# The whole program against tar and zip on copies of real folders (see bench/run).
bench: build
	./bench/run

# libFuzzer harnesses (clang), run for FUZZ_SECONDS each on a copy of the seed corpus.
fuzz: program-deps
	@./tools/deps.sh clang
	@CXX=$$(./tools/fuzz-clang.sh) && CXX=$$CXX cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_FUZZ=ON $(CONFIGURE) \
		-DZOREL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

fuzz-run: fuzz
	./fuzz/run build-fuzz $(FUZZ_SECONDS)

# Windows: cross-built with MinGW-w64 into one self-contained .exe (build-windows/zorel.exe),
# tested under wine64; the 32-bit build is only compiled and linked. libdeflate is built in from
# Debian's source package, fetched once into ~/.cache/zorel (tools/libdeflate-source.sh).
windows:
	@./tools/deps.sh $(WINDOWS_PACKAGES)
	@deflate=$$(./tools/libdeflate-source.sh) && \
		cmake --preset windows $(CONFIGURE) -DZOREL_LIBDEFLATE_SOURCE="$$deflate" >/dev/null
	@cmake --build build-windows -j $(JOBS)

windows-i686:
	@./tools/deps.sh $(WINDOWS_PACKAGES)
	@deflate=$$(./tools/libdeflate-source.sh) && \
		cmake --preset windows-i686 $(CONFIGURE) -DZOREL_LIBDEFLATE_SOURCE="$$deflate" >/dev/null
	@cmake --build build-windows-i686 -j $(JOBS)

windows-test: windows-i686 windows
	./tools/windows-test.sh build-windows/tests/zorel_tests.exe

clean:
	rm -rf build build-asan build-tsan build-fuzz build-windows build-windows-i686 build-install \
		build-release-gcc build-release-clang
