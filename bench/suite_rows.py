"""The rows that run the test suite's own roads: flat, the soak road of
tests/soak over minutes with a seek every 5 s and the service's handles and
memory sampled; and the resume, tests/road's service killed mid-file and
restarted on its port."""
import argparse
import contextlib
import io
import os
import threading

from suite import road_test, soak_road

HERE = os.path.dirname(os.path.abspath(__file__))


class FlatRun:
    """The soak road on a thread of its own, without a recording."""

    def __init__(self, build, minutes, say):
        self.args = argparse.Namespace(
            host=os.path.join(build, "host", "tvhost.exe"),
            plugin=os.path.join(build, "plugin", "out_tonvale.dll"),
            daemon=os.path.join(build, "Tonvaled.exe"),
            figures=os.path.join(build, "tests", "soak", "tvfigures.exe"))
        self.minutes = minutes
        self.result = None
        self.say = say
        self.opened = threading.Event()
        self.thread = threading.Thread(target=self._run)
        self.thread.start()

    def _run(self):
        try:
            self.result = soak_road.run(self.args, self.minutes, 5000, sample_every=30.0,
                                        say=lambda text: None, opened=self.opened)
        except BaseException as error:  # the benchmark goes on and shows the row empty
            self.say("bench: the long run failed: %s" % error)
            self.result = {}
        self.opened.set()

    def figures(self):
        self.thread.join()
        r = self.result or {}
        samples = r.get("figures") or []
        out = {"minutes": self.minutes, "samples": samples, "host_rc": r.get("host_rc"),
               "idle_before": r.get("idle_before"), "idle_after": r.get("idle_after"),
               "wire": r.get("wire"), "wire_errors": (r.get("proxy_errors") or [])[:10]}
        span = soak_road.start_and_end(samples, self.minutes)
        if span:
            (out["start_s"], out["handles_start"], out["private_start"]), \
                (_, out["handles_end"], out["private_end"]) = span
            out["private_first"] = samples[0][2]
        return out


# The new service listens this long after the kill in the resume row.
RESUME_RESTART_S = 1.0


def measure_resume(build, count):
    """The service killed mid-file and a new one started 1 s later, `count`
    times: from the new service's listening socket to sound again, read off
    the recording (tests/road's resume case, without its checks)."""
    args = argparse.Namespace(host=os.path.join(build, "host", "tvhost.exe"),
                               plugin=os.path.join(build, "plugin", "out_tonvale.dll"),
                               daemon=os.path.join(build, "Tonvaled.exe"),
                               make_wav=os.path.join(os.path.dirname(HERE), "scripts",
                                                     "make_wav.py"))
    result = {"listen_to_sound_ms": [], "lost_ms": [], "kept_open_ms": [], "runs": count}
    for _ in range(count):
        road = road_test.Road(args, direct=True)
        try:
            with contextlib.redirect_stdout(io.StringIO()):
                _, _, _, figures = road_test.play_through_restart(road, RESUME_RESTART_S,
                                                                   seconds=4)
        finally:
            road.close()
        if figures:
            # A restart whose killed service Wine left connected is waited
            # out by the plug-in's silence rule: shown apart, not as a time
            # to put the stream back.
            heard = "kept_open_ms" if figures["kept_open"] else "listen_to_sound_ms"
            result[heard].append(figures["listen_to_sound_ms"])
            result["lost_ms"].append(figures["lost_ms"])
    return result
