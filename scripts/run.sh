#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs Pixmill: the window when a display is available, else pixmill-cli on sample images it makes.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

# A display is usable when it is set and, for a local X display (":N"), its socket exists.
display_usable() {
  [ -n "${WAYLAND_DISPLAY:-}" ] && return 0
  [ -n "${DISPLAY:-}" ] || return 1
  if [[ "$DISPLAY" =~ ^:([0-9]+) ]]; then
    [ -S "/tmp/.X11-unix/X${BASH_REMATCH[1]}" ] || return 1
  fi
  return 0
}

if display_usable && [ -x build/app/pixmill ]; then
  exec build/app/pixmill "$@"
fi

cli=$root/build/cli/pixmill-cli
if [ ! -x "$cli" ]; then
  echo "run: $cli is not built; run 'make build' first." >&2
  exit 1
fi

# The first Python that has PIL (a user's pyenv may shadow the system one).
python=
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c 'import PIL' 2>/dev/null; then python=$candidate; break; fi
done
if [ -z "$python" ]; then
  echo "run: Python with PIL (python3-pil) is needed to draw the samples; 'make deps' installs it." >&2
  exit 1
fi

demo=$root/build/run-demo
samples=$demo/samples
rm -rf "$demo"
mkdir -p "$samples" "$demo/config"
# A settings folder of its own, so the demo neither reads nor changes the user's config.xml.
export XDG_CONFIG_HOME=$demo/config XDG_DATA_HOME=$demo/data

if display_usable; then
  echo "No window program (build/app/pixmill) is built; showing the command-line front end instead."
else
  echo "No display: showing the command-line front end (build/cli/pixmill-cli)."
fi
echo
echo "Drawing one sample of each input type into $samples:"
"$python" scripts/make_samples.py "$samples" || exit 1

cd "$demo"
run() {
  echo
  echo "\$ pixmill-cli $*"
  "$cli" "$@"
  echo "(exit status $?)"
}

# 1. The default settings: fit into 640x480, JPEG, into the sub folder "resized", turned by EXIF.
run -s 640x480 samples/camera.jpg samples/drawing.gif samples/logo.png samples/scan.bmp
# 2. Square BMP thumbnails cut from the centre, numbered, into one fixed folder.
run -r -s 160x160 -c crop -t bmp -n 'thumb%N2%_%SRC%' -o thumbnails samples

echo
echo "What was written:"
"$python" - samples/resized thumbnails <<'PY'
import sys
from pathlib import Path
from PIL import Image
for folder in sys.argv[1:]:
    print(f"  {Path(folder).resolve()}/")
    for path in sorted(Path(folder).glob("*")):
        with Image.open(path) as image:
            print(f"    {path.name:28} {image.format:5} {image.width}x{image.height}")
PY
echo
echo "Resize your own files with: $cli [options] FILE...   (see --help)"
