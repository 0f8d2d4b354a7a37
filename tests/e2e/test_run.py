"""The whole daily run, as a user runs it: the program in a fresh directory,
its settings pointing at the local image service on loopback."""
import os
import resource
import time
import unittest

import harness as h

UA = "Mozilla/5.0 (Windows NT 6.1; WOW64; Trident/7.0; rv:11.0) like Gecko"
META = "/HPImageArchive.aspx?format=js&idx=0&n=1"


class RunTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.jpeg = h.sample_jpeg().read_bytes()
        cls.other_jpeg = h.sample_jpeg(1280, 720, seed=2).read_bytes()

    def setUp(self):
        self.svc = h.ImageService()
        self.p = h.ProgramDir()
        h.set_wallpaper_setting(self.p, "untouched")

    def tearDown(self):
        self.svc.stop()
        self.p.cleanup()

    def settings(self, **over):
        s = {"开机自启动": "0", "设为壁纸": "1", "延迟运行": "0", "域名": self.svc.base, "备用域名": "x"}
        s.update(over)
        self.p.write_settings({k: v for k, v in s.items() if v is not None})

    def bitmap(self):
        return self.p.img / "WallPaper.bmp"

    def test_a_large_jpeg_is_kept_converted_and_applied_only_with_flag_1(self):
        self.svc.put_today(self.jpeg)
        self.settings()
        r = self.p.run()
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
        self.assertEqual(h.bmp_size(self.bitmap()), (1920, 1080))
        self.assertTrue(h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))
        log = self.svc.requests()
        self.assertIn("GET " + META, log)
        self.assertIn("If-Modified-Since: 0", log)
        self.assertIn("User-Agent: " + UA, log)
        self.assertEqual(r.stdout + r.stderr, b"")

        for flag in ("0", "01", "", None):
            with self.subTest(flag=flag):
                h.set_wallpaper_setting(self.p, "untouched")
                self.bitmap().unlink(missing_ok=True)
                self.p.today_file.unlink()
                self.settings(**{"设为壁纸": flag})
                self.assertEqual(self.p.run().returncode, 0)
                self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
                self.assertFalse(self.bitmap().exists())
                self.assertEqual(h.wallpaper_setting(self.p), "untouched")

    def test_size_limit_and_empty_body(self):
        pad = lambda n: (self.jpeg[:n] + b"\0" * max(0, n - len(self.jpeg)))[:n]
        page = b"<html><body>" + b"Not a picture. " * 20000 + b"</body></html>"
        for size, body, kept in ((200000, None, False), (200001, None, True), (0, None, False),
                                 (len(page), page, False)):
            with self.subTest(size=size):
                if self.p.today_file.exists():
                    self.p.today_file.unlink()
                self.svc.put_today(body if body is not None else pad(size))
                self.settings(**{"设为壁纸": "0"})
                r = self.p.run()
                self.assertEqual(self.p.today_file.exists(), kept)
                self.assertEqual(r.returncode, 0 if kept else 1)

    def test_no_file_applies_the_earlier_bitmap_and_the_next_start_tries_again(self):
        # A first day leaves a bitmap; a failed day applies it again.
        self.svc.put_today(self.other_jpeg)
        self.settings()
        self.assertEqual(self.p.run().returncode, 0)
        earlier = self.bitmap().read_bytes()
        self.p.today_file.unlink()
        h.set_wallpaper_setting(self.p, "untouched")
        self.settings(**{"域名": self.svc.base + "/mode/404"})
        r = self.p.run()
        self.assertEqual(r.returncode, 1)
        self.assertFalse(self.p.today_file.exists(), "an error page is never kept")
        self.assertEqual(self.bitmap().read_bytes(), earlier)
        self.assertTrue(h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))
        before = self.svc.requests().count(META)
        self.p.run()
        self.assertEqual(self.svc.requests().count(META), before + 1, "tried again the same day")

    def test_answers_and_base_urls_follow_their_paths(self):
        self.svc.put_today(self.jpeg)
        cases = [
            # (base URL, what the image request must look like in the log)
            (self.svc.base + "/mode/nomarker", None),
            (self.svc.base + "/mode/amp-before", None),
            ("", None),
            (None, None),  # no such key at all
        ]
        for base, seen in cases:
            with self.subTest(base=base):
                if self.p.today_file.exists():
                    self.p.today_file.unlink()
                self.settings(**{"域名": base, "设为壁纸": "0"})
                r = self.p.run()
                self.assertFalse(self.p.today_file.exists(), "nothing here is a picture of the day")
                self.assertEqual(r.returncode, 1)
                if seen:
                    self.assertIn(seen, self.svc.requests())
        # A trailing slash is kept: the service sees two slashes.
        self.settings(**{"域名": self.svc.base + "/", "设为壁纸": "0"})
        self.p.run()
        self.assertIn("GET //HPImageArchive.aspx", self.svc.requests())
        if self.p.today_file.exists():
            self.p.today_file.unlink()
        # The second base URL is never used, whatever it says.
        self.settings(**{"备用域名": "http://127.0.0.1:1", "设为壁纸": "0"})
        self.assertEqual(self.p.run().returncode, 0)

    def test_a_directory_named_like_today_does_not_stop_the_run(self):
        self.svc.put_today(self.jpeg)
        self.settings(**{"设为壁纸": "0"})
        self.p.img.mkdir()
        self.p.today_file.mkdir()
        r = self.p.run()
        self.assertIn(META, self.svc.requests(), "the run went on to the request")
        self.assertEqual(r.returncode, 1, "no image file could be stored under a directory's name")
        self.assertTrue(self.p.today_file.is_dir())

    def test_error_pages_are_never_kept(self):
        for mode in ("404", "500"):
            with self.subTest(mode=mode):
                self.settings(**{"域名": self.svc.base + "/mode/" + mode, "设为壁纸": "0"})
                self.assertEqual(self.p.run().returncode, 1)
                self.assertFalse(self.p.today_file.exists())

    def test_delay_waits_without_burning_the_processor(self):
        self.svc.put_today(self.jpeg)
        self.settings(**{"延迟运行": "0.5", "设为壁纸": "0"})
        r = self.p.run()
        self.assertEqual(r.returncode, 0)
        self.assertGreaterEqual(r.seconds, 0.5)
        self.p.today_file.unlink()
        self.settings(**{"延迟运行": "3", "设为壁纸": "0"})
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        r = self.p.run()
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        self.assertGreaterEqual(r.seconds, 3)
        self.assertLess(cpu, 1.5, f"{cpu:.2f} s of CPU for a 3 s delay")

    def test_a_silent_service_times_out_and_a_kept_day_ends_at_once(self):
        self.settings(**{"域名": self.svc.base + "/mode/hang", "设为壁纸": "0"})
        r = self.p.run(timeout=90)
        self.assertEqual(r.returncode, 1)
        # The metadata wait gives up after 10 s; the download of the base URL
        # alone then meets the same silence and gives up after 30 s without
        # progress.
        self.assertGreater(r.seconds, 40)
        self.assertLess(r.seconds, 50)
        self.assertEqual(r.stdout + r.stderr, b"")

        self.svc.put_today(self.jpeg)
        self.settings(**{"设为壁纸": "0"})
        self.assertEqual(self.p.run().returncode, 0)
        before = self.svc.requests()
        r = self.p.run()
        self.assertEqual(r.returncode, 0)
        self.assertEqual(self.svc.requests(), before, "a done day sends nothing")


if __name__ == "__main__":
    h.main()
