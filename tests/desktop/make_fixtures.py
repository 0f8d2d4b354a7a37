"""make_fixtures.py OUT: sample_jpeg.py's drawing compressed in each way a
decoder must handle, each beside djpeg's 24-bit bitmap of it."""
import subprocess
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools"))
import sample_jpeg  # noqa: E402

out = Path(sys.argv[1])
out.mkdir(parents=True, exist_ok=True)
odd = ["-sample", "1x1"]
for name, w, h, options in [("photo", 1920, 1080, []), ("second", 1280, 720, []),
                            ("progressive", 801, 601, ["-progressive"]), ("restart", 1023, 17, ["-restart", "1"]),
                            ("gray", 333, 211, ["-grayscale"]), ("grayprogressive", 333, 211, ["-grayscale", "-progressive"]),
                            ("1x1", 1, 1, odd), ("2x3", 2, 3, odd), ("3x5", 3, 5, odd), ("5x2", 5, 2, odd),
                            ("641x3", 641, 3, odd)]:
    jpeg = sample_jpeg.make_jpeg(out / (name + ".jpg"), w, h, len(name), 90, options)
    subprocess.run(["djpeg", "-bmp", "-rgb", "-outfile", str(out / (name + ".bmp")), str(jpeg)], check=True)
(out / "stamp").write_text("done\n")
