#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Sourced by run.sh and test.sh; quick when everything is already there.
morvellan_packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libjpeg62-turbo-dev libpng-dev libgif-dev
  libfreetype-dev libfontconfig-dev fonts-wqy-microhei
  qt6-base-dev qt6-base-dev-tools
)
# What the window's screenshot script needs besides (a virtual display and a way to grab it).
morvellan_screenshot_packages=(xvfb xauth x11-apps imagemagick)

morvellan_install_missing() {
  local missing=() p
  for p in "${morvellan_packages[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed'; then
      missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing missing packages: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
