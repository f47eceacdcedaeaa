#!/usr/bin/env bash
# The arm64 interpreter with its headers, and the C++ runtime the module
# links, unpacked into DIR/root: `scripts/aarch64-root.sh DIR PYVER`.
# Not an install on this machine, so not scripts/apt.sh: apt runs with the
# target's own state under DIR, so the host's dpkg configuration is left as
# it is (the host's package sources and keys are used), and the packages are
# only downloaded, then unpacked with dpkg-deb. Superseded downloads are
# dropped before unpacking, so one version of each package is unpacked.
set -euo pipefail
dir=$(realpath -m "$1")
pyver=$2
apt_target() {
  apt-get -q -o Dir::State::Lists="$dir/apt/lists" -o Dir::State::status="$dir/apt/status" \
    -o Dir::Cache="$dir/apt" -o Dir::Cache::archives="$dir/apt/archives" \
    -o APT::Architecture=arm64 -o APT::Architectures=arm64 "$@"
}
rm -rf "$dir/root"
mkdir -p "$dir/apt/lists/partial" "$dir/apt/archives/partial"
touch "$dir/apt/status"
apt_target update
apt_target install -y --download-only --no-install-recommends \
  "python$pyver" "libpython$pyver-dev" libstdc++6
apt_target autoclean
for deb in "$dir"/apt/archives/*.deb; do dpkg-deb -x "$deb" "$dir/root"; done
touch "$dir/root/.ready"
