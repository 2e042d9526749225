"""What the benchmark takes from the test suite rather than copying it: the
helpers of tests/host/e2e_test.py (a service in a folder of its own, ports,
paths, the sink's view of a sample), the soak road of tests/soak and the
restart road of tests/road."""
import os
import sys

TESTS = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "tests")
for part in ("road", "host", "soak"):
    if os.path.join(TESTS, part) not in sys.path:
        sys.path.insert(0, os.path.join(TESTS, part))
import road_test  # noqa: E402,F401
import soak_road  # noqa: E402,F401
from e2e_test import (GAIN, DaemonCopy, end_process, free_port, pids_running,  # noqa: E402,F401
                      sink_sample, wait_for_port, win_path, write_ini)
