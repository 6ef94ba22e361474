#!/usr/bin/python3
"""Usage: studio_browser_test.py CLSG IMAGE ARTEFACT_DIR: strokes in a real browser; `clsg run` gives the page's labels."""
import base64, os, re, shlex, shutil, subprocess, sys, tempfile, time


def fail(message):
    sys.exit("FAIL: " + message)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("headless no-sandbox disable-gpu disable-quic no-first-run disable-sync disable-component-update "
                     "disable-background-networking window-size=1400,860").split() + ["user-data-dir=" + profile]:
            options.add_argument("--" + flag)
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except Exception as e:  # a browser that cannot start is a skip (77), not a pass
        sys.exit(print("SKIPPED: could not start Chromium: " + str(e)[:300], file=sys.stderr) or 77)


def main():
    clsg, image, artefacts = sys.argv[1:4]
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="clsg-studio-browser-")
    studio = subprocess.Popen([clsg, "studio", image, "--out", os.path.join(work, "out")],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    driver = None
    try:
        line = studio.stdout.readline()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", line) or fail("no address: " + line)
        driver = start_browser(os.path.join(work, "profile"))
        from selenium.webdriver import ActionChains, Keys
        from selenium.webdriver.common.by import By
        find, js = driver.find_element, driver.execute_script

        def wait_for(script, what):
            end = time.time() + 30
            while not (value := js(script)) and time.time() < end:
                time.sleep(0.05)
            return value or fail("timed out waiting for %s (page error: %r)" % (what, js(ERROR + ".textContent")))

        def stroke(points):  # drags the left button through image points (x, y)
            v, size, chain = js("return window.clsgStudio.view()"), canvas.size, ActionChains(driver, duration=20)
            for i, (x, y) in enumerate(points):
                chain.move_to_element_with_offset(canvas, round(x * v["scale"] + v["offsetX"] - size["width"] / 2),
                                                  round(y * v["scale"] + v["offsetY"] - size["height"] / 2))
                i or chain.click_and_hold()
            chain.release().perform()

        ERROR, LABELS = "return document.getElementById('error')", "#labels li[data-label]"
        driver.get(url.group(0))
        wait_for("return window.clsgStudio && window.clsgStudio.view().scale > 0 && "
                 "document.getElementById('image-select').options.length", "the page")
        canvas = find(By.ID, "view")
        for count, name in enumerate(["crema", "table"], 1):
            find(By.ID, "new-label").send_keys(name + Keys.ENTER)
            wait_for("return document.querySelectorAll('%s').length === %d" % (LABELS, count), name)
        find(By.ID, "neighborhood").clear()  # not clsg run's default, so the command must carry it
        find(By.ID, "neighborhood").send_keys("5" + Keys.TAB)
        wait_for("return window.clsgStudio.settings().neighborhood === 5", "the neighbourhood")
        driver.find_elements(By.CSS_SELECTOR, LABELS)[0].click()
        stroke([(262, 130), (290, 140), (315, 150)])
        wait_for("const e = document.getElementById('error'); return window.clsgStudio.settled()"
                 " && !e.hidden && e.textContent.includes('table has no marks')", "the training failure")
        driver.find_elements(By.CSS_SELECTOR, LABELS)[1].click()
        stroke([(480, 30), (530, 45), (570, 60)])
        stroke([(480, 60), (570, 30)])
        counts = wait_for("const c = window.clsgStudio.shares(); return window.clsgStudio.settled()"
                          " && c && c.length === 3 && c[0] > 0 && c[1] > 0 ? c : null", "both labels")
        legend = js("return document.getElementById('legend').innerText.split(/\\s+/)")
        shares = ["%.1f%%" % (100.0 * c / sum(counts)) for c in counts]
        regions = js("return window.clsgStudio.regions()")
        objects = lambda n: ["\u00b7", str(n), "region" if n == 1 else "regions"]  # noqa: E731
        if sum(counts) != 600 * 400 or js(ERROR + ".hidden") is not True or len(regions) != 2 or \
                legend != ["crema", shares[0], *objects(regions[0]), "table", shares[1], *objects(regions[1]),
                           "unlabelled", shares[2]]:
            fail("legend %s for pixel counts %s, error shown: %s" % (legend, counts, js(ERROR + ".hidden")))

        # Hovering a table pixel names its region and its area, as clsg run's table has it (checked below).
        v, size = js("return window.clsgStudio.view()"), canvas.size
        ActionChains(driver).move_to_element_with_offset(
            canvas, round(530 * v["scale"] + v["offsetX"] - size["width"] / 2),
            round(45 * v["scale"] + v["offsetY"] - size["height"] / 2)).perform()
        hover = wait_for("const t = document.getElementById('pixel-info').textContent;"
                         " return t.includes(' px') ? t : null", "the region under the pointer")
        hovered = re.search(r"table #(\d+): (\d+) px", hover)
        hovered or fail("the pointer over the table shows " + hover)
        find(By.ID, "save-tool").click()
        command = wait_for("return document.body.dataset.runCommand", "the saved tool")
        page_labels = base64.b64decode(js("return window.clsgStudio.labelImage()"))
        driver.save_screenshot(os.path.join(artefacts, "studio-browser.png"))
        words = shlex.split(command)
        if words[:2] != ["clsg", "run"] or "--neighborhood" not in words or image not in words:
            fail("the page's run command is " + command)
        subprocess.run([clsg] + words[1:] + ["--format", "pnm", "--regions"], check=True, stdout=subprocess.DEVNULL)
        stem = os.path.splitext(os.path.basename(image))[0] + "-labels.pgm"
        data = open(os.path.join(words[words.index("--out") + 1], stem), "rb").read()
        header = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", data)
        cli_labels = data[header.end():header.end() + int(header.group(1)) * int(header.group(2))]
        if cli_labels != page_labels:
            fail("clsg run's label image differs from the page's in %d pixels" % sum(map(int.__ne__, cli_labels, page_labels)))
        table = open(os.path.join(words[words.index("--out") + 1], stem[:-len("labels.pgm")] + "regions.csv")).read()
        cli_regions = [sum(line.startswith(name + ",") for line in table.splitlines()) for name in ("crema", "table")]
        if cli_regions != regions:
            fail("clsg run counts regions %s, the page %s" % (cli_regions, regions))
        if "\ntable,%s,%s," % hovered.groups() not in table:
            fail("no region table #%s of %s pixels in clsg run's table" % hovered.groups())
        print("ok: label image identical to clsg run (%d bytes), as are the region counts %s; screenshot in %s"
              % (len(page_labels), regions, artefacts))
    finally:
        driver and driver.quit()
        studio.terminate() or studio.wait(timeout=10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
