#!/usr/bin/env bash
# The installed tree, as a user and another program's author meet it: the
# files `cmake --install` puts under a scratch prefix, the client library's
# SONAME and exports, a C program built against it with pkg-config alone and
# one built through find_package, both run.
# usage: install_test.sh BUILD_DIR SOURCE_DIR
. "$(dirname "$0")/lib.sh"
build=$1 source=$2
prefix=$scratch/prefix

echo "install: cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$scratch/install.log"

for f in bin/sitemirror share/man/man1/sitemirror.1.gz \
         share/bash-completion/completions/sitemirror share/zsh/site-functions/_sitemirror \
         include/sitemirror/s3client.h; do
  [ -s "$prefix/$f" ] || fail "$f not installed"
done
[ -x "$prefix/bin/sitemirror" ] || fail "bin/sitemirror is not executable"

# The library directory is lib/ or lib/<multiarch>/, as the platform's rules say.
pc=$(find "$prefix" -name sitemirror-s3client.pc -path '*/pkgconfig/*' | head -n1)
[ -n "$pc" ] || { fail "no sitemirror-s3client.pc"; exit 1; }
libdir=$(dirname "$(dirname "$pc")")
[ -f "$libdir/cmake/SitemirrorClient/SitemirrorClientConfig.cmake" ] ||
  fail "no CMake package config in $libdir/cmake/SitemirrorClient"

# One SONAME, a development link to it, and only the public S3_ calls exported.
so=$libdir/libsitemirror-s3client.so
soname=$(objdump -p "$so" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = libsitemirror-s3client.so.1 ] || fail "SONAME is '$soname'"
[ -e "$libdir/$soname" ] || fail "$soname not installed"
others=$(nm -D --defined-only "$so" | awk 'NF == 3 && $3 !~ /^S3_/ { print $3 }')
[ -z "$others" ] || fail "exported besides S3_*: $(echo $others | head -c 300)"

# What the client must print for a URI signed with version 2 (computed here
# with openssl, independently of the library).
expires=2000000000
signature=$(printf 'GET\n\n\n%s\n/example-bucket/dir/page.html' "$expires" |
            openssl dgst -sha1 -hmac 'wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY' -binary |
            base64 | sed 's/+/%2B/g; s/=/%3D/g')
expected="OK http://127.0.0.1:9/example-bucket/dir/page.html?AWSAccessKeyId=AKIDEXAMPLE&Expires=$expires&Signature=$signature
InvalidBucketNameCharacter"

check_program() { # NAME BINARY
  local out
  if ! out=$("$2" "$expires" 2>&1); then
    fail "$1: the program failed: $out"
  elif [ "$out" != "$expected" ]; then
    fail "$1: printed
$out
expected
$expected"
  fi
}

echo "install: a C program built with pkg-config only"
export PKG_CONFIG_PATH=$libdir/pkgconfig
cc -std=c11 -Wall -Wextra -Werror $(pkg-config --cflags sitemirror-s3client) \
   "$source/tests/install/client_user.c" -o "$scratch/client_user" \
   $(pkg-config --libs sitemirror-s3client) \
   -Wl,-rpath,"$(pkg-config --variable=libdir sitemirror-s3client)"
check_program pkg-config "$scratch/client_user"
# It runs against the installed library, not against one of the build tree.
loaded=$(ldd "$scratch/client_user" | awk '$1 == "libsitemirror-s3client.so.1" { print $3 }')
[ "$(readlink -f "$loaded")" = "$(readlink -f "$libdir/libsitemirror-s3client.so.1")" ] ||
  fail "pkg-config program loads '$loaded', not the installed library"

echo "install: a CMake project with find_package(SitemirrorClient)"
unset PKG_CONFIG_PATH
cmake -S "$source/tests/install/consumer" -B "$scratch/consumer" \
      -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_BUILD_TYPE=Release >"$scratch/consumer.log" 2>&1 ||
  { cat "$scratch/consumer.log"; fail "find_package project does not configure"; }
cmake --build "$scratch/consumer" >>"$scratch/consumer.log" 2>&1 ||
  { cat "$scratch/consumer.log"; fail "find_package project does not build"; }
[ -x "$scratch/consumer/client_user" ] && check_program find_package "$scratch/consumer/client_user"

echo "install: the installed tool runs"
version=$("$prefix/bin/sitemirror" --version) || fail "installed sitemirror --version fails"
[[ $version == "sitemirror "[0-9]* ]] || fail "installed sitemirror --version says: $version"

finish install "all checks passed"
