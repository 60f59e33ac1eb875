#!/usr/bin/python3
"""A real melodex window on an X server (Xvfb), resized from outside with
xdotool as a user or a phone's compositor would: after each resize the window
must show, pixel for pixel, what the headless backend shows at that size.

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
    return subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display), capture_output=True,
                          text=True, timeout=20).stdout


def geometry(display, window):
    """(x, y, width, height) of the window on the screen."""
    values = dict(line.split("=", 1) for line in xdotool(display, "getwindowgeometry", "--shell", window).split())
    return tuple(int(values[k]) for k in ("X", "Y", "WIDTH", "HEIGHT"))


def headless_menu(melodex, size, folder):
    """The menu as the headless backend draws it at this size."""
    shot = os.path.join(folder, f"menu-{size[0]}x{size[1]}.png")
    script = f"wait 3000\nshot {shot}\n"
    subprocess.run([melodex, "--backend", "headless", "--fast", "--size", f"{size[0]}x{size[1]}", "--home",
                    os.path.join(folder, "headless"), "--settings", os.path.join(folder, "none.toml"), "--script",
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
    for sub in ("home", "headless", "run", "run-headless"):
        os.makedirs(os.path.join(folder, sub), mode=0o700)
    server, display = start_x_server()
    program = None
    failures = []
    try:
        env = dict(os.environ, DISPLAY=display, XDG_RUNTIME_DIR=os.path.join(folder, "run"))
        env.pop("WAYLAND_DISPLAY", None)
        program = subprocess.Popen([melodex, "--size", "360x720", "--home", os.path.join(folder, "home"),
                                    "--settings", os.path.join(folder, "none.toml")], env=env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = ""
        if wait_for(lambda: xdotool(display, "search", "--name", "^Melodex$").strip(), 20):
            window = xdotool(display, "search", "--name", "^Melodex$").split()[0]
        if not window:
            print("FAILED: no Melodex window appeared")
            return 1
        for width, height in SIZES:
            expected = headless_menu(melodex, (width, height), folder)
            xdotool(display, "windowsize", window, str(width), str(height))

            def shows_menu():
                x, y, w, h = geometry(display, window)
                if (w, h) != (width, height):
                    return False
                shown = ImageGrab.grab(bbox=(x, y, x + w, y + h), xdisplay=display).convert("RGB")
                shows_menu.last = differing_pixels(shown, expected)
                return shows_menu.last == 0
            shows_menu.last = None
            # The splash screen gives way to the menu after three seconds.
            if not wait_for(shows_menu, 15):
                failures.append(f"{width} x {height}: {shows_menu.last} pixels differ from the headless menu")
            else:
                print(f"{width} x {height}: the window shows the menu laid out for its new size")
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
