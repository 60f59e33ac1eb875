#!/usr/bin/python3
"""A real melodex window on an X server (Xvfb), resized from outside with
xdotool as a user or a phone's compositor would: after each resize the window
must show, pixel for pixel, what the headless backend shows at that size, on
the menu and on the result page of a stored song.

Usage: real_window_resize_test.py MELODEX. Exits 77 (skipped) when Xvfb,
xdotool or Pillow's screen grabber are missing.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
SIZES = [(720, 360), (480, 640)]


def skip(why):
    print(f"SKIPPED: {why}")
    sys.exit(SKIP)


try:
    from PIL import Image, ImageGrab
except ImportError:
    skip("Pillow (python3-pil) is not installed")
for tool in ("Xvfb", "xdotool"):
    if not shutil.which(tool):
        skip(f"{tool} is not installed (Debian packages xvfb, xdotool)")


def start_x_server():
    """Xvfb on a free display number, which it reports on a pipe."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1200x24",
                               "-nolisten", "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        number = pipe.readline().strip()
    if not number:
        server.kill()
        skip("Xvfb did not start")
    return server, ":" + number


def xdotool(display, *args):
    """xdotool's output; empty when it fails or, on a busy machine, hangs."""
    try:
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), capture_output=True,
                              text=True, timeout=20).stdout
    except subprocess.TimeoutExpired:
        return ""


def find_window(display, program, seconds):
    """The id of the program's window once it is mapped, or "" when the program
    ends or the time runs out first (a loaded machine may need many seconds)."""
    found = [""]

    def mapped():
        if program.poll() is not None:
            return True
        ids = xdotool(display, "search", "--onlyvisible", "--name", "^Melodex$").split()
        found[0] = ids[0] if ids else ""
        return bool(found[0])
    wait_for(mapped, seconds)
    return found[0]


def geometry(display, window):
    """(x, y, width, height) of the window on the screen."""
    values = dict(line.split("=", 1) for line in xdotool(display, "getwindowgeometry", "--shell", window).split())
    return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


# From the menu: "manage IDs", then open the newest song.
TO_RESULT_KEYS = ["Down", "Return", "Return"]
TO_RESULT_SCRIPT = "key Down\nkey Enter\nkey Enter\n"


def store_song(home):
    """Tag 1 as the tag store writes it: album, artist and title in UTF-16,
    then the five links and the SMS text, each ending in a zero; and a cover."""
    texts = b"".join(t.encode("utf-16-le") + b"\0\0" for t in ("Shorelines", "Nightjar", "Low Tide"))
    links = b"".join(t.encode() + b"\0" for t in ("null", "http://store.test/ringer?id=1", "I found Low Tide",
                                                   "null", "http://store.test/song?id=1"))
    with open(os.path.join(home, "1.dat"), "wb") as tag:
        tag.write(texts + links)
    with open(os.path.join(home, "nexttag.num"), "w") as counter:
        counter.write("2")
    cover = Image.new("RGB", (100, 100), (0, 0, 255))
    cover.paste((255, 128, 0), (50, 0, 100, 100))
    cover.save(os.path.join(home, "1.jpg"), quality=95)


def headless_page(melodex, size, folder, page, keys):
    """A page as the headless backend draws it at this size."""
    home = os.path.join(folder, f"headless-{page}-{size[0]}x{size[1]}")
    shutil.copytree(os.path.join(folder, "home"), home)
    shot = os.path.join(folder, f"{page}-{size[0]}x{size[1]}.png")
    script = f"wait 3000\n{keys}shot {shot}\n"
    subprocess.run([melodex, "--backend", "headless", "--fast", "--size", f"{size[0]}x{size[1]}", "--home",
                    home, "--settings", os.path.join(folder, "none.toml"), "--script",
                    "-"], input=script, text=True, check=True, capture_output=True, timeout=60,
                   env=dict(os.environ, XDG_RUNTIME_DIR=os.path.join(folder, "run-headless")))
    return Image.open(shot).convert("RGB")


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if condition():
            return True
        time.sleep(0.1)
    return False


def differing_pixels(a, b):
    return sum(1 for p, q in zip(a.getdata(), b.getdata()) if p != q)


def main():
    melodex = sys.argv[1]
    folder = tempfile.mkdtemp(prefix="melodex-x11-")
    for sub in ("home", "run", "run-headless"):
        os.makedirs(os.path.join(folder, sub), mode=0o700)
    store_song(os.path.join(folder, "home"))
    server, display = start_x_server()
    program = None
    output = tempfile.TemporaryFile()
    failures = []
    try:
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=os.path.join(folder, "run"))
        env.pop("WAYLAND_DISPLAY", None)
        program = subprocess.Popen([melodex, "--size", "360x720", "--home", os.path.join(folder, "home"),
                                    "--settings", os.path.join(folder, "none.toml")], env=env,
                                   stdout=output, stderr=subprocess.STDOUT)
        window = find_window(display, program, 90)
        if not window:
            status = "running" if program.poll() is None else f"ended with status {program.returncode}"
            output.seek(0)
            print(f"FAILED: no Melodex window appeared within 90 s (melodex {status}); its output:")
            print(output.read().decode(errors="replace"))
            return 1
        for page, keys in (("menu", []), ("result", TO_RESULT_KEYS)):
            if keys:
                xdotool(display, "key", "--window", window, *keys)
            for width, height in SIZES:
                script = TO_RESULT_SCRIPT if keys else ""
                expected = headless_page(melodex, (width, height), folder, page, script)
                xdotool(display, "windowsize", window, str(width), str(height))
                last = [None]

                def shows_page():
                    x, y, w, h = geometry(display, window)
                    if (w, h) != (width, height):
                        return False
                    shown = ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display).convert("RGB")
                    last[0] = differing_pixels(shown, expected)
                    return last[0] == 0
                # The splash screen gives way to the menu after three seconds.
                if not wait_for(shows_page, 30):
                    failures.append(f"{page} at {width} x {height}: {last[0]} pixels differ from the headless page")
                else:
                    print(f"{page} at {width} x {height}: the window shows the page laid out for its new size")
        if program.poll() is not None:
            failures.append(f"melodex ended with status {program.returncode}")
    finally:
        if program and program.poll() is None:
            program.terminate()
            program.wait(timeout=10)
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
