"""Shared pieces of the archive workflow: settings, the scan of the archive,
the batches, the per-recording keys and records, and safe file writes.

The Snakefile imports this module to plan a run; convert_batch.py and
build_catalog.py import it to carry the plan out. Paths are handled as str
with the file system's own encoding (surrogate escapes for bytes that are not
UTF-8), so any name the archive holds round-trips through the JSON files.
"""

import fnmatch
import hashlib
import json
import os
import shutil
import stat
import tempfile

# State of a run lives here, inside the output folder, beside .snakemake.
STATE_DIR = ".skanvert-archive"
# Raised whenever the layout of manifests or records changes, so that an old
# output tree is planned afresh instead of being misread.
FORMAT = 1

# The program's own start values: a setting the configuration does not give
# takes these, which is what a run without a settings file uses.
DEFAULT_SETTINGS = {
    "smooth": 20,
    "ampcor": 1,
    "shift": 0,
    "sigma": 1.0,
    "delta": 0.0,
    "valh": 10.0,
    "azim": 0.0,
    "onoff": 0,
    "flag_theta": 0,
    "dspdt": 0.0076365,
    "debug": 0,
    "layout": "default",
}
INT_SETTINGS = ("smooth", "ampcor", "shift", "onoff", "flag_theta", "debug")
REAL_SETTINGS = ("sigma", "delta", "valh", "azim", "dspdt")


class ConfigError(Exception):
    """A configuration the workflow cannot run with; the text says why."""


class EnvironmentFault(Exception):
    """A fault of the machine rather than of one recording (missing program,
    output not writable, disk full): the run must stop."""


# ---------------------------------------------------------------------------
# Small helpers


