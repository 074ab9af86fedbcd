#!/usr/bin/env bash
# Runs a command of this repository on a pristine Debian 12 root, as a new machine would: as
# root, from a clone of the current branch, no terminal, no stdin, no locale variables.
#   fresh-root.sh <root tarball> <work folder> <command...>
#   e.g. fresh-root.sh /var/tmp/bookworm.tar.gz /var/tmp/try1 bash scripts/test.sh
# Make the tarball once (docs/installing.md):
#   debootstrap bookworm /var/tmp/bookworm http://deb.debian.org/debian
#   tar -C /var/tmp/bookworm -czf /var/tmp/bookworm.tar.gz .
# The unpacked root stays in <work folder> for inspection; /proc, /sys and /dev are always
# unmounted again, also when the command fails or is interrupted. Given a <work folder> from an
# earlier try, it reuses that root as it is (packages and caches installed there) and brings the
# clone up to the branch's latest commit: for rerunning single lanes after a fix.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: $0 <root tarball> <work folder> <command...>" >&2; exit 2; }
tarball=$1 work=$2
shift 2
repo=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" = 0 ] || { echo "fresh-root.sh needs root (chroot, mount)" >&2; exit 2; }
branch=$(git -C "$repo" rev-parse --abbrev-ref HEAD)
origin=$(git -C "$repo" rev-parse --path-format=absolute --git-common-dir)
reuse=0
if [ -d "$work/root/project/.git" ]; then
  reuse=1
elif [ -e "$work" ]; then
  echo "$work exists and holds no earlier try: give a new folder" >&2
  exit 2
else
  mkdir -p "$work"
  tar -C "$work" -xzf "$tarball"
fi
mounted=()
cleanup() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[$i]}" || true; done
}
trap cleanup EXIT
for fs in proc sys dev dev/pts; do
  mount --bind "/$fs" "$work/$fs"
  mounted+=("$work/$fs")
done
cp /etc/resolv.conf "$work/etc/resolv.conf"
# The machine's own trust in the network between it and the package registries (a machine of
# this kind comes with it, as with its resolver): certificate authorities added locally, and
# the variables that point TLS clients such as npm at them. Nothing of the project's.
trust_env=()
if [ -d /usr/local/share/ca-certificates ]; then
  mkdir -p "$work/usr/local/share/ca-certificates" "$work/etc/ssl/certs"
  cp -r /usr/local/share/ca-certificates/. "$work/usr/local/share/ca-certificates/"
  # A root that already has the package rebuilds its bundle now; a new one builds it when
  # install-deps brings the package, and until then uses the machine's.
  if [ -x "$work/usr/sbin/update-ca-certificates" ]; then
    chroot "$work" /usr/sbin/update-ca-certificates >/dev/null
  elif [ -f /etc/ssl/certs/ca-certificates.crt ]; then
    cp /etc/ssl/certs/ca-certificates.crt "$work/etc/ssl/certs/ca-certificates.crt"
  fi
fi
for v in NODE_EXTRA_CA_CERTS SSL_CERT_FILE SSL_CERT_DIR; do
  [ -n "${!v:-}" ] && trust_env+=("$v=${!v}")
done
if [ $reuse = 1 ]; then
  git -C "$work/root/project" fetch -q "$origin" "$branch"
  git -C "$work/root/project" reset -q --hard FETCH_HEAD
else
  git clone -q --no-local --branch "$branch" "$origin" "$work/root/project"
fi

printf -v cmd '%q ' "$@"
set +e
chroot "$work" env -i HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin "${trust_env[@]}" \
  bash -c "cd /root/project && $cmd" </dev/null
rc=$?
set -e
echo "fresh-root: '$*' exited with $rc"
exit $rc
