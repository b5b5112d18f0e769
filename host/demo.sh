#!/usr/bin/env bash
# The demo behind ./run demo: draws the sample photos and exports them with nubelo-export to
# the stand-in site it embeds, signed in with that site's demo account.
# usage: host/demo.sh BUILD_DIR
set -euo pipefail
build=${1:?usage: host/demo.sh BUILD_DIR}
bin=$build/bin
photos=$build/demo-photos

"$bin/nubelo-sample-photos" "$photos" >/dev/null

# Always the embedded site and its demo account, whatever this shell was set up for.
unset NUBELO_SITE_HOST NUBELO_UPLOAD_HOST NUBELO_PASSWORD

# The plug-in's scratch folder is shared by everyone on the machine; when another user's
# (or a link) sits there, the demo takes a private one instead of failing.
scratch=${NUBELO_DEMO_DIR:-/tmp/NubeloExporter}
if [ -L "$scratch" ] || { [ -e "$scratch" ] && [ ! -O "$scratch" ]; }; then
    scratch=$(mktemp -d "${TMPDIR:-/tmp}/NubeloExporter.XXXXXX")
fi

echo "Exporting the sample photos of $photos"
# No questions: the demo account is known, and --yes replaces the files of an earlier demo.
exec "$bin/nubelo-export" --yes --dir "$scratch" "$photos"/* </dev/null
