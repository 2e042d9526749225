#!/usr/bin/env python3
"""The judges of the soak run and of the benchmark's keeping-up row, on
recordings made up here: each fault they are there to see (a lost block, a
repeated block, a silence, sound that is not the file, a jump) must show, and
a clean recording must pass. Pure Python; needs no Wine and no sound server.
"""
import os
import sys
import unittest

sys.dont_write_bytecode = True  # no cache folder in the source tree
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench"))
import soak_road as road  # noqa: E402
import keeping_up  # noqa: E402

F = road.FRAME_BYTES


def frames(n):
    return n * F


class SoakPieces(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.data = road.noise_bytes(2.0, 5)
        cls.sig = road.Signal(cls.data, [255, 128])
        cls.quiet = cls.sig.levels[128]
        cls.full = cls.sig.levels[255]
        cls.silence = bytes(frames(441))

    def runs(self, recorded):
        found = road.pieces(self.sig, recorded)
        return found, road.runs_of(found)

    def test_clean_play_with_an_underrun_is_one_stretch(self):
        d = self.full
        recorded = self.silence + d[:frames(30000)] + self.silence + d[frames(30000):]
        found, runs = self.runs(recorded)
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0]["file"], 0)
        self.assertEqual(runs[0]["bytes"], len(d))
        self.assertEqual(runs[0]["gaps"], [(frames(30000), len(self.silence))])
        self.assertEqual(road.stray_sound(recorded, found), [])

    def test_a_lone_frame_between_two_underruns_stays_in_the_stretch(self):
        d, at = self.full, frames(30000)
        recorded = (d[:at] + self.silence + d[at:at + F] + self.silence + d[at + F:])
        found, runs = self.runs(recorded)
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0]["bytes"], len(d))
        self.assertEqual(road.stray_sound(recorded, found), [])
        # The same lone frame out of place is still sound that is not the file.
        recorded = (d[:at] + self.silence + d[at + F:at + 2 * F] + self.silence + d[at:])
        found, _ = self.runs(recorded)
        self.assertNotEqual(road.stray_sound(recorded, found), [])

    def test_a_lost_block_splits_the_stretch(self):
        d = self.full
        recorded = d[:frames(20000)] + d[frames(20576):]
        _, runs = self.runs(recorded)
        self.assertEqual([r["file"] for r in runs], [0, frames(20576)])

    def test_a_repeated_block_splits_the_stretch(self):
        d = self.full
        recorded = d[:frames(20576)] + d[frames(20000):]
        _, runs = self.runs(recorded)
        self.assertEqual([r["file"] for r in runs], [0, frames(20000)])

    def test_a_single_lost_frame_shows(self):
        d = self.full
        _, runs = self.runs(d[:frames(40000)] + d[frames(40001):])
        self.assertEqual(len(runs), 2)

    def test_a_volume_change_keeps_one_stretch_and_names_both(self):
        recorded = self.full[:frames(25000)] + self.quiet[frames(25000):]
        _, runs = self.runs(recorded)
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0]["volumes"], [255, 128])
        self.assertEqual(runs[0]["bytes"], len(self.data))

    def test_sound_that_is_not_the_file_is_stray(self):
        other = road.noise_bytes(0.01, 99)
        recorded = self.full[:frames(10000)] + other + self.full[frames(10000):]
        found, runs = self.runs(recorded)
        stray = road.stray_sound(recorded, found)
        self.assertEqual(len(stray), 1)
        self.assertEqual(stray[0][0], frames(10000))
        # the stretch goes on in the file, but not without a break in the recording
        self.assertEqual(len(runs), 1)
        self.assertEqual(runs[0]["gaps"], [(frames(10000), len(other))])


class ScriptShape(unittest.TestCase):
    def test_every_seek_is_a_jump_and_the_last_runs_to_the_end(self):
        script = road.Script(1, 40000, 3000, 7, pause_every=5, volume_every=3)
        self.assertEqual(len(script.seeks), 19)
        self.assertEqual(script.seeks[-1], (57000, 37500))
        for (_, before), (_, after) in zip([(0, 0)] + script.seeks, script.seeks[:-1]):
            self.assertFalse(before - 500 <= after <= before + 3000 + 800 + 2000)
        self.assertEqual(script.pause_windows(), [5, 10, 15])
        self.assertEqual(script.volumes()[:4], [255, 200, 128, 255])

    def test_warm_up_counts_only_in_long_runs(self):
        samples = [(4.0, 64, 100), (34.0, 64, 200), (64.0, 64, 300), (90.0, 64, 301)]
        self.assertEqual(road.start_and_end(samples, 1)[0], samples[0])
        self.assertEqual(road.start_and_end(samples, 10), (samples[2], samples[3]))
        self.assertIsNone(road.start_and_end(samples[:1], 10))


class KeepingUpGaps(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sent, cls.shown = keeping_up.hi_period()
        cls.frame = keeping_up.HI_FRAME

    def gaps(self, recorded):
        return keeping_up.stream_gaps(recorded, self.shown, self.frame)

    def test_continuous_signal_has_no_gap(self):
        s, f = self.shown, self.frame
        recorded = bytes(f * 500) + s[f * 130:] + s + s[:f * 9000] + bytes(f * 200)
        self.assertEqual(self.gaps(recorded), ([], []))

    def test_silence_loss_and_repeat_are_counted(self):
        s, f = self.shown, self.frame
        half = len(s) // 2
        recorded = (s[:f * 5000] + bytes(f * 300) + s[f * 5000:half] + s[half + f * 256:] +
                    s[:f * 10] + s)
        silences, jumps = self.gaps(recorded)
        self.assertEqual(silences, [f * 300])
        self.assertEqual(jumps, [f * 256, len(s) - f * 10])

    def test_what_is_not_the_signal_is_a_jump(self):
        s, f = self.shown, self.frame
        recorded = s[:f * 1000] + b"\x01" * f + s[f * 1001:]
        self.assertEqual(self.gaps(recorded), ([], [None]))

    def test_only_the_first_two_channels_carry_the_volume(self):
        sent = memoryview(self.sent).cast("i")
        shown = memoryview(self.shown).cast("i")
        self.assertNotEqual(sent[0], shown[0])
        self.assertEqual(sent[2:8].tolist(), shown[2:8].tolist())


if __name__ == "__main__":
    unittest.main()
