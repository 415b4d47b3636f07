#!/usr/bin/env bash
# Lays out the module folder qptrace/ (everything needed to build qptrace.ko
# with plain make against a kernel build tree) and packs it as the module
# archive, a gzip-compressed tar that unpacks into qptrace/.
#
#   mkkmod.sh <source tree> <folder> [<archive>]
#
# The folder mirrors the source tree: Makefile and Kbuild at its top (from
# kernel/), the module's own units in kernel/, the shared C units that the
# Kbuild file names in base/ and trace/, the headers in include/, base/ and
# trace/. Files whose content did not change keep their time, so kbuild
# rebuilds only what changed. Each --precompiled module goes into the
# archive (not the folder) as <folder name>/<name in archive>, so that a
# machine without a compiler can load it (qptrace-<kernel release>.ko).
set -euo pipefail
precompiled=()
while [ "${1:-}" = --precompiled ]; do
  [ -f "$2" ] || { echo "mkkmod: no precompiled module $2" >&2; exit 1; }
  case "$3" in */*|""|.|..) echo "mkkmod: bad module name $3" >&2; exit 1 ;; esac
  precompiled+=("$2" "$3")
  shift 3
done
src=$1 dest=$2 archive=${3:-}

[ -f "$src/kernel/Kbuild" ] || { echo "mkkmod: no kernel/Kbuild in $src" >&2; exit 1; }
mkdir -p "$dest"
files=(Makefile Kbuild)
objects=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$src/kernel/Kbuild" | sed -n 's/^qptrace-y *[:+]= *//p')
for o in $objects; do
  files+=("${o%.o}.c")
done
for h in "$src"/include/*.h "$src"/base/*.h "$src"/trace/*.h "$src"/kernel/*.h; do
  [ -e "$h" ] && files+=("${h#"$src"/}")
done

copy() { # source file, path inside the folder
  mkdir -p "$dest/$(dirname "$2")"
  cmp -s "$1" "$dest/$2" || cp -p "$1" "$dest/$2"
}
for f in "${files[@]}"; do
  case "$f" in
    Makefile|Kbuild) copy "$src/kernel/$f" "$f" ;;
    *) [ -f "$src/$f" ] || { echo "mkkmod: $f is missing" >&2; exit 1; }
       copy "$src/$f" "$f" ;;
  esac
done
# Sources no longer named go, so the folder builds exactly what Kbuild says.
declare -A named
for f in "${files[@]}"; do
  named[$f]=1
done
while read -r f; do
  [ -n "${named[${f#"$dest"/}]:-}" ] || rm -f "$f"
done < <(find "$dest" -name '*.[ch]')

if [ -n "$archive" ]; then
  name=$(basename "$dest")
  printf "$name/%s\n" "${files[@]}" | LC_ALL=C sort |
    tar -cf "$archive.tar" -C "$(dirname "$dest")" --owner=0 --group=0 --mtime=@0 -T -
  for ((i = 0; i < ${#precompiled[@]}; i += 2)); do
    tar -rf "$archive.tar" --owner=0 --group=0 --mtime=@0 --mode=0644 \
      --transform="s|.*|$name/${precompiled[i + 1]}|" -C "$(dirname "${precompiled[i]}")" \
      "$(basename "${precompiled[i]}")"
  done
  gzip -n -c "$archive.tar" > "$archive.tmp"
  rm "$archive.tar"
  mv "$archive.tmp" "$archive"
fi
