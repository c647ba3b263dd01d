#!/usr/bin/env bash
# The Debian packages as a user gets them, on this machine (root, as on CI):
#   build    dpkg-buildpackage -us -uc -b on a copy of the tree (no compiler or dh warnings)
#   lintian  no errors and no warnings that debian/*.lintian-overrides do not explain
#   install  apt-get install ./*.deb
#   cups     a private cupsd that uses the installed CUPS folders, run under the virtual T58:
#            lpinfo -m lists both PPDs, lpinfo -v runs the installed backend, a queue made
#            from the installed PPD prints demo/label.ps; the printer application (when
#            packaged) lists the virtual T58
#   purge    apt-get purge removes every file dpkg -L listed
# usage: packaging/ci-packages.sh [BUILD_DIR]   (BUILD_DIR/bin/vt58-run is the virtual T58)
# Keeps its folder on failure (printed); TARVIK_KEEP=1 keeps it always.
set -euo pipefail
cd "$(dirname "$0")/.."
src=$(pwd)
mapfile -t packages < <(sed -n 's/^Package: *//p' debian/control)

# Under the virtual T58 this script is also the command that drives the private cupsd.
if [[ ${1:-} == --inside ]]; then
    inside=1
else
    inside=0
    build=$(realpath "${1:-build}")
    vt58_run=$build/bin/vt58-run
fi

fail() {
    echo "packages: FAILED: $*" >&2
    exit 1
}

step() {
    echo "packages: $* ($((SECONDS - started)) s)"
}

# Whether dpkg has any record of a package but "not installed" (tested on captured output:
# a grep -q on dpkg-query's pipe would race its writer under pipefail).
known_to_dpkg() {
    local status
    status=$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null) || return 1
    [[ -n $status && $status != *not-installed ]]
}

# --- the part under the virtual T58 -------------------------------------------------------

# cupsd gives a backend that it runs as root no LD_* variable; the wrapper puts the virtual
# T58's preload back and runs the installed backend, under the name cupsd gave it.
write_backend_wrapper() {
    local path=$1
    cat >"$path" <<'EOF'
#!/bin/bash
export LD_PRELOAD="$TARVIK_VT58_PRELOAD"
exec -a "${DEVICE_URI:-tarvik}" /usr/lib/cups/backend/tarvik "$@"
EOF
    chmod 0700 "$path"
}

# ServerBin: the installed folders (daemon helpers, filters with rastertotarvik, drivers),
# and a backend folder with only the wrapper, so that lpinfo -v probes no network.
# DataDir: the installed one, where lpinfo -m finds the PPDs.
lay_out_cups() {
    local root=$1 d
    mkdir -p "$root"/{etc/ppd,bin/backend,spool/tmp,cache,state,log,shm}
    chmod 0755 "$root" "$root/bin"
    for d in daemon filter driver notifier monitor; do
        [[ -e /usr/lib/cups/$d ]] && ln -s "/usr/lib/cups/$d" "$root/bin/$d"
    done
    write_backend_wrapper "$root/bin/backend/tarvik"
    cat >"$root/etc/cups-files.conf" <<EOF
ServerRoot $root/etc
ServerBin $root/bin
DataDir /usr/share/cups
RequestRoot $root/spool
TempDir $root/spool/tmp
CacheDir $root/cache
StateDir $root/state
ErrorLog $root/log/error_log
AccessLog $root/log/access_log
PageLog $root/log/page_log
User lp
Group lp
SystemGroup root
PassEnv UMOCKDEV_DIR
PassEnv TARVIK_VT58_PRELOAD
EOF
    cat >"$root/etc/cupsd.conf" <<EOF
LogLevel debug
MaxLogSize 0
Listen $root/cups.sock
Browsing Off
WebInterface No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
}

