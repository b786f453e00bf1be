"""What a program shows on a console: its output as Wine's console writes it
to a terminal, and the cells of stiscan's table columns, where a wide
character takes two cells."""

import os
import pty
import re
import select
import signal
import time
import unicodedata

from winetools import Wine


def char_columns(c):
    if unicodedata.category(c) in ("Mn", "Me", "Cf"):
        return 0
    return 2 if unicodedata.east_asian_width(c) in ("W", "F") else 1


def cells_by_column(line):
    """The characters of a line of text output with the terminal column each
    starts at."""
    out, column = [], 0
    for c in line:
        out.append((column, c))
        column += char_columns(c)
    return out


def column_of(line, text):
    """The terminal column at which the last `text` in `line` starts, or None."""
    at = line.rfind(text)
    return None if at < 0 else sum(char_columns(c) for c in line[:at])


def cell_text(line, first, end):
    return "".join(c for column, c in cells_by_column(line) if first <= column < end).rstrip()


def shows(cell, name):
    """Whether a table cell shows `name`: whole, or cut at a whole character
    with an ellipsis."""
    return cell == name or (cell.endswith("\u2026") and name.startswith(cell[:-1]))


def console_output(env, program, *args):
    """What a program writes to a console (Wine makes one on a terminal),
    its control sequences left out."""
    pid, fd = pty.fork()
    if pid == 0:
        command = Wine.command(program, *args)
        os.execve(command[0], command, env)
    # Read until the program has ended and its output is drained: a process
    # it started (a Wine service) may keep the terminal open after it.
    output, ended, deadline = b"", False, time.monotonic() + 120
    while time.monotonic() < deadline:
        readable, _, _ = select.select([fd], [], [], 0.2)
        data = b""
        if readable:
            try:
                data = os.read(fd, 4096)
            except OSError:
                data = b""
            output += data
        if not ended:
            ended = os.waitpid(pid, os.WNOHANG)[0] != 0
        elif not data:
            break
    if not ended:
        os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
    os.close(fd)
    text = output.decode("utf-8", errors="replace")
    return re.sub(r"\x1b\[[0-9;?]*[A-Za-z]|\x1b\][^\x07]*\x07", "", text)
