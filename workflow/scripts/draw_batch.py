#!/usr/bin/python3
"""Draws the quick-look pictures of one batch's converted recordings.

    draw_batch.py DONE PICTURES THREADS

DONE is a batch's records (STATE/batches/<id>.done); PICTURES, the job's
output, lists what was drawn, written last and in one step. For every
converted recording, OUT/<dir>/<name>.png and OUT/<dir>/<name>.thumb.png are
drawn when one of them is missing or older than the FITS file, so a picture
is remade only when its FITS file changed; THREADS pictures are drawn at a
time, each in a worker process that loads the plotting libraries once. The
pictures of a recording that no longer converts are removed. A FITS file the
quick look cannot show is noted and the batch goes on; a picture that cannot
be written (disk full, folder not writable) ends the batch with status 1.
"""

import concurrent.futures
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import archive_lib as lib  # noqa: E402

QUICKLOOK = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))),
                         "tools", "quicklook")


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


def _draw(fits_path):
    """Worker: draws one recording's two pictures. Returned: '' when drawn,
    else the quick look's message for a file it cannot show. An OSError
    (a picture that cannot be written) passes to the caller."""
    import skanvert_quicklook as quicklook  # loaded once per worker process
    picture, thumbnail = picture_names(fits_path)
    try:
        scan = quicklook.Scan(fits_path)
        quicklook.render(scan, picture)
        quicklook.render_thumbnail(scan, thumbnail)
    except quicklook.QuicklookError as error:
        return str(error)
    finally:
        quicklook.plt.close("all")
    return ""


def _start_worker():
    sys.path.insert(0, QUICKLOOK)
    os.environ.setdefault("MPLBACKEND", "Agg")


def main(argv):
    if len(argv) != 4:
        print("usage: draw_batch.py DONE PICTURES THREADS", file=sys.stderr)
        return 2
    done = lib.read_json(argv[1])
    if done is None:
        print(f"draw_batch: cannot read {argv[1]}", file=sys.stderr)
        return 1
    output = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(argv[1]))))
    threads = max(1, int(argv[3]))
    todo, drawn = [], {}
    for record in done["records"]:
        fits_rel = record.get("fits") or ""
        if record.get("status") == "converted" and fits_rel:
            fits_path = os.path.join(output, fits_rel)
            drawn[fits_rel] = ""
            if not up_to_date(fits_path):
                todo.append(fits_rel)
        else:
            # No FITS file (any more): no pictures of it either.
            for rel in record.get("outputs") or []:
                if rel.endswith(".fits"):
                    for picture in picture_names(os.path.join(output, rel)):
                        lib.remove_quietly(picture)
    try:
        if todo:
            with concurrent.futures.ProcessPoolExecutor(max_workers=min(threads, len(todo)),
                                                        initializer=_start_worker) as pool:
                paths = [os.path.join(output, rel) for rel in todo]
                for rel, message in zip(todo, pool.map(_draw, paths)):
                    drawn[rel] = message
                    if message:
                        print(f"skanvert archive: no picture of {lib.display(rel)}: {message}", file=sys.stderr)
        lib.write_atomic(argv[2], lib.dumps({"batch": done.get("batch"), "pictures": drawn}) + "\n")
    except OSError as error:
        print(f"skanvert archive: cannot write the picture {error.filename or ''}: {error.strerror}",
              file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
