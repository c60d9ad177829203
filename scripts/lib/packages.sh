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
  # The MTA is installed only for the tests' private instances: "No
  # configuration" leaves /etc/postfix without main.cf, so no system instance
  # is set up, started or bound to port 25.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
  $sudo apt-get update -qq || true
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  stop_system_mta
}

# stop_system_mta: stops a system MTA instance that may have started with the
# package, so that it holds no port the tests use.
stop_system_mta() {
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  if [ -x /usr/sbin/postfix ] && [ -f /etc/postfix/main.cf ]; then
    $sudo /usr/sbin/postfix status >/dev/null 2>&1 && $sudo /usr/sbin/postfix stop || true
  fi
}

# The packages the build needs.
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config libssl-dev)
# The packages the tests need besides the build's.
TEST_PACKAGES=(libgtest-dev libgmock-dev clang libclang-rt-14-dev dnsmasq-base iproute2 postfix sasl2-bin libsasl2-modules openssl strace python3 groff-base man-db)
