#!/usr/bin/python3
"""Builds the archive's catalog from the batches' records and removes what
belongs to recordings that left the archive.

    build_catalog.py PLAN SQLITE CSV

PLAN is STATE/plan.json; the records are read from STATE/batches/<id>.done
for each batch it names. SQLITE (table `recordings`, primary key `path`) and
CSV (a heading line, then one row per recording) get the same rows, sorted
by path, each written in one step. The database also holds the table
flag_rules (every quality flag, its position and its rule) and the view
clean (converted recordings without a flag). Outputs and records of recordings no
longer in the archive are removed, with folders left empty by that.
"""

import csv
import io
import os
import sqlite3
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_lib as lib  # noqa: E402
import quality  # noqa: E402

# (name, SQL type) in the catalog's column order.
COLUMNS = [
    ("path", "TEXT PRIMARY KEY"), ("status", "TEXT"), ("exit_status", "INTEGER"), ("message", "TEXT"),
    ("fits", "TEXT"), ("log", "TEXT"), ("pixels", "INTEGER"), ("channels_accepted", "INTEGER"),
    ("channels_configured", "INTEGER"), ("overflow_channels", "INTEGER"),
    ("size", "INTEGER"), ("frames", "INTEGER"), ("trailing_bytes", "INTEGER"), ("object", "TEXT"),
    ("time_local", "TEXT"), ("ut_hour", "INTEGER"), ("time_ut", "TEXT"), ("date_obs", "TEXT"),
    ("start_stamp", "TEXT"), ("stop_stamp", "TEXT"), ("start_obs", "TEXT"), ("stop_obs", "TEXT"),
    ("azimuth", "INTEGER"), ("altitude", "REAL"), ("duration", "REAL"), ("nsamples", "INTEGER"),
    ("gain_words", "TEXT"), ("gain_changes", "INTEGER"), ("read_error", "TEXT"),
    ("cdelt1", "REAL"), ("crpix1", "REAL"), ("channels_file", "TEXT"),
    ("smooth", "INTEGER"), ("ampcor", "INTEGER"), ("shift", "INTEGER"), ("sigma", "REAL"),
    ("delta", "REAL"), ("valh", "REAL"), ("azim", "REAL"), ("onoff", "INTEGER"), ("flag_theta", "INTEGER"),
    ("dspdt", "REAL"), ("debug", "INTEGER"), ("layout", "TEXT"), ("skanvert_build", "TEXT"),
    ("date_ut", "TEXT"), ("time_obs_ut", "TEXT"), ("start_ut", "TEXT"), ("stop_ut", "TEXT"), ("flags", "TEXT"),
] + [("flag_" + name, "INTEGER") for name in quality.NAMES]
UT_FIELDS = ("date_ut", "time_obs_ut", "start_ut", "stop_ut")
INFO_FIELDS = ("size", "frames", "trailing_bytes", "object", "time_local", "ut_hour", "time_ut", "date_obs",
               "start_stamp", "stop_stamp", "start_obs", "stop_obs", "azimuth", "altitude", "duration",
               "nsamples", "gain_words", "gain_changes", "read_error")
TEXT_PATHS = ("path", "message", "fits", "log", "channels_file")


def row_of(record):
    """Purpose: one catalog row from a record.
    Given: a record of convert_batch.py. Returned: a tuple in COLUMNS order.
    Notes: paths with bytes that are not UTF-8 show them as \\xNN; the size
    comes from the file's status when vekinfo did not read it."""
    values = {name: None for name, _ in COLUMNS}
    for key in ("status", "exit_status", "message", "fits", "log", "pixels", "channels_accepted",
                "channels_configured", "overflow_channels", "cdelt1", "crpix1", "channels_file",
                "skanvert_build"):
        values[key] = record.get(key)
    values["path"] = record["rel"]
    info = record.get("info") or {}
    for key in INFO_FIELDS:
        values[key] = info.get(key)
    if values["size"] is None:
        values["size"] = record.get("size")
    for key, value in (record.get("settings") or {}).items():
        if key in values:
            values[key] = value
    ut = record.get("ut") or {}
    for key in UT_FIELDS:
        values[key] = ut.get(key)
    # Only known names, in the rules' order: a record judged by other rules
    # is judged again before it reaches here.
    flags = set(record.get("flags") or []) if record.get("status") == "converted" else set()
    values["flags"] = ",".join(name for name in quality.NAMES if name in flags)
    for name in quality.NAMES:
        values["flag_" + name] = int(name in flags)
    for key in TEXT_PATHS:
        if isinstance(values[key], str):
            values[key] = lib.display(values[key])
    return tuple(values[name] for name, _ in COLUMNS)


