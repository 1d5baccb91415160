#!/usr/bin/env bash
# The fleet's deployment files, run here without a registry or a cluster: the
# image built from the unchanged Containerfile on a Debian base made on the
# spot, run as its unprivileged user in a lab against Kea; then the
# Kubernetes Job's pods, rendered one per segment and run by podman kube play
# in the lab as three relay agents, and the Job that merges their reports.
# podman keeps everything under this test's temporary directory.
# shellcheck source=tests/e2e/lab.bash
source "$(dirname "$0")/../e2e/lab.bash"
: "${QUORVELIN_BUILD_DIR:?}"
for tool in podman runc mmdebstrap cpack; do
  command -v "$tool" >/dev/null || { echo "$tool not found: run scripts/install-deps" >&2; exit 1; }
done
KUBE=$SOURCE_DIR/deploy/kubernetes

export CONTAINERS_CONF=$T/containers.conf
cat >"$CONTAINERS_CONF" <<CONF
[containers]
default_ulimits = ["nofile=1024:1024", "nproc=1024:1024"]

[engine]
runtime = "runc"
cgroup_manager = "cgroupfs"
events_logger = "none"
tmp_dir = "$T/podman-tmp"
CONF
# podman needs the cgroup file system, which `ip netns exec` hides in the
# lab by mounting a fresh /sys: it always runs in this script's mount
# namespace, in the lab's network namespace when started there.
export PODMAN_STORE="--root $T/podman-root --runroot $T/podman-run" PODMAN_MOUNTS=/proc/$$/ns/mnt
# shellcheck disable=SC2086  # two options and their values
podman() { nsenter --mount="$PODMAN_MOUNTS" podman $PODMAN_STORE "$@"; }
export -f podman
# Pods, containers and images first: their mounts must be gone before the
# files are. (Not `podman system reset`: it also removes networks, which are
# the machine's, not this store's.)
cleanup() {
  podman pod rm -a -f -t 0 >/dev/null 2>&1 || true
  podman rm -a -f -t 0 >/dev/null 2>&1 || true
  podman rmi -a -f >/dev/null 2>&1 || true
  findmnt -rn -o TARGET | grep "^$T/" | sort -r | xargs -r umount -l || true
  rm -rf -- "$T"
}
trap cleanup EXIT

# The package from this build; the base image from a tarball that a first run
# leaves in the build directory (bootstrapping Debian takes a minute or two).
cpack -G DEB --config "$QUORVELIN_BUILD_DIR/CPackConfig.cmake" -B "$T/package" >"$T/cpack.log" 2>&1 ||
  { cat "$T/cpack.log" >&2; exit 1; }
rm -rf "$T/package/_CPack_Packages"
base=$QUORVELIN_BUILD_DIR/container-cache/bookworm-apt.tar
if [ ! -s "$base" ]; then
  mkdir -p "$(dirname "$base")"
  mmdebstrap --quiet --variant=apt bookworm - </dev/null >"$base.part" && mv "$base.part" "$base"
fi
podman import -q - debian:bookworm-slim <"$base" >/dev/null
podman build -q --isolation=chroot --network=host -f "$SOURCE_DIR/deploy/container/Containerfile" \
  -t quorvelin "$T/package" >"$T/build.log" 2>&1 || { cat "$T/build.log" >&2; exit 1; }

version=$(dpkg-deb -f "$T"/package/quorvelin_*.deb Version)
check "image: the entrypoint is quorvelin $version" "$(podman run --rm quorvelin --version)" = "quorvelin $version"
check "image: runs as user 10547, without the setcap tool" \
  "$(podman run --rm --entrypoint /bin/sh quorvelin -c 'id -u; command -v setcap || echo none')" = "$(printf '10547\nnone')"

# The image in the lab: the unprivileged user binds port 546 and writes the
# report to the volume.
mkdir "$T/reports" && chown 10547:10547 "$T/reports"
# shellcheck disable=SC2016  # expanded inside the lab
in_lab image 120 --server kea -- bash -c 'podman run --rm --network "ns:/run/netns/$LAB_NS_CLIENT" \
  -v "$1:/reports" quorvelin --test-mode once --clients 100 --report run.jsonl "$LAB_CLIENT_IF"' image "$T/reports"
cp "$T/reports/run.jsonl" "$T/image.jsonl" || true
check "image: 100 clients completed, the report on the volume" \
  "$status/$(rate image)/$(report image 'summary["result"]')" = "0/100/100"

