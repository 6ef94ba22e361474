#!/usr/bin/python3
"""The studio in a real browser: neighbourhood set, two labels painted by pointer strokes,
the training failure while one has no marks, shares and legend; then the page's `clsg run`
command for the saved tool must give the page's label image byte for byte.

Usage: studio_browser_test.py CLSG IMAGE ARTEFACT_DIR. Exits 77 only when Chromium cannot start.
"""
import base64, os, re, shlex, shutil, subprocess, sys, tempfile, time

JS_ERROR = "return document.getElementById('error')"


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ["headless", "no-sandbox", "disable-gpu", "disable-quic", "no-first-run",
                     "disable-background-networking", "disable-component-update", "disable-sync",
                     "user-data-dir=" + profile, "window-size=1400,860"]:
            options.add_argument("--" + flag)
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except Exception as e:  # a browser that cannot start is a skip, not a pass
        print("\n%s\nSKIPPED: the studio browser test could not start Chromium:\n  %s\n%s\n"
              % ("!" * 72, str(e).strip().splitlines()[0], "!" * 72), file=sys.stderr)
        sys.exit(77)


def wait_for(driver, script, what, timeout=30):
    end = time.time() + timeout
    while time.time() < end:
        value = driver.execute_script(script)
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for %s (page error: %r)" % (what, driver.execute_script(JS_ERROR + ".textContent")))


def stroke(driver, canvas, points):
    """Drags the left button through image points (x, y)."""
    from selenium.webdriver.common.action_chains import ActionChains
    v, size = driver.execute_script("return window.clsgStudio.view()"), canvas.size
    offsets = [(round(x * v["scale"] + v["offsetX"] - size["width"] / 2),
                round(y * v["scale"] + v["offsetY"] - size["height"] / 2)) for x, y in points]
    chain = ActionChains(driver, duration=20).move_to_element_with_offset(canvas, *offsets[0]).click_and_hold()
    for o in offsets[1:]:
        chain.move_to_element_with_offset(canvas, *o)
    chain.release().perform()


def main():
    clsg, image, artefacts = sys.argv[1:4]
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="clsg-studio-browser-")
    studio = subprocess.Popen([clsg, "studio", image, "--out", os.path.join(work, "out")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    driver = None
    try:
        line = studio.stdout.readline()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", line)
        if not url:
            fail("clsg studio did not print its address: " + line)
        driver = start_browser(os.path.join(work, "profile"))
        driver.get(url.group(0))
        wait_for(driver, "return window.clsgStudio && window.clsgStudio.view().scale > 0 && "
                 "document.getElementById('image-select').options.length", "the page")
        from selenium.webdriver.common.by import By
        from selenium.webdriver.common.keys import Keys
        find, js = driver.find_element, driver.execute_script
        canvas = find(By.ID, "view")
        for count, name in enumerate(["crema", "table"], 1):
            find(By.ID, "new-label").send_keys(name)
            find(By.CSS_SELECTOR, "#add-label button").click()
            wait_for(driver, "return document.querySelectorAll('#labels li[data-label]').length === %d"
                     % count, "label " + name)
        # A neighbourhood other than clsg run's default, which the saved command must carry.
        find(By.ID, "neighborhood").clear()
        find(By.ID, "neighborhood").send_keys("5" + Keys.TAB)
        wait_for(driver, "return window.clsgStudio.settings().neighborhood === 5", "the neighbourhood")

        # Crema on the cup; training cannot work while table has no marks, and the page says so.
        driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[0].click()
        stroke(driver, canvas, [(262, 130), (290, 140), (315, 150)])
        wait_for(driver, "const e = document.getElementById('error'); return window.clsgStudio.settled()"
                 " && !e.hidden && e.textContent.includes('table has no marks')", "the training failure")
        driver.find_elements(By.CSS_SELECTOR, "#labels li[data-label]")[1].click()
        stroke(driver, canvas, [(480, 30), (530, 45), (570, 60)])
        stroke(driver, canvas, [(480, 60), (570, 30)])

        counts = wait_for(driver, "const c = window.clsgStudio.shares(); return window.clsgStudio.settled()"
                          " && c && c.length === 3 && c[0] > 0 && c[1] > 0 ? c : null", "both labels")
        shares = js("return [...document.querySelectorAll('#labels .share')].map(e => e.textContent)")
        expected = ["%.1f%%" % (100.0 * c / sum(counts)) for c in counts]
        if sum(counts) != 600 * 400 or len(shares) < 2 or shares != expected[:len(shares)]:
            fail("the page shows shares %s for pixel counts %s" % (shares, counts))
        if js(JS_ERROR + ".hidden") is not True:
            fail("the training failure is still shown after every label has marks")
        legend = js("return document.getElementById('legend').innerText.split(/\\s+/)")
        if legend != ["crema", expected[0], "table", expected[1], "unlabelled", expected[2]]:
            fail("the legend reads %s" % legend)

        find(By.ID, "tool-name").clear()
        find(By.ID, "tool-name").send_keys("browser.clsg")
        find(By.ID, "save-tool").click()
        command = wait_for(driver, "return document.body.dataset.runCommand", "the saved tool")
        page_labels = base64.b64decode(js("return window.clsgStudio.labelImage()"))
        find(By.CSS_SELECTOR, "#command-dialog button").click()
        driver.save_screenshot(os.path.join(artefacts, "studio-browser.png"))

        # The command line the page gives, run by the real program.
        words = shlex.split(command)
        if words[:2] != ["clsg", "run"] or "--neighborhood" not in words or image not in words:
            fail("the page's run command is " + command)
        subprocess.run([clsg] + words[1:] + ["--format", "pnm"], check=True, stdout=subprocess.DEVNULL)
        stem = os.path.splitext(os.path.basename(image))[0]
        with open(os.path.join(words[words.index("--out") + 1], stem + "-labels.pgm"), "rb") as f:
            data = f.read()
        header = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", data)
        cli_labels = data[header.end():header.end() + int(header.group(1)) * int(header.group(2))]
        if cli_labels != page_labels:
            fail("clsg run's label image differs from the page's in %d of %d pixels (%d vs %d bytes)"
                 % (sum(a != b for a, b in zip(cli_labels, page_labels)), len(cli_labels),
                    len(cli_labels), len(page_labels)))
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
