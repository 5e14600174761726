# Sourced by the scripts: installs the Debian packages given that are not installed yet.
# What building the library and its examples needs; the tests and benchmarks add their own.
ZQ_BUILD_PACKAGES=(cmake make g++ nlohmann-json3-dev)
ZQ_TEST_PACKAGES=(libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux binutils pkgconf
    clang-14 libclang-rt-14-dev)
# The style checks, pinned to one version so that another version's opinions fail no run.
ZQ_LINT_PACKAGES=(git clang-format-14 clang-tidy-14)

zq_install_missing() {
    local missing=() p
    for p in "$@"; do
        dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "== installing: ${missing[*]}"
        apt-get update -qq
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
    fi
}
