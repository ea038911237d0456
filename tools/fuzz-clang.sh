#!/bin/sh
# Prints the clang++ that builds the fuzz harnesses: the first installed one (clang++, then the
# versioned ones, newest first) that links a libFuzzer program. When none does, installs (as
# root) the fuzzer runtime of each installed clang, under the name this release gives it.
set -e
here=$(cd "$(dirname "$0")" && pwd)
candidates() {
    command -v clang++ 2>/dev/null || true
    ls /usr/bin/clang++-* 2>/dev/null | sort -t- -k2 -n -r || true
}
links() {
    work=$(mktemp -d)
    echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' \
        >"$work/probe.cpp"
    if "$1" -fsanitize=fuzzer "$work/probe.cpp" -o "$work/probe" >/dev/null 2>&1; then
        rm -rf "$work"
        return 0
    fi
    rm -rf "$work"
    return 1
}
found() {
    for cxx in $(candidates); do
        if links "$cxx"; then
            echo "$cxx"
            return 0
        fi
    done
    return 1
}
found && exit 0
# Debian and Ubuntu ship the runtime as libclang-rt-N-dev, older releases in
# libclang-common-N-dev.
for cxx in $(candidates); do
    version=$("$cxx" -dumpversion | cut -d. -f1)
    "$here/deps.sh" "libclang-rt-$version-dev|libclang-common-$version-dev" >&2 || true
done
found && exit 0
echo "No clang++ here links a libFuzzer program: install clang and its fuzzer runtime" >&2
exit 1
