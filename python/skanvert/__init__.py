"""skanvert: read the FITS files of the skanvert converter (either layout).

    import skanvert
    scan = skanvert.read("scan.fits")      # header values, image, table rows
    info = skanvert.read_header("scan.fits")  # header values only, no image

See README.md, "Analysis in Python".
"""

from .reader import (  # noqa: F401
    DEFAULT_SMOOTHING,
    STOKES_LABELS,
    NotSkanvertFile,
    Scan,
    ScanHeader,
    clock_seconds,
    read,
    read_header,
    recorder_offset_hours,
)

__all__ = ["read", "read_header", "Scan", "ScanHeader", "NotSkanvertFile"]
