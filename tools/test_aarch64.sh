#!/usr/bin/env bash
# Tries the aarch64 wheel on an emulated arm64 Debian 12: a root made by
# mmdebstrap from Debian's arm64 packages (python3, NumPy, Pillow, pytest,
# cjpeg), run through qemu-user-static and binfmt_misc. The wheel goes into a
# venv there with its dependencies and the tests' oracles from PyPI, then
# `kolva info --example` runs, and the Python tests of the slide API, of the
# specified module and of the folder formats (Sakura's SQLite and MIRAX's zlib,
# which the wheel carries statically).
# Slow (everything arm64 runs emulated; making the root the first time is the
# longest part), so not part of the default CI run.
#
#   bash tools/test_aarch64.sh [WHEEL] [PYTEST ARGS...]
#     WHEEL: default dist/kolva-*_aarch64.whl (tools/build_wheel.sh makes it)
#
# Needs root (chroot, mounts). The root is kept in KOLVA_AARCH64_ROOT (default
# ~/.cache/kolva/aarch64-root, outside the source tree so that sdists never walk
# it) and reused; delete it to start afresh.
set -euo pipefail
cd "$(dirname "$0")/.."
wheel=${1:-$(ls dist/kolva-*_aarch64.whl 2>/dev/null | head -n 1)}
[ -n "$wheel" ] && [ -f "$wheel" ] || { echo "test_aarch64: no aarch64 wheel (run tools/build_wheel.sh)" >&2; exit 1; }
shift || true
tests=("$@")
[ ${#tests[@]} -gt 0 ] || tests=(tests/python/test_slide_api.py tests/python/test_module.py
                                  tests/python/test_folder_formats.py)
root=${KOLVA_AARCH64_ROOT:-$HOME/.cache/kolva/aarch64-root}
packages=python3,python3-venv,python3-pip,python3-numpy,python3-pil,python3-pytest,libjpeg-turbo-progs,ca-certificates

[ "$(id -u)" -eq 0 ] || { echo "test_aarch64: needs root" >&2; exit 1; }
if ! command -v mmdebstrap >/dev/null || [ ! -x /usr/bin/qemu-aarch64-static ] || ! command -v arch-test >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends mmdebstrap qemu-user-static arch-test >/dev/null
fi
# Run arm64 programs through qemu: binfmt_misc with Debian's entry for it.
[ -f /proc/sys/fs/binfmt_misc/register ] || mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
if [ ! -e /proc/sys/fs/binfmt_misc/qemu-aarch64 ]; then
  cat /usr/lib/binfmt.d/qemu-aarch64.conf > /proc/sys/fs/binfmt_misc/register
fi

if [ ! -x "$root/usr/bin/python3" ]; then
  rm -rf "$root" && mkdir -p "$(dirname "$root")"
  mmdebstrap --arch=arm64 --variant=apt --include="$packages" bookworm "$root" >&2
elif [ ! -x "$root/usr/bin/cjpeg" ]; then
  chroot "$root" env DEBIAN_FRONTEND=noninteractive sh -c \
    "apt-get update -qq && apt-get install -y -qq --no-install-recommends $(tr , ' ' <<<"$packages")" >/dev/null
fi

# The tests and their fixture builders, the wheel and name resolution for pip.
work=$root/kolva-test
rm -rf "$work" && mkdir -p "$work/tests/python"
cp "$wheel" "$work/"
cp tests/conftest.py "$work/tests/"
cp -r tests/fixtures "$work/tests/"
for t in "${tests[@]}"; do cp "$t" "$work/$t"; done
cp /etc/resolv.conf "$root/etc/resolv.conf"
# pip trusts what this machine's pip trusts (a proxy's authority included).
host_ca=$(python3 -m pip config get global.cert 2>/dev/null || true)
host_ca=${PIP_CERT:-${host_ca:-/etc/ssl/certs/ca-certificates.crt}}
[ -f "$host_ca" ] && cp "$host_ca" "$work/ca.crt"

cat > "$work/run.sh" <<EOF
set -eu
cd /kolva-test
python3 -m venv --system-site-packages venv
# Every client's trust store names the host's authorities (a proxy's included).
[ -f ca.crt ] && export PIP_CERT=/kolva-test/ca.crt REQUESTS_CA_BUNDLE=/kolva-test/ca.crt \
  SSL_CERT_FILE=/kolva-test/ca.crt
venv/bin/python -m pip install -q "$(basename "$wheel")" imagecodecs tifffile openslide-python openslide-bin
uname -m
venv/bin/kolva info --example
venv/bin/python -m pytest -q -p no:cacheprovider ${tests[*]}
EOF
# A private mount namespace: /proc and /dev for the root vanish with it.
unshare -m sh -c "mount -t proc proc '$root/proc' && mount --rbind /dev '$root/dev' &&
                  chroot '$root' env -i HOME=/root LANG=C.UTF-8 PATH=/usr/sbin:/usr/bin:/sbin:/bin \
                    /bin/bash /kolva-test/run.sh"
