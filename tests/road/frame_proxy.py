"""A frame-aware TCP proxy between the plug-in and the real Tonvaled, for
fault injection and wire checks.

    import frame_proxy
    proxy = frame_proxy.FrameProxy(target_port=service_port)   # listens on proxy.port
    proxy.inject(frame_proxy.CMD_WRITE, frame_proxy.RESET, nth=100)
    proxy.inject(frame_proxy.CMD_FLUSH, lambda frame: stop_service())
    ... point the plug-in's ServerPort at proxy.port and play ...
    proxy.close()
    assert not proxy.errors

Every connection the plug-in makes to proxy.port gets a connection of its
own to 127.0.0.1:target_port. Both directions are parsed as frames (a 5-byte
header: uint8 code, int32 little-endian length or value; requests carry
`length` payload bytes, the service's frames none), forwarded whole, and
recorded as Frame records in proxy.frames, in the order the proxy saw them.

Checks, collected as text in proxy.errors (empty when all is well):
  - every request is whole and well formed: code 1..8 but not CMD_PLAYED,
    CMD_OPEN 16 bytes, CMD_VOLUME 4, CMD_PAUSE/RESUME/FLUSH/CLOSE 0,
    CMD_WRITE above 0; a connection that ends inside a frame is an error
    unless the proxy itself cut it;
  - every service frame is a reply (codes 1, 4, 8 with value 0 or 1) or a
    CMD_PLAYED with a value above 0;
  - each CMD_PLAYED value equals the length of the oldest CMD_WRITE of its
    connection not yet reported (the service plays and reports in order).

Per connection (proxy.connections, Connection records): write_bytes and
played_bytes (totals), pending (written minus played), flushes, and, with
keep_writes=True, `written`, every CMD_WRITE payload of the connection
joined, for comparing with what was sent.

Faults, armed with inject(code, action, nth=1, direction=TO_SERVICE); the
action runs when the nth frame of that code (counted over all connections)
arrives, before it is forwarded, and is one of:
  RESET         the frame is dropped and both sides are reset (SO_LINGER
                {1, 0}, then close), as a failing network or peer would;
  ("hold", s)   the frame and everything after it in its direction wait s
                seconds;
  a callable    called with the Frame on the proxy's thread (keep it short:
                that direction waits for it), then the frame is forwarded.
proxy.injected lists (time, code, action name) of the faults carried out.

The proxy keeps the system's socket buffers (small ones starve the sound
card through TCP's window rules), so while the service is stopped it holds
up to a few hundred kilobytes more than a direct connection would: tests of
how far the plug-in's sends block should connect the plug-in directly.
"""
import collections
import socket
import struct
import threading
import time

CMD_OPEN, CMD_WRITE, CMD_PLAYED, CMD_FLUSH = 1, 2, 3, 4
CMD_PAUSE, CMD_RESUME, CMD_VOLUME, CMD_CLOSE = 5, 6, 7, 8
NAMES = {CMD_OPEN: "OPEN", CMD_WRITE: "WRITE", CMD_PLAYED: "PLAYED", CMD_FLUSH: "FLUSH",
         CMD_PAUSE: "PAUSE", CMD_RESUME: "RESUME", CMD_VOLUME: "VOLUME", CMD_CLOSE: "CLOSE"}
HEADER = 5
TO_SERVICE, TO_PLUGIN = "to_service", "to_plugin"
RESET = "reset"

# The lengths each request must carry; None: any length above 0.
REQUEST_LENGTHS = {CMD_OPEN: 16, CMD_WRITE: None, CMD_FLUSH: 0, CMD_PAUSE: 0,
                   CMD_RESUME: 0, CMD_VOLUME: 4, CMD_CLOSE: 0}
REPLY_CODES = (CMD_OPEN, CMD_FLUSH, CMD_CLOSE)
# Nothing the plug-in sends is anywhere near this; a larger length means the
# stream has lost its framing, and reading it would only hang.
MAX_PAYLOAD = 16 * 1024 * 1024

