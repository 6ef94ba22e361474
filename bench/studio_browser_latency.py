#!/usr/bin/python3
"""Usage: studio_browser_latency.py CLSG COFFEE_PNG OTHER_PNG [STROKES]

Measures the studio in headless Chromium as a user meets it: from the end of a stroke
(pointer up) to the overlay composed on the page, for the part on screen and the whole
image, and to every other open image's preview. Two sessions: ten 1-megapixel images
(made from the two photographs: scaled, mirrored, cropped), and one 12-megapixel image.
Prints best and median per session. Not a test: the numbers depend on the machine."""
import os, re, shutil, statistics, subprocess, sys, tempfile, time

from PIL import Image, ImageOps


def images_1mp(coffee, other, out):
    paths = []
    for k in range(10):
        source = Image.open(coffee if k % 2 == 0 else other).convert("RGB")
        if k >= 2:
            w, h = source.size
            c = (k // 2) * 0.04
            source = source.crop((round(w * c), round(h * c), round(w * (1 - c / 2)), round(h * (1 - c / 2))))
        if k % 4 >= 2:
            source = ImageOps.mirror(source)
        path = os.path.join(out, "photo%02d.png" % k)
        source.resize((1224, 816), Image.BICUBIC).save(path)
        paths.append(path)
    return paths


def image_12mp(coffee, out):
    path = os.path.join(out, "coffee12mp.png")
    Image.open(coffee).convert("RGB").resize((4242, 2828), Image.BICUBIC).save(path)
    return path


def session(clsg, paths, strokes, scale, profile):
    from selenium import webdriver
    from selenium.webdriver import ActionChains, Keys
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    studio = subprocess.Popen([clsg, "studio", *paths, "--out", os.path.join(profile, "out")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("headless no-sandbox disable-gpu disable-quic no-first-run disable-sync disable-component-update "
                 "disable-background-networking window-size=1400,900").split() + ["user-data-dir=" + profile]:
        options.add_argument("--" + flag)
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", studio.stdout.readline()).group(0)
        driver.get(url)
        js = driver.execute_script

        def wait(script, timeout=120):
            end = time.time() + timeout
            while not js(script) and time.time() < end:
                time.sleep(0.01)

        wait("return window.clsgStudio && window.clsgStudio.view().scale > 0 && window.clsgStudio.allSettled()")
        canvas = driver.find_element(By.ID, "view")

        def stroke(points):
            v, size, chain = js("return window.clsgStudio.view()"), canvas.size, ActionChains(driver, duration=10)
            for i, (x, y) in enumerate(points):
                chain.move_to_element_with_offset(canvas, round(x * scale * v["scale"] + v["offsetX"] - size["width"] / 2),
                                                  round(y * scale * v["scale"] + v["offsetY"] - size["height"] / 2))
                i or chain.click_and_hold()
            chain.release().perform()

        # Four labels, a stroke each, as a first user teaches them.
        places = {"crema": (262, 130), "table": (520, 45), "red": (150, 300), "white": (360, 240)}
        for k, name in enumerate(places):
            driver.find_element(By.ID, "new-label").send_keys(name + Keys.ENTER)
            wait("return document.querySelectorAll('#labels li[data-label]').length === %d" % (k + 1))
        for k, (x, y) in enumerate(places.values()):
            driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[k].click()
            stroke([(x, y), (x + 20, y + 8)])
            wait("return window.clsgStudio.allSettled()")
        for k in range(strokes):
            x, y = list(places.values())[k % 4]
            driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[k % 4].click()
            stroke([(x + 3 * (k % 5), y + 4 + 2 * (k % 3)), (x + 30, y + 10)])
            wait("return window.clsgStudio.allSettled()")
            time.sleep(0.2)
        return js("return window.clsgStudio.timings()")[4:], js("return window.clsgStudio.costs()")
    finally:
        driver.quit()
        studio.terminate()
        studio.wait(timeout=10)


def report(name, measured):
    timings, costs = measured
    for what, values in costs.items():
        if values:
            print("%-28s pointer %-6s n=%3d median %5.2f ms  max %5.2f ms" % (name, what, len(values),
                                                                        statistics.median(values), max(values)))
    own = [t["whole"] - t["serverMs"] for t in timings if t.get("whole") is not None and t.get("serverMs")]
    if own:
        print("%-28s page's own share of whole (stroke end to overlay, less the server's time) "
              "median %5.0f ms" % (name, statistics.median(own)))
    for what in ("onScreen", "whole", "previews"):
        values = [t[what] for t in timings if t.get(what) is not None]
        if values:
            print("%-28s %-9s n=%2d best %6.0f ms  median %6.0f ms" % (name, what, len(values), min(values),
                                                                      statistics.median(values)))


def main():
    clsg, coffee, other = sys.argv[1:4]
    strokes = int(sys.argv[4]) if len(sys.argv) > 4 else 12
    work = tempfile.mkdtemp(prefix="clsg-studio-latency-")
    try:
        report("10 x 1 MP (1224 x 816)", session(clsg, images_1mp(coffee, other, work), strokes, 2.04,
                                                os.path.join(work, "p1")))
        report("1 x 12 MP (4242 x 2828)", session(clsg, [image_12mp(coffee, work)], strokes, 7.07,
                                                 os.path.join(work, "p2")))
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
