#!/usr/bin/python3
"""Converts the recordings of one batch and writes its list of outcomes.

    convert_batch.py MANIFEST DONE THREADS

MANIFEST is a batch written by the plan (STATE/batches/<id>.todo); DONE is
the job's output, the batch's records as JSON, written last and in one step.
Each recording whose record already carries its current key is left alone;
the others are converted by the real converter, THREADS at a time, each with
its console output in OUT/<dir>/<name>.log and its record in the state
folder. Right after its conversion each recording is read by vekinfo and
judged (quality.py): its record gets its quality flags and UT times. Kept
records judged under other rules are judged again without converting.
A recording that fails is recorded as failed and the batch goes on;
a fault of the machine (converter missing, output not writable, disk full)
ends the batch with status 1 and a message naming the fault.
"""

import concurrent.futures
import errno
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_lib as lib  # noqa: E402
import quality  # noqa: E402

# skanvert's Python reader of its FITS files, from this repository.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                                "python"))

PROGRAM_NAME = "skanvert"  # argv[0]: the settings file is this name + ".ini"


def read_fits_header(path):
    """Purpose: the primary header's values the catalog and the quality flags
    use; every value the archive takes from a FITS file is read here, through
    skanvert's own reader of both layouts.
    Given: a FITS file's path. Returned: dict with naxis1, naxis3, cdelt1,
    crpix1 (the CRPIX1 card as written: counted from 0 in the default
    layout, from 1 in the standard one), crpix0 (the Sun's centre as a pixel
    index counted from 0 in either layout), solar_r (None each when not a
    finite number), overflow (count of channels whose OVERnnn card is set);
    None when the file cannot be read or is not a skanvert FITS file."""
    import skanvert  # astropy is loaded once per batch, on its first file
    try:
        scan = skanvert.read_header(path)
        card = scan.header.get("CRPIX1")
        return {
            "naxis1": scan.npix,
            "naxis3": scan.nchan,
            "cdelt1": _finite(scan.cdelt.value),
            "crpix1": _finite(card),
            "crpix0": _finite(scan.crpix),
            "solar_r": _finite(scan.solar_radius.value),
            "overflow": int(scan.overflow.sum()),
        }
    except (OSError, skanvert.NotSkanvertFile):
        return None


def _finite(value):
    try:
        value = float(value)
    except (TypeError, ValueError):
        return None
    return value if math.isfinite(value) else None


def configured_channels(path):
    """Channels of a configuration with a nonzero frequency (second column);
    None when the file cannot be read."""
    try:
        with open(path, "rb") as handle:
            lines = handle.read().decode("latin-1").splitlines()
    except OSError:
        return None
    count = 0
    for line in lines:
        fields = line.split()
        if len(fields) >= 2:
            try:
                if float(fields[1]) != 0.0:
                    count += 1
            except ValueError:
                pass
    return count


def last_line(text):
    for line in reversed(text.splitlines()):
        if line.strip():
            return line.strip()
    return ""


def check_writable(folder):
    """Raises EnvironmentFault when nothing can be written in `folder`
    (no permission, read-only file system, disk full)."""
    try:
        os.makedirs(folder, exist_ok=True)
        with tempfile.TemporaryFile(dir=folder) as probe:
            probe.write(b"\0" * 4096)
            probe.flush()
            os.fsync(probe.fileno())
    except OSError as error:
        raise lib.EnvironmentFault(f"cannot write in the output folder {folder}: {error.strerror}") from None


