# ensure_packages PKG...: installs the Debian packages that are missing.
ensure_packages() {
  local missing=()
  local p
  for p in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing Debian packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq || true
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The packages the build needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libssl-dev)
# The packages the tests need besides the build's.
TEST_PACKAGES=(libgtest-dev libgmock-dev clang libclang-rt-14-dev dnsmasq-base)
