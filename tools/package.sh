#!/usr/bin/env bash
# Builds the Debian packages kru (the tool, its boot units, completion and manual page) and
# nemftool (the image builder, for build hosts) for amd64 and armhf, linked against the
# distribution's libcrypto, libstdc++ and libgcc (KRU_STATIC_RUNTIME=OFF).
#
#   bash tools/package.sh                   # installs what is missing, builds all four .deb
#   bash tools/package.sh --arch amd64      # one architecture (repeatable)
#   bash tools/package.sh --check           # and checks them (lintian, contents, install)
#
# The packages go to KRU_PACKAGE_DIR (default packages/), the builds to KRU_PACKAGE_BUILD_DIR
# (default build-package/<arch>). With KRU_PACKAGE_NO_INSTALL=1 nothing is installed: a tool
# that is missing ends the script with status 77 (how the test suite runs it).
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
out=${KRU_PACKAGE_DIR:-$top/packages}
work=${KRU_PACKAGE_BUILD_DIR:-$top/build-package}
version=$(sed -n 's/^project(kru VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
maintainer=$(sed -n 's/^ -- \(.*>\)  .*/\1/p' "$top/dist/debian/changelog" | head -n 1)
host_arch=$(dpkg --print-architecture)

say() { echo "package: $*" >&2; }
skip() { say "$*: skipped"; exit 77; }

arches=()
check=0
while [ $# -gt 0 ]; do
  case $1 in
    --arch) arches+=("$2"); shift 2 ;;
    --check) check=1; shift ;;
    *) say "unknown argument $1"; exit 2 ;;
  esac
