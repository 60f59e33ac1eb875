#!/usr/bin/python3
"""A real melodex window on an X server (Xvfb), resized from outside with
xdotool as a user or a phone's compositor would: after each resize the window
must show, pixel for pixel, what the headless backend shows at that size, on
the menu and on the result page of a stored song. Then a start at the default
size: on this 1200-pixel-high display the window is zoomed twice, shows each
client pixel as a crisp 2 x 2 block, and a click on a zoomed menu item
chooses it.

Usage: real_window_resize_test.py MELODEX. Exits 77 (skipped) when Xvfb,
xdotool or Pillow's screen grabber are missing.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SIZES = [(720, 360), (480, 640)]
PAGES = [("menu", [], ""), ("result", ["Down", "Return", "Return"], "key Down\nkey Enter\nkey Enter\n")]

try:
    from PIL import Image, ImageGrab
except ImportError:
    print("SKIPPED: Pillow (python3-pil) is not installed")
    sys.exit(77)
for tool in ("Xvfb", "xdotool"):
    if not shutil.which(tool):
        print(f"SKIPPED: {tool} is not installed (Debian packages xvfb, xdotool)")
        sys.exit(77)


def xdotool(display, *args):
    """xdotool's output; empty when it fails or, on a busy machine, hangs."""
    try:
        return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), capture_output=True,
                              text=True, timeout=20).stdout
    except subprocess.TimeoutExpired:
        return ""


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.1)
    return True


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


def headless_page(melodex, folder, page, script, width, height):
    """The page as the headless backend draws it at this size."""
    home = os.path.join(folder, f"headless-{page}-{width}x{height}")
    shutil.copytree(os.path.join(folder, "home"), home)
    shot = home + ".png"
    subprocess.run([melodex, "--backend", "headless", "--fast", "--size", f"{width}x{height}", "--home", home,
                    "--settings", os.path.join(folder, "none.toml"), "--script", "-"],
                   input=f"wait 3000\n{script}shot {shot}\n", text=True, check=True, capture_output=True,
                   timeout=60, env=dict(os.environ, XDG_RUNTIME_DIR=os.path.join(folder, "run-headless")))
    return Image.open(shot).convert("RGB")


def start_melodex(melodex, folder, display, output, *options):
    """The program on the X server and its mapped window's id ("" when none appeared)."""
    env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=os.path.join(folder, "run"))
    env.pop("WAYLAND_DISPLAY", None)
    program = subprocess.Popen([melodex, *options, "--home", os.path.join(folder, "home"), "--settings",
                                os.path.join(folder, "none.toml")], env=env, stdout=output, stderr=subprocess.STDOUT)
    found = []
    # A loaded machine may need many seconds to map the window.
    wait_for(lambda: program.poll() is not None or found.extend(
        xdotool(display, "search", "--onlyvisible", "--name", "^Melodex$").split()) or found, 90)
    return program, (found[0] if found else "")


def grab(display, window):
    """What the window shows, and where it is."""
    values = dict(line.split("=", 1) for line in xdotool(display, "getwindowgeometry", "--shell", window).split())
    x, y, w, h = (int(values.get(k, -1)) for k in ("X", "Y", "WIDTH", "HEIGHT"))
    if w <= 0 or h <= 0:
        return None, (x, y)
    return ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display).convert("RGB"), (x, y)


def differing(shown, expected, zoom=1):
    """Pixels of the expected client area not shown as zoom x zoom blocks of their colour."""
    if shown is None or shown.size != (expected.width * zoom, expected.height * zoom):
        return expected.width * expected.height
    return sum(1 for p, q in zip(shown.resize(expected.size, Image.NEAREST).getdata(), expected.getdata()) if p != q) \
        + sum(1 for p, q in zip(shown.getdata(), expected.resize(shown.size, Image.NEAREST).getdata()) if p != q)


def check_auto_zoom(melodex, folder, display, output, failures):
    """The default start is zoomed twice; a click on "manage IDs" opens the list."""
    program, window = start_melodex(melodex, folder, display, output)
    try:
        if not window:
            failures.append("no Melodex window appeared at the default zoom")
            return
        for page, script, click in (("menu", "", (120, 164)), ("history", "key Down\nkey Enter\n", None)):
            expected = headless_page(melodex, folder, page, script, 240, 320)
            last = [None]

            def shows_page():
                last[0] = differing(grab(display, window)[0], expected, zoom=2)
                return last[0] == 0
            if not wait_for(shows_page, 30):
                failures.append(f"{page} at the default zoom: {last[0]} pixels differ from the headless page doubled")
            if click:
                _, (x, y) = grab(display, window)
                xdotool(display, "mousemove", str(x + 2 * click[0] + 1), str(y + 2 * click[1] + 1), "click", "1")
    finally:
        program.terminate()
        program.wait(timeout=10)


def main():
    melodex = sys.argv[1]
    folder = tempfile.mkdtemp(prefix="melodex-x11-")
    for sub in ("home", "run", "run-headless"):
        os.makedirs(os.path.join(folder, sub), mode=0o700)
    store_song(os.path.join(folder, "home"))
    read_end, write_end = os.pipe()  # Xvfb reports its display number on it
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1200x24", "-nolisten",
                               "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        display = ":" + pipe.readline().strip()
    program, failures = None, []
    output = tempfile.TemporaryFile()
    try:
        program, window = start_melodex(melodex, folder, display, output, "--zoom", "1")  # auto would be 2 here
        if not window:
            output.seek(0)
            print(f"FAILED: no Melodex window appeared (melodex status {program.poll()}); its output:")
            print(output.read().decode(errors="replace"))
            return 1
        for page, keys, script in PAGES:
            if keys:
                xdotool(display, "key", "--window", window, *keys)
            for width, height in SIZES:
                expected = headless_page(melodex, folder, page, script, width, height)
                xdotool(display, "windowsize", window, str(width), str(height))
                last = [None]

                def shows_page():
                    last[0] = differing(grab(display, window)[0], expected)
                    return last[0] == 0
                # The splash screen gives way to the menu after three seconds.
                if not wait_for(shows_page, 30):
                    failures.append(f"{page} at {width} x {height}: {last[0]} pixels differ from the headless page")
        if program.poll() is not None:
            failures.append(f"melodex ended with status {program.returncode}")
        program.terminate()
        program.wait(timeout=10)
        check_auto_zoom(melodex, folder, display, output, failures)
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
