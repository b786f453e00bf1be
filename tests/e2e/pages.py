"""How standard tools read a pulled page: a TIFF's directories (read here),
a PDF's pages (pdfinfo, pdfimages), PNG and other rasters (ImageMagick),
their pixels, hashes and PSNR against the reference, and the fingerprints
of the pages the driver generates (the simulator's pixels tool)."""

import os
import re
import shutil
import struct
import subprocess

from harness import check


# The formats of a pull: the extension, whether a job makes one document (else
# a file per page), and whether the pixels are kept exactly.
FORMATS = {"pdf": (".pdf", True, True), "tiff": (".tif", True, True), "png": (".png", False, True),
           "jpeg": (".jpg", False, False), "bmp": (".bmp", False, True)}


# JPEG's pages against the BMP's (quality 90 by default): at least this PSNR.
LEAST_JPEG_PSNR = 27.0


def tool(*args):
    return subprocess.run(list(args), capture_output=True, text=True, errors="replace")


def kind_of(image_type):
    """ImageMagick's type of a page as the scanner's kind of page."""
    return {"Bilevel": "bw", "Grayscale": "grey", "GrayscaleAlpha": "grey"}.get(image_type,
                                                                                "colour")


def png_bits(path):
    """A PNG's bits per pixel from its header (ImageMagick reports 8 for 1)."""
    with open(path, "rb") as f:
        header = f.read(26)
    return header[24] * {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}.get(header[25], 1)


def pixels_of(spec):
    """The page's pixels as 8-bit RGB, as ImageMagick decodes them."""
    result = subprocess.run(["convert", spec, "-depth", "8", "rgb:-"], capture_output=True)
    return result.stdout if result.returncode == 0 else None


def raster_pages(path):
    """Every frame of a raster file: size, kind, bits per pixel, resolution
    (dpi) and compression as ImageMagick reads them."""
    result = tool("identify", "-units", "PixelsPerInch", "-format",
                  "%w %h %[type] %z %x %y %C\n", path)
    pages = []
    for n, line in enumerate(result.stdout.splitlines()):
        width, height, image_type, depth, x, y, compression = line.split()
        kind = kind_of(image_type)
        bits = int(depth) * (3 if kind == "colour" else 1)
        if path.endswith(".png"):
            bits = png_bits(path)
        pages.append({"width": int(width), "height": int(height), "kind": kind, "bits": bits,
                      "dpi": (round(float(x)), round(float(y))), "compression": compression,
                      "spec": "%s[%d]" % (path, n)})
    return pages if result.returncode == 0 else []


def tiff_frames(path):
    """Every frame of a TIFF as its directories state it: size, kind, bits per
    pixel and resolution (dpi). Read here rather than by ImageMagick, whose
    Debian policy (1 GiB of disk cache) refuses a file over a gigabyte whole;
    one frame ("file.tif[n]") it still decodes, which is how the pixels are
    compared."""
    with open(path, "rb") as f:
        order = {b"II": "<", b"MM": ">"}.get(f.read(2))
        if order is None or struct.unpack(order + "H", f.read(2))[0] != 42:
            return []
        offset, = struct.unpack(order + "I", f.read(4))
        # The numeric field types: byte, short, long, rational (two longs).
        formats = {1: "B", 3: "H", 4: "I", 5: "II"}
        frames = []
        while offset and len(frames) < 100000:
            f.seek(offset)
            count, = struct.unpack(order + "H", f.read(2))
            tags = {}
            for _ in range(count):
                tag, kind, n, value = struct.unpack(order + "HHI4s", f.read(12))
                if kind not in formats:
                    continue
                layout = order + formats[kind] * n
                size = struct.calcsize(layout)
                data = value
                if size > 4:
                    here = f.tell()
                    f.seek(struct.unpack(order + "I", value)[0])
                    data = f.read(size)
                    f.seek(here)
                values = struct.unpack(layout, data[:size])
                tags[tag] = list(zip(values[::2], values[1::2])) if kind == 5 else list(values)
            offset, = struct.unpack(order + "I", f.read(4))
            samples = tags.get(277, [1])[0]
            bits = sum(tags.get(258, [1])[:samples])
            unit = {2: 1.0, 3: 2.54}.get(tags.get(296, [2])[0], 0.0)

            def dpi(tag):
                number, denominator = tags.get(tag, [(0, 1)])[0]
                return round(number / denominator * unit) if denominator else 0
            frames.append({"width": tags.get(256, [0])[0], "height": tags.get(257, [0])[0],
                           "kind": "colour" if samples >= 3 else ("bw" if bits == 1 else "grey"),
                           "bits": bits, "dpi": (dpi(282), dpi(283)),
                           "spec": "%s[%d]" % (path, len(frames))})
        return frames


