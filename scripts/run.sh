#!/usr/bin/env bash
# Installs what is missing, builds, and starts the application: the window
# over the simulated meter (thermohygro-demo). Its log goes to standard output,
# e.g. scripts/run.sh | tee log.txt
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh >&2
scripts/build.sh build >&2
exec build/src/apps/thermohygro-demo "$@"
