#!/usr/bin/env bash
# Debian packages the sessions need from outside PyPI (noxfile.py calls this
# only when something is missing): apt-get install's options and the packages,
# e.g. `scripts/apt.sh libgtest-dev` or
# `scripts/apt.sh --no-install-recommends g++-aarch64-linux-gnu qemu-user`.
set -euo pipefail
apt-get update -q
DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@"