run_inside() {
    local work=$1 root=$1/cups
    lay_out_cups "$root"
    # The backend writes its log into /dev/shm: this namespace's own folder.
    mount --bind "$root/shm" /dev/shm
    export TARVIK_VT58_PRELOAD=${LD_PRELOAD:-}
    /usr/sbin/cupsd -f -c "$root/etc/cupsd.conf" -s "$root/etc/cups-files.conf" \
        >"$root/log/cupsd.out" 2>&1 &
    cupsd=$!
    trap 'kill "$cupsd" 2>/dev/null; wait "$cupsd" 2>/dev/null || true' EXIT
    local i
    for ((i = 0; i < 200; i++)); do
        [[ -S $root/cups.sock ]] && break
        kill -0 "$cupsd" 2>/dev/null || fail "cupsd ended at start: $(cat "$root/log/cupsd.out")"
        sleep 0.05
    done
    [[ -S $root/cups.sock ]] || fail "cupsd did not answer on its socket"
    export CUPS_SERVER=$root/cups.sock

    timeout 60 lpinfo -m >"$work/lpinfo-m.txt" || fail "lpinfo -m"
    local ppd
    for ppd in tarvik/t58-203.ppd tarvik/t58-300.ppd; do
        grep -q "^$ppd " "$work/lpinfo-m.txt" ||
            fail "lpinfo -m does not list $ppd: $(grep -i tarvik "$work/lpinfo-m.txt")"
    done
    step "lpinfo -m lists both PPDs"

    timeout 60 lpinfo -v >"$work/lpinfo-v.txt" || fail "lpinfo -v"
    local uri='tarvik://T58?serial=VT58-0001'
    grep -qF "direct $uri" "$work/lpinfo-v.txt" ||
        fail "lpinfo -v does not list the virtual T58: $(cat "$work/lpinfo-v.txt")"
    step "lpinfo -v runs the installed backend: $(grep -F "$uri" "$work/lpinfo-v.txt")"

    # (lpadmin warns that CUPS will drop PPD drivers one day.)
    lpadmin -p T58 -E -v "$uri" -m tarvik/t58-300.ppd -o printer-error-policy=abort-job \
        2>"$work/lpadmin.txt" || fail "lpadmin with the installed PPD: $(cat "$work/lpadmin.txt")"
    grep -q '^\*NickName: "Tarvik T58 300 dpi' "$root/etc/ppd/T58.ppd" ||
        fail "the queue's PPD is not the installed one"
    local out job
    out=$(lp -d T58 "$src/demo/label.ps") || fail "lp: $out"
    job=$(sed -n 's/^request id is T58-\([0-9]*\) .*/\1/p' <<<"$out")
    [[ -n $job ]] || fail "lp: $out"
    for ((i = 0; i < 1200; i++)); do
        grep -qE "\[Job $job\] Job (completed|aborted|stopped|canceled)" "$root/log/error_log" &&
            break
        sleep 0.05
    done
    if ! grep -q "\[Job $job\] Job completed\." "$root/log/error_log"; then
        tail -n 40 "$root/log/error_log" >&2
        fail "job $job did not complete"
    fi
    step "the queue printed demo/label.ps (job $job completed)"
    cp "$root/shm/t58print.log" "$work/t58print.log" 2>/dev/null || true

    local app=/usr/sbin/tarvik-printer-app
    if [[ " ${packages[*]} " == *" tarvik-printer-app "* ]]; then
        [[ -x $app ]] || fail "tarvik-printer-app is installed but $app is not"
        timeout 60 "$app" devices >"$work/app-devices.txt" 2>&1 ||
            fail "$app devices: $(cat "$work/app-devices.txt")"
        grep -qF "$uri" "$work/app-devices.txt" ||
            fail "$app devices does not list the virtual T58: $(cat "$work/app-devices.txt")"
        step "the installed printer application finds the virtual T58"
    fi
}

if ((inside)); then
    started=0
    SECONDS=$3
    run_inside "$2"
    exit 0
fi

# --- the whole check ----------------------------------------------------------------------

started=$SECONDS
[[ $(id -u) -eq 0 ]] || fail "needs root: it installs and purges packages"
[[ -x $vt58_run ]] || fail "no $vt58_run: build the tree first (./run build)"
for p in "${packages[@]}"; do
    if known_to_dpkg "$p"; then
        fail "$p is already installed here; purge it first (apt-get purge $p)"
    fi
done

