#!/usr/bin/env bash
# Builds everything and starts the updater (offscreen when there is no display).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)"
[[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]] && export QT_QPA_PLATFORM=offscreen
exec build/src/update "$@"