def write_sqlite(path, rows):
    folder = os.path.dirname(path) or "."
    handle, temporary = tempfile.mkstemp(prefix=".skv-", suffix=".tmp", dir=folder)
    os.fchmod(handle, lib.FILE_MODE)
    os.close(handle)
    try:
        connection = sqlite3.connect(temporary)
        with connection:
            connection.execute("CREATE TABLE recordings (%s)" % ", ".join(f"{n} {t}" for n, t in COLUMNS))
            connection.executemany("INSERT INTO recordings VALUES (%s)" % ",".join("?" * len(COLUMNS)), rows)
            connection.execute("CREATE TABLE flag_rules (name TEXT PRIMARY KEY, position INTEGER, rule TEXT)")
            connection.executemany("INSERT INTO flag_rules VALUES (?, ?, ?)",
                                   [(name, position, rule[0].upper() + rule[1:] + ".")
                                    for position, (name, rule) in enumerate(quality.FLAGS)])
            connection.execute("CREATE VIEW clean AS SELECT * FROM recordings "
                               "WHERE status = 'converted' AND flags = ''")
        connection.close()
        os.replace(temporary, path)
    except BaseException:
        lib.remove_quietly(temporary)
        raise


def write_csv(path, rows):
    text = io.StringIO()
    writer = csv.writer(text)
    writer.writerow([name for name, _ in COLUMNS])
    for row in rows:
        writer.writerow(["" if value is None else value for value in row])
    lib.write_atomic(path, text.getvalue())


def prune(output, current_records, batch_ids):
    """Removes records, outputs and batch files of recordings and batches
    that are no longer planned; also temporary files a killed run left."""
    state = os.path.join(output, lib.STATE_DIR)
    wanted = {lib.record_path(output, rel) for rel in current_records}
    kept_outputs = set()
    for record in current_records.values():
        kept_outputs.update(record.get("outputs") or [])
    records_root = os.path.join(state, "records")
    for folder, _, files in os.walk(records_root, topdown=False):
        for name in files:
            path = os.path.join(folder, name)
            if path in wanted:
                continue
            old = lib.read_json(path) if name.endswith(".json") else None
            for rel in (old or {}).get("outputs") or []:
                if rel not in kept_outputs:
                    target = os.path.join(output, rel)
                    lib.remove_quietly(target)
                    if rel.endswith(".fits"):
                        # The quick-look pictures drawn from it.
                        lib.remove_quietly(target[:-len(".fits")] + ".png")
                        lib.remove_quietly(target[:-len(".fits")] + ".thumb.png")
                    _remove_empty_parents(os.path.dirname(target), output)
            lib.remove_quietly(path)
        if folder != records_root:
            try:
                os.rmdir(folder)
            except OSError:
                pass
    batches = os.path.join(state, "batches")
    ids = set(batch_ids)
    for name in os.listdir(batches) if os.path.isdir(batches) else []:
        if name.split(".")[0] not in ids:
            lib.remove_quietly(os.path.join(batches, name))
    for folder, dirs, files in os.walk(output):
        if folder == output:
            dirs[:] = [d for d in dirs if d != ".snakemake"]
        for name in files:
            if (name.startswith(".skv-") and name.endswith(".tmp")) or (
                    name.startswith(".quicklook-") and name.endswith(".png")):
                lib.remove_quietly(os.path.join(folder, name))


def _remove_empty_parents(folder, top):
    while folder.startswith(top + os.sep):
        try:
            os.rmdir(folder)
        except OSError:
            return
        folder = os.path.dirname(folder)


def main(argv):
    if len(argv) != 4:
        print("usage: build_catalog.py PLAN SQLITE CSV", file=sys.stderr)
        return 2
    plan = lib.read_json(argv[1])
    if plan is None:
        print(f"build_catalog: cannot read {argv[1]}", file=sys.stderr)
        return 1
    output = plan["output"]
    records = {}
    for batch_id in plan["batches"]:
        done = lib.read_json(os.path.join(output, lib.STATE_DIR, "batches", batch_id + ".done"))
        if done is None:
            print(f"build_catalog: the records of batch {batch_id} are missing", file=sys.stderr)
            return 1
        for record in done["records"]:
            records[record["rel"]] = record
    try:
        prune(output, records, plan["batches"])
        rows = [row_of(records[rel]) for rel in sorted(records)]
        write_sqlite(argv[2], rows)
        write_csv(argv[3], rows)
    except OSError as error:
        print(f"skanvert archive: cannot write the catalog: {error.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
