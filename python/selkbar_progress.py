"""The progress display of selkbar's training and counting calls.

selkbar calls this module (from native code, on the calling thread, about
ten times a second) when a call is made with progress=True:

    display = Progress(length)            # length: texts expected, or None
    display.update("reading", done, total, elapsed)  # bytes of the input files
    display.update("texts", done, total, elapsed)    # texts taken from an iterator
    display.update("merging", done, total, elapsed)  # merges done of at most total
    display.update("encoding", done, total, elapsed)  # tokenizers evaluated of total
    display.close()

(elapsed: the seconds the stage has run so far).

On a terminal the current stage is redrawn in place, through tqdm when it is
installed and by a plain carriage-return line otherwise. Anywhere else (a
log file, a pipe, a notebook's captured stderr) a plain line is written when
a stage starts, every few seconds while it runs, and when it ends, so logs
stay readable. The display only reads figures; it never changes a result:
a stream that cannot be written (no standard error, a closed descriptor, a
pipe whose reader has gone) turns the display off, and the call goes on.
"""

import sys
import time

__all__ = ["Progress"]

_LABELS = {"reading": "counting", "texts": "counting", "merging": "merging",
           "encoding": "encoding"}
_UNITS = {"reading": "B", "texts": "texts", "merging": "merges", "encoding": "tokenizers"}


def _scaled(value, unit):
    if unit != "B":
        return f"{value:,} {unit}"
    for prefix in ("", "k", "M", "G", "T"):
        if value < 1000 or prefix == "T":
            return f"{value:.1f} {prefix}B" if prefix else f"{value} B"
        value /= 1000.0
    return f"{value} B"  # not reached


def format_line(stage, done, total, elapsed):
    """One line describing a stage: what is done of what, rate and time."""
    unit = _UNITS[stage]
    text = f"selkbar: {_LABELS[stage]} {_scaled(done, unit)}"
    if total:
        text += f" of {_scaled(total, unit)} ({100.0 * done / total:.0f}%)"
    rate = done / elapsed if elapsed > 0 else 0.0
    if unit == "B":
        text += f", {_scaled(int(rate), 'B')}/s"
    else:
        text += f", {rate:,.0f} {unit}/s"
    return text + f", {elapsed:.1f} s"


class Progress:
    """Draws the figures of one call on `stream` (standard error by default)."""

    def __init__(self, length=None, stream=None, interval=5.0):
        self._stream = sys.stderr if stream is None else stream
        self._length = length
        self._interval = interval
        self._stage = None
        self._last_line = 0.0
        self._figures = (0, 0, 0.0)
        self._bar = None
        self._terminal = False
        # sys.stderr is None when descriptor 2 was closed at start-up (and in
        # some embedded interpreters): there is nothing to draw on.
        self._off = self._stream is None
        self._guarded(self._probe_terminal)

    def update(self, stage, done, total, elapsed):
        if not self._off:
            self._guarded(self._update, stage, done, total, elapsed)

    def close(self):
        if not self._off:
            self._guarded(self._end_stage)
        self._stage = None

    def _guarded(self, step, *args):
        """Runs a drawing step; a stream that fails turns the display off.

        Only Exception is caught: KeyboardInterrupt, raised here by a signal
        handler, must still reach the call and cancel it."""
        try:
            step(*args)
        except Exception:
            self._off = True
            self._bar = None

    def _probe_terminal(self):
        isatty = getattr(self._stream, "isatty", None)
        self._terminal = bool(isatty and isatty())

    def _update(self, stage, done, total, elapsed):
        if stage == "texts" and not total:
            total = self._length or 0
        now = time.monotonic()
        if stage != self._stage:
            self._end_stage()
            self._stage, self._last_line = stage, now
            self._start_stage(total)
        self._figures = (done, total, elapsed)
        if self._terminal:
            self._redraw()
        elif now - self._last_line >= self._interval:
            self._write_line(now)

    # ---- drawing

    def _start_stage(self, total):
        if not self._terminal:
            return
        try:
            from tqdm import tqdm
        except ImportError:
            return
        unit = _UNITS[self._stage]
        self._bar = tqdm(total=total or None, desc=f"selkbar: {_LABELS[self._stage]}",
                         unit=unit, unit_scale=unit == "B", file=self._stream, leave=True)

    def _redraw(self):
        done, total, elapsed = self._figures
        if self._bar is not None:
            if total and self._bar.total != total:
                self._bar.total = total
            self._bar.update(done - self._bar.n)
            return
        line = format_line(self._stage, done, total, elapsed)
        self._stream.write("\r" + line + "\x1b[K")
        self._stream.flush()

    def _write_line(self, now):
        done, total, elapsed = self._figures
        self._stream.write(format_line(self._stage, done, total, elapsed) + "\n")
        self._stream.flush()
        self._last_line = now

    def _end_stage(self):
        if self._stage is None:
            return
        if self._bar is not None:
            self._redraw()
            self._bar.close()
            self._bar = None
        elif self._terminal:
            self._redraw()
            self._stream.write("\n")
            self._stream.flush()
        else:
            self._write_line(time.monotonic())
