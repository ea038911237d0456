# Quick start: `make run` builds and starts the packer, `make test` builds and runs every test.
BUILD_PACKAGES := cmake make g++ zlib1g-dev libgtest-dev
FUZZ_PACKAGES := clang libclang-rt-14-dev
JOBS := $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

.PHONY: all run test build deps asan-test tsan-test fuzz fuzz-run bench clean

all: build

deps:
	@./tools/deps.sh $(BUILD_PACKAGES)

build: deps
	@cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build build -j $(JOBS)

run: build
	@./build/zorel

test: build
	ctest --test-dir build --output-on-failure -j $(JOBS)

# The same tests built with AddressSanitizer and UndefinedBehaviorSanitizer.
asan-test: deps
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DZOREL_SANITIZE=address,undefined >/dev/null
	@cmake --build build-asan -j $(JOBS)
	ctest --test-dir build-asan --output-on-failure -j $(JOBS)

# The compression tests built with ThreadSanitizer: Encode and Decode on worker threads.
tsan-test: deps
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j $(JOBS) --target zorel_tests
	ctest --test-dir build-tsan --output-on-failure -j $(JOBS) -R '^Compression\.'

# The whole program against tar and zip on copies of real folders (see bench/run).
bench: build
	./bench/run

# libFuzzer harnesses (clang), run for FUZZ_SECONDS each on a copy of the seed corpus.
fuzz: deps
	@./tools/deps.sh $(FUZZ_PACKAGES)
	@CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZOREL_FUZZ=ON \
		-DZOREL_TESTS=OFF >/dev/null
	@cmake --build build-fuzz -j $(JOBS)

fuzz-run: fuzz
	./fuzz/run build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf build build-asan build-tsan build-fuzz
