#!/usr/bin/env bash
# Sets up, builds and runs the main job on its embedded default: the dialog
# with a simulated signal generator attached. Without a display the program
# says so and runs the same job from the command line: it finds the simulated
# generator, uploads the sample test pattern with a progress bar and shows
# where the simulator stored the image it received.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh
exec ./build/gui/quillet --demo