class Batch:
    def __init__(self, manifest):
        self.manifest = manifest
        self.archive = manifest["input"]
        self.output = manifest["output"]
        self.shared = manifest["shared"]
        self.settings = self.shared["settings"]
        self.skanvert = manifest["skanvert"]
        self.vekinfo = manifest.get("vekinfo") or ""
        self.quality = manifest.get("quality") or {}
        self.workdir = None

    def prepare(self):
        """A private working folder: the coefficient table the run uses (or
        none) and the settings file (or none), nothing else, so neither the
        caller's folder nor a file beside the converter decides a value."""
        if not os.access(self.skanvert, os.X_OK):
            raise lib.EnvironmentFault(f"the converter {self.skanvert} is missing or not executable")
        scratch = os.path.join(self.output, lib.STATE_DIR, "work")
        os.makedirs(scratch, exist_ok=True)
        self.workdir = tempfile.mkdtemp(prefix="batch-", dir=scratch)
        if self.shared["coefficients"]:
            shutil.copyfile(self.shared["coefficients"], os.path.join(self.workdir, "crab0coef.txt"))
        text = lib.settings_file_text(self.settings)
        if text is not None:
            lib.write_atomic(os.path.join(self.workdir, PROGRAM_NAME + ".ini"), text)

    def cleanup(self):
        if self.workdir:
            shutil.rmtree(self.workdir, ignore_errors=True)

    def paths(self, rel):
        folder = os.path.dirname(rel)
        name = os.path.basename(rel)
        fits_name = lib.output_file_name(name)
        fits_rel = os.path.join(folder, fits_name)
        log_rel = os.path.join(folder, lib.log_file_name(fits_name))
        return folder, name, fits_rel, log_rel

    def base_record(self, member):
        folder, name, fits_rel, log_rel = self.paths(member["rel"])
        channels = member.get("channels") or ""
        if channels and (channels + os.sep).startswith(self.archive + os.sep):
            channels_shown = os.path.relpath(channels, self.archive)
        else:
            channels_shown = channels
        record = {
            "rel": member["rel"],
            "key": member["key"],
            "size": member.get("size"),
            "status": "failed",
            "exit_status": None,
            "message": "",
            "fits": "",
            "log": "",
            "pixels": None,
            "channels_accepted": None,
            "channels_configured": configured_channels(channels) if channels else None,
            "overflow_channels": None,
            "cdelt1": None,
            "crpix1": None,
            "channels_file": channels_shown,
            "settings": self.settings,
            "skanvert_build": self.shared["build"],
            "outputs": [fits_rel, log_rel],
        }
        return record

    def convert(self, member):
        """Converts one recording; returns its record (without vekinfo's
        fields). Raises EnvironmentFault for a fault of the machine."""
        record = self.base_record(member)
        folder, name, fits_rel, log_rel = self.paths(member["rel"])
        fits_path = os.path.join(self.output, fits_rel)
        log_path = os.path.join(self.output, log_rel)
        out_dir = os.path.join(self.output, folder)
        if "error" in member:
            record["message"] = member["error"]
            for path in (fits_path, log_path):
                lib.remove_quietly(path)
            return record
        try:
            os.makedirs(out_dir, exist_ok=True)
        except OSError as error:
            if error.errno in (errno.ENOSPC, errno.EROFS, errno.EACCES, errno.EPERM, errno.EDQUOT):
                raise lib.EnvironmentFault(f"cannot create the output folder {out_dir}: {error.strerror}") from None
            record["message"] = f"cannot create the output folder: {error.strerror}"
            return record
        args = [PROGRAM_NAME] + lib.command_line(
            self.settings, name, os.path.join(self.archive, folder), member["channels"], out_dir)
        try:
            done = subprocess.run(args, executable=self.skanvert, cwd=self.workdir, stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
        except OSError as error:
            raise lib.EnvironmentFault(f"cannot start the converter {self.skanvert}: {error.strerror}") from None
        out_text = done.stdout.decode("latin-1")
        err_text = done.stderr.decode("latin-1")
        lib.write_atomic(log_path, done.stdout + done.stderr)
        record["log"] = log_rel
        status = done.returncode
        record["exit_status"] = status if status >= 0 else 128 - status
        header = read_fits_header(fits_path) if status == 0 else None
        if status == 0 and header is not None:
            record.update(status="converted", fits=fits_rel, pixels=header["naxis1"],
                          channels_accepted=header["naxis3"], overflow_channels=header["overflow"],
                          cdelt1=header["cdelt1"], crpix1=header["crpix1"])
            return record
        if status < 0:
            record["message"] = f"converter ended by signal {-status}"
        elif status == 0:
            record["message"] = "converter reported success but wrote no readable output file"
        else:
            record["message"] = last_line(out_text) or last_line(err_text) or f"exit status {status}"
        # A failure to write the output is the machine's (disk full, I/O
        # error); one to open it may be (folder not writable, no space left)
        # or the recording's (a name too long): then the whole run must stop.
        if record["message"].startswith("Can not write output FITS file"):
            check_writable(out_dir)
            free = os.statvfs(out_dir)
            raise lib.EnvironmentFault(f"cannot write in the output folder {out_dir} "
                                       f"({free.f_bavail * free.f_frsize} bytes free): {record['message']}")
        if record["message"].startswith("Can not open output FITS file"):
            check_writable(out_dir)
        # An output of an earlier conversion would no longer match the record.
        lib.remove_quietly(fits_path)
        return record


def judge(batch, record):
    """Purpose: the archive's view of one recording once it is converted
    and read by vekinfo: its quality flags, its UT times and, for a file
    that holds no recording, a failure message that says so.
    Given: the batch and the record (with its "info"). Returned: nothing;
    sets record["flags"], record["ut"], record["quality_key"] and may
    replace record["message"].
    Notes: reads the FITS header and the log the conversion left in OUT;
    a log that cannot be read counts as empty (no flag from it)."""
    share = batch.quality.get("few_channels", quality.DEFAULT_FEW_CHANNELS)
    info = record.get("info") or {}
    header = None
    log_text = ""
    if record.get("status") == "converted":
        header = read_fits_header(os.path.join(batch.output, record["fits"]))
    if record.get("log"):
        try:
            with open(os.path.join(batch.output, record["log"]), "rb") as handle:
                log_text = handle.read(1 << 20).decode("latin-1")
        except OSError:
            pass
    record["flags"] = quality.flags_of(record, header, log_text, batch.settings["dspdt"], share)
    record["ut"] = quality.ut_times(info)
    if record.get("status") == "failed":
        message = quality.not_a_recording(info.get("read_error"))
        if message:
            record["message"] = message
    record["quality_key"] = batch.quality_key


def add_info(batch, records_by_rel, members):
    """Adds vekinfo's fields to the records of `members` (one run of vekinfo
    per few hundred recordings). Without vekinfo the fields stay empty."""
    fields = ("size", "frames", "trailing_bytes", "object", "time_local", "ut_hour", "time_ut", "date_obs",
              "start_stamp", "stop_stamp", "start_obs", "stop_obs", "azimuth", "altitude", "duration",
              "nsamples", "gain_words", "gain_changes")
    for member in members:
        record = records_by_rel[member["rel"]]
        record["info"] = {field: None for field in fields}
        record["info"]["read_error"] = None
        record["info_key"] = member["info_key"]
    if not batch.vekinfo or not os.access(batch.vekinfo, os.X_OK):
        return
    # Every member, including those the scan refused (a file without its
    # channel configuration may still be no recording at all, which is
    # what its row should say); vekinfo never blocks and changes nothing.
    wanted = list(members)
    for start in range(0, len(wanted), 256):
        chunk = wanted[start:start + 256]
        paths = [os.path.join(batch.archive, m["rel"]) for m in chunk]
        try:
            done = subprocess.run([batch.vekinfo] + paths, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, check=False)
        except OSError:
            return
        lines = done.stdout.decode("utf-8", "surrogateescape").splitlines()
        if done.returncode not in (0, 1) or len(lines) != len(chunk):
            continue
        for member, line in zip(chunk, lines):
            try:
                values = json.loads(line)
            except ValueError:
                continue
            info = records_by_rel[member["rel"]]["info"]
            for field in fields:
                value = values.get(field)
                if field == "gain_words" and isinstance(value, list):
                    value = ";".join(str(word) for word in value)
                info[field] = value
            info["read_error"] = values.get("error")


class Progress:
    """What the batch has done so far, kept in STATE/progress/<batch>.json
    (which scripts/archive.sh sums over the batches into one progress bar)
    and printed as a plain line on standard error, each at most once a
    second. With SKANVERT_ARCHIVE_PROGRESS=wrapper in the environment the
    wrapper shows the progress and the job prints none."""

    def __init__(self, output, batch_id, total):
        self.path = os.path.join(output, lib.STATE_DIR, "progress", batch_id + ".json")
        self.batch_id = batch_id
        self.counts = {"total": total, "done": 0, "failed": 0, "flagged": 0}
        self.quiet = os.environ.get("SKANVERT_ARCHIVE_PROGRESS") == "wrapper"
        self.shown = 0.0

    def add(self, record):
        self.counts["done"] += 1
        if record.get("status") != "converted":
            self.counts["failed"] += 1
        elif record.get("flags"):
            self.counts["flagged"] += 1
        self.show()

    def show(self, last=False):
        now = time.monotonic()
        if not last and now - self.shown < 1.0:
            return
        self.shown = now
        try:
            lib.write_atomic(self.path, lib.dumps(self.counts) + "\n")
        except OSError:
            pass  # the progress is a courtesy; the records are what counts
        if not self.quiet and self.counts["total"]:
            c = self.counts
            print(f"skanvert archive: batch {self.batch_id}: {c['done']} of {c['total']} recordings done, "
                  f"{c['failed']} failed, {c['flagged']} flagged", file=sys.stderr, flush=True)


def main(argv):
    if len(argv) != 4:
        print("usage: convert_batch.py MANIFEST DONE THREADS", file=sys.stderr)
        return 2
    manifest = lib.read_json(argv[1])
    if manifest is None or manifest.get("format") != lib.FORMAT:
        print(f"convert_batch: {argv[1]} is not a batch of this workflow", file=sys.stderr)
        return 1
    threads = max(1, int(argv[3]))
    batch = Batch(manifest)
    batch.quality_key = lib.quality_key(manifest)
    members = manifest["members"]
    records = {}
    todo = []
    for member in members:
        old = lib.read_json(lib.record_path(batch.output, member["rel"]))
        if old and old.get("key") == member["key"]:
            records[member["rel"]] = old
        else:
            todo.append(member)
    # Kept records whose vekinfo fields or flags are out of date (vekinfo
    # rebuilt, the few_channels share changed) are looked at again without
    # converting them.
    again = [m for m in members if m["rel"] in records and (
        records[m["rel"]].get("info_key") != m["info_key"]
        or records[m["rel"]].get("quality_key") != batch.quality_key)]
    progress = Progress(batch.output, manifest["batch"], len(todo) + len(again))

    def convert_and_judge(member):
        record = batch.convert(member)
        add_info(batch, {member["rel"]: record}, [member])
        judge(batch, record)
        return record

    try:
        if todo:
            batch.prepare()
            # Each record is written as soon as its recording is done, so a
            # run killed here keeps what it finished.
            with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
                futures = {pool.submit(convert_and_judge, member): member for member in todo}
                for future in concurrent.futures.as_completed(futures):
                    member = futures[future]
                    try:
                        records[member["rel"]] = future.result()
                    except BaseException:
                        for other in futures:
                            other.cancel()
                        raise
                    lib.write_atomic(lib.record_path(batch.output, member["rel"]), lib.dumps(records[member["rel"]]))
                    progress.add(records[member["rel"]])
        info_todo = [m for m in again if records[m["rel"]].get("info_key") != m["info_key"]]
        if info_todo:
            # vekinfo reads every frame: its runs are shared among the threads.
            size = max(1, min(64, -(-len(info_todo) // threads)))
            chunks = [info_todo[i:i + size] for i in range(0, len(info_todo), size)]
            with concurrent.futures.ThreadPoolExecutor(max_workers=threads) as pool:
                list(pool.map(lambda chunk: add_info(batch, records, chunk), chunks))
        for member in again:
            judge(batch, records[member["rel"]])
            lib.write_atomic(lib.record_path(batch.output, member["rel"]), lib.dumps(records[member["rel"]]))
            progress.add(records[member["rel"]])
        progress.show(last=True)
        result = [records[member["rel"]] for member in members]
        lib.write_atomic(argv[2], lib.dumps({"batch": manifest["batch"], "records": result}) + "\n")
    except lib.EnvironmentFault as fault:
        print(f"skanvert archive: {fault}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"skanvert archive: cannot write {error.filename or 'a file'}: {error.strerror}", file=sys.stderr)
        return 1
    finally:
        batch.cleanup()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
