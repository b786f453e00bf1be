#!/usr/bin/env python3
"""Writes the seeds of the fuzz target twain_source into fuzz/corpus/twain_source/.

Each seed is an input as fuzz/twain_source.cpp reads it (front to back,
little-endian): the scanner and its faults (Scenario), then operations
(Step). The seeds open the source, reach every capability that
CAP_SUPPORTEDCAPS lists with every message of DAT_CAPABILITY, and bring
pages over by every mechanism with and without the source's window; a
few begin where the source must refuse or recover. When the target's
reading order changes, change this file with it and run it again:

    fuzz/twain_source_seeds.py            # rewrites the seeds it makes

Reproducers that runs found (crash-*, named after what they found) are
files of their own in the same folder, and this script leaves them alone.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "corpus", "twain_source")

# The triplets, as the target's table numbers them.
T = {name: i for i, name in enumerate([
    "IDENTITY_GET", "OPENDS", "CLOSEDS", "ENTRYPOINT", "STATUS", "PROCESSEVENT", "ENABLEDS",
    "DISABLEDS", "PENDING_GET", "ENDXFER", "PENDING_RESET", "SETUPMEM", "SETUPFILE_GET",
    "SETUPFILE_GETDEFAULT", "SETUPFILE_SET", "SETUPFILE_RESET", "XFERGROUP_GET", "XFERGROUP_SET",
    "CAP_GET", "CAP_GETCURRENT", "CAP_GETDEFAULT", "CAP_QUERYSUPPORT", "CAP_SET",
    "CAP_SETCONSTRAINT", "CAP_RESET", "CAP_RESETALL", "IMAGEINFO", "LAYOUT_GET",
    "LAYOUT_GETDEFAULT", "LAYOUT_SET", "LAYOUT_RESET", "NATIVE", "MEMORY", "FILE", "MEMFILE",
    "EXTINFO", "IDENTITY_GETFIRST", "USERSELECT", "PARENT", "ENABLEDSUIONLY", "STOPFEEDER",
    "CAP_GETHELP", "NULL_XFERREADY", "STATUSUTF8", "CALLBACK", "IMAGE_CAP_GET", "CONTROL_IMAGEINFO",
    "LAYOUT_GETCURRENT", "AUDIOINFO", "EVENT_GET"])}
MAKE_FOLDER, SET_BACK, RAW = 0xFC, 0xFD, 0xFF

TWON_ARRAY, TWON_ENUMERATION, TWON_ONEVALUE, TWON_RANGE = 3, 4, 5, 6
INT16, UINT16, UINT32, BOOL, FIX32, STR255, UNI512 = 1, 4, 5, 6, 7, 0x0C, 0x0E

# Every capability the source lists (capability_table.cpp, negotiate.cpp):
# its item type and values an application would set.
CAPS = {
    "xfercount": (0x0001, INT16, [0xFFFF, 1, 2]),
    "uicontrollable": (0x100E, BOOL, [1]),
    "deviceonline": (0x100F, BOOL, [1]),
    "indicators": (0x100B, BOOL, [0, 1]),
    "language": (0x102C, UINT16, [6, 5, 68, 13]),
    "feederenabled": (0x1002, BOOL, [1, 0]),
    "autofeed": (0x1007, BOOL, [1]),
    "paperdetectable": (0x100D, BOOL, [0]),
    "feederloaded": (0x1003, BOOL, [1]),
    "jobcontrol": (0x1017, UINT16, [1, 3, 0]),
    "xfermech": (0x0103, UINT16, [2, 1, 4, 0]),
    "units": (0x0102, UINT16, [1, 4, 2, 3, 5, 0]),
    "pixeltype": (0x0101, UINT16, [0, 1, 2]),
    "bitdepth": (0x112B, UINT16, [24, 8, 1]),
    "xresolution": (0x1118, FIX32, [300 << 0, 150, 600]),
    "yresolution": (0x1119, FIX32, [300, 100, 72]),
    "xnativeresolution": (0x1116, FIX32, [600]),
    "ynativeresolution": (0x1117, FIX32, [600]),
    "supportedsizes": (0x1122, UINT16, [1, 3, 11, 0]),
    "imagefileformat": (0x110C, UINT16, [0, 6, 4, 2]),
    "compression": (0x0100, UINT16, [0]),
    "pixelflavor": (0x111F, UINT16, [0]),
    "planarchunky": (0x1120, UINT16, [0]),
    "bitorder": (0x111C, UINT16, [1]),
    "physicalwidth": (0x1111, FIX32, [11]),
    "physicalheight": (0x1112, FIX32, [16]),
    "extimageinfo": (0x112F, BOOL, [1, 0]),
    "supportedcaps": (0x1005, UINT16, []),
    "supporteddats": (0x103E, UINT32, []),
    "supportedextimageinfo": (0x115E, UINT16, []),
    "jobs": (0x8001, STR255, []),
}
ITEM_BYTES = {INT16: 2, UINT16: 2, UINT32: 4, BOOL: 2, FIX32: 4, STR255: 256, UNI512: 1024}


def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def fix32(value):
    fixed = round(value * 65536)
    return u16(fixed >> 16) + u16(fixed & 0xFFFF)


class Job:
    def __init__(self, name_kind=0, pages=2, pixel=2, width=8, length=8, dpi=4, flags=0,
                 name_length=0):
        self.bytes = (u8(name_kind) + u8(name_length) + u8(flags) + u8(pages) + u8(pixel) +
                      u8(width - 1) + u8(length - 1) + u8(dpi))


def scenario(jobs=None, setup=0, lies=0, done=0, settings=(2, 0, 4, 2, 1), faults=(), gone=0,
             file_faults=(), replies=()):
    """The scanner: settings are pixel type, paper, resolution, file format, option."""
    if jobs is None:
        jobs = [Job(), Job(pixel=1, width=12, length=5, pages=1)]
    out = u8(setup) + u8(lies) + u8(done) + b"".join(u8(v) for v in settings)
    out += u8(len(jobs)) + b"".join(j.bytes for j in jobs)
    out += u8(len(faults)) + b"".join(u8(c) + u8(s) + u8(t) + u8(h) for c, s, t, h in faults)
    out += u8(gone)
    out += u8(len(file_faults)) + b"".join(u8(c) + u8(n) + u8(e) for c, n, e in file_faults)
    out += u8(len(replies)) + b"".join(u8(r) for r in replies)
    return out


# The data each triplet reads when a seed gives none: its plainest form.
NO_CAP = b"\0\0\0\0\0"  # Cap 0, ConType 0, no container
DEFAULT_DATA = {
    "ENTRYPOINT": b"\x1f", "PROCESSEVENT": b"\0", "ENABLEDS": b"\0", "DISABLEDS": b"\0",
    "ENABLEDSUIONLY": b"\0", "EVENT_GET": b"\0", "SETUPFILE_GET": b"\0\0\0",
    "SETUPFILE_GETDEFAULT": b"\0\0\0", "SETUPFILE_SET": b"\0\0\0", "SETUPFILE_RESET": b"\0\0\0",
    "XFERGROUP_GET": b"\0" * 4, "XFERGROUP_SET": b"\x02\0\0\0", "LAYOUT_GET": b"\0" * 16,
    "LAYOUT_GETDEFAULT": b"\0" * 16, "LAYOUT_SET": b"\0" * 16, "LAYOUT_RESET": b"\0" * 16,
    "LAYOUT_GETCURRENT": b"\0" * 16, "NATIVE": b"\0", "MEMORY": b"\0" * 9, "MEMFILE": b"\0" * 9,
    "EXTINFO": b"\0\0\0", "PARENT": b"\0", "STATUSUTF8": b"\0", "CALLBACK": b"\0",
    "AUDIOINFO": b"\0", "OPENDS": b"\x03\0",
}
for _name in ("CAP_GET", "CAP_GETCURRENT", "CAP_GETDEFAULT", "CAP_QUERYSUPPORT", "CAP_SET",
              "CAP_SETCONSTRAINT", "CAP_RESET", "CAP_RESETALL", "CAP_GETHELP", "IMAGE_CAP_GET"):
    DEFAULT_DATA[_name] = NO_CAP


def op(name, flags=0, data=None):
    """One operation: its triplet, its flags (origin, null data, the group's
    flags, an allocation that fails) and its data."""
    if data is None:
        data = DEFAULT_DATA.get(name, b"")
    return u8(T[name]) + u8(flags) + data


def open_source(protocol=3, entry=0x1F):
    """DAT_ENTRYPOINT (the manager's entry and memory functions), then MSG_OPENDS."""
    return op("ENTRYPOINT", data=u8(entry)) + op("OPENDS", data=u8(protocol) + u8(0))


def close_source():
    return op("CLOSEDS")


def cap(name, message, container=None):
    """A DAT_CAPABILITY message: no container, or one of the builders' (ConType, bytes)."""
    cap_id = CAPS[name][0]
    if container is None:
        return op(message, data=u16(cap_id) + u16(0) + u8(0))
    con_type, block = container
    return op(message, data=u16(cap_id) + u16(con_type) + u8(1) + block)


def one_value(item_type, value):
    item = value_bytes(item_type, value)
    # layout, item type, count, NumItems as the count, the item, no size change
    return TWON_ONEVALUE, u8(0) + u16(item_type) + u8(1) + u8(0) + item + u8(0)


def value_bytes(item_type, value):
    if item_type == FIX32:
        return fix32(value)
    return struct.pack("<I", value & 0xFFFFFFFF)[:ITEM_BYTES[item_type]]


def enumeration(item_type, values, current=0, default=0):
    items = b"".join(value_bytes(item_type, v) for v in values)
    return TWON_ENUMERATION, (u8(1) + u16(item_type) + u8(len(values)) + u8(0) + u32(current) +
                              u32(default) + items + u8(0))


def range_(item_type, low, high, step, default, current):
    vals = [low, high, step, default, current]
    return TWON_RANGE, u8(2) + u16(item_type) + u8(0) + u8(0) + b"".join(
        fix32(v) if item_type == FIX32 else u32(v) for v in vals) + u8(0)


def job_names(item_type, indices):
    """An array of job names: each the name of the scanner's job at that index."""
    items = b"".join(u8(0) + u8(i) for i in indices)
    return TWON_ARRAY, u8(3) + u16(item_type) + u8(len(indices)) + u8(0) + items + u8(0)


def enable(show_ui=False):
    return op("ENABLEDS", data=u8(1 if show_ui else 0))


def memory(kind=0, length=4096, actual=4096):
    return u8(kind) + u32(length) + u32(actual)


def extinfo(ids):
    return op("EXTINFO", data=u8(0) + u8(len(ids)) + u8(len(ids)) + b"".join(u16(i) for i in ids))


EXTINFO_IDS = [0x123A, 0x123B, 0x1245, 0x123D, 0x123E, 0x123F, 0x8001, 0x1238]


def setup_file(name_index, fmt):
    return op("SETUPFILE_SET", data=u8(name_index) + u16(fmt))


def seeds():
    out = {}
    # Every capability with every message, set back as the source answered.
    for name, (cap_id, item_type, values) in CAPS.items():
        body = open_source()
        body += cap(name, "CAP_QUERYSUPPORT")
        for message in ("CAP_GET", "CAP_GETCURRENT", "CAP_GETDEFAULT"):
            body += cap(name, message) + u8(SET_BACK) + u8(0)
            body += cap(name, message) + u8(SET_BACK) + u8(9)
        if item_type in (STR255, UNI512):
            body += cap(name, "CAP_SET", job_names(STR255, [0]))
            body += cap(name, "CAP_GETCURRENT")
            body += cap(name, "CAP_SET", job_names(UNI512, [1, 0]))
        elif values:
            for value in values:
                body += cap(name, "CAP_SET", one_value(item_type, value))
            body += cap(name, "CAP_SETCONSTRAINT", enumeration(item_type, values, 0, 0))
            body += cap(name, "CAP_GET") + u8(SET_BACK) + u8(1)
            if item_type != BOOL:
                low, high = min(values), max(values)
                body += cap(name, "CAP_SETCONSTRAINT", range_(item_type, low, high, 1, low, high))
        elif not values:
            # A read-only array: an application's array and one value, both refused.
            items = b"".join(value_bytes(item_type, v) for v in (1, 0x1005))
            body += cap(name, "CAP_SET", (TWON_ARRAY, u8(3) + u16(item_type) + u8(2) + u8(0) +
                                          items + u8(0)))
            body += cap(name, "CAP_SETCONSTRAINT", one_value(item_type, 1))
        body += cap(name, "CAP_RESET") + u8(SET_BACK) + u8(0)
        if item_type in (STR255, UNI512):
            body += cap(name, "CAP_SETCONSTRAINT", job_names(STR255, [0]))
            body += cap(name, "CAP_RESET")
        elif values:
            body += cap(name, "CAP_SETCONSTRAINT", one_value(item_type, values[0]))
        body += cap(name, "CAP_RESETALL")
        body += cap(name, "CAP_GETCURRENT")
        body += close_source()
        out["cap-" + name] = scenario() + body
    # An application of TWAIN 1.x: booleans in one value, resolutions as ranges.
    body = open_source(protocol=0)
    for name in ("xresolution", "indicators", "bitdepth"):
        body += cap(name, "CAP_GET") + u8(SET_BACK) + u8(0x12) + u8(SET_BACK) + u8(2)
    body += cap("xresolution", "CAP_SET", range_(FIX32, 100, 300, 1, 100, 200))
    body += close_source()
    out["cap-twain1-ranges"] = scenario() + body
    # Units: resolution, layout and page agree.
    body = open_source() + cap("units", "CAP_SET", one_value(UINT16, 1))
    body += cap("xresolution", "CAP_GET") + op("LAYOUT_GET", data=u32(0) * 4)
    body += enable() + op("IMAGEINFO") + op("LAYOUT_GET", data=u32(0) * 4)
    out["units-centimetres"] = scenario() + body

    # Transfers by every mechanism, ShowUI FALSE.
    def transfer(mechanism, steps, jobs=None, extra=b"", setup=0, fmt=None):
        body = open_source() + cap("xfermech", "CAP_SET", one_value(UINT16, mechanism)) + extra
        if fmt is not None:
            body += cap("imagefileformat", "CAP_SET", one_value(UINT16, fmt))
        body += enable() + op("SETUPMEM") + op("IMAGEINFO") + op("LAYOUT_GET", data=u32(0) * 4)
        body += steps
        return scenario(jobs=jobs, setup=setup) + body

    page = extinfo(EXTINFO_IDS) + op("ENDXFER")
    out["xfer-native"] = transfer(0, (op("NATIVE", data=u8(0)) + page) * 3)
    out["xfer-memory-pointer"] = transfer(2, (op("MEMORY", data=memory(0, 4096, 0)) + page) * 3)
    out["xfer-memory-handle-strips"] = transfer(
        2, (op("MEMORY", data=memory(1, 48, 48)) * 6 + page) * 2)
    out["xfer-memory-handle-short"] = transfer(
        2, op("MEMORY", data=memory(1, 4096, 24)) + op("MEMORY", data=memory(2, 100, 100)) +
        op("MEMORY", data=memory(3, 64, 64)) + op("MEMORY", data=memory(4, 64, 64)) +
        op("MEMORY", data=memory(5, 64, 64)) + op("MEMORY", data=memory(6)) +
        op("MEMORY", data=memory(0, 4096, 0)) * 3 + page)
    for fmt, label in ((2, "bmp"), (0, "tiff"), (6, "tiffmulti"), (4, "jpeg")):
        out["xfer-file-" + label] = transfer(
            1, setup_file(1, fmt) + (op("FILE") + page) * 3, fmt=fmt)
        out["xfer-memfile-" + label] = transfer(
            4, (op("MEMFILE", data=memory(0, 100, 0)) * 8 + page) * 2, fmt=fmt)
    # A relative name is taken from the folder current when it is set; a
    # folder gone by the transfer fails it.
    out["xfer-file-relative-folder"] = transfer(
        1, u8(MAKE_FOLDER) + u8(0) + setup_file(2, 0) + op("SETUPFILE_GET") + op("FILE") + page +
        u8(MAKE_FOLDER) + u8(1) + op("FILE") + op("STATUS") + op("PENDING_RESET"))
    # Frames: a paper size, and a frame cut out of every page.
    frame = op("LAYOUT_SET", data=fix32(0.01) + fix32(0.005) + fix32(0.02) + fix32(0.02))
    for mechanism, label, steps in ((0, "native", op("NATIVE", data=u8(0))),
                                    (2, "memory", op("MEMORY", data=memory(0, 16, 0)) * 4),
                                    (1, "file", op("FILE")),
                                    (4, "memfile", op("MEMFILE", data=memory(0, 64, 0)) * 4)):
        out["xfer-frame-" + label] = transfer(
            mechanism, (steps + page) * 2,
            extra=op("LAYOUT_SET", data=fix32(0) + fix32(0) + fix32(8.2677) + fix32(11.6929)) +
            frame + op("LAYOUT_GET", data=u32(0) * 4))
    # Transfer counts and job control: EndOfJob between the jobs.
    jobs = [Job(pages=2), Job(name_kind=7, pages=1, pixel=0, width=17), Job(pixel=1, pages=3)]
    for count in (1, 2, 0xFFFF):
        out["xfer-count-%d" % (count if count != 0xFFFF else -1)] = transfer(
            0, (op("NATIVE", data=u8(0)) + page) * 7, jobs=jobs,
            extra=cap("xfercount", "CAP_SET", one_value(INT16, count)) +
            cap("jobcontrol", "CAP_SET", one_value(UINT16, 1)))
    out["xfer-jobs-named"] = transfer(
        0, (op("NATIVE", data=u8(0)) + page) * 4, jobs=jobs,
        extra=cap("jobs", "CAP_GET") + cap("jobs", "CAP_SET", job_names(STR255, [2, 0])) +
        cap("feederloaded", "CAP_GET"), setup=2)

    # The source's window: the user takes jobs, or cancels.
    body = open_source() + enable(show_ui=True)
    body += op("PROCESSEVENT", data=u8(5)) + op("PROCESSEVENT", data=u8(2) + u8(3))
    body += (op("NATIVE", data=u8(0)) + page) * 3 + op("PROCESSEVENT", data=u8(3))
    body += op("DISABLEDS") + close_source()
    out["window-transfer"] = scenario() + body
    body = open_source() + enable(show_ui=True) + op("PROCESSEVENT", data=u8(4))
    out["window-cancel"] = scenario() + body

    # The application calls the source from its callback; the manager
    # refuses a notice.
    body = open_source() + cap("xfermech", "CAP_SET", one_value(UINT16, 2)) + enable()
    body += op("IMAGEINFO") + extinfo([0x123A]) + op("PENDING_GET")
    body += op("MEMORY", data=memory(0, 4096, 0)) + page
    out["callback-calls"] = scenario(replies=[6]) + body
    out["notice-refused"] = scenario(replies=[1]) + open_source() + enable() + enable(True) + \
        op("PROCESSEVENT", data=u8(2) + u8(1)) + op("DISABLEDS")
    out["no-manager"] = scenario() + open_source(entry=0) + enable() + op("STATUS")

    # Failures: the scanner's, memory's and files'.
    out["open-fails-status"] = scenario(faults=[(1, 0, 1, 0)]) + open_source() + op("STATUS") + \
        open_source() + op("STATUS", flags=1)
    out["open-twice"] = scenario() + open_source() + op("OPENDS", flags=1, data=u8(3) + u8(0)) + \
        op("STATUS", flags=1) + op("STATUS")
    out["server-gone"] = scenario(gone=40) + open_source() + cap(
        "xfermech", "CAP_SET", one_value(UINT16, 2)) + enable() + (
        op("MEMORY", data=memory(0, 64, 0)) * 4 + op("ENDXFER")) * 3 + op("DISABLEDS")
    out["memory-after-done"] = transfer(
        2, op("MEMORY", data=memory(0, 1 << 16, 0)) * 3 + op("ENDXFER") +
        op("MEMORY", data=memory(0, 1 << 16, 0)) * 2)
    out["memory-strip-fails"] = scenario(faults=[(14, 1, 1, 0)]) + open_source() + cap(
        "xfermech", "CAP_SET", one_value(UINT16, 2)) + enable() + op(
        "MEMORY", data=memory(0, 24, 0)) * 6 + page
    # The scanner ends the page halfway: the strips asked for again read
    # nothing more.
    out["memory-scanner-ends-early"] = scenario(done=0x01) + open_source() + cap(
        "xfermech", "CAP_SET", one_value(UINT16, 2)) + enable() + op(
        "MEMORY", data=memory(0, 24, 0)) * 6 + page
    out["scanner-lies"] = scenario(lies=0x2D, done=0x05) + open_source() + enable() + (
        op("NATIVE", data=u8(1)) + op("MEMORY", data=memory(0, 64, 0)) + page) * 2
    out["low-memory"] = scenario() + open_source() + op(
        "CAP_GET", flags=0x10, data=u8(1) + u16(0x1005) + u16(0) + u8(0)) + enable() + op(
        "NATIVE", flags=0x10, data=u8(1) + u8(0)) + op("NATIVE", data=u8(0)) + op(
        "EXTINFO", flags=0x10, data=u8(2) + u8(0) + u8(2) + u8(2) + u16(0x123E) + u16(0x8001)) + page
    out["file-faults"] = scenario(file_faults=[(1, 2, 2), (0, 1, 1), (3, 1, 0)]) + open_source() + \
        cap("xfermech", "CAP_SET", one_value(UINT16, 1)) + setup_file(0, 6) + enable() + (
        op("FILE") + page) * 3
    out["containers-that-lie"] = scenario() + open_source() + op(
        "CAP_SET", data=u16(0x0101) + u16(TWON_ENUMERATION) + u8(1) + u8(1) + u16(UINT16) +
        u8(3) + u8(2) + u32(7) + u32(0) + u16(0) + u16(2) + u16(1) + u8(0xFC)) + op(
        "CAP_SET", data=u16(0x1118) + u16(TWON_ONEVALUE) + u8(3) + u8(0) + u16(FIX32) + u8(1) +
        u8(0) + fix32(300) + u8(0xFE)) + op(
        "CAP_SET", data=u16(0x8001) + u16(TWON_ARRAY) + u8(1) + u8(3) + u16(UNI512) + u8(2) +
        u8(3) + u8(2) + u8(0) + u8(0xF0)) + op(
        "CAP_SET", data=u16(0x0001) + u16(TWON_ONEVALUE) + u8(2)) + op(
        "EXTINFO", data=u8(3) + u8(0)) + op("SETUPFILE_SET", data=u8(0xFF) + u16(2))
    out["unknown-triplets"] = scenario() + b"".join(
        op(name) for name in ("IDENTITY_GETFIRST", "USERSELECT", "PARENT", "STATUSUTF8")) + \
        open_source() + b"".join(op(name, flags=8) for name in (
            "ENABLEDSUIONLY", "STOPFEEDER", "CAP_GETHELP", "NULL_XFERREADY", "CALLBACK",
            "IMAGE_CAP_GET", "CONTROL_IMAGEINFO", "LAYOUT_GETCURRENT", "AUDIOINFO", "EVENT_GET")) + \
        u8(RAW) + u32(0x3) + u16(0x1) + u16(0x1) + u8(0) + u8(0)
    return out


def main():
    os.makedirs(OUT, exist_ok=True)
    made = seeds()
    for name, data in sorted(made.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print("%d seeds in %s" % (len(made), os.path.relpath(OUT)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
