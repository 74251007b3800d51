# Debian packages the project needs; sourced by scripts/test and scripts/run.
CORVID1_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libgmp-dev nettle-dev libssl-dev zlib1g-dev
  qt6-base-dev qt6-base-dev-tools libgl1-mesa-dev
  putty-tools openssh-client-ssh1 sshpass expect tmux xvfb xauth x11-utils
  desktop-file-utils appstream man-db groff-base file
  clang libclang-rt-14-dev
)

install_deps() {
  local missing=() p
  for p in "${CORVID1_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y "${missing[@]}"
}