work=$(mktemp -d /tmp/tarvik-packages.XXXXXX)
chmod 0755 "$work"
installed=0
finish() {
    local status=$?
    if ((installed)); then
        DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq "${packages[@]}" >/dev/null 2>&1 ||
            true
    fi
    if ((status != 0)) || [[ ${TARVIK_KEEP:-} == 1 ]]; then
        echo "packages: logs and packages kept in $work" >&2
    else
        rm -rf "$work"
    fi
}
trap finish EXIT

# A copy of the tree, so that the build leaves nothing in it and the packages land in $work.
version=$(dpkg-parsechangelog -S Version)
tree=$work/tarvik-$version
mkdir "$tree"
tar -C "$src" --exclude=./.git --exclude='./build*' --exclude=./out --exclude='./obj-*' \
    --exclude='./debian/.debhelper' --exclude='./debian/tmp' -cf - . | tar -C "$tree" -xf -
if ! (cd "$tree" && nice -n 10 dpkg-buildpackage -us -uc -b -j2) >"$work/build.log" 2>&1; then
    tail -n 60 "$work/build.log" >&2
    fail "dpkg-buildpackage"
fi
if grep -E ': warning: ' "$work/build.log" >&2; then
    fail "warnings in the package build"
fi
debs=()
for p in "${packages[@]}"; do
    debs+=("$(ls "$work/${p}_${version}_"*.deb)")
done
step "built ${debs[*]##*/}"

changes=$(ls "$work"/tarvik_"${version}"_*.changes)
lintian_status=0
lintian --fail-on error,warning --display-info "$changes" >"$work/lintian.txt" 2>&1 ||
    lintian_status=$?
grep -v 'running with root privileges' "$work/lintian.txt" || true
((lintian_status == 0)) || fail "lintian"
step "lintian: no errors, no unexplained warnings"

if ! DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${debs[@]}" \
    >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    fail "apt-get install"
fi
installed=1
# What the packages put here, as files and folders (a folder may be a symlink to one).
for p in "${packages[@]}"; do
    dpkg -L "$p" | while IFS= read -r path; do
        if [[ -d $path ]]; then
            echo "$path" >>"$work/dirs.txt"
        else
            echo "$path" >>"$work/files.txt"
        fi
    done
done
[[ $(stat -c '%a %U' /usr/lib/cups/backend/tarvik) == "700 root" ]] ||
    fail "the backend is not mode 0700, owned by root"
step "installed ${packages[*]}"

mkdir "$work/png"
if ! unshare -m "$vt58_run" --timeout 300 --png "$work/png" -- \
    "$src/packaging/ci-packages.sh" --inside "$work" "$((SECONDS - started))" \
    2>"$work/vt58.txt"; then
    cat "$work/vt58.txt" >&2
    fail "the private cupsd under the virtual T58"
fi
cat "$work/vt58.txt"
grep -q '^vt58: 1 printed page(s), 1 complete' "$work/vt58.txt" ||
    fail "the virtual T58 did not print the label as one complete page"
ls "$work/png"/page-001-*.png >/dev/null || fail "no PNG of the printed label"
step "the installed driver printed the sample label on the virtual T58"

if ! DEBIAN_FRONTEND=noninteractive apt-get purge -y "${packages[@]}" >"$work/purge.log" 2>&1; then
    cat "$work/purge.log" >&2
    fail "apt-get purge"
fi
installed=0
left=()
while IFS= read -r path; do
    if [[ -e $path || -L $path ]]; then left+=("$path"); fi
done <"$work/files.txt"
while IFS= read -r path; do
    # A folder only these packages had must be gone.
    if [[ $path != /. && -e $path ]] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
        left+=("$path/")
    fi
done <"$work/dirs.txt"
((${#left[@]} == 0)) || fail "left after purge: ${left[*]}"
for p in "${packages[@]}"; do
    if known_to_dpkg "$p"; then
        fail "$p is still known to dpkg after purge: $(dpkg-query -W -f='${Status}' "$p")"
    fi
done
step "purged: none of the $(cat "$work"/{files,dirs}.txt | grep -c '') paths dpkg -L listed is left"
