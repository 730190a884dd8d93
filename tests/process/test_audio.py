"""Application audio of the real helper on Linux, against a private
PulseAudio daemon and a private X server: which players are heard, the
chunks' shape and pace, and what the video sees when the sound server is
missing or dies. (The Windows build's audio is checked by its unit tests
under Wine, which has no process loopback.)"""

import json
import math
import os
import sys
import tempfile
import time
import unittest

import harness
import pulse_audio

AUDIO_ERR = "Звук приложений недоступен: "


def db(ratio):
    return 10 * math.log10(max(ratio, 1e-30))


class AudioTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.xvfb = harness.Xvfb("640x360x24")

    @classmethod
    def tearDownClass(cls):
        cls.xvfb.stop()

    def start_helper(self, env):
        env = dict(env, DISPLAY=self.xvfb.display)
        helper = pulse_audio.Helper(harness.TARGET.command(
            ["--source", "s:0", "--parent", str(os.getpid()), "--audio", "1", "--fps", "10", "--width", "320",
             "--height", "180"]), env)
        self.addCleanup(helper.close)
        helper.request_key_frames()
        return helper

    def statuses(self, helper):
        return [json.loads(m[2]) for m in helper.of_kind({1})[1:]]  # after the handshake

    def test_players_heard_and_left_out_and_a_dying_server(self):
        daemon = pulse_audio.PulseDaemon()
        self.addCleanup(daemon.stop)
        helper = self.start_helper(daemon.env)
        self.assertIsNotNone(helper.wait_for(lambda m: m[1] == 1 and b"audio" in m[2], 10), helper.stderr())

        amplitude = 8000
        heard = pulse_audio.Player(daemon, 440, amplitude, seconds=4)
        left_out = [pulse_audio.Player(daemon, 1000, amplitude, seconds=7, executable=daemon.named_player("nimbra-tone")),
                    pulse_audio.Player(daemon, 2000, amplitude, seconds=7,
                                       executable=daemon.named_player("voicemeeter-tone"))]
        for player in [heard] + left_out:
            self.addCleanup(player.stop)
        began = time.monotonic()
        time.sleep(4.5)
        chunks = helper.of_kind({4}, began + 1.0, began + 3.0)  # steady play
        heard.stop()
        quiet_from = time.monotonic() + 0.5
        time.sleep(2.5)  # only the left-out players play now
        late = helper.of_kind({4}, quiet_from, time.monotonic())

        self.assertEqual(self.statuses(helper), [{"audio": "ok"}])
        self.assertTrue(85 <= len(chunks) <= 105, len(chunks))  # 50 a second; a busy machine may drop one
        self.assertEqual({len(m[2]) for m in chunks}, {3840})
        left = pulse_audio.left_channel(b"".join(m[2] for m in chunks[:50]))
        self.assertAlmostEqual(pulse_audio.dominant(left, 430, 450, 0.25), 440, delta=3)
        tone = pulse_audio.power(left, 440)
        for freq in (1000, 2000):
            self.assertLess(db(pulse_audio.power(left, freq) / tone), -30, freq)
        rms = math.sqrt(sum(x * x for x in left) / len(left))
        self.assertLess(abs(20 * math.log10(rms / (amplitude / math.sqrt(2)))), 6)
        self.assertEqual(late, [])

        # The server dies: the audio thread must neither spin nor take the video down.
        again = pulse_audio.Player(daemon, 440, amplitude, seconds=10)
        self.addCleanup(again.stop)
        self.assertIsNotNone(helper.wait_for(lambda m: m[1] == 4 and m[0] > quiet_from + 2.5, 5))
        daemon.kill()
        died = time.monotonic()
        cpu = helper.thread_cpu("sys-audio")
        time.sleep(3)
        self.assertLess(helper.thread_cpu("sys-audio") - cpu, 0.3)
        self.assertIsNone(helper.proc.poll())
        self.assertGreater(len(helper.of_kind({2}, died + 1, time.monotonic())), 5)
        self.assertEqual(self.statuses(helper), [{"audio": "ok"}])

    def test_without_a_server_one_error_and_the_video_goes_on(self):
        root = self.enterContext(tempfile.TemporaryDirectory())
        env = dict(harness.TARGET.env, PULSE_SERVER="unix:" + os.path.join(root, "none"))
        helper = self.start_helper(env)
        time.sleep(3)
        statuses = self.statuses(helper)
        self.assertEqual(len(statuses), 1, statuses)
        self.assertTrue(statuses[0]["audio_err"].startswith(AUDIO_ERR), statuses)
        self.assertEqual(helper.of_kind({4}), [])
        self.assertGreater(len(helper.of_kind({2})), 6)
        self.assertIsNone(helper.proc.poll())


if __name__ == "__main__":
    if sys.argv[sys.argv.index("--platform") + 1:][:1] == ["win"]:
        print("skipped: PulseAudio is the Linux build's; Wine's audio is checked by the Windows unit tests")
        sys.exit(0)
    harness.main()
