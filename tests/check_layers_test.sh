#!/usr/bin/env bash
# tools/check-layers on a scratch copy of the sources: it passes on the tree as it is, and
# fails, naming the file and line, for each kind of planted include that breaks the layers.
#   check_layers_test.sh SOURCE-ROOT
set -euo pipefail
source_root=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

fresh_copy() {
    rm -rf "$scratch/tree"
    mkdir -p "$scratch/tree/tools"
    cp -r "$source_root/app" "$source_root/driver_client" "$source_root/loader" "$scratch/tree/"
    cp "$source_root/tools/check-layers" "$source_root/tools/layers.txt" "$scratch/tree/tools/"
}

failures=0
fail() { echo "FAILED: $*" >&2; failures=$((failures + 1)); }

fresh_copy
"$scratch/tree/tools/check-layers" "$scratch/tree" >/dev/null || fail "the tree as it is does not pass"

# Appends an include to a file of the copy and expects check-layers to name file and line.
expect_caught() {
    local label=$1 file=$2 header=$3
    fresh_copy
    printf '#include "%s"\n' "$header" >>"$scratch/tree/$file"
    local line
    line=$(wc -l <"$scratch/tree/$file")
    local output
    if output=$("$scratch/tree/tools/check-layers" "$scratch/tree" 2>&1); then
        fail "$label: not caught"
        return
    fi
    grep -qF "$file:$line:" <<<"$output" || fail "$label: the report does not name $file:$line: $output"
    echo "caught: $label"
}

expect_caught "upward include inside the loader" loader/strings/wide_strings.cpp loader/module_loader.h
expect_caught "lookups reaching up to the locator" loader/driver_lookups.cpp loader/driver_locator.h
expect_caught "loader including the client" loader/module_loader.cpp driver_client/driver_client.h
expect_caught "client reaching past the loader's entry" driver_client/driver_state.cpp loader/trusted_paths.h
expect_caught "entry reaching into the client's state" app/dispset/main.cpp driver_client/driver_state.h
expect_caught "contract including the client" driver_client/driver_contract.h driver_client/driver_state.h
expect_caught "include of a header that belongs to no layer" loader/trusted_paths.cpp tests/support/test_support.h

# A circle inside one layer: the client's two headers including each other.
fresh_copy
printf '#include "driver_client/driver_state.h"\n' >>"$scratch/tree/driver_client/driver_client.h"
printf '#include "driver_client/driver_client.h"\n' >>"$scratch/tree/driver_client/driver_state.h"
if output=$("$scratch/tree/tools/check-layers" "$scratch/tree" 2>&1); then
    fail "circle: not caught"
elif ! grep -q "circle" <<<"$output"; then
    fail "circle: the report does not say so: $output"
else
    echo "caught: a circle inside one layer"
fi

[ "$failures" -eq 0 ] || exit 1
echo "check-layers catches every planted include"