def pdf_pages(path, scratch, only=None):
    """Every page of a PDF: its image (size, kind, bits, resolution, whether
    it is DCT), the page's size in points, and the image taken out as it is
    stored (pdfimages), so that its pixels can be compared; with `only`, the
    images of those pages (numbered from 0) alone are taken out."""
    info = tool("pdfinfo", "-f", "1", "-l", "9999", path)
    sizes = [tuple(float(v) for v in re.findall(r"size:\s+([\d.]+) x ([\d.]+)", line)[0])
             for line in info.stdout.splitlines() if re.match(r"Page\s+\d+ size:", line)]
    listing = tool("pdfimages", "-list", path).stdout.splitlines()[2:]
    shutil.rmtree(scratch, ignore_errors=True)
    os.makedirs(scratch)
    if only is None:
        tool("pdfimages", "-png", path, os.path.join(scratch, "image"))
        images = [os.path.join(scratch, name) for name in sorted(os.listdir(scratch))]
    else:
        images = [""] * len(listing)
        for n in only:
            root = os.path.join(scratch, "page%d" % n)
            tool("pdfimages", "-png", "-f", str(n + 1), "-l", str(n + 1), path, root)
            taken = [name for name in os.listdir(scratch) if name.startswith("page%d-" % n)]
            images[n] = os.path.join(scratch, taken[0]) if len(taken) == 1 else ""
    pages = []
    for n, line in enumerate(listing):
        cells = line.split()
        width, height, colour, bpc, encoding = int(cells[3]), int(cells[4]), cells[5], \
            int(cells[7]), cells[8]
        kind = "colour" if colour == "rgb" else "bw" if bpc == 1 else "grey"
        pages.append({"width": width, "height": height, "kind": kind,
                      "bits": bpc * (3 if kind == "colour" else 1),
                      "dpi": (round(float(cells[12])), round(float(cells[13]))),
                      "dct": encoding == "jpeg", "points": sizes[n] if n < len(sizes) else None,
                      "spec": images[n] if n < len(images) else ""})
    return pages if info.returncode == 0 and len(pages) == len(sizes) else []


def pulled_pages(folder, fmt, scratch, per_job=None):
    """The pages of every job in a pull's folder, by job, as the standard
    tools read them; None for a folder that holds files of another kind.
    `per_job` False reads a file per page whatever the format (the driver's
    own files of a file transfer)."""
    extension, document, _ = FORMATS[fmt]
    per_job = document if per_job is None else per_job
    jobs = {}
    for name in sorted(os.listdir(folder)):
        path = os.path.join(folder, name)
        if not name.endswith(extension):
            return None
        stem = name[:-len(extension)]
        if per_job:
            jobs[stem] = pdf_pages(path, os.path.join(scratch, stem)) if fmt == "pdf" \
                else raster_pages(path)
        else:
            job, _, page = stem.rpartition("-p")
            jobs.setdefault(job, []).append((int(page), raster_pages(path)))
    if not per_job:
        jobs = {job: [p for _, frames in sorted(pages) for p in frames]
                for job, pages in jobs.items()}
    return jobs


def psnr(reference, spec):
    result = tool("compare", "-metric", "PSNR", reference, spec, "null:")
    try:
        return float(result.stderr.split()[0])
    except (ValueError, IndexError):
        return 0.0


def document_problems(reference, pulled, fmt, lossy=False):
    """How the pages of a pull differ from the BMP pages of the same jobs
    (`reference`, as pulled_pages gives them): page count, size, kind,
    depth, resolution, pixels (equal, or close for JPEG), and a PDF's page
    size."""
    problems = []
    if pulled is None:
        return ["files of another kind in the folder"]
    if sorted(pulled) != sorted(reference):
        return ["jobs %s, expected %s" % (sorted(pulled), sorted(reference))]
    for job, pages in sorted(pulled.items()):
        if len(pages) != len(reference[job]):
            problems.append("%s: %d pages, expected %d" % (job, len(pages), len(reference[job])))
            continue
        for n, (page, expected) in enumerate(zip(pages, reference[job]), 1):
            where = "%s page %d" % (job, n)
            # JPEG has no 1 bit: black and white goes in as grey.
            kind = "grey" if fmt == "jpeg" and expected["kind"] == "bw" else expected["kind"]
            bits = {"bw": 1, "grey": 8, "colour": 24}[kind]
            got = (page["width"], page["height"], page["kind"], page["bits"], page["dpi"])
            want = (expected["width"], expected["height"], kind, bits, expected["dpi"])
            if got != want:
                problems.append("%s: %s, expected %s" % (where, got, want))
                continue
            if page.get("points") and any(abs(p - size / dpi * 72) > 0.05 for p, size, dpi in
                                          zip(page["points"], want[:2], want[4])):
                problems.append("%s: page of %s points" % (where, page["points"]))
            if lossy or fmt == "jpeg" or page.get("dct"):
                quality = psnr(expected["spec"], page["spec"])
                if quality < LEAST_JPEG_PSNR:
                    problems.append("%s: PSNR %.1f dB" % (where, quality))
            elif pixels_of(page["spec"]) != pixels_of(expected["spec"]):
                problems.append("%s: other pixels than the BMP's" % where)
    return problems


def reference_pixels(tool, scenario, frame=None):
    """The fingerprints of the pages as the driver generates them, by the
    native simulator: {(item, page): fingerprint}; with `frame` (inches,
    "left,top,right,bottom"), of the part of each page within it."""
    out = subprocess.run([tool, scenario] + (["--frame", frame] if frame else []),
                         capture_output=True, text=True, timeout=120)
    check(out.returncode == 0, "reference-pixels", out.stderr[-300:])
    pages = {}
    for line in out.stdout.splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[0] == "pixels":
            pages[(fields[1], fields[2])] = fields[3]
    return pages


def pixel_hash(data):
    """FNV-1a over the bytes, as tests/e2e/pixel_hash.h computes it."""
    value = 14695981039346656037
    for byte in data:
        value = ((value ^ byte) * 1099511628211) & 0xFFFFFFFFFFFFFFFF
    return "%016x" % value
