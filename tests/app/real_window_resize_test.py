#!/usr/bin/python3
"""A real melodex window on Xvfb, resized from outside with xdotool: after each resize it shows, pixel for pixel,
what the headless backend shows at that size. Then, at the default size on this 1200-pixel-high display, it is
zoomed twice (each client pixel a crisp 2 x 2 block) and a click on a zoomed menu item chooses it.
Usage: real_window_resize_test.py MELODEX. Exits 77 (skipped) without Xvfb, xdotool or Pillow.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

SIZES = [(720, 360), (480, 640)]

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


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.1)
    return condition()


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


def check_run(melodex, folder, display, output, zoom, steps, failures):
    """Starts melodex at a zoom; after each step (a resize at zoom 1) the window must show the headless page,
    where a click may follow."""
    program, window = start_melodex(melodex, folder, display, output, *(["--zoom", "1"] if zoom == 1 else []))
    try:
        if not window:
            output.seek(0)
            failures.append(f"no Melodex window appeared at zoom {zoom} (status {program.poll()}); its output:\n"
                            + output.read().decode(errors="replace"))
            return
        for page, script, width, height, click in steps:
            expected = headless_page(melodex, folder, page, script, width, height)
            if zoom == 1:
                xdotool(display, "windowsize", window, str(width), str(height))
            # The splash screen gives way to the menu after three seconds.
            last = []  # pixels that differ, at each look
            if not wait_for(lambda: last.append(differing(grab(display, window)[0], expected, zoom)) or not last[-1]):
                failures.append(f"{page} at {width} x {height}: {last[-1]} pixels differ from the headless page "
                                f"zoomed {zoom} times")
            if click:
                _, (x, y) = grab(display, window)
                xdotool(display, "mousemove", str(x + 2 * click[0] + 1), str(y + 2 * click[1] + 1), "click", "1")
        if program.poll() is not None:
            failures.append(f"melodex ended with status {program.returncode}")
    finally:
        program.terminate()
        program.wait(timeout=10)


def main():
    melodex = sys.argv[1]
    folder = tempfile.mkdtemp(prefix="melodex-x11-")
    for sub in ("home", "run", "run-headless"):
        os.makedirs(os.path.join(folder, sub), mode=0o700)
    read_end, write_end = os.pipe()  # Xvfb reports its display number on it
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1600x1200x24", "-nolisten",
                               "tcp"], pass_fds=(write_end,), stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as pipe:
        display = ":" + pipe.readline().strip()
    failures = []
    output = tempfile.TemporaryFile()
    try:
        check_run(melodex, folder, display, output, 1, [("menu", "", w, h, None) for w, h in SIZES], failures)
        # Auto zoom is 2 on this display; a click on "manage IDs" opens the list.
        check_run(melodex, folder, display, output, 2, [("menu", "", 240, 320, (120, 164)),
                                                        ("history", "key Down\nkey Enter\n", 240, 320, None)], failures)
    finally:
        server.terminate()
        server.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
