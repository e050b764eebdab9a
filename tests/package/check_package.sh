#!/usr/bin/env bash
# The package check: what an integrator does with a built lndb, one step per
# CTest test (tests/package/CMakeLists.txt chains them with fixtures).
#
# usage: check_package.sh STEP BUILD_DIR WORK_DIR LIBDIR VERSION
#   install      cmake --install into WORK_DIR/prefix; what lands there
#   units        systemd-analyze verify accepts the installed units (skipped,
#                status 77, where systemd's tools are missing)
#   cmake        a project outside the tree: find_package(lndb) + lndb::lndb
#   agent        the same with the runtime and development components only
#                and the platform libraries brought by the consumer
#   pkgconfig    the same program built with pkg-config --cflags --libs lndb
#   unversioned  a program linked against an unversioned liblndb.so.1 still
#                resolves its names in the versioned library
#   subdirectory a parent project adds lndb with add_subdirectory and needs
#                neither GoogleTest nor Google Benchmark
#   debs         cpack -G DEB: the packages, their files and dependencies
#   deb-root     the packages unpacked with dpkg -x give a working lndb --help
# CXXFLAGS and LDFLAGS (a sanitized build's flags) reach every compile.
set -euo pipefail

step=$1 build=$2 work=$3 libdir=$4 version=$5
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)
prefix=$work/prefix
mkdir -p "$work"

fail() { echo "FAIL: $*" >&2; exit 1; }
# Nothing of the samples, the tests or the fake Notes library is installed.
forbidden='sample|scout|Gleaner|NotesPostInstall|libnotes|fake|test|bench|probe|call_library'
# Files under a root, relative, one a line, links included.
listing() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | sort); }
# Checks a file listing (on standard input) against the files that must be
# there and a pattern that every file must match.
check_listing() {
    local what=$1 allowed=$2 listed
    shift 2
    listed=$(cat)
    for file in "$@"; do
        grep -qxF "$file" <<<"$listed" || fail "$what lacks $file"
    done
    if grep -Evx "$allowed" <<<"$listed"; then fail "$what holds the files above, which it should not"; fi
    if grep -E "$forbidden" <<<"$listed"; then fail "$what holds the files above (samples or tests)"; fi
    return 0
}
# The headers of a source folder, as installed under a folder.
headers() { for header in "$source_dir/$1"/*.h; do echo "$2/${header##*/}"; done; }
# The systemd units and the logrotate file, under lib/ and etc/ (of the
# prefix, or of the root for a Debian package).
service_files='lib/systemd/system/lndb-partition\.(service|socket)|etc/logrotate\.d/lndb'
# The command's man page (made when help2man was found at configure time) and
# its bash completion, under share/ of the prefix or usr/share/ of a package.
command_docs='share/(man/man1/lndb\.1|bash-completion/completions/lndb)'
command_doc_files() {
    echo "$1share/bash-completion/completions/lndb"
    [ ! -e "$build/tools/lndb.1" ] || echo "$1share/man/man1/lndb.1"
}
# The service unit runs the installed command.
check_exec_start() {
    local exec_start
    exec_start=$(sed -n 's/^ExecStart=//p' "$1")
    [ "$exec_start" = "$2 partition serve" ] || fail "$1 runs [$exec_start], not $2"
}
# Runs the consumer program and checks its one line.
check_consumer() {
    local out
    out=$("$@") || fail "$* exited with status $?: $out"
    [ "$out" = "mail alice lnBackup 1" ] || fail "$* printed [$out]"
}

# Configures and builds the consumer project in a fresh directory.
build_consumer() {
    local dir=$1
    shift
    rm -rf "$dir" && mkdir -p "$dir"
    cmake -S "$here/consumer" -B "$dir" "$@" >"$dir/configure.log" 2>&1 \
        || { cat "$dir/configure.log"; fail "the consumer does not configure"; }
    cmake --build "$dir" >"$dir/build.log" 2>&1 || { cat "$dir/build.log"; fail "the consumer does not build"; }
}

