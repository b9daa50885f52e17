# Shared by scripts/test, scripts/demo and .ci/run: the Debian packages the
# build, the tests and the demo need, installed when missing.
NETWORKPROXY_PACKAGES=(
  cmake g++ make pkg-config
  libcurl4-openssl-dev libjsoncpp-dev libssl-dev libsystemd-dev libsqlite3-dev
  googletest libgtest-dev libgmock-dev
  curl openssl python3 python3-botocore python3-prometheus-client util-linux hostname sudo
  prometheus prometheus-node-exporter
  fuse3 python3-fusepy
)

# apt-get "$@", waiting up to 10 minutes while another apt or dpkg holds the
# package lock (a fresh cloud machine runs its own upgrades at first boot).
# apt-get's own DPkg::Lock::Timeout waits for dpkg's lock only, not for the
# package lists' lock that update takes, hence the loop.
apt_get_waiting() {
  local deadline=$((SECONDS + 600)) said=0 out
  while true; do
    out=$(LC_ALL=C apt-get "$@" 2>&1) && return 0
    if ! grep -q 'Could not get lock' <<<"$out" || [ $SECONDS -ge $deadline ]; then
      printf '%s\n' "$out" >&2
      return 1
    fi
    if [ $said = 0 ]; then
      echo "Waiting for the package lock (another apt is running), up to 10 minutes"
      said=1
    fi
    sleep 5
  done
}

# With APT_ARCHITECTURES set (an array), apt reads and installs for those
# architectures only: a board build then needs no list of another board's,
# which a mirror may be serving broken.
apt_arch_options() {
  local arch
  for arch in ${APT_ARCHITECTURES[@]+"${APT_ARCHITECTURES[@]}"}; do
    printf '%s\n' -o "APT::Architectures::=$arch"
  done
}

# The package lists, fetched again a few times when a mirror answers badly
# (a mirror in the middle of a sync serves index files of the wrong size).
# A list that still fails is not fatal: apt keeps the lists it had, and the
# install below says plainly if a package cannot be found.
apt_update_retrying() {
  local try options
  mapfile -t options < <(apt_arch_options)
  for try in 1 2 3; do
    apt_get_waiting update -qq ${options[@]+"${options[@]}"} && return 0
    [ $try = 3 ] || { echo "Package lists not all fetched (try $try of 3), again in 30 s"; sleep 30; }
  done
  echo "Going on with the package lists apt already has" >&2
}

# apt-get install, tried once more after fresh lists when it fails.
apt_install_retrying() {
  local options
  mapfile -t options < <(apt_arch_options)
  apt_get_waiting install -y -qq --no-install-recommends ${options[@]+"${options[@]}"} "$@" && return 0
  echo "Install failed, again in 30 s with fresh package lists"
  sleep 30
  apt_update_retrying
  apt_get_waiting install -y -qq --no-install-recommends ${options[@]+"${options[@]}"} "$@"
}

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
  apt_update_retrying
  apt_install_retrying "${missing[@]}"
}
