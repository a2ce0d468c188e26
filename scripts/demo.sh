#!/usr/bin/env bash
# Builds update and runs it on a sample agent folder in a scratch folder: two installed bundles
# (version 1) and two archives holding newer bundles (version 2). Shows the folder before and
# after. launchctl and killall are stand-ins that only print what they were asked, so nothing on
# this machine is unloaded or killed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh build
cmake --preset release >/dev/null
cmake --build --preset release -j"$(nproc)" --target orvanta_update >/dev/null

scratch=$(mktemp -d /tmp/orvanta-demo-XXXXXX)
trap 'rm -rf "$scratch"' EXIT
folder="$scratch/ORVANTA-EX"
mkdir -p "$folder" "$scratch/bin" "$scratch/stage"
for tool in launchctl killall; do
  printf '#!/bin/sh\necho "  [%s stand-in] %s $*"\n' "$tool" "$tool" >"$scratch/bin/$tool"
  chmod +x "$scratch/bin/$tool"
done

make_bundle() { # where version
  mkdir -p "$1/Contents/MacOS"
  echo "<plist><string>$2</string></plist>" >"$1/Contents/Info.plist"
  echo "agent binary $2" >"$1/Contents/MacOS/$(basename "$1" .app)"
}
make_bundle "$folder/orvantaes.app" 1.0
make_bundle "$folder/orvantaet.app" 1.0
make_bundle "$scratch/stage/orvantaes.app" 2.0
make_bundle "$scratch/stage/orvantaet.app" 2.0
(cd "$scratch/stage" && zip -qr "$folder/orvantaes-2.0.zip" orvantaes.app &&
  zip -qr "$folder/orvantaet-2.0.zip" orvantaet.app)

show() {
  echo "$1:"
  (cd "$folder" && find . -mindepth 1 | sort | while read -r entry; do
    if [[ -f "$entry" && "$entry" == *.plist ]]; then echo "  $entry  ($(cat "$entry"))";
    else echo "  $entry"; fi
  done)
}

show "Before"
echo
echo "Running: update $folder orvantaes-2.0.zip orvantaet-2.0.zip"
set +e
PATH="$scratch/bin:$PATH" HOME="$scratch/home" \
  build/release/update "$folder" orvantaes-2.0.zip orvantaet-2.0.zip | sed 's/^/  /'
status=${PIPESTATUS[0]}
set -e
echo "update exited with status $status"
echo
show "After"
