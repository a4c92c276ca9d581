#!/usr/bin/env bash
# Installs what is missing, builds Lumigrab and runs it.
#
# The picture window is not built yet; until it is, this runs the article
# decoder on the saved article given as arguments, or on a sample article:
#   run.sh [--body] ARTICLE_FILE [FOLDER]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

LUMIGRAB_SKIP_INN=1 bash scripts/setup.sh
cmake -S "$root" -B "$root/build/release" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$root/build/release" -j"$(nproc)" --target lumigrab-decode lumigrab-harvest >/dev/null

decode="$root/build/release/tools/lumigrab-decode"
if (($#)); then
  exec "$decode" "$@"
fi

sample="$root/tests/fixtures/articles/mime_single_name.eml"
out="$(mktemp -d "${TMPDIR:-/tmp}/lumigrab.XXXXXX")"
echo "No article given: decoding the sample $sample into $out"
"$decode" "$sample" "$out"
echo "Usage: bash scripts/run.sh [--body] ARTICLE_FILE [FOLDER]"
