#!/usr/bin/env bash
# The Debian package as scripts/package makes it: what it holds, the
# libraries its Depends line names (found by dpkg-shlibdeps), and the tool
# unpacked into a scratch root answering --version and --help.
# usage: package_test.sh SOURCE_DIR PACKAGE_BUILD_DIR
. "$(dirname "$0")/lib.sh"
source=$1 build=$2

SITEMIRROR_PACKAGE_BUILD_DIR=$build "$source/scripts/package" "$scratch/dist" >"$scratch/package.log" 2>&1 ||
  { cat "$scratch/package.log"; echo "FAIL: scripts/package failed"; exit 1; }
debs=("$scratch"/dist/*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { echo "FAIL: not one .deb in the output: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

[ "$(dpkg-deb -f "$deb" Package)" = sitemirror ] || fail "package name is $(dpkg-deb -f "$deb" Package)"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libcurl4 libssl3 libxml2 zlib1g libbrotli1; do
  [[ ", $depends," == *", $lib "* ]] || fail "Depends names no $lib: $depends"
done

root=$scratch/root
dpkg -x "$deb" "$root"
libdir=$(dirname "$(find "$root/usr/lib" -name 'libsitemirror-s3client.so.1' | head -n1)")
for f in usr/bin/sitemirror usr/share/man/man1/sitemirror.1.gz \
         usr/share/bash-completion/completions/sitemirror usr/share/zsh/site-functions/_sitemirror \
         usr/share/doc/sitemirror/README.md usr/share/doc/sitemirror/docs/configuration.md usr/include/sitemirror/s3client.h; do
  [ -s "$root/$f" ] || fail "$f not in the package"
done
for f in libsitemirror-s3client.so.1 libsitemirror-s3client.so pkgconfig/sitemirror-s3client.pc \
         cmake/SitemirrorClient/SitemirrorClientConfig.cmake; do
  [ -e "$libdir/$f" ] || fail "${libdir#$root/}/$f not in the package"
done
# The package's files are stripped.
file -L "$root/usr/bin/sitemirror" | grep -q ', stripped' || fail "usr/bin/sitemirror is not stripped"

version=$("$root/usr/bin/sitemirror" --version) || fail "the packaged sitemirror --version fails"
[[ $version == "sitemirror "[0-9]*$'\n'"libcurl "* ]] || fail "the packaged --version says: $version"
help=$(env -i PATH="$PATH" HOME="$scratch" XDG_CONFIG_HOME="$scratch/config" \
       "$root/usr/bin/sitemirror" --help) || fail "the packaged sitemirror --help fails"
[[ $help == *"  SITEMIRROR_BUCKET="* ]] || fail "the packaged --help lists no settings: $help"

finish package "all checks passed"
