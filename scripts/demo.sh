#!/usr/bin/env bash
# Installs what is missing, builds everything, and runs the main job: a
# simulated boot of the shipped demo configuration.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
build/host/tool/elamctl simulate build/host/demo/demo.json
