#!/bin/sh
# Lays out the folder of one test module of the character-device framework:
#   mkcdevtest.sh <source tree> <folder> <test source>
# Copies keep their times, so kbuild rebuilds only what changed.
set -eu
src=$1 dest=$2 test_source=$3
mkdir -p "$dest/kernel" "$dest/base" "$dest/include"
cp -p "$src"/kernel/*.[ch] "$dest/kernel/"
cp -p "$src"/base/*.[ch] "$dest/base/"
cp -p "$src"/include/*.h "$dest/include/"
cp -p "$src/kernel/Makefile" "$src/tests/vm/cdevtest.h" "$test_source" "$dest/"
cp -p "$src/tests/vm/cdevtest.Kbuild" "$dest/Kbuild"