# fleet NAME RENDER-ARGS...: the Kubernetes Job in a lab against Kea, its pod
# template rendered (with RENDER-ARGS, @I@ in them the index) for each of three
# segments of a test of 1,500 clients, each pod a relay agent on its own
# address of the lab's client link, all starting at one instant; then the
# merge Job's pod on the reports volume, emptied first, for the merge takes
# every segment's report on it. Prints each segment's and the merge's exit
# status and Kea's lease count after them (with FLEET_BOUND_AT=S, also S
# seconds into the test), and leaves the merged report in $T/NAME.jsonl.
# podman kube play cannot join a network namespace by its path: run in the
# lab's, the pods take it as the host's, and so each serves its metrics on a
# port of its own.
podman volume create quorvelin-reports >/dev/null
reports=$(podman volume inspect -f '{{.Mountpoint}}' quorvelin-reports)
chown 10547:10547 "$reports"
export T KUBE KEA_ASSIGNED=$SOURCE_DIR/tests/e2e/kea_assigned.py
fleet_pods() {
  local name=$1 at i
  shift
  at=$(date -u -d "+40 seconds" +%Y-%m-%dT%H:%M:%SZ)
  for i in 0 1 2; do
    ip addr add "2001:db8:1::1$i/64" dev "$LAB_CLIENT_IF" nodad
    "$KUBE/render-pod" --pod-ip "2001:db8:1::1$i" --set "SERVER=$LAB_SERVER_ADDR" --set "DEVICE=$LAB_CLIENT_IF" \
      --set "START_AT=$at" --set CLIENTS=1500 "${@//@I@/$i}" "$KUBE/job.yaml" "$i" >"$T/$name-$i.yaml"
    podman kube play --network host "$T/$name-$i.yaml" >/dev/null
  done
  if [ -n "${FLEET_BOUND_AT:-}" ]; then
    sleep $(($(date -u -d "$at" +%s) + FLEET_BOUND_AT - $(date -u +%s)))
    echo "Kea assigned $(python3 "$KEA_ASSIGNED" "$LAB_DIR/kea.sock") while bound"
  fi
  for i in 0 1 2; do
    echo "segment $i exited $(podman wait "quorvelin-$i-quorvelin")"
    podman logs "quorvelin-$i-quorvelin" >"$T/$name-$i.out" 2>&1
  done
  echo "Kea assigned $(python3 "$KEA_ASSIGNED" "$LAB_DIR/kea.sock")"
  "$KUBE/render-pod" "$KUBE/merge-job.yaml" >"$T/$name-merge.yaml"
  podman kube play --network none "$T/$name-merge.yaml" >/dev/null
  echo "merge exited $(podman wait quorvelin-merge-merge)"
}
export -f fleet_pods
fleet() {
  rm -f "$reports"/*.jsonl
  podman pod rm -a -f -t 0 >/dev/null
  # shellcheck disable=SC2016  # expanded inside the lab
  in_lab "$1" 240 --server kea -- bash -c 'fleet_pods "$@"' fleet "$@"
  for i in 0 1 2; do sed "s/^/  $1-$i| /" "$T/$1-$i.out"; done
  cp "$reports/test.jsonl" "$T/$1.jsonl" || true
}

fleet kube --set "METRICS=--metrics-listen [::]:954@I@ --metrics-linger 1"
check "kube: three segments and the merge exited 0, and Kea assigned 1,500 addresses" "$(cat "$T/kube.out")" = \
  "$(printf 'segment %s exited 0\n' 0 1 2; printf 'Kea assigned 1500\nmerge exited 0')"
check "kube: each segment waited for the start and completed its 500" "$(cat "$T"/kube-?.out | grep -c \
  -e '^Waiting until .* to begin\.$' -e '^Finished and report: 500 transactions per second\.$')" -eq 6
check "kube: the merged report has 1,500 of 1,500 completed, none timed out" \
  "$(report kube '[summary["result"], summary["clients"]["started"], summary["clients"]["timed_out"],
    start["merged"]["segments"]]')" = "[1500, 1500, 0, 3]"

# The population overlay: the same Job's pods keep 3,000 subscribers in all
# (1,000 each) bound against Kea, renewing on a lease clock 200 times faster,
# and release them 20 seconds in; Kea's lease count is read while they are
# bound and after the merge.
FLEET_BOUND_AT=15 fleet population --kustomization "$KUBE/population" \
  --set "TEST=--test-mode population --population 3000 --time-compression 200 -t 20 --timeout 2" \
  --set "METRICS=--metrics-listen 127.0.0.1:955@I@ --metrics-linger 1"
check "population: three segments and the merge exited 0; Kea held 3,000 leases while bound and none after" \
  "$(cat "$T/population.out")" = "$(printf 'Kea assigned 3000 while bound\n'; printf 'segment %s exited 0\n' 0 1 2
  printf 'Kea assigned 0\nmerge exited 0')"
check "population: the merged report bound Kea's 3,000 when the releases began, and released them all" \
  "$(report population '([summary["population"][k] for k in ["bound_at_end", "released", "release_answered"]] +
    [start["settings"]["population"], start["merged"]["segments"]])')" = "[3000, 3000, 3000, 3000, 3]"

finish
