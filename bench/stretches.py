"""The stretch rows: a noise file played from a new place every
STRETCH_EVERY_MS, by the road (a Flush or an Open through the service) and by
the floor plain and primed, recorded; each stretch is found on the recording
and followed through its first STRETCH_WINDOW_MS for silences and skips."""
import os

from keeping_up import NONZERO, matching_prefix
from road_rows import ROAD_BUFF_MS
from stretch_clock import (HOLE_MS, KEY_FRAMES, STRETCH_EVERY_MS, STRETCH_FRAME, STRETCH_RATE,
                           STRETCH_WINDOW_MS, StampedRecorder, stretch_events, stretch_signal)
from suite import win_path


def region_index(shown, frame, frames):
    """Where each run of KEY_FRAMES frames of the signal from `frame` on
    starts, by its bytes, for `frames` frames."""
    base, key = frame * STRETCH_FRAME, KEY_FRAMES * STRETCH_FRAME
    return {shown[base + i * STRETCH_FRAME:base + i * STRETCH_FRAME + key]: i
            for i in range(frames)}


def first_sound_of(rec, index, lo, hi):
    """The first frame in rec[lo:hi] (frames) that is this stretch's sound,
    and where in the stretch it is: (frame, offset), or (None, None). Sound
    of the stretch before is passed over."""
    pos = lo
    while pos < hi:
        found = NONZERO.search(rec, pos * STRETCH_FRAME, hi * STRETCH_FRAME)
        if not found:
            break
        at = found.start() // STRETCH_FRAME
        offset = index.get(rec[at * STRETCH_FRAME:(at + KEY_FRAMES) * STRETCH_FRAME])
        if offset is not None:
            return at, offset
        pos = at + 1
    return None, None


def matching_frames(rec, at, region, offset, count):
    """How many frames from rec[at] equal the stretch's from `offset`, up to `count`."""
    return matching_prefix(rec, at * STRETCH_FRAME, region, offset * STRETCH_FRAME, count,
                           STRETCH_FRAME)


def stretch_breaks(rec, region, index, at, offset, hi, window):
    """Follows a stretch on the recording from its first sound (frame `at`,
    `offset` frames into the stretch) through its first `window` frames.
    Returns the breaks, [(offset, silent frames, skipped frames)] (skipped
    negative: repeated), one at offset 0 when its start was never heard, and
    how many of its frames were heard before it ended: a silence or a sound
    after which it does not go on is its end (the next seek's), not a break."""
    breaks = [(0, 0, offset)] if offset else []
    while offset < window and at < hi:
        same = matching_frames(rec, at, region, offset, min(window - offset, hi - at))
        at, offset = at + same, offset + same
        if offset >= window or at >= hi:
            break
        silence = 0
        if not any(rec[at * STRETCH_FRAME:(at + 1) * STRETCH_FRAME]):
            found = NONZERO.search(rec, at * STRETCH_FRAME, hi * STRETCH_FRAME)
            if not found:
                break
            silence = found.start() // STRETCH_FRAME - at
            at += silence
        going_on = index.get(rec[at * STRETCH_FRAME:(at + KEY_FRAMES) * STRETCH_FRAME])
        if going_on is None:
            break
        breaks.append((offset, silence, going_on - offset))
        offset = going_on
    return breaks, min(offset, window)


def frames_ms(frames):
    return frames * 1000.0 / STRETCH_RATE


STRETCH_WINDOW = STRETCH_WINDOW_MS * STRETCH_RATE // 1000  # frames
# A break that starts inside the window may end past it.
STRETCH_REACH = STRETCH_WINDOW + 200 * STRETCH_RATE // 1000
# Searched before each event's moment: more than the clock's error.
STRETCH_MARGIN = 100 * STRETCH_RATE // 1000


class StretchSignal:
    """The signal as the sink shows it, with each stretch start's first
    STRETCH_REACH frames indexed (region_index) once."""

    def __init__(self, shown):
        self.shown = shown
        self.regions = {}

    def region(self, frame):
        if frame not in self.regions:
            self.regions[frame] = (
                self.shown[frame * STRETCH_FRAME:(frame + STRETCH_REACH + KEY_FRAMES) *
                           STRETCH_FRAME],
                region_index(self.shown, frame, STRETCH_REACH))
        return self.regions[frame]