Frame = collections.namedtuple("Frame", "time connection direction code value payload_length")


class Connection:
    """One plug-in connection and its counts; `index` counts from 0."""

    def __init__(self, index, keep_writes):
        self.index = index
        self.opened = time.time()
        self.closed = None
        self.write_bytes = 0
        self.played_bytes = 0
        self.flushes = 0
        self.unreported = collections.deque()
        self.written = bytearray() if keep_writes else None
        self.cut = False  # the proxy reset it

    @property
    def pending(self):
        return self.write_bytes - self.played_bytes


def describe(frame):
    return "%s %s %d" % (frame.direction, NAMES.get(frame.code, "code %d" % frame.code),
                         frame.value)


def reset_socket(sock):
    """Resets a connection: RST instead of FIN, and wakes a blocked reader."""
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.shutdown(socket.SHUT_RD)
    except OSError:
        pass
    try:
        sock.close()
    except OSError:
        pass


def quick_ack(sock):
    try:
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_QUICKACK, 1)
    except OSError:
        pass


class FrameProxy:
    def __init__(self, target_port, listen_port=0, keep_writes=False):
        self.target_port = target_port
        self.keep_writes = keep_writes
        self.frames = []
        self.errors = []
        self.connections = []
        self.injected = []
        self._faults = []  # [code, direction, nth, action, seen]
        self._lock = threading.Lock()
        self._closing = False
        self._listener = socket.socket()
        self._listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self._listener.bind(("127.0.0.1", listen_port))
        self._listener.listen(4)
        self.port = self._listener.getsockname()[1]
        self._pairs = []
        self._acceptor = threading.Thread(target=self._accept_loop, daemon=True)
        self._acceptor.start()

    # ---- public API ----

    def inject(self, code, action, nth=1, direction=TO_SERVICE):
        """Arms one fault (see the module's description)."""
        with self._lock:
            self._faults.append([code, direction, nth, action, 0])

    def count(self, code, direction=None):
        """Frames of a code seen so far, in one direction or both."""
        with self._lock:
            return sum(1 for f in self.frames
                       if f.code == code and (direction is None or f.direction == direction))

    def wait_for(self, predicate, seconds):
        """Waits until predicate(proxy) holds; returns whether it did."""
        deadline = time.time() + seconds
        while time.time() < deadline:
            if predicate(self):
                return True
            time.sleep(0.02)
        return predicate(self)

    def close(self):
        self._closing = True
        try:
            self._listener.close()
        except OSError:
            pass
        for pair in list(self._pairs):
            for sock in pair:
                reset_socket(sock)

    # ---- inside ----

    def _error(self, text):
        with self._lock:
            self.errors.append("%.3f %s" % (time.time(), text))

    def _accept_loop(self):
        while not self._closing:
            try:
                plugin, _ = self._listener.accept()
            except OSError:
                return
            try:
                service = socket.create_connection(("127.0.0.1", self.target_port), 10)
                service.settimeout(None)
            except OSError as error:
                # As a dead service would: the plug-in's connection ends at once.
                self._error("cannot reach the service: %s" % error)
                reset_socket(plugin)
                continue
            for sock in (plugin, service):
                sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            with self._lock:
                connection = Connection(len(self.connections), self.keep_writes)
                self.connections.append(connection)
                self._pairs.append((plugin, service))
            for source, sink, direction in ((plugin, service, TO_SERVICE),
                                            (service, plugin, TO_PLUGIN)):
                threading.Thread(target=self._pump, daemon=True,
                                 args=(connection, source, sink, direction)).start()

    def _fault_for(self, frame):
        with self._lock:
            for fault in self._faults:
                code, direction, nth, action, seen = fault
                if code == frame.code and direction == frame.direction and seen < nth:
                    fault[4] += 1
                    if fault[4] == nth:
                        name = action if isinstance(action, str) else (
                            "hold %.1f s" % action[1] if isinstance(action, tuple)
                            else getattr(action, "__name__", "call"))
                        self.injected.append((time.time(), frame.code, name))
                        return action
        return None

    def _read_exactly(self, sock, length):
        data = bytearray()
        while len(data) < length:
            chunk = sock.recv(min(length - len(data), 65536))
            if not chunk:
                break
            data += chunk
            # A delayed acknowledgement would hold the plug-in's next payload
            # back (Nagle waits for it) longer than a direct connection does.
            quick_ack(sock)
        return bytes(data)

    def _pump(self, connection, source, sink, direction):
        ended_by_reset = False
        try:
            while True:
                header = self._read_exactly(source, HEADER)
                if len(header) < HEADER:
                    if header and not connection.cut:
                        self._error("connection %d: %s ends inside a header (%d bytes)" % (
                            connection.index, direction, len(header)))
                    break
                code, value = struct.unpack("<Bi", header)
                payload = b""
                if direction == TO_SERVICE and 0 < value <= MAX_PAYLOAD:
                    payload = self._read_exactly(source, value)
                    if len(payload) < value:
                        if not connection.cut:
                            self._error("connection %d: %s %s ends after %d of %d payload bytes"
                                        % (connection.index, direction, NAMES.get(code, code),
                                           len(payload), value))
                        break
                frame = Frame(time.time(), connection.index, direction, code, value,
                              len(payload))
                self._record(connection, frame, payload)
                if direction == TO_SERVICE and value > MAX_PAYLOAD:
                    self._error("connection %d: framing lost at length %d" % (
                        connection.index, value))
                    break
                action = self._fault_for(frame)
                if action == RESET:
                    connection.cut = True
                    reset_socket(source)
                    reset_socket(sink)
                    ended_by_reset = True
                    break
                if isinstance(action, tuple) and action[0] == "hold":
                    time.sleep(action[1])
                elif callable(action):
                    action(frame)
                sink.sendall(header + payload)
        except ConnectionResetError:
            # The far end reset: pass the reset on, as a direct connection would.
            connection.cut = True
            ended_by_reset = True
            reset_socket(sink)
        except OSError:
            # The other direction has reset the pair under this one.
            ended_by_reset = True
        if not ended_by_reset:
            try:
                sink.shutdown(socket.SHUT_WR)
            except OSError:
                pass
        connection.closed = time.time()

    def _record(self, connection, frame, payload):
        with self._lock:
            self.frames.append(frame)
        if frame.direction == TO_SERVICE:
            self._check_request(connection, frame, payload)
        else:
            self._check_service_frame(connection, frame)

    def _check_request(self, connection, frame, payload):
        code, length = frame.code, frame.value
        if code not in REQUEST_LENGTHS:
            self._error("connection %d: request with code %d (length %d)" % (
                connection.index, code, length))
            return
        wanted = REQUEST_LENGTHS[code]
        if (wanted is None and length <= 0) or (wanted is not None and length != wanted):
            self._error("connection %d: %s with length %d" % (
                connection.index, NAMES[code], length))
        if code == CMD_WRITE and length > 0:
            connection.write_bytes += length
            connection.unreported.append(length)
            if connection.written is not None:
                connection.written += payload
        elif code == CMD_FLUSH:
            connection.flushes += 1

    def _check_service_frame(self, connection, frame):
        code, value = frame.code, frame.value
        if code == CMD_PLAYED:
            if value <= 0:
                self._error("connection %d: PLAYED %d" % (connection.index, value))
                return
            connection.played_bytes += value
            expected = connection.unreported.popleft() if connection.unreported else None
            if expected != value:
                self._error("connection %d: PLAYED %d, but the oldest unreported write is %s"
                            % (connection.index, value, expected))
        elif code not in REPLY_CODES or value not in (0, 1):
            self._error("connection %d: service frame code %d value %d" % (
                connection.index, code, value))
