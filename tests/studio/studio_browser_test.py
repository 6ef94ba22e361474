#!/usr/bin/python3
"""The studio in a real browser: a neighbourhood set, two labels painted with
pointer strokes, the training failure while one has no marks, the overlay,
shares and legend on the page; then the `clsg run` command the page gives for
the saved tool must give the label image the page shows, byte for byte.

Usage: studio_browser_test.py CLSG IMAGE ARTEFACT_DIR
Exits 77 (skipped) only when Chromium cannot start, saying so loudly.
"""
import base64
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def start_studio(clsg, image, out_dir):
    proc = subprocess.Popen([clsg, "studio", image, "--out", out_dir], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    line = proc.stdout.readline()
    match = re.search(r"(http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32})", line)
    if not match:
        proc.kill()
        fail("clsg studio did not print its address: " + line)
    return proc, match.group(1)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                     "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync",
                     "--user-data-dir=" + profile, "--window-size=1400,860"]:
            options.add_argument(flag)
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except Exception as e:  # any failure to start the browser is a skip, not a pass
        print("\n" + "!" * 72 + "\nSKIPPED: the studio browser test could not start Chromium:\n  " +
              str(e).strip().splitlines()[0] + "\n" + "!" * 72 + "\n", file=sys.stderr)
        sys.exit(SKIP)


def wait_for(driver, script, what, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    error = driver.execute_script("return document.getElementById('error').textContent")
    fail("timed out waiting for " + what + " (page error: " + repr(error) + ")")


def stroke(driver, canvas, points):
    """Drags the left button through image points (x, y)."""
    from selenium.webdriver.common.action_chains import ActionChains
    v = driver.execute_script("return window.clsgStudio.view()")
    size = canvas.size

    def offset(p):  # from the canvas centre, in CSS pixels
        return (round(p[0] * v["scale"] + v["offsetX"] - size["width"] / 2),
                round(p[1] * v["scale"] + v["offsetY"] - size["height"] / 2))

    chain = ActionChains(driver, duration=20).move_to_element_with_offset(canvas, *offset(points[0]))
    chain.click_and_hold()
    for p in points[1:]:
        chain.move_to_element_with_offset(canvas, *offset(p))
    chain.release().perform()


def read_pgm(path):
    with open(path, "rb") as f:
        data = f.read()
    match = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", data)
    width, height = int(match.group(1)), int(match.group(2))
    return data[match.end():match.end() + width * height]


def main():
    clsg, image, artefacts = sys.argv[1:4]
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="clsg-studio-browser-")
    studio, url = start_studio(clsg, image, os.path.join(work, "out"))
    driver = None
    try:
        driver = start_browser(os.path.join(work, "profile"))
        driver.get(url)
        wait_for(driver, "return window.clsgStudio && window.clsgStudio.view().scale > 0 && "
                 "document.getElementById('image-select').options.length", "the page")
        from selenium.webdriver.common.by import By
        canvas = driver.find_element(By.ID, "view")
        for name in ["crema", "table"]:
            field = driver.find_element(By.ID, "new-label")
            field.send_keys(name)
            driver.find_element(By.CSS_SELECTOR, "#add-label button").click()
            wait_for(driver, "return document.querySelectorAll('#labels li[data-label]').length"
                     " === %d" % (["crema", "table"].index(name) + 1), "label " + name)

        # A neighbourhood other than clsg run's default, which the saved
        # command must carry.
        from selenium.webdriver.common.keys import Keys
        field = driver.find_element(By.ID, "neighborhood")
        field.clear()
        field.send_keys("5" + Keys.TAB)
        wait_for(driver, "return window.clsgStudio.settings().neighborhood === 5",
                 "the neighbourhood setting")

        # Crema on the cup, table top right; each label is active when painted.
        driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[0].click()
        stroke(driver, canvas, [(262, 130), (290, 140), (315, 150)])
        # Training cannot work while table has no marks: the page says so.
        wait_for(driver, "const e = document.getElementById('error');"
                 "return window.clsgStudio.settled() && !e.hidden && "
                 "e.textContent.includes('table has no marks')", "the training failure on the page")
        driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[1].click()
        stroke(driver, canvas, [(480, 30), (530, 45), (570, 60)])
        stroke(driver, canvas, [(480, 60), (570, 30)])

        counts = wait_for(driver, "const c = window.clsgStudio.shares();"
                          "return window.clsgStudio.settled() && c && c.length === 3 && "
                          "c[0] > 0 && c[1] > 0 ? c : null",
                          "the segmentation of both labels")
        shares = driver.execute_script(
            "return [...document.querySelectorAll('#labels .share')].map(e => e.textContent)")
        if sum(counts) != 600 * 400:
            fail("the pixel counts %s do not add up to the image" % counts)
        for count, text in zip(counts, shares):
            if text != "%.1f%%" % (100.0 * count / sum(counts)):
                fail("the page shows the share %r for %d of %d pixels" % (text, count, sum(counts)))
        if driver.execute_script("return !document.getElementById('error').hidden"):
            fail("the training failure is still shown after every label has marks")
        legend = driver.execute_script(
            "return document.getElementById('legend').innerText.split(/\\s+/)")
        if legend != ["crema", shares[0], "table", shares[1], "unlabelled",
                      "%.1f%%" % (100.0 * counts[2] / sum(counts))]:
            fail("the legend reads %s" % legend)

        driver.find_element(By.ID, "tool-name").clear()
        driver.find_element(By.ID, "tool-name").send_keys("browser.clsg")
        driver.find_element(By.ID, "save-tool").click()
        command = wait_for(driver, "return document.body.dataset.runCommand", "the saved tool")
        page_labels = base64.b64decode(driver.execute_script("return window.clsgStudio.labelImage()"))
        driver.find_element(By.CSS_SELECTOR, "#command-dialog button").click()
        driver.save_screenshot(os.path.join(artefacts, "studio-browser.png"))

        # The command line the page gives, run by the real program.
        words = shlex.split(command)
        if words[:2] != ["clsg", "run"] or "--neighborhood" not in words or image not in words:
            fail("the page's run command is " + command)
        run_out = words[words.index("--out") + 1]
        subprocess.run([clsg] + words[1:] + ["--format", "pnm"], check=True,
                       stdout=subprocess.DEVNULL)
        stem = os.path.splitext(os.path.basename(image))[0]
        cli_labels = read_pgm(os.path.join(run_out, stem + "-labels.pgm"))
        if cli_labels != page_labels:
            differ = sum(a != b for a, b in zip(cli_labels, page_labels))
            fail("clsg run's label image differs from the page's in %d of %d pixels (%d vs %d bytes)"
                 % (differ, len(cli_labels), len(cli_labels), len(page_labels)))
        print("ok: shares %s, label image identical to clsg run (%d bytes); screenshot in %s"
              % (shares, len(page_labels), artefacts))
    finally:
        if driver:
            driver.quit()
        studio.terminate()
        studio.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
