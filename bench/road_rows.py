"""The road's rows: tvbench.exe loads the real out_tonvale.dll and talks to a
Tonvaled.exe of its own; Open, Close and Flush are timed in the client, the
position sampled every 20 ms, and the service's CPU and wake-ups watched over
the streaming run."""
import os
import shutil
import tempfile

from figures import plus
from suite import DaemonCopy, free_port, win_path, write_ini
from watch import ThreadSwitches, cpu_seconds, cpu_spent, run_stamped, run_watched, wait_for_pid

ROAD_BUFF_MS = 2000  # the plug-in's default buffer, kept queued by road and floor alike


class Road:
    """A temporary folder with copies of Tonvaled, the plug-in and the client."""

    def __init__(self, build):
        self.folder = tempfile.mkdtemp(prefix="tvbench_")
        self.port = free_port()
        self.service_dir = os.path.join(self.folder, "service")
        self.plugin_dir = os.path.join(self.folder, "plugins")
        os.makedirs(self.plugin_dir)
        self.plugin = os.path.join(self.plugin_dir, "out_tonvale.dll")
        shutil.copy(os.path.join(build, "plugin", "out_tonvale.dll"), self.plugin)
        self.client = os.path.join(self.folder, "tvbench.exe")
        shutil.copy(os.path.join(build, "bench", "tvbench.exe"), self.client)
        self.daemon = DaemonCopy(os.path.join(build, "Tonvaled.exe"), self.service_dir,
                                 self.port)
        self.service_pid = wait_for_pid(self.service_dir, "Tonvaled.exe")

    def run(self, buff_ms, *arguments, timeout=900):
        """Runs the client to its end; returns its output lines, the CPU
        seconds of the service, the client and the wineserver over the run,
        and the service's voluntary context switches over it."""
        write_ini(os.path.join(self.plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % self.port, "BuffSize=%d" % buff_ms])
        service_before = cpu_seconds(self.service_pid) if self.service_pid else None
        switches = ThreadSwitches()
        if self.service_pid:
            switches.start(self.service_pid)
        lines, client_cpu, wineserver = run_watched(
            [self.client, "--plugin", win_path(self.plugin)] + [str(a) for a in arguments],
            self.folder, "tvbench.exe", timeout, watch=lambda pid, out_path: switches.read())
        switches.read()
        service = cpu_spent(self.service_pid, service_before)
        return lines, {"service": service, "host": client_cpu, "wineserver": wineserver}, \
            switches.total()

    def run_stamped(self, *arguments, timeout=600):
        """Runs the client at the plug-in's default buffer with its output
        stamped as it arrives (run_stamped)."""
        write_ini(os.path.join(self.plugin_dir, "out_tonvale.ini"),
                  ["ServerAddr=127.0.0.1", "ServerPort=%d" % self.port,
                   "BuffSize=%d" % ROAD_BUFF_MS])
        return run_stamped([self.client, "--plugin", win_path(self.plugin)] +
                           [str(a) for a in arguments], self.folder, timeout)

    def close(self):
        self.daemon.close()
        shutil.rmtree(self.folder, ignore_errors=True)


def numbers(lines, key, index=1):
    return [float(line.split()[index]) for line in lines if line.startswith(key + " ")]


def measure_open(road, count):
    lines, _, _ = road.run(2000, "open", count)
    return {"open_ms": numbers(lines, "open"), "close_ms": numbers(lines, "close")}


def measure_flush(road, buff_ms, count):
    lines, _, _ = road.run(buff_ms, "flush", count)
    return {"flush_ms": numbers(lines, "flush"), "queued_ms": numbers(lines, "flush", 3)}


def position_figures(lines):
    samples = [(float(l.split()[1]), int(l.split()[2])) for l in lines if l.startswith("sample ")]
    final = [l.split() for l in lines if l.startswith("final ")]
    result = {"samples": len(samples)}
    if final:
        result["final_ms"] = int(final[0][1])
        result["length_ms"] = int(final[0][3])
        result["written_bytes"] = int(final[0][5])
        result["final_error_ms"] = result["final_ms"] - result["length_ms"]
    result["backwards"] = sum(1 for a, b in zip(samples, samples[1:]) if b[1] < a[1])
    # The steady part: from the first movement to the last 100 ms before the end.
    end = result.get("final_ms", 0) - 100
    steady = [(t, p) for t, p in samples if 0 < p < end]
    if len(steady) >= 3:
        n = len(steady)
        mt = sum(t for t, _ in steady) / n
        mp = sum(p for _, p in steady) / n
        slope = (sum((t - mt) * (p - mp) for t, p in steady) /
                 sum((t - mt) ** 2 for t, _ in steady))
        result["jitter_ms"] = max(abs(p - (mp + slope * (t - mt))) for t, p in steady)
        result["slope"] = slope
    return result


def measure_play(road, seconds, rate, channels, bits):
    lines, cpu, switches = road.run(ROAD_BUFF_MS, "play", seconds, rate, channels, bits,
                                    timeout=seconds * 3 + 60)
    figures = position_figures(lines)
    figures["service_switches_per_audio_s"] = None if switches is None else switches / seconds
    minutes = seconds / 60.0
    figures.update({"cpu_%s_s_per_min" % k: (v / minutes if v is not None else None)
                    for k, v in cpu.items()})
    # The service's wave-out work is partly done in the wineserver.
    figures["cpu_service_wineserver_s_per_min"] = plus(figures["cpu_service_s_per_min"],
                                                       figures["cpu_wineserver_s_per_min"])
    return figures
