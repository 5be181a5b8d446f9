#!/usr/bin/env bash
# Regenerates the seed corpora of the fuzz targets that can write their own (those that honour
# VTPATCH_FUZZ_MAKE_CORPUS): valid inputs made with the engine's writers.
#   fuzz/make_corpus.sh BINDIR [TARGET...]     e.g. fuzz/make_corpus.sh build-fuzz/fuzz fuzz_bytediff
set -euo pipefail
bindir=${1:?usage: fuzz/make_corpus.sh BINDIR [TARGET...]}
shift
here=$(cd "$(dirname "$0")" && pwd)
targets=("$@")
(( ${#targets[@]} )) || targets=(fuzz_bytediff fuzz_streamset)
for target in "${targets[@]}"; do
    corpus=$here/corpus/$target
    rm -rf "$corpus"
    mkdir -p "$corpus"
    VTPATCH_FUZZ_MAKE_CORPUS=$corpus "$bindir/$target"
done
