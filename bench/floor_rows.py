"""The floor's rows: bench/tvfloor.exe, a bare wave-out player in the same
Wine with no network, timed right after each road row with the same queue."""
import os
import shutil
import tempfile

from figures import plus
from road_rows import ROAD_BUFF_MS
from watch import ThreadSwitches, run_stamped, run_watched


class Floor:
    """A temporary folder with a copy of tvfloor.exe, run once per row."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tvfloor_")
        self.player = os.path.join(self.folder, "tvfloor.exe")
        self.switches = None
        shutil.copy(os.path.join(build, "bench", "tvfloor.exe"), self.player)

    def run(self, *arguments, timeout=300):
        """The player's one line of figures as {name: [values]}, its CPU
        seconds over the whole process, the wineserver's over the run, and the
        player's voluntary context switches from the line "playing" on (after
        Wine's start-up and the warm-up open) to its end."""
        switches = ThreadSwitches()

        def watch(pid, out_path):
            if switches.base is not None:
                switches.read()
                return
            with open(out_path) as out:
                if "playing" in out.read().split("\n"):
                    switches.start(pid)

        lines, cpu, wineserver = run_watched([self.player] + [str(a) for a in arguments],
                                             self.folder, "tvfloor.exe", timeout, watch)
        self.switches = switches.total()
        figures = {}
        for line in lines:
            if line.startswith("error"):
                print("bench: tvfloor %s: %s" % (arguments[0], line), flush=True)
            elif "=" in line:
                for item in line.split():
                    name, _, values = item.partition("=")
                    figures[name] = [float(v) for v in values.split(",") if v]
        return figures, cpu, wineserver

    def run_stamped(self, *arguments, timeout=600):
        """Runs the player with its output stamped as it arrives (run_stamped)."""
        return run_stamped([self.player] + [str(a) for a in arguments], self.folder, timeout)

    def close(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def measure_floor_open(floor, count):
    figures, _, _ = floor.run("open", count)
    return {"open_ms": figures.get("open_ms", []), "close_ms": figures.get("close_ms", [])}


def measure_floor_reset(floor, queued_ms, count):
    figures, _, _ = floor.run("reset", count, queued_ms)
    return {"reset_ms": figures.get("reset_ms", []), "queued_ms": queued_ms,
            "blocks": (figures.get("blocks") or [None])[0]}


def measure_floor_play(floor, seconds, rate, channels, bits):
    """The player's CPU over its playback (its own figure, which leaves out
    Wine's start-up as the running service's does) and the wineserver's over
    the whole run, as for the road."""
    figures, process, wineserver = floor.run("play", seconds, rate, channels, bits, ROAD_BUFF_MS,
                                             timeout=seconds * 3 + 60)
    minutes = seconds / 60.0
    player = (figures.get("cpu_s") or [None])[0]
    result = {"cpu_player_s_per_min": None if player is None else player / minutes,
              "cpu_process_s_per_min": process / minutes,
              "cpu_wineserver_s_per_min": None if wineserver is None else wineserver / minutes,
              "wall_ms": (figures.get("wall_ms") or [None])[0],
              "bytes": (figures.get("bytes") or [None])[0], "queued_ms": ROAD_BUFF_MS,
              "switches_per_audio_s": None if floor.switches is None else
              floor.switches / seconds}
    result["cpu_total_s_per_min"] = plus(result["cpu_player_s_per_min"],
                                         result["cpu_wineserver_s_per_min"])
    return result