def read_stretch(rec, recorder, sig, moment, frame, later):
    """One stretch on the recording, from its event's moment (time.monotonic())
    to the next one's (`later`, None for the last): None when none of its
    first STRETCH_WINDOW_MS was heard, else its to_sound_ms (from the event
    to its first sound), old_sound_after_ms (the last sound before it, from
    the event, or None), breaks and heard (stretch_breaks)."""
    lo = max(0, recorder.frame_at(moment) - STRETCH_MARGIN)
    hi = recorder.frame_at(later) + STRETCH_MARGIN if later else len(rec) // STRETCH_FRAME
    region, index = sig.region(frame)
    at, offset = first_sound_of(rec, index, lo, hi)
    if at is None:
        return None
    before = rec[lo * STRETCH_FRAME:at * STRETCH_FRAME].rstrip(b"\0")
    last = lo + (len(before) - 1) // STRETCH_FRAME if before else None
    breaks, heard = stretch_breaks(rec, region, index, at, offset, hi, STRETCH_WINDOW)
    return {"to_sound_ms": (recorder.moment_of(at) - moment) * 1000,
            "old_sound_after_ms": None if last is None else
            (recorder.moment_of(last) - moment) * 1000,
            "breaks": breaks, "heard": heard}


def stretch_figures(rec, recorder, events, sig):
    """Every stretch read off the recording, summed up: to_sound_ms, holes_ms
    (each break of HOLE_MS or more in a stretch's first STRETCH_WINDOW_MS,
    silence plus file skipped or repeated; a stretch never heard counts as
    one of the whole window), longest_ms (the longest break, however short),
    short (stretches that ended before the window did) and old_sound_after_ms
    (the clock's check: after a seek the stretch before has stopped by the
    Flush's reply, so these are about 0 or below)."""
    out = {"stretches": len(events), "to_sound_ms": [], "holes_ms": [], "holes": [],
           "longest_ms": 0.0, "short": 0, "unheard": 0, "old_sound_after_ms": []}
    for i, (moment, frame) in enumerate(events):
        later = events[i + 1][0] if i + 1 < len(events) else None
        found = None
        if moment is not None and recorder.starts:
            found = read_stretch(rec, recorder, sig, moment, frame, later)
        if found is None:
            out["unheard"] += 1
            out["holes_ms"].append(float(STRETCH_WINDOW_MS))
            out["longest_ms"] = max(out["longest_ms"], STRETCH_WINDOW_MS)
            continue
        out["to_sound_ms"].append(found["to_sound_ms"])
        if found["old_sound_after_ms"] is not None:
            out["old_sound_after_ms"].append(found["old_sound_after_ms"])
        out["short"] += found["heard"] < STRETCH_WINDOW
        for where, silence, skipped in found["breaks"]:
            length = frames_ms(silence + abs(skipped))
            out["longest_ms"] = max(out["longest_ms"], length)
            if length >= HOLE_MS:
                out["holes_ms"].append(length)
                out["holes"].append({"stretch": i, "at_ms": frames_ms(where),
                                     "silence_ms": frames_ms(silence),
                                     "skipped_ms": frames_ms(skipped)})
    return out


def recorded_stretches(run, event, sig):
    """Records the null sink while `run()` plays stretches, and reads them off it."""
    recorder = StampedRecorder()
    try:
        stamped = run()
    finally:
        rec = recorder.stop()
    figures = stretch_figures(rec, recorder, stretch_events(stamped, event), sig)
    figures["done"] = any(line == "done" for _, line in stamped)
    return figures


def measure_stretches(road, floor, seeks, tracks, folder):
    """The road (tvbench through the service) and the floor, plain and primed,
    each `seeks` seeks and `tracks` Opens, STRETCH_EVERY_MS apart, recorded."""
    path, shown = stretch_signal(folder)
    signal_path, sig = win_path(path), StretchSignal(shown)
    out = {}
    for kind, count in (("seeks", seeks), ("tracks", tracks)):
        out["road_" + kind] = recorded_stretches(
            lambda: road.run_stamped(kind, count, signal_path, STRETCH_EVERY_MS),
            "flush" if kind == "seeks" else "open", sig)
        for how in ("plain", "primed"):
            out["floor_%s_%s" % (kind, how)] = recorded_stretches(
                lambda: floor.run_stamped(kind, count, signal_path, STRETCH_EVERY_MS,
                                          ROAD_BUFF_MS, how),
                "reset" if kind == "seeks" else "open", sig)
    os.remove(path)
    return out
