"""The reference peer: PulseAudio's own native TCP transport, a second
pulseaudio with module-native-protocol-tcp on a loopback port and its own null
sink, timed through libpulse-simple (ctypes) and fed by pacat."""
import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import threading
import time

from suite import end_process, free_port, wait_for_port
from watch import cpu_seconds

BLOCK_FRAMES = 576


class Peer:
    """A second PulseAudio server reachable only by TCP on a loopback port."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="tvbench_peer_")
        self.port = free_port()
        env = dict(os.environ, XDG_RUNTIME_DIR=self.folder, HOME=self.folder)
        env.pop("PULSE_SERVER", None)
        self.log = open(os.path.join(self.folder, "pulseaudio.log"), "w")
        self.server = subprocess.Popen(
            ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--use-pid-file=no",
             "--disallow-exit", "--log-target=stderr",
             "--load=module-null-sink sink_name=peer_sink rate=44100",
             "--load=module-native-protocol-tcp port=%d listen=127.0.0.1 auth-anonymous=1"
             % self.port],
            env=env, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT)
        if not wait_for_port(self.port, 20):
            raise SystemExit("bench: the peer PulseAudio did not listen")
        self.address = "tcp:127.0.0.1:%d" % self.port
        self.simple = ctypes.CDLL("libpulse-simple.so.0")
        self.simple.pa_simple_new.restype = ctypes.c_void_p
        self.simple.pa_simple_new.argtypes = [ctypes.c_char_p, ctypes.c_char_p, ctypes.c_int,
                                              ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p,
                                              ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p]
        for name in ("pa_simple_write", "pa_simple_flush", "pa_simple_free"):
            getattr(self.simple, name).restype = ctypes.c_int
        self.simple.pa_simple_write.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t,
                                                ctypes.c_void_p]
        self.simple.pa_simple_flush.argtypes = [ctypes.c_void_p, ctypes.c_void_p]
        self.simple.pa_simple_free.argtypes = [ctypes.c_void_p]
        self.simple.pa_simple_free.restype = None

    def new_stream(self, queue_bytes):
        class SampleSpec(ctypes.Structure):
            _fields_ = [("format", ctypes.c_int), ("rate", ctypes.c_uint32),
                        ("channels", ctypes.c_uint8)]

        class BufferAttr(ctypes.Structure):
            _fields_ = [("maxlength", ctypes.c_uint32), ("tlength", ctypes.c_uint32),
                        ("prebuf", ctypes.c_uint32), ("minreq", ctypes.c_uint32),
                        ("fragsize", ctypes.c_uint32)]

        sample_format = SampleSpec(3, 44100, 2)  # PA_SAMPLE_S16LE
        attr = BufferAttr(queue_bytes, queue_bytes, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF)
        error = ctypes.c_int(0)
        stream = self.simple.pa_simple_new(self.address.encode(), b"tvbench", 1, b"peer_sink",
                                           b"bench", ctypes.byref(sample_format), None,
                                           ctypes.byref(attr), ctypes.byref(error))
        if not stream:
            raise SystemExit("bench: pa_simple_new failed (%d)" % error.value)
        return stream

    def measure_open(self, count):
        times = []
        for _ in range(count):
            start = time.perf_counter()
            stream = self.new_stream(2 * 176400)
            times.append((time.perf_counter() - start) * 1000)
            self.simple.pa_simple_free(stream)
        return times

    def measure_flush(self, queued_ms, count):
        queue_bytes = queued_ms * 176400 // 1000 // 4 * 4
        stream = self.new_stream(queue_bytes)
        block = os.urandom(BLOCK_FRAMES * 4)
        times = []
        for _ in range(count):
            # A full queue: write the queue's length, let it play a moment, top it up.
            for _ in range(queue_bytes // len(block)):
                self.simple.pa_simple_write(stream, block, len(block), None)
            time.sleep(0.05)
            for _ in range(int(0.05 * 176400) // len(block) + 1):
                self.simple.pa_simple_write(stream, block, len(block), None)
            start = time.perf_counter()
            self.simple.pa_simple_flush(stream, None)
            times.append((time.perf_counter() - start) * 1000)
        self.simple.pa_simple_free(stream)
        return times

    def measure_play(self, seconds, rate, channels, bits):
        """pacat's and the server's CPU for the same audio through TCP."""
        frame = channels * bits // 8
        total = rate * seconds * frame
        block = os.urandom(rate // 10 * frame)
        server_before = cpu_seconds(self.server.pid)
        pacat = subprocess.Popen(
            ["pacat", "--playback", "--raw", "--server=" + self.address, "-d", "peer_sink",
             "--rate=%d" % rate, "--channels=%d" % channels,
             "--format=%s" % ("s16le" if bits == 16 else "s32le"), "--latency-msec=2000"],
            stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def feed():
            sent = 0
            try:
                while sent < total:
                    piece = block[:min(len(block), total - sent)]
                    pacat.stdin.write(piece)
                    sent += len(piece)
                pacat.stdin.close()
            except BrokenPipeError:
                pass

        feeder = threading.Thread(target=feed)
        feeder.start()
        pacat_cpu = 0.0
        while pacat.poll() is None:
            reading = cpu_seconds(pacat.pid)
            if reading is not None:
                pacat_cpu = reading
            time.sleep(0.05)
        feeder.join()
        minutes = seconds / 60.0
        server = cpu_seconds(self.server.pid) - server_before
        return {"cpu_pacat_s_per_min": pacat_cpu / minutes,
                "cpu_server_s_per_min": server / minutes,
                "cpu_total_s_per_min": (pacat_cpu + server) / minutes}

    def close(self):
        end_process(self.server, signal.SIGTERM)
        self.log.close()
        shutil.rmtree(self.folder, ignore_errors=True)
