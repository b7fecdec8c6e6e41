#!/usr/bin/env bash
# A single-node Slurm cluster on this machine, for trying the workflow's
# Slurm profile: munged, slurmctld and slurmd started as root with a
# generated slurm.conf in a private folder (own ports, own munge socket), so
# nothing of a system-wide Slurm or munge installation is touched.
#   bash scripts/slurm_local.sh start DIR    # prints: export SLURM_CONF=DIR/slurm.conf
#   bash scripts/slurm_local.sh stop DIR     # stops the daemons by their pid files
# The client commands (sbatch, squeue, scontrol) find the cluster through
# SLURM_CONF. Needs the Debian packages slurm-wlm and munge.
set -euo pipefail
action=${1:-} dir=${2:-}
if [ -z "$action" ] || [ -z "$dir" ]; then
  echo "usage: bash scripts/slurm_local.sh start|stop DIR" >&2
  exit 2
fi
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

stop_pid_file() {
  local file=$1 pid
  [ -f "$file" ] || return 0
  pid=$(cat "$file" 2>/dev/null || true)
  if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
    kill "$pid" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -0 "$pid" 2>/dev/null && kill -9 "$pid" 2>/dev/null || true
  fi
  rm -f "$file"
}

if [ "$action" = stop ]; then
  stop_pid_file "$dir/slurmd.pid"
  stop_pid_file "$dir/slurmctld.pid"
  stop_pid_file "$dir/munged.pid"
  exit 0
fi
[ "$action" = start ] || { echo "unknown action $action" >&2; exit 2; }

if [ "$(id -u)" -ne 0 ]; then
  echo "slurm_local.sh: the daemons are started as root; run it as root" >&2
  exit 1
fi
for program in munged slurmctld slurmd sbatch; do
  command -v "$program" >/dev/null 2>&1 || bash "$(dirname "$0")/setup.sh" slurm-wlm munge
done

node=$(hostname -s)
cpus=$(nproc)
memory=$(awk '/MemTotal/ {print int($2 / 1024 * 0.8)}' /proc/meminfo)
# Ports from the folder's name, away from the usual 6817/6818.
base=$((20000 + $(printf '%s' "$dir" | cksum | cut -d' ' -f1) % 20000))
mkdir -p "$dir/state" "$dir/spool" "$dir/munge"
chmod 700 "$dir/munge"

# munge: a private key and socket.
if [ ! -f "$dir/munge/munge.key" ]; then
  dd if=/dev/urandom of="$dir/munge/munge.key" bs=1024 count=1 status=none
  chmod 400 "$dir/munge/munge.key"
fi
munged --force --key-file="$dir/munge/munge.key" --socket="$dir/munge/munge.socket" \
  --pid-file="$dir/munged.pid" --log-file="$dir/munged.log" --seed-file="$dir/munge/munge.seed"

cat > "$dir/slurm.conf" <<CONF
ClusterName=skvlocal
SlurmctldHost=$node(127.0.0.1)
SlurmctldPort=$base
SlurmdPort=$((base + 1))
AuthType=auth/munge
AuthInfo=socket=$dir/munge/munge.socket
CredType=cred/munge
SlurmUser=root
SlurmdUser=root
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/slurmctld.log
SlurmdLogFile=$dir/slurmd.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
AccountingStorageType=accounting_storage/none
JobAcctGatherType=jobacct_gather/none
JobCompType=jobcomp/none
SchedulerType=sched/backfill
SelectType=select/cons_tres
SelectTypeParameters=CR_CPU
ReturnToService=2
MpiDefault=none
MinJobAge=600
NodeName=$node NodeAddr=127.0.0.1 CPUs=$cpus RealMemory=$memory State=UNKNOWN
PartitionName=local Nodes=$node Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"

slurmctld -i -f "$SLURM_CONF"
slurmd -N "$node" -f "$SLURM_CONF"

# Wait until the node takes jobs.
for _ in $(seq 100); do
  state=$(sinfo -h -N -o '%T' 2>/dev/null | head -1 || true)
  case $state in idle*|mixed*|allocated*) echo "export SLURM_CONF=$SLURM_CONF"; exit 0 ;; esac
  sleep 0.2
done
echo "slurm_local.sh: the node did not become idle (state: ${state:-none}); logs:" >&2
tail -n 20 "$dir/slurmctld.log" "$dir/slurmd.log" >&2 || true
exit 1
