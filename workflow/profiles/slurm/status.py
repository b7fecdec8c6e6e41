#!/usr/bin/python3
"""Slurm job state for Snakemake's generic cluster mode: prints 'running',
   'success' or 'failed' for the job id sbatch --parsable printed.
   Asks scontrol first (no accounting database needed), then sacct."""
import subprocess
import sys

RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "RESIZING",
           "REQUEUE_HOLD", "REQUEUE_FED", "SIGNALING", "STAGE_OUT", "STOPPED", "RESV_DEL_HOLD"}


def state_from_scontrol(job):
    done = subprocess.run(["scontrol", "show", "job", "-o", job], capture_output=True, text=True)
    if done.returncode != 0:
        return None
    for field in done.stdout.split():
        if field.startswith("JobState="):
            return field.split("=", 1)[1]
    return None


def state_from_sacct(job):
    try:
        done = subprocess.run(["sacct", "-n", "-X", "-P", "-j", job, "-o", "State"], capture_output=True,
                              text=True)
    except OSError:
        return None
    lines = [line.split()[0] for line in done.stdout.splitlines() if line.strip()]
    return lines[0] if done.returncode == 0 and lines else None


def main():
    job = sys.argv[1].split(";")[0].strip()
    state = state_from_scontrol(job) or state_from_sacct(job)
    if state is None:
        print(f"status.py: Slurm does not know job {job}", file=sys.stderr)
        print("failed")
    elif state in RUNNING:
        print("running")
    elif state == "COMPLETED":
        print("success")
    else:
        print("failed")


if __name__ == "__main__":
    main()
