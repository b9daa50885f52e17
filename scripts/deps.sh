# Shared by scripts/test, scripts/demo and .ci/run: the Debian packages the
# build, the tests and the demo need, installed when missing.
NETWORKPROXY_PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev libjsoncpp-dev libssl-dev libsystemd-dev libsqlite3-dev
  googletest libgtest-dev libgmock-dev
  curl openssl python3 python3-botocore python3-prometheus-client util-linux hostname sudo
  fuse3 python3-fusepy
)

install_missing_packages() {
  local missing=()
  for package in "${NETWORKPROXY_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing Debian packages: ${missing[*]}" >&2
    echo "Install them with: sudo apt-get install ${missing[*]}" >&2
    return 1
  fi
  echo "Installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