def sha256_file(path, length=16):
    """Purpose: identity of a file's bytes.
    Given: a path. Returned: the first `length` hex digits of its SHA-256.
    Notes: raises OSError when the file cannot be read."""
    digest = hashlib.sha256()
    with open(path, "rb") as handle:
        for block in iter(lambda: handle.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()[:length]


def short_hash(text, length=16):
    """Purpose: a stable short name for a text (paths, keys).
    Given: a str (surrogate escapes allowed). Returned: hex digits."""
    return hashlib.sha256(os.fsencode(text)).hexdigest()[:length]


def dumps(value):
    """JSON text of a value, keys sorted, ASCII only (lone surrogates of
    undecodable names are escaped and come back unchanged)."""
    return json.dumps(value, sort_keys=True, ensure_ascii=True, separators=(",", ":"))


def _current_umask():
    mask = os.umask(0o022)
    os.umask(mask)
    return mask


# Files are created as the converter creates its own: readable as the
# process's umask allows (a temporary file alone would be private).
FILE_MODE = 0o666 & ~_current_umask()


def write_atomic(path, data, make_dirs=True):
    """Purpose: replace a file in one step, so a reader or a killed run sees
    the old bytes or the new ones, never a part.
    Given: a path and bytes or str. Returned: nothing.
    Notes: the temporary file sits in the same folder and is removed on any
    error; the error (e.g. ENOSPC) is raised to the caller."""
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    folder = os.path.dirname(path) or "."
    if make_dirs:
        os.makedirs(folder, exist_ok=True)
    handle, temporary = tempfile.mkstemp(prefix=".skv-", suffix=".tmp", dir=folder)
    try:
        os.fchmod(handle, FILE_MODE)
        with os.fdopen(handle, "wb") as out:
            out.write(data)
        os.replace(temporary, path)
    except BaseException:
        try:
            os.unlink(temporary)
        except OSError:
            pass
        raise


def write_if_changed(path, text):
    """Writes `text` to `path` (atomically) only when the file does not
    already hold exactly it, so that its modification time tells when its
    content last changed. Returns True when the file was written."""
    try:
        with open(path, "r", encoding="utf-8", errors="surrogateescape") as handle:
            if handle.read() == text:
                return False
    except OSError:
        pass
    write_atomic(path, text)
    return True


def remove_quietly(path):
    """Removes a file; a file that is already gone is fine. Other errors
    are raised."""
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def output_file_name(name):
    """Purpose: the converter's own output name for a recording name.
    Given: the recording's file name. Returned: the text after the last '.'
    that stands at the second character or later replaced by 'fits'; a name
    without such a '.' gets '1' appended."""
    dot = name.rfind(".")
    if dot >= 1:
        return name[: dot + 1] + "fits"
    return name + "1"


def log_file_name(fits_name):
    """The log's name beside the output: '.fits' replaced by '.log' (or
    '.log' appended to a name that does not end in '.fits')."""
    if fits_name.endswith(".fits"):
        return fits_name[: -len("fits")] + "log"
    return fits_name + ".log"


def stem_of(name):
    """A recording name without its extension (the part after the last '.'
    at the second character or later)."""
    dot = name.rfind(".")
    return name[:dot] if dot >= 1 else name


def display(text):
    """A path as it goes into the catalog: undecodable bytes shown as \\xNN."""
    return os.fsencode(text).decode("utf-8", "backslashreplace")


# ---------------------------------------------------------------------------
# Settings


def _as_int(key, value):
    if isinstance(value, bool):
        return int(value)
    try:
        number = float(value) if not isinstance(value, int) else value
    except (TypeError, ValueError):
        raise ConfigError(f"setting {key}={value!r} is not a whole number") from None
    if number != int(number):
        raise ConfigError(f"setting {key}={value!r} is not a whole number")
    number = int(number)
    if not -(2**31) <= number < 2**31:
        raise ConfigError(f"setting {key}={value!r} is out of range")
    return number


def as_bool(value):
    """A yes/no setting: true, yes, on, 1 (any case) or a true value."""
    if isinstance(value, str):
        text = value.strip().lower()
        if text in ("true", "yes", "on", "1"):
            return True
        if text in ("false", "no", "off", "0", ""):
            return False
        raise ConfigError(f"setting {value!r} is neither true nor false")
    return bool(value)


def _as_real(key, value):
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise ConfigError(f"setting {key}={value!r} is not a number") from None
    if number != number or number in (float("inf"), float("-inf")):
        raise ConfigError(f"setting {key}={value!r} is not a finite number")
    return number


def _text(config, key, default=""):
    value = config.get(key, default)
    return "" if value is None else str(value)


def settings_from_config(config, cwd):
    """Purpose: check and complete the workflow's configuration.
    Given: the Snakemake config dict and the folder relative paths start from.
    Returned: a dict with absolute 'input', 'output', the converter's
    settings (start values for those not given), the file choices and the
    batch limits.
    Notes: raises ConfigError with a clear text for a missing or wrong value,
    an input that is not a folder, or an output folder that holds the input
    (outputs would land among the recordings)."""
    result = {}
    for key in ("input", "output"):
        value = _text(config, key)
        if not value:
            raise ConfigError(f"no {key} folder given: use --config input=ARCHIVE output=OUT")
        result[key] = os.path.abspath(os.path.join(cwd, os.path.expanduser(value)))
    if not os.path.isdir(result["input"]):
        raise ConfigError(f"the input folder {result['input']} does not exist or is not a folder (input=)")
    real_in = os.path.realpath(result["input"])
    real_out = os.path.realpath(result["output"])
    if os.path.exists(result["output"]) and not os.path.isdir(result["output"]):
        raise ConfigError(f"the output {result['output']} exists and is not a folder (output=)")
    if real_in == real_out or (real_in + os.sep).startswith(real_out + os.sep):
        raise ConfigError(f"the output folder {result['output']} holds the input folder; choose an output= outside it")

    conversion = {}
    for key, default in DEFAULT_SETTINGS.items():
        value = config.get(key, default)
        if value is None or value == "":
            value = default
        if key in INT_SETTINGS:
            conversion[key] = _as_int(key, value)
        elif key in REAL_SETTINGS:
            conversion[key] = _as_real(key, value)
        else:
            conversion[key] = str(value)
    if conversion["layout"] not in ("default", "standard"):
        raise ConfigError(f"setting layout={conversion['layout']!r}: use 'default' or 'standard'")
    if conversion["ampcor"] not in (0, 1, 2):
        raise ConfigError(f"setting ampcor={conversion['ampcor']}: use 0, 1 or 2")
    result["settings"] = conversion

    result["pattern"] = _text(config, "pattern", "*.dat") or "*.dat"
    names = _text(config, "channels_name", "{stem}.cfg,channels.cfg")
    result["channels_names"] = [name.strip() for name in names.split(",") if name.strip()]
    for key in ("channels", "coefficients"):
        value = _text(config, key)
        if value:
            path = os.path.abspath(os.path.join(cwd, os.path.expanduser(value)))
            if not os.path.isfile(path):
                raise ConfigError(f"{key} file {path} does not exist ({key}=)")
            result[key] = path
        else:
            result[key] = ""
    share = _as_real("few_channels", config.get("few_channels", 0.5))
    if not 0.0 <= share <= 1.0:
        raise ConfigError(f"setting few_channels={share!r}: give a share of the configured channels "
                          "from 0 to 1 (e.g. few_channels=0.5)")
    result["few_channels"] = share
    result["batch_size"] = max(1, _as_int("batch_size", config.get("batch_size", 500)))
    result["batch_bytes"] = max(1, _as_int_big("batch_bytes", config.get("batch_bytes", 8 * 10**9)))
    return result


def _as_int_big(key, value):
    try:
        return int(float(value))
    except (TypeError, ValueError):
        raise ConfigError(f"setting {key}={value!r} is not a whole number") from None


def find_program(configured, name, repository):
    """Purpose: the converter (or vekinfo) the run uses.
    Given: the configured path (may be empty), the program's name and the
    repository's top folder. Returned: an absolute path, or '' when none is
    found. An empty configuration means the repository's build/ copy, then
    the one on PATH."""
    if configured:
        return os.path.abspath(os.path.expanduser(configured))
    built = os.path.join(repository, "build", name)
    if os.access(built, os.X_OK):
        return built
    for folder in os.environ.get("PATH", "").split(os.pathsep):
        candidate = os.path.join(folder or ".", name)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return os.path.abspath(candidate)
    return ""


def command_line(settings, name, in_dir, channels, out_dir):
    """Purpose: the converter's arguments for one recording, built so that
    no option can take another's argument.
    Given: the conversion settings, the recording's file name, its folder,
    the channel configuration and the output folder (absolute paths).
    Returned: the argument list after the program's name.
    Notes: options are found by prefix and the first matching argument wins,
    so '-f=' comes before '-flag_theta=' and '-s=' before '-shift=' and
    '-sigma='; every argument starts with its option's name, so a recording
    named like an option ('-s=5.dat') stays a value of '-f='. Every setting
    is given, so the settings file's missing keys cannot decide any."""
    args = [
        "-f=" + name,
        "-in=" + in_dir.rstrip("/") + "/",
        "-cf=" + channels,
        "-out=" + out_dir.rstrip("/") + "/",
        "-amp=%d" % settings["ampcor"],
        "-s=%d" % settings["smooth"],
        "-shift=%d" % settings["shift"],
        "-sigma=%r" % settings["sigma"],
        "-delta=%r" % settings["delta"],
        "-valh=%r" % settings["valh"],
        "-azim=%r" % settings["azim"],
        "-onoff=%d" % settings["onoff"],
        "-flag_theta=%d" % settings["flag_theta"],
        "-layout=" + settings["layout"],
    ]
    if settings["debug"]:
        args.append("-debug")
    return args


def settings_file_text(settings):
    """The private settings file's text: only dspdt has no option, so a
    value other than the start value is given there (every other key is
    overridden by an option). None when no file is needed."""
    if settings["dspdt"] == DEFAULT_SETTINGS["dspdt"]:
        return None
    return "dspdt=%r\n" % settings["dspdt"]


# ---------------------------------------------------------------------------
# The scan and the plan


def _channels_for(folder_rel, names_in_folder, name, plan, cache):
    """The channel configuration of one recording: '{stem}'-style names in
    its own folder, the plain names in its folder and then its parents up to
    the archive's top, then the global one. '' when there is none."""
    archive = plan["input"]
    for pattern in plan["channels_names"]:
        if "{stem}" in pattern:
            candidate = pattern.replace("{stem}", stem_of(name))
            if candidate in names_in_folder and candidate != name:
                return os.path.join(archive, folder_rel, candidate)
    if folder_rel in cache:
        return cache[folder_rel]
    found = ""
    rel = folder_rel
    while True:
        here = os.path.join(archive, rel)
        for pattern in plan["channels_names"]:
            if "{stem}" in pattern:
                continue
            path = os.path.join(here, pattern)
            if os.path.isfile(path):
                found = path
                break
        if found or rel in ("", "."):
            break
        rel = os.path.dirname(rel)
    if not found:
        found = plan["channels"]
    cache[folder_rel] = found
    return found


def scan_archive(plan):
    """Purpose: every recording of the archive with what decides its output.
    Given: the settings dict of settings_from_config (plus 'skip' folders).
    Returned: a list of member dicts sorted by relative path: 'rel', and
    either 'size', 'mtime_ns', 'channels' for a recording to convert, or
    'error' for one that cannot be (not a regular file, unreadable folder,
    output name taken).
    Notes: symbolic links are followed, but every real folder is visited
    once, so looping links end; the output folder (when it lies inside the
    archive) is skipped."""
    archive = plan["input"]
    pattern = plan["pattern"]
    skip = {os.path.realpath(plan["output"])}
    members = []
    seen_dirs = set()
    cfg_cache = {}
    pending = [""]
    while pending:
        rel_dir = pending.pop()
        folder = os.path.join(archive, rel_dir) if rel_dir else archive
        try:
            info = os.stat(folder)
            identity = (info.st_dev, info.st_ino)
            if identity in seen_dirs or os.path.realpath(folder) in skip:
                continue
            seen_dirs.add(identity)
            with os.scandir(folder) as listing:
                entries = list(listing)
        except OSError as error:
            if not rel_dir:
                raise ConfigError(f"cannot read the input folder {archive}: {error.strerror}") from None
            members.append({"rel": rel_dir, "error": f"cannot read folder: {error.strerror}"})
            continue
        names = {entry.name for entry in entries}
        taken = {}
        for entry in sorted(entries, key=lambda e: e.name):
            rel = os.path.join(rel_dir, entry.name) if rel_dir else entry.name
            try:
                is_dir = entry.is_dir()  # follows links
            except OSError:
                is_dir = False
            if is_dir:
                pending.append(rel)
            if not fnmatch.fnmatchcase(entry.name, pattern):
                continue
            member = {"rel": rel}
            members.append(member)
            if is_dir:
                member["error"] = "is a folder, not a recording"
                continue
            try:
                info = entry.stat()
            except OSError as error:
                member["error"] = f"cannot open: {error.strerror}"
                continue
            if not stat.S_ISREG(info.st_mode):
                member["error"] = "not a regular file"
                continue
            out_name = output_file_name(entry.name)
            if out_name in taken:
                member["error"] = f"output name {display(out_name)} is already taken by {display(taken[out_name])}"
                continue
            taken[out_name] = entry.name
            member["size"] = info.st_size
            member["mtime_ns"] = info.st_mtime_ns
            member["channels"] = _channels_for(rel_dir, names, entry.name, plan, cfg_cache)
            if not member["channels"]:
                member["error"] = "no channel configuration (none beside it, in its folders, or given as channels=FILE)"
    members.sort(key=lambda m: m["rel"])
    return members


def cut_batches(members, batch_size, batch_bytes):
    """Purpose: group recordings into jobs.
    Given: members sorted by path, the expected recordings per batch and a
    byte limit. Returned: a list of (batch id, members).
    Notes: a batch ends after a member whose path hashes to a multiple of
    batch_size (or at 4 x batch_size members, or past batch_bytes), so a
    boundary depends on the paths around it only: adding or removing a
    recording changes its own batch and leaves the others as they were."""
    batches = []
    current = []
    size = 0
    for member in members:
        current.append(member)
        size += member.get("size", 0)
        cut = int(short_hash(member["rel"], 8), 16) % batch_size == 0
        if cut or len(current) >= 4 * batch_size or size >= batch_bytes:
            batches.append(current)
            current, size = [], 0
    if current:
        batches.append(current)
    return [(short_hash(batch[0]["rel"]), batch) for batch in batches]


def conversion_key(member, shared):
    """Everything a recording's output depends on, as one hash: the
    recording's size and time, the channel configuration's bytes, the
    coefficient table's bytes, the settings and the converter's bytes."""
    parts = {
        "format": FORMAT,
        "rel": member["rel"],
        "size": member.get("size"),
        "mtime_ns": member.get("mtime_ns"),
        "error": member.get("error"),
        "channels": member.get("channels"),
        "channels_sha": member.get("channels_sha"),
        "shared": shared,
    }
    return short_hash(dumps(parts), 32)


def record_path(output, rel):
    """Where the record of one recording is kept inside the state folder
    (named by a hash, as recording names may be as long as a name can be)."""
    folder = os.path.dirname(rel)
    return os.path.join(output, STATE_DIR, "records", folder, short_hash(os.path.basename(rel)) + ".json")


def read_json(path):
    """A JSON file's value, or None when it is missing or not whole."""
    try:
        with open(path, "r", encoding="utf-8") as handle:
            return json.load(handle)
    except (OSError, ValueError):
        return None


# Which recordings vekinfo reads: raised when that changes (it reads the
# files the scan refused too, so that a file which is no recording says so),
# so that earlier records get vekinfo's fields without a conversion.
INFO_VERSION = "2"
# The version of the flag rules: raised when a rule changes, so that every
# record's flags are decided again (without converting anything).
QUALITY_VERSION = 1


def quality_key(manifest):
    """The identity of the flag rules a batch applies (their version and
    the few_channels share): a record judged under another is judged again."""
    return short_hash(dumps(manifest.get("quality") or {}), 16)


def _needs_work(state, member, key):
    """True when a member's record is missing or out of date (conversion,
    vekinfo or flags)."""
    old = read_json(record_path(os.path.dirname(state), member["rel"]))
    return not old or old.get("key") != member["key"] or old.get("info_key") != member["info_key"] \
        or old.get("quality_key") != key


def make_plan(plan, skanvert, vekinfo):
    """Purpose: scan the archive and write what each job must do.
    Given: the settings dict, the converter's path and vekinfo's path ('' when
    there is none). Returned: the list of batch ids, in path order.
    Notes: writes STATE/batches/<id>.todo (the batch's members with their
    keys) and STATE/plan.json, each only when its content changed, so that a
    job is out of date exactly when something its recordings depend on
    changed. Raises EnvironmentFault when the converter is missing."""
    if not skanvert or not os.path.isfile(skanvert) or not os.access(skanvert, os.X_OK):
        raise EnvironmentFault(
            f"the converter {skanvert or 'skanvert'} is missing or not executable: build it "
            "(cmake -S . -B build && cmake --build build) or give skanvert=PATH")
    state = os.path.join(plan["output"], STATE_DIR)
    shared = {
        "settings": plan["settings"],
        "build": sha256_file(skanvert),
        "coefficients": plan["coefficients"],
        "coefficients_sha": sha256_file(plan["coefficients"]) if plan["coefficients"] else "",
    }
    vekinfo_build = sha256_file(vekinfo) if vekinfo else ""
    members = scan_archive(plan)
    records = os.path.join(state, "records")
    if not members and any(files for _, _, files in os.walk(records)):
        # An archive that is suddenly empty is more likely unmounted than
        # emptied: its outputs are kept rather than removed.
        raise ConfigError(f"the input folder {plan['input']} holds no recordings, but {plan['output']} holds "
                          "conversions of earlier ones; remove them yourself if the archive is really empty")
    channel_sha = {}
    for member in members:
        path = member.get("channels")
        if path and "error" not in member:
            if path not in channel_sha:
                try:
                    channel_sha[path] = sha256_file(path)
                except OSError as error:
                    channel_sha[path] = "unreadable: " + str(error.strerror)
            member["channels_sha"] = channel_sha[path]
        member["key"] = conversion_key(member, shared)
        member["info_key"] = short_hash(member["key"] + vekinfo_build + INFO_VERSION, 32)
    batches = cut_batches(members, plan["batch_size"], plan["batch_bytes"])
    head = {
        "format": FORMAT,
        "input": plan["input"],
        "output": plan["output"],
        "skanvert": skanvert,
        "vekinfo": vekinfo,
        "shared": shared,
    }
    quality = {"version": QUALITY_VERSION, "few_channels": plan["few_channels"]}
    # What this run has to do, for the progress shown while it runs: the
    # recordings of each batch that will run whose records are out of date.
    pending = {}
    for batch_id, batch in batches:
        manifest = dict(head, batch=batch_id, members=batch, quality=quality)
        todo_path = os.path.join(state, "batches", batch_id + ".todo")
        done_path = os.path.join(state, "batches", batch_id + ".done")
        changed = write_if_changed(todo_path, dumps(manifest) + "\n")
        try:
            stale = changed or os.stat(done_path).st_mtime_ns < os.stat(todo_path).st_mtime_ns
        except OSError:
            stale = True
        if stale:
            key = quality_key(manifest)
            pending[batch_id] = sum(1 for member in batch if _needs_work(state, member, key))
    ids = [batch_id for batch_id, _ in batches]
    write_if_changed(os.path.join(state, "plan.json"), dumps(dict(head, batches=ids)) + "\n")
    if pending:
        # A run with nothing to do touches no file; one with work starts its
        # progress afresh (the watcher takes a run.json older than itself
        # for an earlier run's).
        progress = os.path.join(state, "progress")
        shutil.rmtree(progress, ignore_errors=True)
        write_atomic(os.path.join(progress, "run.json"),
                     dumps({"total": sum(pending.values()), "batches": pending}) + "\n")
    return ids


def _check_main(argv):
    """archive_lib.py check FOLDER key=value...: checks the settings as a
    run would (relative paths from FOLDER) before anything is created;
    prints one line naming the refused setting and exits 1, else exits 0."""
    if len(argv) < 3 or argv[1] != "check":
        print("usage: archive_lib.py check FOLDER key=value...", file=sys.stderr)
        return 2
    config = {}
    for item in argv[3:]:
        key, _, value = item.partition("=")
        config[key] = value
    try:
        settings_from_config(config, argv[2])
    except ConfigError as error:
        print(f"skanvert archive: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    import sys
    sys.exit(_check_main(sys.argv))
