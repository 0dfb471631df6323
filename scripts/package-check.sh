#!/usr/bin/env bash
# Checks what the installs and packages give their users, on real installs into throw-away folders:
#   native   cmake --install into a temporary prefix: the layout, the shared library's SONAME, the headers
#            on their own, a consumer (tests/consumer) built with find_package (shared and static) and with
#            pkg-config, each run against a private store file; the CMake package's version check
#   deb      the .deb made by cpack: lintian (no error), its computed Depends satisfied here, its contents;
#            unpacked with dpkg-deb -x into a throw-away root: the installer installs a package into a
#            sandbox Documents folder, and the consumer builds and runs against the root
#   windows  the zip made by cpack: its contents equal a cmake --install; unpacked elsewhere, its
#            installer run under Wine installs the package into the Wine prefix's Documents folder; the
#            consumer built with the mingw-w64 toolchain and find_package runs under Wine
#   run      scripts/run.sh's account of a run: --demo, and a plain run for a user with no host in use
#
#   scripts/package-check.sh [native] [deb] [windows] [run]     (after building build/native and build/windows)
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh package
root_dir=$PWD
native=$root_dir/build/native
windows=$root_dir/build/windows
parts=${*:-native deb windows run}
version=$(sed -n 's/^project(install-templates VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
major=${version%%.*}
for f in "$native/install-templates" "$windows/install-templates.exe" "$windows/wine-run"; do
  [ -e "$f" ] || { echo "package-check.sh: $f is missing; build both presets first" >&2; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failures=0

ok() { echo "  ok    $*"; }
fail() { echo "  FAIL  $*"; failures=$((failures + 1)); }
# check <description> <command...>: runs the command quietly, shows its output only when it fails.
check() {
  local what=$1 log=$tmp/check.log
  shift
  if "$@" >"$log" 2>&1; then ok "$what"; else fail "$what"; sed 's/^/        /' "$log" | tail -25; fi
}
# The same files in two trees, text files the same to the byte (strip stamps programs and libraries with
# the time, so those are compared by name only).
same_files() {
  diff <(cd "$1" && find . | sort) <(cd "$2" && find . | sort) &&
    ! diff -r "$1" "$2" | grep -v -E '^Binary files .*\.(exe|a) differ$'
}

# The package files relative to content/.
content_files() { (cd content && find . -type f | sort); }

# run_consumer <program> [wrapper...]: write, check and remove through the program; a check run after
# the removal must fail, so the check does look at the registry.
run_consumer() {
  local program=$1 store=$tmp/store-$RANDOM.db
  shift
  local args=()
  [[ $program == *.exe ]] || args=("$store")
  "$@" "$program" write "${args[@]}" && "$@" "$program" check "${args[@]}" && "$@" "$program" remove "${args[@]}" ||
    return 1
  if "$@" "$program" check "${args[@]}" >/dev/null; then echo "check passed after remove"; return 1; fi
  if [[ $program != *.exe ]]; then
    [ "$(stat -c %a "$store")" = 600 ] || { echo "store file mode $(stat -c %a "$store")"; return 1; }
  fi
}

# Builds tests/consumer against a prefix. consumer_build <dir> <cmake args...>
consumer_build() {
  local dir=$1
  shift
  cmake -S tests/consumer -B "$dir" "$@" && cmake --build "$dir"
}

# installer_run <documents> <package folder> <command...>: a Marrowquill3 template folder in use (one file of the user's
# own, one that the package also has, with the user's text) and an unused Marrowquill2; the command runs
# the installer; then every package file must be in Marrowquill3 with the package's bytes, the user's
# files unchanged, and Marrowquill2 untouched.
installer_run() {
  local docs=$1 content=$2
  shift 2
  local t=$docs/Marrowquill3/template
  rm -rf "$docs/Marrowquill2" "$docs/Marrowquill3"
  mkdir -p "$t/Business" "$docs/Marrowquill2/template"
  echo "mine" >"$t/Mine.eml"
  echo "my own reply" >"$t/Business/Out of office.eml"
  "$@" || { echo "installer failed: $?"; return 1; }
  local status=0
  while read -r f; do
    if [ "$f" = "./Business/Out of office.eml" ]; then
      [ "$(cat "$t/$f")" = "my own reply" ] || { echo "replaced: $f"; status=1; }
    else
      cmp -s "$content/$f" "$t/$f" || { echo "missing or different: $f"; status=1; }
    fi
  done < <(content_files)
  [ "$(cat "$t/Mine.eml")" = mine ] || { echo "Mine.eml changed"; status=1; }
  [ -z "$(ls -A "$docs/Marrowquill2/template")" ] || { echo "Marrowquill2 not in use but written"; status=1; }
  rm -rf "$docs/Marrowquill2" "$docs/Marrowquill3"
  return $status
}

header_list() { (cd "$1" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' '); }
# Each installed header, included as <cregistry/...>, compiles on its own with only the installed include
# folder, and none brings <windows.h>. headers_alone <compiler> <include-dir>
headers_alone() {
  local cxx=$1 inc=$2 status=0
  for h in $(header_list "$inc"); do
    # From an empty folder, so that a quoted include cannot find the source tree; <windows.h> (mingw-w64
    # defines _WINDOWS_H and _WINDOWS_ in it) must not come in, directly or through another header.
    (cd "$tmp" && printf '#include <%s>\n#if defined(_WINDOWS_H) || defined(_WINDOWS_)\n#error brings <windows.h>\n#endif\n' "$h" |
      "$cxx" -std=c++20 -Wall -Wextra -Werror -fsyntax-only -I "$inc" -x c++ -) ||
      { echo "$h does not compile on its own"; status=1; }
  done
  return $status
}

public_headers_linux="cregistry/RegistryApi.h cregistry/RegistryError.h cregistry/RegistryTransaction.h cregistry/Store.h cregistry/Variant.h cregistry/cRegistry.h "
public_headers_windows="cregistry/RegistryApi.h cregistry/RegistryError.h cregistry/RegistryTransaction.h cregistry/Variant.h cregistry/cRegistry.h "
# tool_starts <command...>: the registry tool runs from where it was unpacked: asked for help it prints
# something and ends by itself (status below 128, or 129 for a usage it refuses), not killed by a signal.
tool_starts() {
  local out status
  out=$("$@" --help 2>&1)
  status=$?
  echo "$out" | head -5
  [ -n "$out" ] && { [ $status -lt 128 ] || [ $status -eq 129 ]; }
}
# Whether a build tree has the registry tool's target (then the packages must carry it).
tool_built() { cmake --build "$1" --target help 2>/dev/null | grep -qE '(^|[ .:])cregistry-tool($|[ :])'; }

if [[ " $parts " == *" native "* ]]; then
  echo "=== package check: native install (cmake --install into a temporary prefix)"
  p=$tmp/native-prefix
  libdir=$p/lib/$(gcc -print-multiarch)
  if cmake --install "$native" --prefix "$p" >"$tmp/install.log" 2>&1; then
    ok "cmake --install build/native --prefix <tmp>"
  else
    fail "cmake --install"; tail "$tmp/install.log"
  fi
  check "installer and its package kept together in lib/install-templates, bin/ links to it" \
    bash -c "[ -x '$p/lib/install-templates/install-templates' ] &&
             [ \"\$(readlink '$p/bin/install-templates')\" = ../lib/install-templates/install-templates ] &&
             diff -r content '$p/lib/install-templates/content'"
  check "libcregistry.a, libcregistry.so -> .so.$major -> .so.$version, SONAME libcregistry.so.$major" \
    bash -c "[ -f '$libdir/libcregistry.a' ] && [ \"\$(readlink '$libdir/libcregistry.so')\" = libcregistry.so.$major ] &&
             [ \"\$(readlink '$libdir/libcregistry.so.$major')\" = libcregistry.so.$version ] &&
             objdump -p '$libdir/libcregistry.so.$version' | grep -E 'SONAME +libcregistry.so.$major\$'"
  check "public headers only, under include/cregistry" \
    test "$(header_list "$p/include")" = "$public_headers_linux"
  check "each header compiles on its own against the install, none includes <windows.h>" \
    headers_alone g++ "$p/include"
  check "CMake package, pkg-config file and documents installed" \
    bash -c "ls '$libdir/cmake/cregistry/cregistryConfig.cmake' '$libdir/cmake/cregistry/cregistryConfigVersion.cmake' \
                '$libdir/pkgconfig/cregistry.pc' '$p/share/doc/install-templates/copyright' \
                '$p/share/doc/install-templates/changelog.gz' '$p/share/man/man1/install-templates.1.gz'"
  if tool_built "$native"; then
    check "registry tool installed as bin/cregistry, with its manual page" \
      bash -c "[ -x '$p/bin/cregistry' ] && gzip -t '$p/share/man/man1/cregistry.1.gz'"
  fi

  check "consumer: find_package(cregistry $major), cregistry::cregistry (shared), builds" \
    consumer_build "$tmp/c-shared" -DCMAKE_PREFIX_PATH="$p"
  check "consumer (shared) loads libcregistry.so.$major from the prefix" \
    bash -c "ldd '$tmp/c-shared/consumer' | grep -F '$libdir/libcregistry.so.$major'"
  check "consumer (shared) writes, reads back, lists and removes on its own store file" \
    run_consumer "$tmp/c-shared/consumer"
  check "consumer: cregistry::cregistry_static builds, needs no libcregistry.so" \
    bash -c "$(declare -f consumer_build); consumer_build '$tmp/c-static' -DCMAKE_PREFIX_PATH='$p' -DCONSUMER_STATIC=ON &&
             ! ldd '$tmp/c-static/consumer' | grep -q libcregistry"
  check "consumer (static) writes, reads back, lists and removes" run_consumer "$tmp/c-static/consumer"
  check "find_package(cregistry $((major + 1))) is refused by the version check" \
    bash -c "! cmake -S tests/consumer -B '$tmp/c-v' -DCMAKE_PREFIX_PATH='$p' -DCONSUMER_NEEDS=$((major + 1)) >'$tmp/v.log' 2>&1 &&
             grep -F 'version: $version' '$tmp/v.log'"
  export PKG_CONFIG_PATH=$libdir/pkgconfig
  pc_dir() { realpath -e "$(pkg-config "$1" cregistry | tr ' ' '\n' | sed -n "s/^$2//p")"; }
  check "pkg-config: cregistry $version, include folder and library folder in the prefix" \
    bash -c "$(declare -f pc_dir); [ \"\$(pkg-config --modversion cregistry)\" = $version ] &&
             [ \"\$(pc_dir --cflags -I)\" = '$p/include' ] && [ \"\$(pc_dir --libs -L)\" = '$libdir' ]"
  check "consumer built with g++ and pkg-config only" \
    bash -c "g++ -std=c++20 -Wall -Wextra -Werror tests/consumer/main.cpp -o '$tmp/c-pc' \$(pkg-config --cflags --libs cregistry)"
  check "consumer (pkg-config) writes, reads back, lists and removes" \
    env LD_LIBRARY_PATH="$libdir" bash -c "$(declare -f run_consumer); tmp='$tmp'; run_consumer '$tmp/c-pc'"
  unset PKG_CONFIG_PATH
fi

if [[ " $parts " == *" deb "* ]]; then
  echo "=== package check: Debian package (cpack in build/native)"
  rm -rf "$native/packages"
  if (cd "$native" && cpack -G DEB) >"$tmp/cpack.log" 2>&1; then ok "cpack -G DEB"; else fail "cpack -G DEB"; tail "$tmp/cpack.log"; fi
  deb=$(ls "$native"/packages/*.deb 2>/dev/null | head -1)
  if [ -n "$deb" ]; then
    echo "  package: ${deb#$root_dir/}"
    lintian --info "$deb" >"$tmp/lintian.log" 2>&1
    grep -E '^[EW]: ' "$tmp/lintian.log" | sed 's/^/        lintian /'
    check "lintian: no error" bash -c "! grep -q '^E: ' '$tmp/lintian.log'"
    depends=$(dpkg-deb -f "$deb" Depends)
    echo "  Depends: $depends"
    # Each clause of Depends must be met by a package installed here (computed by dpkg-shlibdeps, so
    # libsqlite3-0 and libhivex0 must be among them).
    depends_met() {
      local clause name op want have status=0
      IFS=',' read -ra clauses <<<"$depends"
      for clause in "${clauses[@]}"; do
        read -r name op want <<<"$(echo "$clause" | sed -E 's/^ *([^ (]+) *(\(([<>=]+) *([^)]*)\))?.*/\1 \3 \4/')"
        have=$(dpkg-query -W -f='${Version}' "$name" 2>/dev/null) || { echo "$name not installed"; status=1; continue; }
        if [ -n "$op" ] && ! dpkg --compare-versions "$have" "$op" "$want"; then
          echo "$name $have does not meet $op $want"; status=1
        fi
      done
      grep -q libsqlite3 <<<"$depends" || { echo "libsqlite3 missing from Depends"; status=1; }
      grep -q libhivex0 <<<"$depends" || { echo "libhivex0 missing from Depends"; status=1; }
      return $status
    }
    check "Depends computed and met on this machine" depends_met
    dpkg-deb -c "$deb" >"$tmp/deb.list"
    check "contents: programs, libraries, headers, CMake and pkg-config packages, documents" \
      bash -c "for f in ./usr/bin/install-templates ./usr/lib/install-templates/install-templates \
                 './usr/lib/install-templates/content/Business/Meeting request.eml' \
                 ./usr/lib/$(gcc -print-multiarch)/libcregistry.so.$version ./usr/lib/$(gcc -print-multiarch)/libcregistry.a \
                 ./usr/include/cregistry/cRegistry.h ./usr/lib/$(gcc -print-multiarch)/cmake/cregistry/cregistryConfig.cmake \
                 ./usr/lib/$(gcc -print-multiarch)/pkgconfig/cregistry.pc ./usr/share/doc/install-templates/copyright \
                 ./usr/share/doc/install-templates/changelog.gz; do
                 grep -qF \" \$f\" '$tmp/deb.list' || { echo \"missing \$f\"; exit 1; }; done"
    check "changelog.gz made with gzip -9n (no name, no time stamp)" \
      bash -c "dpkg-deb --fsys-tarfile '$deb' | tar -xO ./usr/share/doc/install-templates/changelog.gz >'$tmp/cl.gz' &&
               [ \"\$(od -An -tu4 -j4 -N4 '$tmp/cl.gz' | tr -d ' ')\" = 0 ] && [ \"\$(od -An -tx1 -j3 -N1 '$tmp/cl.gz' | tr -d ' ')\" = 00 ]"
    if tool_built "$native"; then
      check "registry tool in the package" grep -qF ' ./usr/bin/cregistry' "$tmp/deb.list"
    fi

    r=$tmp/deb-root
    check "dpkg-deb -x into a throw-away root" dpkg-deb -x "$deb" "$r"
    mkdir -p "$tmp/home/Documents" "$tmp/config"
    check "installed install-templates (through /usr/bin) installs the package into a Documents folder in use" \
      installer_run "$tmp/home/Documents" "$r/usr/lib/install-templates/content" \
      env -i HOME="$tmp/home" XDG_CONFIG_HOME="$tmp/config" "$r/usr/bin/install-templates"
    if tool_built "$native"; then
      check "installed cregistry (the tool) runs from the unpacked root" tool_starts "$r/usr/bin/cregistry"
    fi
    multiarch=$(gcc -print-multiarch)
    check "consumer builds with find_package against the unpacked package" \
      consumer_build "$tmp/c-deb" -DCMAKE_PREFIX_PATH="$r/usr"
    check "consumer (from the package) loads the package's libcregistry.so.$major and works" \
      bash -c "ldd '$tmp/c-deb/consumer' | grep -qF '$r/usr/lib/$multiarch/libcregistry.so.$major' &&
               $(declare -f run_consumer); tmp='$tmp'; run_consumer '$tmp/c-deb/consumer'"
    check "consumer builds with cregistry::cregistry_static against the unpacked package and works" \
      bash -c "$(declare -f consumer_build run_consumer); tmp='$tmp'
               consumer_build '$tmp/c-deb-static' -DCMAKE_PREFIX_PATH='$r/usr' -DCONSUMER_STATIC=ON &&
               run_consumer '$tmp/c-deb-static/consumer'"
    check "consumer builds with pkg-config against the unpacked package and works" \
      bash -c "g++ -std=c++20 tests/consumer/main.cpp -o '$tmp/c-deb-pc' \
               \$(PKG_CONFIG_PATH='$r/usr/lib/$multiarch/pkgconfig' pkg-config --cflags --libs cregistry) &&
               $(declare -f run_consumer); tmp='$tmp'; LD_LIBRARY_PATH='$r/usr/lib/$multiarch' run_consumer '$tmp/c-deb-pc'"
  fi
fi

if [[ " $parts " == *" windows "* ]]; then
  echo "=== package check: Windows zip (cpack in build/windows), under Wine"
  exe=$windows/install-templates.exe
  # The version record: binary file and product version major.minor.patch.0, texts "<major>.<minor, 2 digits>".
  IFS=. read -r vmaj vmin vpat <<<"$version"
  text=$(printf '%d.%02d' "$vmaj" "$vmin")
  check "install-templates.exe version record: $vmaj.$vmin.$vpat.0 and \"$text\"" \
    bash -c "perl -0777 -ne 'my \$i = index(\$_, \"\xBD\x04\xEF\xFE\"); die \"no version record\n\" if \$i < 0;
               my @v = unpack(\"V6\", substr(\$_, \$i, 24));
               printf \"%d.%d.%d.%d %d.%d.%d.%d\n\", map { (\$_ >> 16, \$_ & 0xffff) } @v[2..5]' '$exe' |
             grep -x '$vmaj.$vmin.$vpat.0 $vmaj.$vmin.$vpat.0' &&
             strings -el '$exe' | grep -A1 -x FileVersion | grep -x '$text' &&
             strings -el '$exe' | grep -A1 -x ProductVersion | grep -x '$text'"
  rm -rf "$windows/packages"
  if (cd "$windows" && cpack -G ZIP) >"$tmp/cpack.log" 2>&1; then ok "cpack -G ZIP"; else fail "cpack -G ZIP"; tail "$tmp/cpack.log"; fi
  zip=$(ls "$windows"/packages/*.zip 2>/dev/null | head -1)
  if [ -n "$zip" ]; then
    echo "  package: ${zip#$root_dir/}"
    u=$tmp/unpacked
    check "unzip elsewhere" unzip -q "$zip" -d "$u"
    top=$(ls -d "$u"/*/ | head -1)
    top=${top%/}
    check "zip holds install-templates.exe with content/ beside it, headers, static library, CMake package" \
      bash -c "[ -f '$top/install-templates.exe' ] && diff -r content '$top/content' && [ -f '$top/lib/libcregistry.a' ] &&
               [ -f '$top/lib/cmake/cregistry/cregistryConfig.cmake' ] && [ -f '$top/include/cregistry/cRegistry.h' ]"
    check "public headers only, free of <windows.h>, each compiles on its own with mingw-w64" \
      bash -c "$(declare -f header_list headers_alone); tmp='$tmp'; [ \"\$(header_list '$top/include')\" = '$public_headers_windows' ] &&
               headers_alone x86_64-w64-mingw32-g++-posix '$top/include'"
    if tool_built "$windows"; then
      check "registry tool in the zip as cregistry.exe" test -f "$top/cregistry.exe"
    fi
    check "zip holds what cmake --install --strip puts in a prefix" \
      bash -c "cmake --install '$windows' --strip --prefix '$tmp/win-prefix' >/dev/null && $(declare -f same_files); same_files '$tmp/win-prefix' '$top'"
    check "no text file in the zip names the build or source tree" \
      bash -c "! grep -rlI -e '$root_dir' '$top'"
    # The Wine prefix's Documents folder, as the program sees it (the shell's CSIDL_PERSONAL).
    profile=$("$windows/wine-run" cmd /c 'echo %USERPROFILE%' 2>/dev/null | tr -d '\r')
    docs=$("$windows/wine-run" winepath -u "$profile\\Documents" 2>/dev/null | tr -d '\r')
    if [ -n "$profile" ] && [ -d "$docs" ]; then
      check "unpacked install-templates.exe under Wine installs the package into Documents ($profile\\Documents)" \
        installer_run "$docs" "$top/content" "$windows/wine-run" "$top/install-templates.exe"
    else
      fail "Wine's Documents folder not found (profile '$profile', folder '$docs')"
    fi
    if tool_built "$windows"; then
      check "cregistry.exe (the tool) runs from the unpacked zip under Wine" \
        tool_starts "$windows/wine-run" "$top/cregistry.exe"
    fi
    check "consumer builds with the mingw-w64 toolchain and find_package against the unpacked zip" \
      consumer_build "$tmp/c-win" -DCMAKE_TOOLCHAIN_FILE="$root_dir/cmake/mingw-w64-x86_64.cmake" \
      -Dcregistry_DIR="$top/lib/cmake/cregistry"
    check "consumer.exe under Wine writes, reads back, lists and removes in Wine's registry" \
      run_consumer "$tmp/c-win/consumer.exe" "$windows/wine-run"
  fi
fi

if [[ " $parts " == *" run "* ]]; then
  echo "=== scripts/run.sh: the account of a run"
  n=$(content_files | wc -l)
  check "run.sh --demo: the tree before and after, Marrowquill3 in use with all $n package files" \
    bash -c "scripts/run.sh --demo >'$tmp/demo.log' 2>&1 &&
             grep -x 'Before (Marrowquill3.*' '$tmp/demo.log' && grep -x '        Meeting request.eml' '$tmp/demo.log' &&
             grep -x 'Marrowquill3: in use; $n of $n package files are now in .*/Documents/Marrowquill3/template' '$tmp/demo.log' &&
             grep -x 'Marrowquill2: not in use .*' '$tmp/demo.log'"
  mkdir -p "$tmp/run-home/Docs/Marrowquill2/template" "$tmp/run-config"
  echo 'XDG_DOCUMENTS_DIR="$HOME/Docs"' >"$tmp/run-config/user-dirs.dirs"
  check "run.sh for a user with no host in use: the Documents folder from user-dirs.dirs, how to make one" \
    bash -c "HOME='$tmp/run-home' XDG_CONFIG_HOME='$tmp/run-config' scripts/run.sh >'$tmp/run.log' 2>&1 &&
             grep -x 'Documents folder: $tmp/run-home/Docs' '$tmp/run.log' &&
             grep -x 'No Marrowquill template folder is in use, so nothing was installed.*' '$tmp/run.log' &&
             grep -x '  $tmp/run-home/Docs/Marrowquill3/template' '$tmp/run.log' &&
             [ -z \"\$(ls -A '$tmp/run-home/Docs/Marrowquill2/template')\" ]"
fi

if [ $failures -eq 0 ]; then echo "package check: all passed"; else echo "package check: $failures FAILED"; fi
[ $failures -eq 0 ]