done
[ ${#arches[@]} -gt 0 ] || arches=(amd64 armhf)

triplet() { dpkg-architecture -a"$1" -qDEB_HOST_GNU_TYPE 2>/dev/null; }

# What each architecture's build needs; installed unless KRU_PACKAGE_NO_INSTALL=1.
prepare() {
  local need=(cmake g++ dpkg-deb dpkg-shlibdeps dpkg-buildflags)
  [ $check -eq 1 ] && need+=(lintian)
  if [ "${KRU_PACKAGE_NO_INSTALL:-0}" != 1 ]; then
    bash "$top/tools/install-deps.sh" --checks
    for a in "${arches[@]}"; do
      [ "$a" = "$host_arch" ] || bash "$top/tools/armhf-test.sh" --install-only
    done
  fi
  for t in "${need[@]}"; do
    command -v "$t" >/dev/null || skip "$t not installed"
  done
  for a in "${arches[@]}"; do
    if [ "$a" != "$host_arch" ]; then
      command -v "$(triplet "$a")-g++" >/dev/null || skip "no cross compiler for $a"
      dpkg-query -W -f='${Status}' "libssl-dev:$a" 2>/dev/null | grep -q 'install ok installed' ||
        skip "libssl-dev:$a not installed"
    fi
  done
}

# Configures and builds kru and nemftool for one architecture with Debian's hardening flags.
build() {
  local arch=$1 dir=$work/$1 toolchain=()
  [ "$arch" = "$host_arch" ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE="$top/cmake/$arch.cmake")
  (
    export DEB_BUILD_MAINT_OPTIONS=hardening=+all
    eval "$(dpkg-architecture -a"$arch" -s 2>/dev/null)"
    eval "$(dpkg-buildflags --export=sh)"
    export CXXFLAGS="$CPPFLAGS $CXXFLAGS" CFLAGS="$CPPFLAGS $CFLAGS"
    cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKRU_BUILD_TESTS=OFF -DKRU_STATIC_RUNTIME=OFF \
      -DCMAKE_INSTALL_PREFIX=/usr "${toolchain[@]}" >/dev/null
    cmake --build "$dir" -j"$(nproc)" --target kru nemftool >/dev/null
  )
}

# Stages one package from the install rules of its component and builds the .deb.
package() {
  local arch=$1 pkg=$2 stage=$work/$1/debian/$2 gnu
  gnu=$(triplet "$arch")
  rm -rf "$stage"
  DESTDIR=$stage cmake --install "$work/$arch" --component "$pkg" >/dev/null
  local f
  for f in "$stage"/usr/bin/* "$stage"/usr/sbin/*; do
    [ -f "$f" ] && "$gnu-strip" --strip-unneeded --remove-section=.comment --remove-section=.note "$f"
  done
  find "$stage/usr/share/man" -type f -exec gzip -9n {} +
  install -d "$stage/usr/share/doc/$pkg"
  gzip -9nc "$top/dist/debian/changelog" >"$stage/usr/share/doc/$pkg/changelog.gz"
  install -m 0644 "$top/dist/debian/copyright" "$stage/usr/share/doc/$pkg/copyright"

  # Dependencies from the binaries, as the distribution's shlibs and symbols files give them
  # (dpkg-shlibdeps runs where debian/<package> is the staged tree, its DEBIAN/ made first).
  local deps
  install -d "$stage/DEBIAN"
  printf 'Source: kru\n\nPackage: kru\nArchitecture: any\n\nPackage: nemftool\nArchitecture: any\n' \
    >"$work/$arch/debian/control"
  deps=$(cd "$work/$arch" && bins=(debian/"$pkg"/usr/*bin/*) && eval "$(dpkg-architecture -a"$arch" -s 2>/dev/null)" &&
    dpkg-shlibdeps -O "${bins[@]/#/-e}" | sed -n 's/^shlibs:Depends=//p')
  [ -n "$deps" ] || { say "$pkg $arch: no dependencies found"; exit 1; }

  {
    echo "Package: $pkg"
    echo "Version: $version"
    echo "Architecture: $arch"
    echo "Maintainer: $maintainer"
    echo "Installed-Size: $(du -sk "$stage/usr" | cut -f1)"
    echo "Depends: $deps"
    awk -v p="$pkg" '/^Package:/ {on = $2 == p; next} on && NF' "$top/dist/debian/control.in" |
      sed 's/^Description:/Priority: optional\nDescription:/'
  } >"$stage/DEBIAN/control"
  (cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum) >"$stage/DEBIAN/md5sums"
  chmod 0644 "$stage/DEBIAN/control" "$stage/DEBIAN/md5sums"
  find "$stage" -type d -exec chmod 0755 {} +
  mkdir -p "$out"
  dpkg-deb --root-owner-group -Zxz --build "$stage" "$out/${pkg}_${version}_$arch.deb" >/dev/null
  say "built $out/${pkg}_${version}_$arch.deb"
}

# The files each package must carry: what the install rules promise, and the Debian documents.
expected() {
  case $1 in
    kru) printf '%s\n' usr/sbin/kru usr/share/man/man8/kru.8.gz usr/share/bash-completion/completions/kru \
      usr/lib/systemd/system/kru-mount.service usr/lib/systemd/system/kru-validate.service \
      usr/lib/systemd/system/kru-validate.timer usr/share/doc/kru/changelog.gz usr/share/doc/kru/copyright ;;
    nemftool) printf '%s\n' usr/bin/nemftool usr/share/man/man1/nemftool.1.gz \
      usr/share/bash-completion/completions/nemftool usr/share/doc/nemftool/changelog.gz \
      usr/share/doc/nemftool/copyright ;;
  esac
}

failed=0
fail() { say "FAIL: $*"; failed=1; }

check_package() {
  local arch=$1 pkg=$2 deb=$out/${2}_${version}_$1.deb report files
  # Errors fail the check; warnings are listed.
  report=$(lintian --fail-on error --tag-display-limit 0 "$deb" 2>&1) || fail "lintian $deb: $report"
  [ -z "$report" ] || printf '%s\n' "$report" >&2
  files=$(dpkg-deb --contents "$deb" | awk '$1 !~ /^d/ {sub(/^\.\//, "", $6); print $6}' | sort)
  [ "$files" = "$(expected "$pkg" | sort)" ] || fail "$deb holds: $(echo $files)"
  dpkg-deb --field "$deb" Depends | grep -q 'libc6' || fail "$deb depends on no libc6"
  if [ "$pkg" = kru ] || [ "$pkg" = nemftool ]; then
    dpkg-deb --field "$deb" Depends | grep -q 'libssl3' || fail "$deb does not depend on libssl3"
  fi
}

# Installs the host's packages into a scratch root with dpkg and runs them from there (their
# libraries are those of this machine: the scratch root holds only the two packages).
check_install() {
  local arch=$1 root
  root=$(mktemp -d)
  mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
  touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
  if dpkg --root="$root" --force-depends --force-script-chrootless -i \
    "$out/kru_${version}_$arch.deb" "$out/nemftool_${version}_$arch.deb" >"$root/dpkg.log" 2>&1; then
    dpkg --root="$root" -s kru nemftool 2>/dev/null | grep -c '^Status: install ok installed' | grep -qx 2 ||
      fail "dpkg does not list both packages as installed"
    "$root/usr/sbin/kru" help | head -n 1 | grep -qx 'Usage: kru \[ ... \] ACTION \[ ... \]' ||
      fail "kru help from the installed package"
    "$root/usr/bin/nemftool" help | head -n 1 | grep -q '^Usage: nemftool create' ||
      fail "nemftool help from the installed package"
  else
    fail "dpkg -i into $root: $(cat "$root/dpkg.log")"
  fi
  rm -rf "$root"
}

prepare
for arch in "${arches[@]}"; do
  say "building $arch"
  build "$arch"
  package "$arch" kru
  package "$arch" nemftool
  if [ $check -eq 1 ]; then
    check_package "$arch" kru
    check_package "$arch" nemftool
    [ "$arch" != "$host_arch" ] || check_install "$arch"
  fi
done
[ $failed -eq 0 ] || exit 1
[ $check -eq 0 ] || say "all checks passed"
