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

    def test_only_a_whole_picture_of_more_than_200000_bytes_is_kept(self):
        small = h.sample_jpeg(640, 480, seed=3).read_bytes()
        self.assertLess(len(small), 200000)
        # A whole picture, padded after its end marker to a size.
        padded = lambda n: small + b"\0" * (n - len(small))
        page = b"<html><body>" + b"Not a picture. " * 20000 + b"</body></html>"
        # A first day leaves a bitmap; a day that keeps nothing leaves it so.
        self.svc.put_today(self.other_jpeg)
        self.settings()
        self.assertEqual(self.p.run().returncode, 0)
        earlier = self.bitmap().read_bytes()
        rows = [
            # (what the service answers, its picture, base URL path, kept)
            ("exactly 200000 bytes", padded(200000), "", False),
            ("200001 bytes", padded(200001), "", True),
            ("a whole picture with padding after its end", self.jpeg + b"\0" * 4096, "", True),
            ("an empty body", b"", "", False),
            ("an HTML page", page, "", False),
            # The client cannot tell these from a whole answer.
            ("no length, cut at two thirds", self.jpeg, "/mode/cut-nolength", False),
            ("chunked, cut inside a chunk", self.jpeg, "/mode/cut-midchunk", False),
        ]
        for what, picture, path, kept in rows:
            with self.subTest(what):
                self.p.today_file.unlink(missing_ok=True)
                h.set_wallpaper_setting(self.p, "untouched")
                self.svc.put_today(picture)
                self.settings(**{"域名": self.svc.base + path})
                r = self.p.run()
                self.assertEqual(r.returncode, 0 if kept else 1)
                self.assertEqual(self.p.today_file.exists(), kept)
                h.check_final_names(self, self.p, served=[picture])
                if kept:
                    self.assertNotEqual(self.bitmap().read_bytes(), earlier)
                    self.assertTrue(h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))
                    earlier = self.bitmap().read_bytes()
                else:
                    self.assertEqual(self.bitmap().read_bytes(), earlier, "the earlier bitmap changed")
                    # A transfer that itself left no file takes the path of
                    # no file: the earlier bitmap is applied again.
                    self.assertTrue(h.wallpaper_setting(self.p) == "untouched"
                                    or h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))
        # A discarded day is tried again at the next start.
        self.svc.put_today(self.jpeg)
        self.settings()
        self.assertEqual(self.p.run().returncode, 0)
        self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)

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
        if not h.windows():
            # libcurl is loaded only to fetch: where it cannot be, the program
            # starts all the same and the day fails as without a network.
            (self.p.tmp / "lib").mkdir()
            (self.p.tmp / "lib" / "libcurl.so.4").write_bytes(b"")
            self.settings()
            r = self.p.run(extra_env={"LD_LIBRARY_PATH": str(self.p.tmp / "lib")})
            self.assertEqual(r.returncode, 1, r.stderr)
            self.assertFalse(self.p.today_file.exists())
            self.assertEqual(self.bitmap().read_bytes(), earlier)
            self.assertEqual(self.svc.requests().count(META), before + 1, "nothing was fetched")

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

    def test_settings_files_of_other_systems_are_read(self):
        """A settings file as another system left it: the flag, the delay and
        the base URL are read, the day's picture is fetched and made the
        wallpaper, and the autostart entry bears its name."""
        text = (f"[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n延迟运行=0\r\n"
                f"域名={self.svc.base}\r\n备用域名=x\r\n")
        stray = b"; \xff\xfe not the file's encoding\r\n"
        gbk = text.encode("gbk")
        rows = [
            # (what, the file's bytes, where: "linux" or a Windows code page)
            ("GBK, from a Chinese Windows", gbk, ("linux", 1252, 932)),
            ("GBK with a line that is no GBK", gbk.replace(b"\r\n", b"\r\n" + stray, 1), ("linux", 1252)),
            ("UTF-8 with a line that is no UTF-8", text.encode().replace(b"\r\n", b"\r\n" + stray, 1),
             ("linux",)),
            ("UTF-16, from a Windows of another code page", b"\xff\xfe" + text.encode("utf-16-le"),
             ("linux", 936)),
        ]
        self.svc.put_today(self.jpeg)
        if h.windows():
            self.addCleanup(h.set_autostart, None)
        ran = 0
        for what, data, where in rows:
            for system in where:
                if (system == "linux") == h.windows():
                    continue
                with self.subTest(what, system=system):
                    ran += 1
                    self.p.today_file.unlink(missing_ok=True)
                    h.set_wallpaper_setting(self.p, "untouched")
                    if h.windows():
                        h.set_autostart(None)
                    else:
                        self.p.autostart_file().unlink(missing_ok=True)
                    before = self.svc.requests().count(META)
                    self.p.ini.write_bytes(data)
                    r = self.p.run(code_page=None if system == "linux" else system)
                    self.assertEqual(self.svc.requests().count(META), before + 1, "no request: no base URL")
                    self.assertEqual(r.returncode, 0)
                    self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
                    self.assertTrue(h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))
                    if h.windows():
                        # Read back through the wide registry functions.
                        self.assertEqual(h.autostart_entry(), ("sz", h.windows_path(self.p.exe)))
                    else:
                        self.assertTrue(self.p.autostart_file().is_file())
                    self.assertEqual(self.p.ini.read_bytes(), data, "a run never writes the settings")
        self.assertGreater(ran, 0)

    def test_a_first_start_outside_gbk_keeps_the_settings_in_unicode(self):
        if not h.windows():
            self.skipTest("a Windows code page")
        r = self.p.run(code_page=1252, timeout=120)
        self.assertEqual(r.returncode, 1)
        raw = self.p.ini.read_bytes()
        # As Notepad reads it: UTF-16 by its byte-order mark.
        self.assertEqual(raw[:2], b"\xff\xfe")
        self.assertEqual(raw.decode("utf-16"), h.DEFAULT_SETTINGS)
        # The user points 域名 at the service, and Notepad keeps the encoding.
        edited = raw.decode("utf-16").replace("https://www.image-service.invalid", self.svc.base)
        self.p.ini.write_bytes(b"\xff\xfe" + edited.encode("utf-16-le"))
        self.svc.put_today(self.jpeg)
        r = self.p.run(code_page=1252)
        self.assertEqual(r.returncode, 0)
        self.assertIn("GET " + META, self.svc.requests())
        self.assertGreaterEqual(r.seconds, 6, "the delay of 6 s")
        self.assertEqual(self.p.today_file.read_bytes(), self.jpeg)
        self.assertTrue(h.wallpaper_names(self.p, self.bitmap()), h.wallpaper_setting(self.p))

    def test_what_a_killed_run_leaves_goes_at_the_next_start_and_a_working_copys_stays(self):
        # Killed while downloading, with another copy starting meanwhile.
        self.svc.put_today(self.jpeg)
        self.settings(**{"域名": self.svc.base + "/mode/stall-picture"})
        first = self.p.start("first")
        try:
            download = self.p.wait_for_pending(f"img/{h.today()}.jpg.part-*", first)
            self.settings(**{"域名": self.svc.base + "/mode/404"})
            self.assertEqual(self.p.run().returncode, 1)
            self.assertTrue(download.exists(), "the file of a copy still at work was removed")
        finally:
            self.p.kill(first)
        self.assertTrue(download.exists())
        self.settings()
        self.assertEqual(self.p.run().returncode, 0, "the day is completed")
        self.assertEqual(self.p.pending_files(), [])
        h.check_final_names(self, self.p, served=[self.jpeg])
        bitmap = self.bitmap().read_bytes()

        # Killed while converting a large picture.
        large = h.large_jpeg().read_bytes()
        self.svc.put_today(large)
        self.p.today_file.unlink()
        converting = self.p.start("converting")
        try:
            conversion = self.p.wait_for_pending("img/WallPaper.bmp.part-*", converting, timeout=120)
        finally:
            self.p.kill(converting)
        self.assertTrue(conversion.exists())
        self.assertEqual(self.bitmap().read_bytes(), bitmap, "the bitmap is replaced whole or not at all")
        self.assertEqual(self.p.run().returncode, 0, "the day's picture was kept before the conversion")
        self.assertEqual(self.p.pending_files(), [])
        h.check_final_names(self, self.p, served=[large])
        self.assertEqual(self.bitmap().read_bytes(), bitmap)

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
