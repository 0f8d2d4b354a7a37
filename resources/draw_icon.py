"""Draws the application icon: the eye of a peacock's tail feather (the
program is named after the peacock) on its quill, as an RGBA picture of any
size, written as a PAM file. Shapes are tested at several points per pixel
for smooth edges; the smallest sizes leave out the fine barbs, which would
only blur there.

    draw_icon.py SIZE OUT.pam
"""
import math
import sys

# Colours, outside in.
BARB = (74, 122, 44)
VANE = (150, 178, 58)
BRONZE = (196, 138, 46)
TEAL = (22, 166, 160)
HEART = (26, 56, 140)
GLINT = (70, 120, 210)
QUILL = (132, 98, 52)

TILT = math.radians(30)  # the feather leans to the right


def local(x, y, scale):
    """Picture coordinates (0..1, y down) to the feather's own: u across,
    v along it, upwards, centred on the eye; scale is the feather's units
    per picture width."""
    dx, dy = (x - 0.50) * scale, (0.47 - y) * scale
    c, s = math.cos(TILT), math.sin(TILT)
    return dx * c - dy * s, dx * s + dy * c


def in_ellipse(u, v, cu, cv, a, b):
    return ((u - cu) / a) ** 2 + ((v - cv) / b) ** 2 <= 1.0


def egg(u, v, cv, a, b):
    """An ellipse narrowing towards its top, like a feather's eye."""
    t = (v - cv) / b
    width = a * (1.0 - 0.18 * t)
    return abs(t) <= 1.0 and (u / width) ** 2 + t * t <= 1.0


def sample(x, y, size):
    # Without barbs the vane may fill more of a small picture, and the quill
    # keeps at least a pixel's width.
    fine = size >= 48
    scale = 1.30 if fine else 1.12
    quill = max(0.022, 0.55 * scale / size)
    u, v = local(x, y, scale)
    # The eye, innermost first; each ring sits a little lower than the one
    # around it, as on the real feather.
    if in_ellipse(u, v, -0.035, 0.055, 0.035, 0.05) and fine:
        return GLINT + (255,)
    if egg(u, v, 0.0, 0.11, 0.15):
        return HEART + (255,)
    if egg(u, v, 0.03, 0.16, 0.215):
        return TEAL + (255,)
    if egg(u, v, 0.05, 0.205, 0.28):
        return BRONZE + (255,)
    if egg(u, v, 0.08, 0.29, 0.38):
        return VANE + (255,)
    # Barbs fanning out around the vane.
    if fine and egg(u, v, 0.10, 0.36, 0.47):
        angle = math.atan2(v - 0.08, u)
        if math.sin(angle * 44) > 0.35:
            return BARB + (230,)
    # The quill, from the eye down to the lower left corner.
    if -0.66 <= v <= -0.25 and abs(u) <= quill * (1.0 + 0.5 * min(0.0, v + 0.42)):
        return QUILL + (255,)
    return (0, 0, 0, 0)


def draw(size):
    n = 4 if size >= 128 else 6  # samples per pixel along each axis
    out = bytearray()
    for py in range(size):
        for px in range(size):
            acc = [0.0, 0.0, 0.0, 0.0]
            for sy in range(n):
                for sx in range(n):
                    r, g, b, a = sample((px + (sx + 0.5) / n) / size, (py + (sy + 0.5) / n) / size, size)
                    acc[0] += r * a
                    acc[1] += g * a
                    acc[2] += b * a
                    acc[3] += a
            alpha = acc[3] / (n * n)
            if acc[3] > 0:
                out += bytes(round(acc[i] / acc[3]) for i in range(3))
            else:
                out += b"\0\0\0"
            out.append(round(alpha))
    return bytes(out)


def main():
    size, path = int(sys.argv[1]), sys.argv[2]
    header = ("P7\nWIDTH %d\nHEIGHT %d\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n" % (size, size)).encode()
    with open(path, "wb") as f:
        f.write(header + draw(size))


if __name__ == "__main__":
    main()
