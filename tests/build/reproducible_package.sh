#!/usr/bin/env bash
# Builds the package for one board architecture twice from this source, in
# two build folders of different paths and a little apart in time, the
# second with the LED's wiring given as its defaults, and
# compares the two .deb files byte for byte; names the files that differ.
#   reproducible_package.sh SOURCE_DIR TOOLCHAIN_FILE
set -euo pipefail
source=$1
toolchain=$2
work=$(mktemp -d /tmp/glow-reproducible-XXXXXX)
# The compiler itself must make the same objects, not a cache of the first.
export CCACHE_DISABLE=1
trap 'rm -rf "$work"' EXIT

build() {
    local folder=$1
    mkdir -p "$folder"
    {
        cmake -S "$source" -B "$folder" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
            -DCMAKE_BUILD_TYPE=Release -DGLOW_WIRINGPI=VIRTUAL -DBUILD_TESTING=OFF "${@:2}" &&
            cmake --build "$folder" -j "$(nproc)" &&
            (cd "$folder" && cpack -G DEB -B "$folder/package")
    } >"$folder/log" 2>&1 || {
        tail -n 30 "$folder/log" >&2
        exit 1
    }
    ls "$folder"/package/*.deb
}

first=$(build "$work/first")
sleep 2  # another second on the clock: timestamps must not show it
# The wiring options at their defaults must change no byte either.
second=$(build "$work/a/second/with/a/longer/path" -DGLOW_PIN=4 -DGLOW_ACTIVE_LOW=OFF)
if cmp -s "$first" "$second"; then
    echo "reproducible: $(basename "$first") $(sha256sum <"$first" | cut -c1-64)"
    exit 0
fi
echo "reproducible: the two builds of $(basename "$first") differ"
for deb in "$first" "$second"; do
    mkdir -p "$deb.tree"
    dpkg-deb -R "$deb" "$deb.tree"
done
diff -rq "$first.tree" "$second.tree" || true
# Same contents, then the archives' own metadata (order, times, owners) differ.
diff <(dpkg-deb -c "$first" | sort -k6) <(dpkg-deb -c "$second" | sort -k6) || true
exit 1
