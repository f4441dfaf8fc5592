"""The screen of the end-to-end run: Xvfb's pictures, xdotool's keys and
clicks, and the main window's panes as a person sees them."""

import os
import re
import select
import subprocess

from e2e_common import PATIENCE, Failure, spawn, wait_for

class Picture:
    """An RGB image, 8 bits a channel, from PPM data: a screenshot or a logo."""

    def __init__(self, ppm):
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+255\s", ppm)
        if not match:
            raise Failure("the screen grabber did not deliver an 8-bit PPM image")
        self.width, self.height = int(match.group(1)), int(match.group(2))
        self.pixels = ppm[match.end():match.end() + self.width * self.height * 3]
        if len(self.pixels) != self.width * self.height * 3:
            raise Failure("the screen grabber delivered a short image")
        self.ppm = ppm

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def area(self, box):
        """The bytes of a rectangle (x, y, width, height), row by row."""
        x, y, w, h = box
        starts = ((row * self.width + x) * 3 for row in range(y, y + h))
        return b"".join(self.pixels[i:i + w * 3] for i in starts)

    def save(self, path, box):
        x, y, w, h = box
        subprocess.run(["/usr/bin/convert", "ppm:-", "-crop", f"{w}x{h}+{x}+{y}", "+repage", f"png:{path}"],
                       input=self.ppm, check=True, timeout=30)

    def find(self, other, box, tolerance=24, mean_tolerance=6.0):
        """Where `other` is shown inside the rectangle box, as (x, y), or None.

        A candidate must match nine spread-out anchor pixels within
        `tolerance` per channel, then the whole picture within
        `mean_tolerance` on average: the program and ImageMagick decode a
        JPEG with the same library, but need not round alike.
        """
        bx, by, bw, bh = box
        ow, oh = other.width, other.height
        anchors = [(ax, ay, other.pixel(ax, ay)) for ay in (oh // 6, oh // 2, 5 * oh // 6)
                   for ax in (ow // 6, ow // 2, 5 * ow // 6)]
        first_x, first_y, (r0, g0, b0) = anchors[0]
        pixels, width = self.pixels, self.width
        for y in range(by, by + bh - oh + 1):
            row = ((y + first_y) * width + first_x) * 3
            for x in range(bx, bx + bw - ow + 1):
                i = row + x * 3
                if (abs(pixels[i] - r0) > tolerance or abs(pixels[i + 1] - g0) > tolerance
                        or abs(pixels[i + 2] - b0) > tolerance):
                    continue
                if all(max(abs(a - b) for a, b in zip(self.pixel(x + ax, y + ay), colour)) <= tolerance
                       for ax, ay, colour in anchors[1:]):
                    mine = self.area((x, y, ow, oh))
                    if sum(abs(a - b) for a, b in zip(mine, other.pixels)) <= mean_tolerance * len(mine):
                        return x, y
        return None


class Display:
    """A virtual X display and the xdotool and screenshot calls made on it."""

    def __init__(self, tmp):
        # -displayfd: Xvfb picks a free display number and writes it once it
        # accepts clients. Unix socket only; X needs no network.
        read_end, write_end = os.pipe()
        spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
              pass_fds=(write_end,), stdout=subprocess.DEVNULL, stderr=open(os.path.join(tmp, "xvfb.log"), "wb"))
        os.close(write_end)
        with os.fdopen(read_end) as pipe:
            ready, _, _ = select.select([pipe], [], [], PATIENCE)
            number = pipe.readline().strip() if ready else ""
        if not number.isdigit():
            raise Failure("Xvfb did not start (see xvfb.log)")
        self.env = dict(os.environ, DISPLAY=f":{number}")

    def run(self, *argv, check=True):
        result = subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=PATIENCE)
        if check and result.returncode != 0:
            raise Failure(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result.stdout

    def windows(self, name=None):
        """Ids of the visible windows named like the regular expression, or of all
        (by class: a borderless one may carry its name where xdotool does not look)."""
        match = ("--name", name) if name else ("--class", ".")
        return {int(w) for w in self.run("xdotool", "search", "--onlyvisible", *match, check=False).split()}

    def wait_window(self, name, what):
        found = wait_for(what, lambda: self.windows(name))
        if len(found) != 1:
            raise Failure(f"{what}: {len(found)} windows named {name!r}")
        return found.pop()

    def geometry(self, window):
        out = self.run("xdotool", "getwindowgeometry", "--shell", str(window))
        values = dict(line.split("=", 1) for line in out.split())
        return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))

    def focus(self, window, *keys):
        # No window manager runs, so nothing hands out the keyboard focus.
        self.run("xdotool", "windowfocus", "--sync", str(window))
        if keys:
            self.key(*keys)

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "80", *keys)

    def click(self, window, x, y):
        """Clicks at (x, y) relative to the window's top-left corner."""
        self.run("xdotool", "mousemove", "--window", str(window), str(x), str(y), "click", "1")

    def shot(self):
        return Picture(subprocess.run(["/usr/bin/import", "-window", "root", "-depth", "8", "ppm:-"],
                                      env=self.env, check=True, capture_output=True, timeout=PATIENCE).stdout)


class MainWindow:
    """Where things are in the main window. Only coarse facts of the layout are
    assumed: the list and the tree fill the left pane below the tool bar on a
    white background, the detail pages the right pane, the status line the
    bottom strip."""

    def __init__(self, display, window):
        self.display, self.window = display, window
        self.x, self.y, self.width, self.height = display.geometry(window)
        self.whole = (self.x, self.y, self.width, self.height)
        # The panes' split follows the font (the left pane is about 45% of
        # the window): the right half of the window is inside the right pane.
        self.right = (self.x + self.width // 2, self.y + 60, self.width - self.width // 2 - 10, self.height - 100)
        self.status = (self.x + 2, self.y + self.height - 20, 240, 17)
        self.list_top = None
        self.pane_top = None  # the find field's top, or the list's without it

    def left_pane_shown(self, shot):
        """Whether the left pane shows a page; remembers where its first row is.
        That row may carry the bluish tint of the current item (the list has
        the keyboard focus) or of a selection; the window's greys never do."""
        def blank(y):
            pixel = shot.pixel(self.x + 100, y)
            return pixel == (255, 255, 255) or pixel[2] - pixel[0] > 8

        # The find field above the list is white as well, but only a line
        # high: the page is the first blank stretch taller than that.
        for y in range(self.y + 30, self.y + 160):
            if all(blank(y + k) for k in range(40)):
                self.pane_top = self.pane_top or next(t for t in range(self.y + 30, y + 1) if blank(t))
                self.list_top = self.list_top or y
                return True
        return False

    def right_pane_blank(self, shot):
        area = shot.area(self.right)
        return area == area[:3] * (self.right[2] * self.right[3])

    def toolbar(self, shot):
        return shot.area((self.x, self.y + 20, 320, self.pane_top - self.y - 24))

    def list_area(self, shot):
        # The left side of the list only: message boxes may cover the rest.
        return shot.area((self.x + 2, self.list_top, 120, 400))

    def click_row(self, row, top=None):
        """Clicks the row-th visible row (from 0) of the list."""
        # Rows are about 13 pixels high with this font; aim at the middle.
        self.display.click(self.window, 60, (top or self.list_top) - self.y + 6 + 13 * row)

    def click_tree_row(self, row):
        """Clicks the row-th visible row (from 0) of the tree, which starts
        where the find field stands above the list."""
        self.click_row(row, top=self.pane_top)
