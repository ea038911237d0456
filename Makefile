# Quick start: `make run` builds and starts the packer, `make test` builds and runs every test.
BUILD_PACKAGES := cmake make g++ zlib1g-dev libdeflate-dev libgtest-dev libedit-dev pkg-config
FUZZ_PACKAGES := clang libclang-rt-14-dev
WINDOWS_PACKAGES := cmake make mingw-w64 g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix \
	libz-mingw-w64-dev googletest wine64 dpkg-dev
JOBS := $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60
# Warnings are errors in CI and for the team (WERROR=ON), never by default for a user's build.
WERROR ?= OFF
CONFIGURE = -DZOREL_WERROR=$(WERROR)
MAKEFLAGS += --no-print-directory

.PHONY: all run test build configure program install deps asan-test tsan-test valgrind-test fuzz fuzz-run bench windows windows-i686 windows-test clean

all: build

deps:
	@./tools/deps.sh $(BUILD_PACKAGES)

configure: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CONFIGURE) >/dev/null

# The program alone: the tests are not built for `make run`.
program: configure
	@cmake --build build -j $(JOBS) --target zorel

build: configure
	@cmake --build build -j $(JOBS)

run: program
	@./build/zorel

# The program and its manual page under PREFIX (DESTDIR, when set, goes in front).
PREFIX ?= /usr/local
install: program
	cmake --install build --prefix "$(PREFIX)"

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZOREL_SANITIZE=address,undefined $(CONFIGURE) >/dev/null
	@cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The end-to-end and command-line tests with the program under valgrind's memcheck: any leak or
# invalid access makes the program exit 99 and its test fail. The address-space limit tests skip
# themselves.
VALGRIND := valgrind --quiet --vgdb=no --error-exitcode=99 --leak-check=full \
	--errors-for-leak-kinds=definite,indirect,possible --show-leak-kinds=definite,indirect,possible
valgrind-test: build
	@./tools/deps.sh valgrind
	ZOREL_TEST_WRAPPER="$(VALGRIND)" ctest --test-dir build --output-on-failure -j $(JOBS) \
		-R '^(Transcripts|Faults|CommandLine)\.'

# The threaded tests built with ThreadSanitizer: Encode and Decode on worker threads, and the
# command line's window of entries (a race makes the program fail its command-line test).
tsan-test: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_SANITIZE=thread $(CONFIGURE) >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target zorel_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '^(Compression|Folder|CommandLine)\.'

# The whole program against tar and zip on copies of real folders (see bench/run).
bench: build
	./bench/run

# libFuzzer harnesses (clang), run for FUZZ_SECONDS each on a copy of the seed corpus.
fuzz: deps
	@./tools/deps.sh $(FUZZ_PACKAGES)
	@CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_FUZZ=ON $(CONFIGURE) \
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
	rm -rf build build-asan build-tsan build-fuzz build-windows build-windows-i686
