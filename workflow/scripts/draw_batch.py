#!/usr/bin/python3
"""Draws the quick-look pictures of one batch's converted recordings.

    draw_batch.py DONE PICTURES THREADS QUICKLOOK

DONE is a batch's records (STATE/batches/<id>.done); PICTURES, the job's
output, lists what was drawn, written last and in one step; QUICKLOOK is the
skanvert-quicklook program. For every converted recording,
OUT/<dir>/<name>.png and OUT/<dir>/<name>.thumb.png are drawn when one of
them is missing or older than the FITS file, so a picture is remade only
when its FITS file changed; THREADS renderer processes draw at a time, each
a share of the recordings (`skanvert-quicklook --batch -`, so its start-up
is paid once per share, not per picture). A record's
"flags" list, when it has one, is shown in the picture's heading. The
pictures of a recording that no longer converts are removed. A FITS file the
quick look cannot show is noted and the batch goes on; a picture that cannot
be written (disk full, folder not writable) ends the batch with status 1.
"""

import concurrent.futures
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_lib as lib  # noqa: E402


def picture_names(fits_path):
    """The picture and thumbnail paths of a FITS path (same folder and stem)."""
    stem = fits_path[:-len(".fits")] if fits_path.endswith(".fits") else fits_path
    return stem + ".png", stem + ".thumb.png"


def _mtime(path):
    try:
        return os.stat(path).st_mtime_ns
    except OSError:
        return None


def up_to_date(fits_path):
    """Whether both pictures exist and are not older than the FITS file."""
    fits_time = _mtime(fits_path)
    return fits_time is not None and all(
        (_mtime(picture) or -1) >= fits_time for picture in picture_names(fits_path))


class PictureNotWritten(Exception):
    """A picture that cannot be written: the message is the renderer's."""


def draw(quicklook, fits_path, flags):
    """Draws one recording's two pictures. Returned: '' when drawn, else the
    renderer's message for a file it cannot show. Raises PictureNotWritten
    when a picture cannot be written."""
    picture, thumbnail = picture_names(fits_path)
    command = [quicklook, fits_path, "-o", picture, "--thumbnail", thumbnail]
    if isinstance(flags, list):
        command.append("--flags=" + ",".join(str(flag) for flag in flags))
    try:
        done = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.PIPE)
    except OSError as error:
        raise PictureNotWritten(f"cannot start {quicklook}: {error.strerror}")
    message = done.stderr.decode("utf-8", "backslashreplace").strip()
    message = message.splitlines()[0] if message else f"exit status {done.returncode}"
    message = message[len("skanvert-quicklook: "):] if message.startswith("skanvert-quicklook: ") else message
    if done.returncode == 0:
        return ""
    if done.returncode == 1 and not message.startswith("cannot write"):
        return message
    raise PictureNotWritten(message)


def _message(line):
    """A renderer's message without its program prefix."""
    prefix = "skanvert-quicklook: "
    return line[len(prefix):] if line.startswith(prefix) else line


def _batchable(text):
    return "\t" not in text and "\n" not in text and "\r" not in text


def draw_share(quicklook, share):
    """Draws a share of (fits_path, flags) in one renderer process. Returned:
    the renderer's message per FITS path ('' when drawn). Raises
    PictureNotWritten when a picture cannot be written. Paths or flags that a
    batch line cannot hold (tabs, line ends) are drawn one process each."""
    results, lines, listed = {}, [], []
    for fits_path, flags in share:
        flag_text = ",".join(str(flag) for flag in flags) if isinstance(flags, list) else ""
        if not (_batchable(fits_path) and _batchable(flag_text)):
            results[fits_path] = draw(quicklook, fits_path, flags)
            continue
        picture, thumbnail = picture_names(fits_path)
        lines.append("\t".join([fits_path, picture, thumbnail, flag_text]) + "\n")
        listed.append(fits_path)
    if not listed:
        return results
    try:
        done = subprocess.run([quicklook, "--batch", "-"], input="".join(lines).encode("utf-8", "surrogateescape"),
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    except OSError as error:
        raise PictureNotWritten(f"cannot start {quicklook}: {error.strerror}")
    for fits_path in listed:
        results[fits_path] = ""
    unplaced = []
    for text in done.stderr.decode("utf-8", "backslashreplace").splitlines():
        message = _message(text.strip())
        number, _, rest = message.partition(": ")
        if message.startswith("line ") and number[5:].isdigit() and 1 <= int(number[5:]) <= len(listed):
            results[listed[int(number[5:]) - 1]] = rest or f"exit status {done.returncode}"
        elif message:
            unplaced.append(message)
    if done.returncode not in (0, 1) or (done.returncode == 1 and all(not results[p] for p in listed)):
        raise PictureNotWritten(unplaced[0] if unplaced else f"exit status {done.returncode}")
    for fits_path in listed:
        if results[fits_path].startswith("cannot write"):
            raise PictureNotWritten(results[fits_path])
    return results


def main(argv):
    if len(argv) != 5:
        print("usage: draw_batch.py DONE PICTURES THREADS QUICKLOOK", file=sys.stderr)
        return 2
    done = lib.read_json(argv[1])
    if done is None:
        print(f"draw_batch: cannot read {argv[1]}", file=sys.stderr)
        return 1
    quicklook = argv[4]
    output = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(argv[1]))))
    threads = max(1, int(argv[3]))
    todo, drawn = [], {}
    for record in done["records"]:
        fits_rel = record.get("fits") or ""
        if record.get("status") == "converted" and fits_rel:
            fits_path = os.path.join(output, fits_rel)
            drawn[fits_rel] = ""
            if not up_to_date(fits_path):
                todo.append((fits_rel, record.get("flags")))
        else:
            # No FITS file (any more): no pictures of it either.
            for rel in record.get("outputs") or []:
                if rel.endswith(".fits"):
                    for picture in picture_names(os.path.join(output, rel)):
                        lib.remove_quietly(picture)
    try:
        if todo:
            # One renderer process per thread, each drawing every n-th recording.
            count = min(threads, len(todo))
            paths = [(os.path.join(output, rel), flags) for rel, flags in todo]
            with concurrent.futures.ThreadPoolExecutor(max_workers=count) as pool:
                jobs = [pool.submit(draw_share, quicklook, paths[k::count]) for k in range(count)]
                results = {}
                for job in jobs:
                    results.update(job.result())
            for rel, _ in todo:
                message = results[os.path.join(output, rel)]
                drawn[rel] = message
                if message:
                    print(f"skanvert archive: no picture of {lib.display(rel)}: {message}", file=sys.stderr)
        lib.write_atomic(argv[2], lib.dumps({"batch": done.get("batch"), "pictures": drawn}) + "\n")
    except PictureNotWritten as error:
        print(f"skanvert archive: {error}", file=sys.stderr)
        return 1
    except OSError as error:
        print(f"skanvert archive: cannot write the picture list {error.filename or ''}: {error.strerror}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
