#!/bin/sh
# The Debian packages as a user gets them. Unpacked into an empty root, the
# installed vessix-replay runs an installed example from the documentation
# folder, as from the repository's top folder, with the installed plugin and
# its own stand-in daemon library, found through its run path with nothing in
# the environment; its output is the build tree's for the same example. The
# manual page renders and names every option of --help.
#
# package-test.sh PACKAGES WORK PREFIX LIBDIR PRIVATE_LIBDIR DOCDIR MANDIR DATADIR SYSCONFDIR BUILT_TOOL SOURCE
set -eu
packages=$1 work=$2 prefix=$3 libdir=$4 private_libdir=$5 docdir=$6 mandir=$7 datadir=$8
sysconfdir=$9 built_tool=${10} source=${11}

fail() { echo "package-test: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/root"
root=$work/root
plugin_deb=$(ls "$packages"/vessix-proc-lua_*.deb)
replay_deb=$(ls "$packages"/vessix-replay_*.deb)
dpkg-deb -x "$plugin_deb" "$root"
dpkg-deb -x "$replay_deb" "$root"

# Dependencies computed from what each links; the daemon's library is in no
# package and not among them; the tool needs the plugin's package.
plugin_depends=$(dpkg-deb -f "$plugin_deb" Depends)
replay_depends=$(dpkg-deb -f "$replay_deb" Depends)
echo "vessix-proc-lua: Depends: $plugin_depends"
echo "vessix-replay: Depends: $replay_depends"
case $plugin_depends in *liblua5.4*) ;; *) fail "the plugin's package does not depend on Lua";; esac
case $plugin_depends$replay_depends in *vessixd*) fail "a package depends on the daemon's library";; esac
case $replay_depends in *vessix-proc-lua*) ;; *) fail "the tool's package does not depend on the plugin's";; esac
case $replay_depends in *libpcap*) ;; *) fail "the tool's package does not depend on libpcap";; esac

# The plugin under its soname in LIBDIR; the stand-in only in the tool's
# private folder, never where the daemon's library would live.
[ -e "$root$prefix/$libdir/libvessix-proc-lua.so.0" ] || fail "no libvessix-proc-lua.so.0 in $prefix/$libdir"
[ -e "$root$prefix/$private_libdir/libvessixd.so.15" ] || fail "no stand-in in $prefix/$private_libdir"
[ ! -e "$root$prefix/$libdir/libvessixd.so.15" ] || fail "the stand-in is where the daemon's library lives"
tool=$root$prefix/bin/vessix-replay
runpath=$(readelf -d "$tool" | sed -n 's/.*(RUNPATH).*\[\(.*\)\]/\1/p')
case $runpath in '$ORIGIN/'*) ;; *) fail "the tool's run path is not relative to it: '$runpath'";; esac
[ -f "$root$prefix/$datadir/vessix-proc-lua/luacheckrc" ] || fail "no luacheckrc"

# The example configuration names a script the package installs.
config=$root$sysconfdir/vessixd/vessix-lua.json
[ -f "$config" ] || fail "no example configuration in $sysconfdir/vessixd"
script=$(sed -n 's/^ *"script": "\(.*\)".*/\1/p' "$config")
[ -f "$root$script" ] || fail "the example configuration names $script, which is not installed"

# An installed example, run as the README shows it from the top folder.
run_example() {
    env -i "$1" --conf examples/vessix-lua.json -D example=app-bytes --sinks - examples/app-bytes.jsonl
}
(cd "$root$prefix/$docdir" && run_example "$tool") > "$work/installed.out" || fail "the installed tool failed"
(cd "$source" && run_example "$built_tool") > "$work/built.out" || fail "the built tool failed"
grep -q '"target":"app-bytes"' "$work/installed.out" || fail "the installed example dispatched nothing"
diff -u "$work/built.out" "$work/installed.out" || fail "the installed example's output differs from the build's"

# The manual page renders, and names every option the tool's --help lists.
page=$root$prefix/$mandir/man1/vessix-replay.1.gz
MANWIDTH=120 man -l "$page" > "$work/man.txt" 2>"$work/man.err"
[ ! -s "$work/man.err" ] || { cat "$work/man.err" >&2; fail "the manual page has errors"; }
grep -q "vessix-replay" "$work/man.txt" || fail "the manual page does not render"
options=$(env -i "$tool" --help | sed -n 's/^ \{1,4\}\(-[-a-zA-Z]*\).*/\1/p; s/^ \{1,4\}-[a-zA-Z], \(--[-a-z]*\).*/\1/p')
[ -n "$options" ] || fail "no options found in --help"
missing=""
for option in $options; do
    # An entry of its own: the option begins a line, alone or after its
    # short form.
    grep -Eq -e "^ *(-[a-zA-Z], )?$option\\b" "$work/man.txt" || missing="$missing $option"
done
[ -z "$missing" ] || fail "options of --help missing from the manual page:$missing"
echo "package-test: $(echo $options | wc -w) options documented; installed example matches the build"