case $step in
install)
    rm -rf "$prefix"
    cmake --install "$build" --prefix "$prefix" >"$work/install.log"
    mapfile -t lndb_headers < <(headers include/lndb include/lndb)
    listing "$prefix" | check_listing "the installation" \
        "bin/lndb|$libdir/liblndb\.so(\.1|\.1\.[0-9.]+)?|$libdir/lib(KrLib|ZuUtils|KrXMLMessagesBase|KrSession)\.so|include/lndb/[a-z_]+\.h|include/lndb-platform/[A-Za-z_]+\.h|$libdir/cmake/lndb/lndb[A-Za-z]*(-[a-z]+)?\.cmake|$libdir/pkgconfig/lndb\.pc|share/doc/(liblndb1|liblndb-dev|lndb|lndb-standin-platform)/copyright|$service_files|$command_docs" \
        $(command_doc_files "") bin/lndb "$libdir/liblndb.so.1" "$libdir/liblndb.so" "$libdir/libKrLib.so" "$libdir/libZuUtils.so" \
        "$libdir/libKrXMLMessagesBase.so" "$libdir/libKrSession.so" "${lndb_headers[@]}" \
        "$libdir/cmake/lndb/lndbConfig.cmake" "$libdir/cmake/lndb/lndbConfigVersion.cmake" \
        "$libdir/pkgconfig/lndb.pc" share/doc/liblndb1/copyright \
        lib/systemd/system/lndb-partition.service lib/systemd/system/lndb-partition.socket etc/logrotate.d/lndb
    check_exec_start "$prefix/lib/systemd/system/lndb-partition.service" "$prefix/bin/lndb"
    cmp -s "$source_dir/LICENSE" "$prefix/share/doc/liblndb1/copyright" || fail "copyright is not the LICENSE"
    # Run paths: in the installation only entries relative to $ORIGIN (no
    # build path), and nowhere an empty entry, with which the loader would
    # search the working directory.
    for file in "$prefix/bin/lndb" "$prefix/$libdir"/lib*.so* "$build/bin/lndb" "$build/lib"/lib*.so*; do
        runpath=$(readelf -d "$file" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]$/\1/p')
        [ -n "$runpath" ] || fail "$file has no run path"
        [[ ":$runpath:" != *::* ]] || fail "$file: run path [$runpath] has an empty entry"
        if [[ $file == "$prefix"/* ]]; then
            IFS=: read -ra entries <<<"$runpath"
            for entry in "${entries[@]}"; do
                # shellcheck disable=SC2016  # the loader's $ORIGIN, literally
                [[ $entry == '$ORIGIN'* ]] || fail "$file: run path [$runpath] leads outside the installation"
            done
        fi
    done
    # The command finds the library and the stand-ins with no loader path.
    env -i "$prefix/bin/lndb" --help | grep -q '^usage: lndb \[OPTIONS\] COMMAND' || fail "installed lndb --help"
    # The completion offers the commands that `lndb help` lists.
    completions=$(PATH="$prefix/bin:$PATH" bash -c 'source "$1" && COMP_WORDS=(lndb part) COMP_CWORD=1 && _lndb &&
                  echo "${COMPREPLY[*]}"' bash "$prefix/share/bash-completion/completions/lndb")
    [ "$completions" = partition ] || fail "the bash completion of 'lndb part' gave [$completions]"
    ;;
units)
    command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (Debian package systemd): skipped"; exit 77; }
    units=$prefix/lib/systemd/system
    # Offline: no running systemd is needed. Any complaint fails the step.
    out=$(systemd-analyze verify "$units/lndb-partition.socket" "$units/lndb-partition.service" 2>&1) \
        || fail "systemd-analyze verify: $out"
    [ -z "$out" ] || fail "systemd-analyze verify: $out"
    ;;
cmake)
    build_consumer "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix"
    check_consumer "$work/cmake/consumer"
    ;;
agent)
    dir=$work/agent
    rm -rf "$dir" "$dir.log"
    for component in runtime development; do
        cmake --install "$build" --prefix "$dir/prefix" --component $component >>"$dir.log"
    done
    # The agent's platform, in a place of its own.
    cmake --install "$build" --prefix "$dir/platform" --component platform >>"$dir.log"
    build_consumer "$dir/build" -DCMAKE_PREFIX_PATH="$dir/prefix" -DAGENT_PLATFORM_DIR="$dir/platform/$libdir"
    # The agent's processes find its libraries through their loader path.
    check_consumer env LD_LIBRARY_PATH="$dir/platform/$libdir" "$dir/build/consumer"
    ;;
pkgconfig)
    rm -rf "$work/pkgconfig" && mkdir -p "$work/pkgconfig"
    export PKG_CONFIG_PATH=$prefix/$libdir/pkgconfig
    [ "$(pkg-config --modversion lndb)" = "$version" ] || fail "pkg-config --modversion lndb"
    # shellcheck disable=SC2046,SC2086  # word splitting is meant
    g++ -std=c++20 -Wall -Wextra -Werror ${CXXFLAGS:-} "$here/consumer/main.cpp" -o "$work/pkgconfig/consumer" \
        $(pkg-config --cflags --libs lndb) -Wl,-rpath,"$(pkg-config --variable=libdir lndb)" ${LDFLAGS:-}
    check_consumer "$work/pkgconfig/consumer"
    ;;
unversioned)
    dir=$work/unversioned
    rm -rf "$dir" && mkdir -p "$dir/old"
    # The names as an earlier, unversioned liblndb.so.1 defined them.
    printf 'int loggingLevel = 5;\nchar* strlwr(char* text) { return text; }\n' >"$dir/old.cpp"
    printf '#include <cstdio>\nextern int loggingLevel;\nchar* strlwr(char*);\n%s\n' \
        'int main() { char t[] = "ABC"; std::printf("%s %d\n", strlwr(t), loggingLevel); }' >"$dir/program.cpp"
    # shellcheck disable=SC2086
    g++ ${CXXFLAGS:-} -shared -fPIC -Wl,-soname,liblndb.so.1 "$dir/old.cpp" -o "$dir/old/liblndb.so.1" ${LDFLAGS:-}
    ln -s liblndb.so.1 "$dir/old/liblndb.so"
    # shellcheck disable=SC2086
    g++ ${CXXFLAGS:-} "$dir/program.cpp" -o "$dir/program" -L"$dir/old" -llndb ${LDFLAGS:-}
    if readelf -V "$dir/program" | grep -q LNDB_; then fail "the program was linked against a versioned library"; fi
    out=$(LD_LIBRARY_PATH=$prefix/$libdir "$dir/program") || fail "the program does not run on the versioned library"
    [ "$out" = "abc 1" ] || fail "the program printed [$out], not the versioned library's answers"
    ;;
subdirectory)
    dir=$work/subdirectory
    rm -rf "$dir" && mkdir -p "$dir"
    cmake -S "$here/parent" -B "$dir" -DLNDB_SOURCE_DIR="$source_dir" \
        -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >"$dir/configure.log" 2>&1 \
        || { cat "$dir/configure.log"; fail "a parent project cannot add lndb as a subdirectory"; }
    tests=$(cd "$dir" && ctest -N | sed -n 's/^Total Tests: //p')
    [ "$tests" = 0 ] || fail "the parent project runs $tests tests of lndb"
    [ ! -e "$dir/CPackConfig.cmake" ] || fail "lndb set up CPack for the parent project"
    ;;
debs)
    rm -rf "$work/debs"
    (cd "$build" && cpack -G DEB -B "$work/debs" >"$work/cpack.log") || { cat "$work/cpack.log"; fail "cpack"; }
    deb() { ls "$work/debs/$1"_*.deb 2>/dev/null || fail "no package $1"; }
    contents() { dpkg-deb -c "$(deb "$1")" | awk '{print $6}' | sed 's|^\./||' | grep -v '/$'; }
    field() { dpkg-deb -f "$(deb "$1")" "$2"; }
    debs=("$work/debs"/*.deb)
    [ ${#debs[@]} -eq 4 ] || fail "not four packages: ${debs[*]}"
    lib=usr/$libdir
    contents liblndb1 | check_listing liblndb1 "$lib/liblndb\.so\.1(\.[0-9.]+)?|usr/share/doc/liblndb1/copyright" \
        "$lib/liblndb.so.1" "$lib/liblndb.so.$version" usr/share/doc/liblndb1/copyright
    mapfile -t lndb_headers < <(headers include/lndb usr/include/lndb)
    contents liblndb-dev | check_listing liblndb-dev \
        "usr/include/lndb/[a-z_]+\.h|$lib/liblndb\.so|$lib/cmake/lndb/lndb(Config|ConfigVersion|Targets|Targets-[a-z]+)\.cmake|$lib/pkgconfig/lndb\.pc|usr/share/doc/liblndb-dev/copyright" \
        "${lndb_headers[@]}" "$lib/liblndb.so" "$lib/cmake/lndb/lndbConfig.cmake" "$lib/pkgconfig/lndb.pc"
    contents lndb | check_listing lndb "usr/bin/lndb|usr/share/doc/lndb/copyright|$service_files|usr/$command_docs" \
        $(command_doc_files usr/) usr/bin/lndb \
        lib/systemd/system/lndb-partition.service lib/systemd/system/lndb-partition.socket etc/logrotate.d/lndb
    unpacked=$work/debs/lndb-files
    rm -rf "$unpacked" && dpkg-deb -x "$(deb lndb)" "$unpacked" && dpkg-deb -e "$(deb lndb)" "$unpacked/DEBIAN"
    check_exec_start "$unpacked/lib/systemd/system/lndb-partition.service" /usr/bin/lndb
    [ "$(cat "$unpacked/DEBIAN/conffiles")" = /etc/logrotate.d/lndb ] || fail "lndb: conffiles is not the logrotate file"
    contents lndb-standin-platform | check_listing lndb-standin-platform \
        "$lib/lib(KrLib|ZuUtils|KrXMLMessagesBase|KrSession)\.so|usr/include/lndb-platform/[A-Za-z_]+\.h|$lib/cmake/lndb/lndbPlatformTargets(-[a-z]+)?\.cmake|usr/share/doc/lndb-standin-platform/copyright" \
        "$lib/libKrLib.so" "$lib/libZuUtils.so" "$lib/libKrXMLMessagesBase.so" "$lib/libKrSession.so" \
        usr/include/lndb-platform/CKrNetwork.h usr/share/doc/lndb-standin-platform/copyright
    # Dependencies between the packages and on Debian's libraries: each
    # expected item begins one of the field's comma-separated items.
    for expected in "liblndb1 Depends lndb-platform" "liblndb1 Depends libstdc++6" \
                    "liblndb-dev Depends liblndb1 (= $version)" "lndb Depends liblndb1 (= $version)" \
                    "lndb Depends lndb-platform" "lndb Depends libsystemd0" \
                    "lndb-standin-platform Provides lndb-platform" \
                    "lndb-standin-platform Depends libpugixml1v5"; do
        read -r package name value <<<"$expected"
        items=$(field "$package" "$name" | tr ',' '\n' | sed 's/^ *//')
        found=no
        while read -r item; do [[ $item == "$value"* ]] && found=yes; done <<<"$items"
        [ $found = yes ] || fail "$package: $name has no $value: $items"
    done
    # Only the command links libsystemd, not the library.
    if field liblndb1 Depends | grep -q libsystemd; then fail "liblndb1 depends on libsystemd"; fi
    ;;
deb-root)
    root=$work/deb-root
    rm -rf "$root" && mkdir -p "$root"
    for package in "$work/debs"/*.deb; do dpkg -x "$package" "$root"; done
    out=$(env -i "$root/usr/bin/lndb" --help) || fail "lndb --help from the packages exited with status $?"
    grep -q '^usage: lndb \[OPTIONS\] COMMAND' <<<"$out" || fail "lndb --help printed: $out"
    # The unpacked library, found through the command's own run path.
    ldd "$root/usr/bin/lndb" | grep 'liblndb\.so\.1 =>' | grep -qF "$root/" \
        || fail "lndb does not load the unpacked liblndb: $(ldd "$root/usr/bin/lndb")"
    ;;
*)
    fail "unknown step $step"
    ;;
esac
echo "$step: ok"
