#!/usr/bin/python3
"""Usage: studio_browser_test.py CLSG IMAGE OTHER_IMAGE ARTEFACT_DIR

Drives the studio page in a real browser as a user would (pointer and keys): labels named,
renamed and recoloured by clicking, strokes, undo and redo, a second image opened and seen
segmented without painting, the strip of previews, the shortcut panel, the server's absence.
`clsg run` with the saved tool gives the page's labels. Screenshots go to ARTEFACT_DIR."""
import base64, os, re, shlex, shutil, signal, subprocess, sys, tempfile, time


def fail(message):
    sys.exit("FAIL: " + message)


def start_browser(profile):
    try:
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("headless no-sandbox disable-gpu disable-quic no-first-run disable-sync disable-component-update "
                     "disable-background-networking window-size=1400,900").split() + ["user-data-dir=" + profile]:
            options.add_argument("--" + flag)
        options.set_capability("goog:loggingPrefs", {"browser": "ALL"})  # the page's console
        return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    except Exception as e:  # a browser that cannot start is a skip (77), not a pass
        sys.exit(print("SKIPPED: could not start Chromium: " + str(e)[:300], file=sys.stderr) or 77)


def main():
    clsg, image, other, artefacts = sys.argv[1:5]
    os.makedirs(artefacts, exist_ok=True)
    work = tempfile.mkdtemp(prefix="clsg-studio-browser-")
    def start_studio():
        # Each step of an Auto search waits a while, so that the test can watch it and cancel it;
        # 20 MB of training refuses fraction 0.02 for two marked labels (30 MB), not 0.04 (11 MB).
        return subprocess.Popen([clsg, "studio", image, "--out", os.path.join(work, "out"),
                                 "--auto-step-delay", "250", "--training-budget-bytes", "20000000"],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    studio = start_studio()
    driver = None
    try:
        line = studio.stdout.readline()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", line) or fail("no address: " + line)
        driver = start_browser(os.path.join(work, "profile"))
        from selenium.webdriver import ActionChains, Keys
        from selenium.webdriver.common.by import By
        find, finds, js = driver.find_element, driver.find_elements, driver.execute_script
        S = "window.clsgStudio."

        def shot(name):
            driver.save_screenshot(os.path.join(artefacts, "studio-" + name + ".png"))

        def wait_for(script, what, timeout=60):  # a loaded 2-core machine (sanitizers, -j2) is slow
            end = time.time() + timeout
            script = script if script.startswith(("return", "const")) else "return " + script
            while not (value := js(script)) and time.time() < end:
                time.sleep(0.05)
            if not value:
                shot("failure")
                fail("timed out waiting for %s (error: %r, note: %r, history %r, pointer %r, focus %r)" % (
                    what, js("return document.getElementById('error').textContent"),
                    js("return document.getElementById('note').textContent"),
                    js("return document.body.dataset.history"),
                    js("return document.getElementById('pixel-info').textContent"),
                    js("return document.activeElement && document.activeElement.id")))
            return value

        def settled():
            return wait_for(S + "allSettled()", "every image segmented")

        def steady_view():  # the view once the layout has stopped moving (a new window fits twice)
            before, end = None, time.time() + 5
            while (now := (js("return " + S + "view()"), canvas.size)) != before and time.time() < end:
                before = now
                time.sleep(0.15)
            return now

        def stroke(points):  # drags the left button through image points (x, y)
            (v, size), chain = steady_view(), ActionChains(driver, duration=20)
            for i, (x, y) in enumerate(points):
                chain.move_to_element_with_offset(canvas, round(x * v["scale"] + v["offsetX"] - size["width"] / 2),
                                                  round(y * v["scale"] + v["offsetY"] - size["height"] / 2))
                i or chain.click_and_hold()
            chain.release().perform()

        def keys(*sequence):  # a chord: modifiers held while the last key is pressed
            chain = ActionChains(driver)
            for k in sequence[:-1]:
                chain.key_down(k)
            chain.send_keys(sequence[-1])
            for k in reversed(sequence[:-1]):
                chain.key_up(k)
            chain.perform()

        def label_items():
            return finds(By.CSS_SELECTOR, "#labels li[data-label]")

        def labels():
            return js("return " + S + "labels()")

        def history(expected):
            wait_for("return document.body.dataset.history === '%s'" % expected, "history " + expected)

        def hidden(element_id):
            return js("return getComputedStyle(document.getElementById('%s')).display === 'none'" % element_id)

        marks_of = ("const done = arguments[0]; fetch('/api/marks?i=' + %d, {headers: {'X-Clsg-Token': "
                    "new URLSearchParams(location.search).get('token')}}).then((r) => r.arrayBuffer())"
                    ".then((b) => done(Array.from(new Uint8Array(b))))")

        def server_marks(i):  # decoded from the run encoding
            runs, out, k = driver.execute_async_script(marks_of % i), [], 0
            while k < len(runs):
                value, run, shift = runs[k], 0, 0
                k += 1
                while True:
                    run, shift, k = run | (runs[k] & 0x7f) << shift, shift + 7, k + 1
                    if not runs[k - 1] & 0x80:
                        break
                out += [value] * run
            return out

        driver.get(url.group(0))
        wait_for("window.clsgStudio && " + S + "view().scale > 0 && document.getElementById('image-select').options.length", "the page")
        canvas = find(By.ID, "view")
        settled()
        # Loading the page logs no error: no script fault, no request turned away.
        errors = [e["message"] for e in driver.get_log("browser") if e["level"] == "SEVERE"]
        if errors:
            fail("the page's console, once loaded: %s" % errors)
        # A narrow window: the header wraps instead of running off the page, and the image is
        # fitted again (until zoomed or panned).
        wide = js("return [outerWidth, outerHeight, " + S + "view().scale]")
        for size in ((1024, 700), (500, 700), (640, 480)):  # a short one keeps room for the image
            driver.set_window_size(*size)
            wait_for(S + "view().scale < %r" % wide[2], "the image fitted to a narrow window")
            if js("return document.documentElement.scrollWidth") > js("return innerWidth"):
                fail("at %s the page is %d wide" % (size, js("return document.documentElement.scrollWidth")))
            if js("return document.getElementById('view').clientHeight") < 100:
                fail("at %s the image has %d pixels of height" % (size, js("return document.getElementById('view').clientHeight")))
        driver.set_window_size(wide[0], wide[1])
        wait_for(S + "view().scale === %r" % wide[2], "the image fitted again")
        if not hidden("legend"):
            fail("an empty legend box shows before any label exists")

        for count, name in enumerate(["crema", "table"], 1):
            find(By.ID, "new-label").send_keys(name + Keys.ENTER)
            wait_for("return document.querySelectorAll('#labels li[data-label]').length === %d" % count, name)
        # The field the Enter emptied has no text to undo: Ctrl+Z there undoes the label added.
        keys(Keys.CONTROL, "z")
        wait_for("return document.querySelectorAll('#labels li[data-label]').length === 1", "the label undone")
        keys(Keys.CONTROL, "y")
        wait_for("return document.querySelectorAll('#labels li[data-label]').length === 2", "the label again")
        # A click on a name selects its label: a shortcut then works, the name stays.
        name_field = label_items()[1].find_element(By.CSS_SELECTOR, ".name")
        ActionChains(driver).click(name_field).perform()
        ActionChains(driver).send_keys("r").perform()
        if find(By.CSS_SELECTOR, "#tools .on").text != "Rectangle" or labels()[1]["name"] != "table":
            fail("a click on a name, then R: tool %s, name %s" % (find(By.CSS_SELECTOR, "#tools .on").text,
                                                                   labels()[1]["name"]))
        ActionChains(driver).send_keys("b").perform()
        # A clicked slider keeps the focus; letters are still shortcuts.
        ActionChains(driver).click(find(By.ID, "opacity")).send_keys("r").perform()
        if find(By.CSS_SELECTOR, "#tools .on").text != "Rectangle":
            fail("R with the opacity slider focused gives the %s" % find(By.CSS_SELECTOR, "#tools .on").text)
        ActionChains(driver).send_keys("b").perform()
        # Space presses a focused checkbox (it pans only elsewhere): twice, back as it was.
        marks_box = find(By.ID, "show-marks")
        driver.execute_script("arguments[0].focus()", marks_box)  # focused, not clicked
        for want in (False, True):
            ActionChains(driver).send_keys(Keys.SPACE).perform()
            if marks_box.is_selected() != want:
                fail("Space on the focused Show marks checkbox left it %s" % marks_box.is_selected())
        # Rename with the mouse: double-click the name, type (letters that are shortcuts too), Enter.
        ActionChains(driver).double_click(name_field).perform()
        keys(Keys.CONTROL, "a")
        ActionChains(driver).send_keys("darkred" + Keys.ENTER).perform()
        wait_for(S + "labels()[1].name === 'darkred'", "the rename")
        if labels()[1]["color"] != "#8b0000" or find(By.CSS_SELECTOR, "#tools .on").text != "Brush":
            fail("after renaming to darkred: %s, tool %s" % (labels()[1], find(By.CSS_SELECTOR, "#tools .on").text))

        ActionChains(driver).click(find(By.ID, "neighborhood")).perform()  # not clsg run's default:
        keys(Keys.CONTROL, "a")                                            # the command must carry it
        ActionChains(driver).send_keys("5" + Keys.TAB).perform()
        wait_for(S + "settings().neighborhood === 5", "the neighbourhood")
        history("4/0")  # two labels added, one renamed, one setting

        # One label painted: the segmentation shows, the other label is said to need marks.
        label_items()[0].click()
        stroke([(262, 130), (290, 140), (315, 150)])
        history("5/0")
        wait_for(S + "settled() && " + S + "shares() && " + S + "shares()[0] > 0",
                 "a segmentation with one label painted")
        # The readout under the resting pointer follows the segmentation that arrived.
        said = js("return document.getElementById('pixel-info').textContent")
        pixel = re.match(r"x (\d+)  y (\d+)", said) or fail("no pixel in the readout %r" % said)
        at = js("return atob(%slabelImage()).charCodeAt(%s * 600 + %s)" % (S, pixel[2], pixel[1]))
        if at != 0 or not said.startswith(pixel[0] + "  \u00b7  " + labels()[0]["name"]):
            fail("the readout at the stroke's end says %r over label %s" % (said, at))
        note = find(By.ID, "note").text
        if "darkred needs marks" not in note or not js("return document.getElementById('error').hidden") or \
                js("return " + S + "shares()[1]") != 0:
            fail("with darkred unpainted: note %r, shares %s" % (note, js("return " + S + "shares()")))
        shot("needs-marks")
        # An error shown with the note stands below it, not over it.
        boxes = js("const n = document.getElementById('note'), e = document.getElementById('error');"
                   "e.textContent = 'an error of two lines, say, at this width of the page and more'.repeat(3);"
                   "e.hidden = false; const r = [n.getBoundingClientRect(), e.getBoundingClientRect()];"
                   "e.hidden = true; return r.map(b => [b.top, b.bottom]);")
        if boxes[1][0] < boxes[0][1]:
            fail("the error (top %s) covers the note (bottom %s)" % (boxes[1][0], boxes[0][1]))

        # Recolour with the mouse: the swatch opens the menu, a click picks the colour; undo, redo.
        auto_color = labels()[0]["color"]
        swatch = label_items()[0].find_element(By.CSS_SELECTOR, ".swatch")
        swatch.click()  # the menu takes the focus; Escape closes it, colour unchanged
        if not js("return document.getElementById('color-menu').contains(document.activeElement)"):
            fail("the colour menu opened without the focus")
        keys(Keys.ESCAPE)
        if not hidden("color-menu") or labels()[0]["color"] != auto_color:
            fail("Escape left the colour menu open or changed the colour")
        if not js("return document.activeElement.classList.contains('swatch')"):
            fail("Escape from the colour menu left the focus on %r" % js("return document.activeElement.tagName"))
        swatch.click()
        find(By.CSS_SELECTOR, "#color-swatches button[data-color='#1e90ff']").click()
        wait_for(S + "labels()[0].color === '#1e90ff' && !" + S + "labels()[0].auto", "the colour")
        shot("recoloured")
        keys(Keys.CONTROL, "z")
        wait_for(S + "labels()[0].auto && " + S + "labels()[0].color === '%s'" % auto_color,
                 "the automatic colour back as it was")
        find(By.ID, "redo").click()
        wait_for(S + "labels()[0].color === '#1e90ff'", "colour redone")

        label_items()[1].click()
        stroke([(480, 30), (530, 45), (570, 60)])
        stroke([(480, 60), (570, 30)])
        counts = wait_for("const c = window.clsgStudio.shares(); return window.clsgStudio.settled()"
                          " && c && c.length === 3 && c[0] > 0 && c[1] > 0 ? c : null", "both labels")
        legend = js("return document.getElementById('legend').innerText.split(/\\s+/)")
        shares = ["%.1f%%" % (100.0 * c / sum(counts)) for c in counts]
        regions = js("return " + S + "regions()")
        objects = lambda n: ["\u00b7", str(n), "region" if n == 1 else "regions"]  # noqa: E731
        if sum(counts) != 600 * 400 or js("return document.getElementById('error').hidden") is not True or \
                not hidden("note") or not regions or len(regions) != 2 or \
                legend != ["crema", shares[0], *objects(regions[0]), "darkred", shares[1], *objects(regions[1]),
                           "unlabelled", shares[2]]:
            fail("legend %s for pixel counts %s, regions %s" % (legend, counts, regions))
        # The confidence view's scale: 0 and 255 under the two ends of its ramp.
        find(By.CSS_SELECTOR, "#views [data-view='confidence']").click()
        ends = wait_for("const r = document.querySelector('#legend .ramp'), s = document.querySelector("
                        "'#legend .scale'); return r && s ? [r.getBoundingClientRect().left, r.getBounding"
                        "ClientRect().right, s.firstChild.getBoundingClientRect().left, s.lastChild."
                        "getBoundingClientRect().right, s.textContent] : null", "the confidence scale", 10)
        if abs(ends[0] - ends[2]) > 2 or abs(ends[1] - ends[3]) > 2 or ends[4] != "0255":
            fail("the confidence scale %r from %s to %s under a ramp from %s to %s" % (ends[4], ends[2], ends[3], *ends[:2]))
        shot("confidence")
        find(By.CSS_SELECTOR, "#views [data-view='overlay']").click()

        # Hovering a darkred pixel names its region and its area, as clsg run's table has it (checked below).
        v, size = js("return " + S + "view()"), canvas.size
        ActionChains(driver).move_to_element_with_offset(
            canvas, round(530 * v["scale"] + v["offsetX"] - size["width"] / 2),
            round(45 * v["scale"] + v["offsetY"] - size["height"] / 2)).perform()
        hover = wait_for("const t = document.getElementById('pixel-info').textContent;"
                         " return t.includes(' px') ? t : null", "the region under the pointer")
        hovered = re.search(r"darkred #(\d+): (\d+) px", hover)
        hovered or fail("the pointer over the darkred marks shows " + hover)
        # Zoomed from the keys, the resting pointer is over another pixel: the readout says which.
        pointer = (530 * v["scale"] + v["offsetX"], 45 * v["scale"] + v["offsetY"])
        keys("1")
        wait_for(S + "view().scale === 1", "the zoom to 1:1")
        v1 = js("return " + S + "view()")
        x, y = (pointer[0] - v1["offsetX"]) // 1, (pointer[1] - v1["offsetY"]) // 1
        said = js("return document.getElementById('pixel-info').textContent")
        if not (said.startswith("x %d  y %d  " % (x, y)) if 0 <= x < 600 and 0 <= y < 400 else said == ""):
            fail("after the zoom the readout says %r, the pointer is over %d, %d" % (said, x, y))
        keys("0")
        wait_for(S + "view().scale === %r" % v["scale"], "the image fitted again")

        # Undo and redo a stroke, and an eraser pass, with the keyboard.
        before = js("return " + S + "labelImage()")
        history("8/0")
        keys(Keys.CONTROL, "z")
        history("7/1")
        wait_for(S + "marksAt(570, 30) === 0 && " + S + "marksAt(480, 30) === 2", "stroke undone")
        keys(Keys.CONTROL, Keys.SHIFT, "z")
        wait_for(S + "marksAt(570, 30) === 2 && " + S + "settled()", "stroke redone")
        keys("e")
        stroke([(250, 128), (320, 152)])
        wait_for(S + "marksAt(290, 140) === 0", "erased")
        find(By.ID, "undo").click()
        wait_for(S + "marksAt(290, 140) === 1 && " + S + "settled()", "erasing undone")
        if js("return " + S + "labelImage()") != before:
            fail("undoing the eraser pass did not bring back the segmentation")
        keys("b")

        # The brush is sized in screen pixels: a dot of 16 covers a disc of 16 / scale image pixels.
        scale = js("return " + S + "view().scale")
        ActionChains(driver).move_to_element_with_offset(canvas, 0, 0).perform()
        stroke([(100, 350)])
        disc = wait_for(S + "settled() && " + S + "marksCount(60, 310, 140, 390, 2)", "a dot")
        if abs(disc / (3.14159 * (8 / scale) ** 2) - 1) > 0.25:
            fail("a 16 pixel dot at scale %.2f marked %d image pixels" % (scale, disc))
        keys(Keys.CONTROL, "z")
        wait_for(S + "marksCount(60, 310, 140, 390, 2) === 0 && " + S + "settled()", "the dot undone")

        # A server that does not answer (stopped, as by Ctrl-Z) is said; its answers then end that.
        os.kill(studio.pid, signal.SIGSTOP)
        stroke([(100, 350)])
        silent = ("const e = document.getElementById('error'); return !e.hidden && "
                  "e.textContent.includes('has not answered for 5 s')")
        try:
            wait_for(silent, "the silence said")
        finally:
            os.kill(studio.pid, signal.SIGCONT)
        wait_for(S + "settled() && " + S + "marksCount(60, 310, 140, 390, 2) && !(() => {" + silent + "})()",
                 "the stroke made once the server answers")
        keys(Keys.CONTROL, "z")
        wait_for(S + "marksCount(60, 310, 140, 390, 2) === 0 && " + S + "settled()", "the stroke undone")

        # A change the session file cannot take is made, and the page says so until one is saved.
        session = os.path.join(work, "out", "studio-session.clsgs")
        os.remove(session)
        os.makedirs(os.path.join(session, "in-the-way"))
        stroke([(100, 350)])
        unsaved = ("const e = document.getElementById('error'); return !e.hidden && "
                   "e.textContent.includes('not saved in the session file')")
        wait_for(unsaved, "the unsaved change said")
        settled()  # and still said once the image is segmented again
        js(unsaved) or fail("the unsaved change was no longer said after the segmentation")
        find(By.ID, "save-tool").click()  # nor does a tool saved: the session file still lacks the change
        wait_for("document.getElementById('command-dialog').open", "the tool saved")
        find(By.CSS_SELECTOR, "#command-dialog button").click()
        js(unsaved) or fail("the unsaved change was no longer said after Save tool")
        shutil.rmtree(session)
        keys(Keys.CONTROL, "z")
        wait_for(S + "settled() && document.getElementById('error').hidden && " + S +
                 "marksCount(60, 310, 140, 390, 2) === 0", "the undo saved")
        if not os.path.isfile(session):
            fail("the session file was not written again")

        # Deleting a label drops its marks; undoing brings both back.
        delete = label_items()[1].find_element(By.CSS_SELECTOR, ".delete")
        delete.click()
        delete.click()
        wait_for(S + "labels().length === 1 && " + S + "marksAt(480, 30) === 0 && " + S + "settled()", "deletion")
        keys(Keys.CONTROL, "z")
        wait_for(S + "labels().length === 2 && " + S + "labels()[1].name === 'darkred' && " +
                 S + "marksAt(480, 30) === 2 && " + S + "settled()", "deletion undone")
        if js("return " + S + "labelImage()") != before:
            fail("undoing the deletion did not bring back the segmentation")

        # Auto, pressed with the pointer, on large rectangles:
        # progress shows, the controls take the choice, the estimate is said in words, one undo puts the
        # hand-given settings back and one redo the choice. Cancel leaves settings and history alone.
        def click(element_id):
            ActionChains(driver).move_to_element(find(By.ID, element_id)).click().perform()

        def fields():
            return [js("return Number(document.getElementById('%s').value)" % f)
                    for f in ("tolerance-frac", "tolerance-min", "neighborhood")]

        manual = fields()
        if manual != [0.1, 2, 5]:
            fail("the settings before Auto are %s" % manual)
        marks_before = js("return document.body.dataset.history")
        keys("r")
        for label, rect in ((0, [(0, 0), (599, 199)]), (1, [(0, 200), (599, 399)])):
            label_items()[label].click()
            stroke(rect)
        wait_for(S + "marksAt(300, 100) === 1 && " + S + "marksAt(300, 300) === 2 && " + S + "settled()",
                 "two large rectangles")
        with_rects = js("return document.body.dataset.history")
        click("auto")
        wait_for("return !document.getElementById('auto-progress').hidden && "
                 "document.getElementById('auto-progress').value > 0", "the search's progress")
        shot("auto-progress")
        if find(By.ID, "auto").is_enabled() or not find(By.ID, "auto-cancel").is_displayed():
            fail("while the search works, Auto is pressable or Cancel hidden")
        if find(By.ID, "neighborhood").is_enabled():  # a change now would be lost under the choice
            fail("while the search works, the settings can be changed")
        wait_for("!" + S + "autoRunning() && " + S + "settled()", "Auto's choice")
        chosen = js("return " + S + "settings()")
        estimate = find(By.ID, "auto-result").text
        percent = re.search(r"Expect about (\d+\.\d) % of each label's pixels to get their label", estimate)
        if fields() != [chosen["toleranceFrac"], chosen["toleranceMin"], chosen["neighborhood"]] or \
                fields() == manual or not percent or "held back" not in estimate or \
                "fraction %s, minimum %d, neighbourhood %d" % (
                    chosen["toleranceFrac"], chosen["toleranceMin"], chosen["neighborhood"]) not in estimate:
            fail("after Auto: fields %s, settings %s, text %r" % (fields(), chosen, estimate))
        if "Not tried, as training there would cost more than the studio allows: fraction 0.02 (minimum 2)." \
                not in estimate:
            fail("the text does not name the tolerance skipped over the budget: %r" % estimate)
        if not 50 <= float(percent.group(1)) <= 100:
            fail("an estimate of %s %%" % percent.group(1))
        if not [d for d in js("return " + S + "autoSeen()") if 0 < d < 12]:
            fail("the page showed no progress: %s" % js("return " + S + "autoSeen()"))
        shot("auto")
        auto_history = js("return document.body.dataset.history")
        keys(Keys.CONTROL, "z")
        undone = with_rects.split("/")[0] + "/1"
        wait_for("document.body.dataset.history === '%s' && %ssettled()" % (undone, S), "Auto undone")
        if fields() != manual or js("return " + S + "settings().neighborhood") != 5:
            fail("undoing Auto leaves the fields at %s" % fields())
        if not hidden("auto-result"):  # it tells of settings no longer in force
            fail("Auto's text stays after its undo: %r" % find(By.ID, "auto-result").text)
        find(By.ID, "redo").click()
        wait_for("document.body.dataset.history === '%s' && %ssettled()" % (auto_history, S), "Auto redone")
        if js("return " + S + "settings()") != chosen or fields() == manual or hidden("auto-result"):
            fail("redoing Auto gives %s, not %s, or hides its text" % (js("return " + S + "settings()"), chosen))
        keys(Keys.CONTROL, "z")
        wait_for(S + "settings().neighborhood === 5 && " + S + "settled()", "the hand-given settings again")

        click("auto")
        wait_for(S + "autoRunning() && !document.getElementById('auto-cancel').hidden", "Cancel")
        click("auto-cancel")
        wait_for("!" + S + "autoRunning() && " + S + "settled()", "the search to stop")
        stopped = find(By.ID, "auto-result").text
        if "stopped" not in stopped or fields() != manual or js("return " + S + "settings().neighborhood") != 5 \
                or js("return document.body.dataset.history") != undone or not find(By.ID, "auto").is_enabled():
            fail("after Cancel: %r, fields %s, history %s (before %s)" % (
                stopped, fields(), js("return document.body.dataset.history"), undone))
        keys(Keys.CONTROL, "z")
        keys(Keys.CONTROL, "z")
        history(marks_before.split("/")[0] + "/3")  # redo would bring the rectangles and Auto back
        wait_for(S + "marksAt(300, 100) === 0 && " + S + "marksAt(480, 30) === 2 && " + S + "settled()",
                 "the rectangles undone")
        keys("b")

        # A second image, opened from the page, is segmented without a stroke, and so is its preview.
        find(By.ID, "image-file").send_keys(os.path.abspath(other))
        wait_for(S + "view().image === 1 && document.getElementById('image-select').value === '1'",
                 "the second image on screen")
        settled()
        other_counts = js("return " + S + "shares()")
        previews = js("return " + S + "previews()")
        if not other_counts or sum(other_counts[:2]) == 0 or len(previews) != 2 or \
                previews[1]["counts"] != other_counts or previews[0]["counts"] != counts:
            fail("second image: counts %s, previews %s (first image %s)" % (other_counts, previews, counts))
        strip_text = find(By.ID, "strip").text
        if "crema" not in strip_text or len(finds(By.CSS_SELECTOR, "#strip li")) != 2:
            fail("the strip shows " + strip_text)
        shot("two-images")
        # A folder adds its images, and only them (a text file is passed over); a broken one
        # is said and stops none of the others.
        folder = os.path.join(work, "folder")
        os.makedirs(folder)
        shutil.copy(image, folder)
        with open(os.path.join(folder, "notes.txt"), "w") as f:
            f.write("not an image")
        with open(os.path.join(folder, "a-broken.png"), "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n broken")
        find(By.ID, "image-folder").send_keys(folder)
        wait_for(S + "view().image === 2 && document.querySelectorAll('#strip li').length === 3", "the folder")
        settled()
        if hidden("error") or "1 of 2 files did not open" not in find(By.ID, "error").text:
            fail("the broken file of the folder is not said: " + find(By.ID, "error").text)
        find(By.ID, "image-file").send_keys(os.path.abspath(other))  # files that open end it
        wait_for(S + "view().image === 3 && " + S + "settled()", "the fourth image")
        if not hidden("error"):
            fail("the files that did not open are still said after others opened")
        find(By.ID, "image-file").send_keys(os.path.join(folder, "a-broken.png"))
        wait_for("!document.getElementById('error').hidden", "the broken file said again")
        find(By.ID, "error").click()
        if not hidden("error"):
            fail("a click does not dismiss the files that did not open")
        if js("return " + S + "previews()[2].counts") != counts:
            fail("the same photograph opened from its folder is segmented otherwise: %s, %s"
                 % (js("return " + S + "previews()[2].counts"), counts))

        # An image chosen while Auto works is not shown as the last image under its name: the view
        # stays empty until Auto is done (cancelled here).
        center = ("const v = document.getElementById('view'); "
                  "return v.getContext('2d').getImageData(v.width >> 1, v.height >> 1, 1, 1).data[3]")
        click("auto")
        wait_for(S + "autoRunning()", "Auto at work")
        finds(By.CSS_SELECTOR, "#strip li")[0].click()
        wait_for(center + " === 0", "an empty view while Auto works")
        click("auto-cancel")
        wait_for("!" + S + "autoRunning() && " + S + "view().image === 0 && " + S + "settled() && (() => {" +
                 center + " === 255; })()", "the chosen image after Auto")
        finds(By.CSS_SELECTOR, "#strip li")[2].click()
        wait_for(S + "view().image === 2 && " + S + "allSettled()", "the folder's image again")
        # Save tool pressed while Auto works, then a stroke: the stroke is not in the tool saved
        # once Auto is done, so the work is still unsaved.
        click("auto")
        wait_for(S + "autoRunning()", "Auto at work again")
        click("save-tool")
        history_before = js("return document.body.dataset.history")
        stroke([(30, 30), (60, 30)])
        click("auto-cancel")
        wait_for("document.getElementById('command-dialog').open && !" + S + "autoRunning() && " + S +
                 "settled()", "the tool saved after Auto")
        find(By.CSS_SELECTOR, "#command-dialog button").click()
        if not js("return " + S + "unsaved()"):
            fail("a stroke made after Save tool was pressed counts as saved")
        find(By.ID, "undo").click()
        history(history_before.split("/")[0] + "/1")
        # Undo while Auto works, of a stroke on the image just chosen (its marks not yet come): the
        # page shows the marks the server holds once they come.
        stroke([(30, 30), (60, 30)])
        wait_for(S + "marksAt(45, 30) > 0 && " + S + "settled()", "a stroke to undo")
        finds(By.CSS_SELECTOR, "#strip li")[0].click()
        wait_for(S + "view().image === 0 && " + S + "settled()", "the first image")
        click("auto")
        wait_for(S + "autoRunning()", "Auto at work once more")
        finds(By.CSS_SELECTOR, "#strip li")[2].click()
        keys(Keys.CONTROL, "z")
        click("auto-cancel")
        wait_for("!" + S + "autoRunning() && " + S + "view().image === 2 && " + S + "settled()", "the undo")
        width2 = int(re.search(r"\((\d+) ", find(By.ID, "image-select").find_elements(
            By.TAG_NAME, "option")[2].text).group(1))
        if js("return " + S + "marksAt(45, 30)") != 0 or server_marks(2)[30 * width2 + 45] != 0:
            fail("after an undo during Auto the page shows %s, the server holds %s" % (
                js("return " + S + "marksAt(45, 30)"), server_marks(2)[30 * width2 + 45]))

        # A preview that gave way to another request (a hover, say) is asked for again.
        js("const real = window.fetch; let once = true; window.fetch = (url, options) => {"
           " if (once && url.startsWith('/api/preview')) { once = false;"
           " return Promise.resolve(new Response('{\"error\": \"a newer request took over\"}', {status: 409})); }"
           " return real(url, options); };")
        # And a segmentation the busy studio turned away (503) is asked for again.
        js("const real = window.fetch; let once = true; window.fetch = (url, options) => {"
           " if (once && url.startsWith('/api/segment')) { once = false;"
           " return Promise.resolve(new Response('{\"error\": \"the studio is busy\"}', {status: 503})); }"
           " return real(url, options); };")
        # And one the server took for superseded (409) while it was the page's newest: a request sent
        # before it can reach the server after it on a loaded machine.
        js("const real = window.fetch; let once = true; window.fetch = (url, options) => {"
           " if (once && url.startsWith('/api/segment')) { once = false;"
           " return Promise.resolve(new Response('{\"error\": \"a newer request took over\"}', {status: 409})); }"
           " return real(url, options); };")
        # And the page is not settled while a change is on its way (its answer slowed here, as on a
        # loaded machine): the wait ends with the area the page took up.
        js("const real = window.fetch; let once = true; window.fetch = (url, options) => {"
           " if (once && url.startsWith('/api/settings')) { once = false;"
           " return new Promise((r) => setTimeout(r, 500)).then(() => real(url, options)); }"
           " return real(url, options); };")
        area = lambda: find(By.ID, "min-area").get_attribute("value")
        find(By.ID, "min-area").send_keys("1" + Keys.TAB)
        wait_for(S + "allSettled() && document.getElementById('error').hidden", "the previews after one gave way")
        first_area = area()
        if js("return " + S + "settings().minArea") != int(first_area):
            fail("settled before the minimum area was taken up: the field shows %r, the page holds %r" % (
                first_area, js("return " + S + "settings().minArea")))
        find(By.ID, "min-area").send_keys(Keys.BACKSPACE + "0" + Keys.TAB)
        wait_for(S + "allSettled()", "the previews at another minimum area")
        second_area = area()
        find(By.ID, "undo").click()  # a setting like the others
        wait_for("document.getElementById('min-area').value === '%s' && %sallSettled()" % (first_area, S),
                 "the area undone")
        find(By.ID, "redo").click()
        wait_for("document.getElementById('min-area').value === '%s' && %sallSettled()" % (second_area, S),
                 "the area redone")

        # A stroke under way when the image changes (PageDown) ends on the image it began on, and
        # Ctrl+Z in its middle is not taken: the server holds the whole stroke, nothing on the other.
        began_on = js("return " + S + "view().image")
        next_image = (began_on + 1) % len(finds(By.CSS_SELECTOR, "#strip li"))
        next_before, history_before = server_marks(next_image), js("return document.body.dataset.history")
        v, size = js("return " + S + "view()"), canvas.size
        at = lambda x, y: (round(x * v["scale"] + v["offsetX"] - size["width"] / 2),
                           round(y * v["scale"] + v["offsetY"] - size["height"] / 2))
        ActionChains(driver, duration=20).move_to_element_with_offset(canvas, *at(20, 380)).click_and_hold() \
            .move_to_element_with_offset(canvas, *at(60, 380)).key_down(Keys.CONTROL).send_keys("z") \
            .key_up(Keys.CONTROL).move_to_element_with_offset(canvas, *at(100, 380)).send_keys(Keys.PAGE_DOWN) \
            .move_to_element_with_offset(canvas, *at(100, 200)).release().perform()
        wait_for(S + "view().image === %d && %sallSettled()" % (next_image, S), "the next image")
        history("%d/0" % (int(history_before.split("/")[0]) + 1))  # the stroke, and no undo
        width = int(re.search(r"\((\d+) ", find(By.ID, "image-select").find_elements(
            By.TAG_NAME, "option")[began_on].text).group(1))
        began = server_marks(began_on)
        if not all(began[380 * width + x] for x in (20, 60, 100)) or \
                area() != second_area:
            fail("the stroke is not whole on the image it began on: %s, area %s" % (
                [began[380 * width + x] for x in (20, 60, 100)], area()))
        if server_marks(next_image) != next_before:
            fail("the stroke went on over the next image")
        find(By.ID, "undo").click()  # the stroke, on the image it was painted on, brought on screen
        history(history_before.split("/")[0] + "/1")
        wait_for(S + "view().image === %d && %sallSettled()" % (began_on, S), "the undone stroke's image")
        if any(server_marks(began_on)[380 * width + x] != 0 for x in (20, 60, 100)):
            fail("undoing the stroke left it on the image it was painted on")

        # The shortcut panel.
        keys("?")
        if "Ctrl" not in find(By.ID, "help-dialog").text or not js("return document.getElementById('help-dialog').open"):
            fail("no shortcut panel")
        shot("shortcuts")
        keys("e")  # behind the open panel: no shortcut
        if js("return document.querySelector('#tools .on').dataset.tool") != "brush":
            fail("a shortcut acted behind the shortcut panel")
        keys(Keys.ESCAPE)
        ActionChains(driver).move_to_element(canvas).perform()
        wait_for("return document.getElementById('pixel-info').textContent !== ''", "the pointer's pixel")
        shown_on = js("return " + S + "view().image")
        keys(Keys.PAGE_DOWN)
        wait_for(S + "view().image !== %d" % shown_on, "the next image")
        if find(By.ID, "pixel-info").text:  # it told of the image left
            fail("the readout still says %r on the next image" % find(By.ID, "pixel-info").text)

        # Back to the first image through the strip; the saved tool's run gives its labels.
        finds(By.CSS_SELECTOR, "#strip li")[0].click()
        wait_for(S + "view().image === 0 && " + S + "settled() && " + S + "labelImage()",
                 "the first image again")
        find(By.ID, "save-tool").click()
        command = wait_for("return document.body.dataset.runCommand", "the saved tool")
        page_labels = base64.b64decode(js("return " + S + "labelImage()"))
        shot("browser")
        words = shlex.split(command, comments=True)  # as a shell reads it
        if os.path.realpath(words[0]) != os.path.realpath(clsg) or words[1] != "run" or \
                "--neighborhood" not in words or image not in words:
            fail("the page's run command is " + command)
        subprocess.run(words + ["--format", "pnm", "--regions"], check=True, stdout=subprocess.DEVNULL)
        stem = os.path.splitext(os.path.basename(image))[0] + "-labels.pgm"
        data = open(os.path.join(words[words.index("--out") + 1], stem), "rb").read()
        header = re.match(rb"P5\s+(\d+)\s+(\d+)\s+255\s", data)
        cli_labels = data[header.end():header.end() + int(header.group(1)) * int(header.group(2))]
        if cli_labels != page_labels:
            fail("clsg run's label image differs from the page's in %d pixels" % sum(map(int.__ne__, cli_labels, page_labels)))
        table = open(os.path.join(words[words.index("--out") + 1], stem[:-len("labels.pgm")] + "regions.csv")).read()
        cli_regions = [sum(line.startswith(name + ",") for line in table.splitlines()) for name in ("crema", "darkred")]
        if cli_regions != regions:
            fail("clsg run counts regions %s, the page %s" % (cli_regions, regions))
        if "\ndarkred,%s,%s," % hovered.groups() not in table:
            fail("no region darkred #%s of %s pixels in clsg run's table" % hovered.groups())
        # Exported masks come with the training line and the run line of the page's settings.
        js("const d = document.getElementById('command-dialog'); if (d.open) d.close()")
        find(By.ID, "export-masks").click()
        wait_for("return document.getElementById('command-title').textContent === 'Masks exported' && "
                 "document.getElementById('command-dialog').open", "the masks exported")
        lines = find(By.ID, "command-line").text.splitlines()
        if len(lines) != 2 or shlex.split(lines[0])[1] != "train" or shlex.split(lines[1])[1] != "run" or \
                "--neighborhood" not in shlex.split(lines[1]):
            fail("the export shows %s" % lines)

        # Unsaved work: closing asks first. The server kept every change; a new
        # studio on the image offers it back and the page restores it.
        closing = "const e = new Event('beforeunload', {cancelable: true}); dispatchEvent(e); return e.defaultPrevented"
        if js("return " + S + "unsaved()") or js(closing):
            fail("the page counts the saved tool as unsaved work")
        find(By.CSS_SELECTOR, "#command-dialog button").click()
        stroke([(100, 300), (140, 320)])
        wait_for(S + "settled() && " + S + "unsaved()", "the new stroke")
        if not js(closing):
            fail("closing the page with unsaved marks does not ask")
        area_field = find(By.ID, "min-area")  # kept in the session with the other settings
        area_field.clear()
        area_field.send_keys("7" + Keys.TAB)
        wait_for("document.getElementById('min-area').value === '7' && " + S + "allSettled()",
                 "a minimum area before the stop")
        strokes_labels = js("return " + S + "labelImage()")
        before_stop = labels()
        studio.terminate() or studio.wait(timeout=10)
        studio = start_studio()
        url = re.search(r"http://127\.0\.0\.1:\d+/\?token=[0-9a-f]{32}", studio.stdout.readline())
        driver.get(url.group(0))
        wait_for("return document.getElementById('restore-dialog').open", "the restore offer")
        if "Restore the marks from" not in find(By.ID, "restore-text").text:
            fail("the offer says " + find(By.ID, "restore-text").text)
        find(By.CSS_SELECTOR, "#restore-dialog button[value=restore]").click()
        wait_for("document.querySelectorAll('#labels li[data-label]').length === 2 && " + S + "settled() && " +
                 S + "labelImage()", "the restored labels")
        if js("return " + S + "labelImage()") != strokes_labels or js("return " + S + "settings().neighborhood") != 5:
            fail("the restored page segments differently from the one before the stop")
        if find(By.ID, "min-area").get_attribute("value") != "7":
            fail("the restored minimum area is " + find(By.ID, "min-area").get_attribute("value"))
        if [(l["name"], l["color"], l["auto"]) for l in labels()] != [(l["name"], l["color"], l["auto"]) for l in before_stop]:
            fail("restored labels %s, before the stop %s" % (labels(), before_stop))

        # Two labels added before the first answer comes: undo removes the newer first.
        js("const f = document.getElementById('add-label'), n = document.getElementById('new-label');"
           "n.value = 'one'; f.requestSubmit(); n.value = 'two'; f.requestSubmit();")
        wait_for(S + "labels().length === 4 && document.body.dataset.history === '2/0'", "two quick labels")
        find(By.ID, "undo").click()
        wait_for(S + "labels().length === 3", "one label undone")
        if [l["name"] for l in labels()][2:] != ["one"]:
            fail("undoing the second quick label left %s" % [l["name"] for l in labels()])
        find(By.ID, "undo").click()
        wait_for(S + "labels().length === 2 && " + S + "settled()", "both labels undone")

        # Two windows on one studio: a stroke over marks the other window painted meanwhile is
        # refused and the marks are shown as they are; painted again, it is kept.
        first = driver.current_window_handle
        driver.switch_to.new_window("window")
        driver.get(url.group(0))
        wait_for("window.clsgStudio && " + S + "view().scale > 0 && " + S + "settled()", "a second window")
        canvas = find(By.ID, "view")
        stroke([(200, 255), (230, 255)])
        wait_for(S + "marksAt(215, 255) === 1 && " + S + "settled()", "the second window's stroke")
        driver.close()
        driver.switch_to.window(first)
        canvas = find(By.ID, "view")
        undo_before = js("return document.body.dataset.history").split("/")[0]
        label_items()[1].click()
        stroke([(170, 255), (240, 255)])
        wait_for("return document.getElementById('error').textContent.includes('Another window changed') && " +
                 S + "marksAt(215, 255) === 1 && " + S + "marksAt(175, 255) === 0", "the stroke refused")
        settled()  # the segmentation that follows leaves the reason said
        if hidden("error"):
            fail("the reason a stroke was refused is gone once the image is segmented")
        if js("return document.body.dataset.history").split("/")[0] != undo_before:
            fail("the refused stroke is in the history: %s, before %s undo steps"
                 % (js("return document.body.dataset.history"), undo_before))
        stroke([(170, 255), (240, 255)])
        wait_for(S + "marksAt(215, 255) === 2 && " + S + "settled() && document.getElementById('error').hidden",
                 "the stroke painted again")
        # A label another window adds meanwhile (as its page would ask): a stroke with the labels as
        # this window knew them is refused, and the labels are fetched again.
        # Waited for: a stroke begun before the label is there would be painted in part.
        js("window.labelAdded = false; "
           "fetch('/api/labels', {method: 'POST', body: JSON.stringify({op: 'add', name: 'extra'}), headers: "
           "{'X-Clsg-Token': new URLSearchParams(location.search).get('token'), 'Content-Type': 'application/json'}})"
           ".then(r => { window.labelAdded = r.ok; })")
        wait_for("window.labelAdded", "the label another window adds")
        stroke([(100, 120), (130, 120)])
        wait_for("return document.getElementById('error').textContent.includes('Another window changed') && " +
                 S + "labels().length === 3 && " + S + "marksAt(115, 120) === 0", "the stroke over new labels")
        stroke([(100, 120), (130, 120)])
        wait_for(S + "marksAt(115, 120) === 2 && " + S + "settled()", "the stroke with the labels known")
        # A label deleted here, a stroke of another window, then Undo here: the label's marks come
        # back and the other window's stroke stays (a whole-image restore painted over it).
        on_screen = js("return " + S + "view().image")
        delete = label_items()[1].find_element(By.CSS_SELECTOR, ".delete")
        delete.click()
        delete.click()
        wait_for(S + "labels().length === 2 && " + S + "marksAt(215, 255) === 0 && " + S + "settled()",
                 "the deletion before the other window's stroke")
        js("const t = new URLSearchParams(location.search).get('token');"
           "fetch('/api/marks?i=%d&x=300&y=300&w=2&h=2', {method: 'POST', body: new Uint8Array([2, 4]),"
           " headers: {'X-Clsg-Token': t, 'Content-Type': 'application/octet-stream'}})" % on_screen)
        time.sleep(0.5)
        keys(Keys.CONTROL, "z")
        wait_for(S + "labels().length === 3 && " + S + "marksAt(215, 255) === 2 && " + S + "settled()",
                 "the deletion undone after another window's stroke")
        marks_now = server_marks(on_screen)
        width = int(re.search(r"\((\d+) ", find(By.ID, "image-select").find_elements(
            By.TAG_NAME, "option")[on_screen].text).group(1))
        if marks_now[300 * width + 300] != 3 or marks_now[255 * width + 215] != 2:
            fail("undoing the deletion left %d where the other window painted 'extra', %d where 'darkred' was"
                 % (marks_now[300 * width + 300], marks_now[255 * width + 215]))
        # Another window's stroke shows when this window comes to the front, before a stroke here.
        js("const t = new URLSearchParams(location.search).get('token');"
           "fetch('/api/marks?i=%d&x=320&y=300&w=2&h=2', {method: 'POST', body: new Uint8Array([1, 4]),"
           " headers: {'X-Clsg-Token': t, 'Content-Type': 'application/octet-stream'}})" % on_screen)
        time.sleep(0.5)
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "marksAt(320, 300) === 1 && " + S + "settled()", "the other window's stroke on focus")
        # A stroke begun as the window comes to the front, while what it fetches is on its way
        # (slowed here), stays on the page; the next stroke over it is not refused.
        js("const t = new URLSearchParams(location.search).get('token');"
           "fetch('/api/marks?i=%d&x=330&y=300&w=2&h=2', {method: 'POST', body: new Uint8Array([1, 4]),"
           " headers: {'X-Clsg-Token': t, 'Content-Type': 'application/octet-stream'}});"
           "window.slowFetch = window.fetch;"
           "window.fetch = (url, o) => String(url).startsWith('/api/marks?') && o.method === 'GET' ?"
           " slowFetch(url, o).then((r) => new Promise((done) => setTimeout(() => done(r), 400))) :"
           " slowFetch(url, o);" % on_screen)
        time.sleep(0.5)
        js("window.dispatchEvent(new Event('focus'))")
        stroke([(100, 60), (130, 60)])
        time.sleep(1)
        js("window.fetch = window.slowFetch")
        wait_for(S + "settled()", "the stroke made on focus")
        if js("return " + S + "marksAt(115, 60)") != server_marks(on_screen)[60 * width + 115] or \
                js("return " + S + "marksAt(115, 60)") == 0:
            fail("the stroke made as the window came to the front: page %s, server %s"
                 % (js("return " + S + "marksAt(115, 60)"), server_marks(on_screen)[60 * width + 115]))

        # The label chosen here stays chosen when another window adds a label and deletes one
        # before it: the list keeps its length, the places shift.
        names = [l["name"] for l in labels()]
        label_items()[-1].click()
        wait_for(S + "chosen() === '%s'" % names[-1], "the last label chosen")
        post = ("fetch('/api/labels', {method: 'POST', body: JSON.stringify(%s), headers: {'X-Clsg-Token': "
                "new URLSearchParams(location.search).get('token'), 'Content-Type': 'application/json'}})")
        driver.execute_async_script("const done = arguments[0];" + post % "{op: 'add', name: 'late'}" +
                                    ".then(() => " + post % "{op: 'delete', label: 0}" + ").then(() => done())")
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "labels()[0].name !== '%s' && %ssettled()" % (names[0], S),
                 "the labels as the other window left them")
        if js("return " + S + "chosen()") != names[-1]:
            fail("another window's label changes moved the chosen label from %s to %s"
                 % (names[-1], js("return " + S + "chosen()")))
        # A rename here, then another window deletes the first label: the rename's undo, by the
        # label's place, would rename another label, so it is refused.
        if len(labels()) < 3:
            fail("too few labels to rename one between others: %s" % labels())
        field = label_items()[1].find_element(By.CSS_SELECTOR, ".name")
        ActionChains(driver).double_click(field).perform()
        keys(Keys.CONTROL, "a")
        ActionChains(driver).send_keys("renamed" + Keys.ENTER).perform()
        wait_for(S + "labels()[1].name === 'renamed' && " + S + "settled()", "the rename here")
        first_name = labels()[0]["name"]
        driver.execute_async_script("const done = arguments[0];" + post % "{op: 'delete', label: 0}" +
                                    ".then(() => done())")
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "labels()[0].name !== '%s' && %ssettled()" % (first_name, S), "the other window's deletion")
        kept = [l["name"] for l in labels()]
        find(By.ID, "undo").click()
        wait_for("return document.getElementById('error').textContent.includes('another window changed the "
                 "labels since')", "the rename's undo refused")
        if [l["name"] for l in labels()] != kept:
            fail("the rename's undo after another window's deletion made %s of %s"
                 % ([l["name"] for l in labels()], kept))
        # So is a stroke's redo: its marks are label numbers, which now name other labels (and
        # the pixels it expects, unmarked, are as they were).
        on = js("return " + S + "view().image")
        label_items()[1].click()
        stroke([(400, 300), (440, 300)])  # below the boxes that say what is wrong
        wait_for(S + "marksAt(420, 300) === 2 && " + S + "settled()", "a stroke of the second label")
        find(By.ID, "undo").click()
        wait_for(S + "marksAt(420, 300) === 0 && " + S + "settled()", "the stroke undone")
        driver.execute_async_script("const done = arguments[0];" + post % "{op: 'delete', label: 0}" +
                                    ".then(() => done())")
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "labels().length === %d && %ssettled()" % (len(kept) - 1, S), "another deletion")
        marks_before = server_marks(on)
        find(By.ID, "redo").click()
        wait_for("return document.getElementById('error').textContent.includes('Could not redo the stroke: "
                 "another window changed the labels since')", "the stroke's redo refused")
        if server_marks(on) != marks_before:
            fail("the stroke's redo after another window's deletion changed the marks")
        # A setting's undo puts every setting back: refused once another window changed one.
        ActionChains(driver).click(find(By.ID, "neighborhood")).perform()
        keys(Keys.CONTROL, "a")
        ActionChains(driver).send_keys("7" + Keys.TAB).perform()
        wait_for(S + "settings().neighborhood === 7 && " + S + "settled()", "neighbourhood 7")
        js("const t = new URLSearchParams(location.search).get('token');"
           "fetch('/api/settings', {method: 'POST', body: JSON.stringify(Object.assign({}, " + S + "settings(),"
           " {normalize: true})), headers: {'X-Clsg-Token': t, 'Content-Type': 'application/json'}})")
        time.sleep(0.5)
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "settings().normalize === true && " + S + "settled()", "another window's setting")
        find(By.ID, "undo").click()
        wait_for("return document.getElementById('error').textContent.includes('another window changed the "
                 "settings since')", "the setting's undo refused")
        if js("return " + S + "settings()")["neighborhood"] != 7 or not js("return " + S + "settings()")["normalize"]:
            fail("the setting's undo after another window's change left %s" % js("return " + S + "settings()"))
        # Strokes the studio turns away (busy), two crossing while the first is on its way, are not
        # left on the page (not even where the second was painted over the first) nor in the history.
        history_before = js("return document.body.dataset.history")
        js("const real = window.fetch; let left = 2; window.fetch = (url, options) => {"
           " if (left && url.startsWith('/api/marks?') && options.method === 'POST') { --left;"
           " return new Promise((done) => setTimeout(() => done(new Response("
           "'{\"error\": \"the studio is busy\"}', {status: 503})), 600)); }"
           " return real(url, options); };")
        stroke([(400, 330), (440, 330)])
        label_items()[0].click()
        stroke([(420, 310), (420, 350)])
        wait_for("return document.getElementById('error').textContent.includes('the studio is busy') && " +
                 S + "settled() && [[420, 330], [405, 330], [420, 345]].every(([x, y]) => " + S +
                 "marksAt(x, y) === 0)", "the refused strokes taken off the page")
        if js("return document.body.dataset.history") != history_before:
            fail("the refused stroke is in the history: %s, before %s"
                 % (js("return document.body.dataset.history"), history_before))

        # Many labels: the legend shows twelve, those covering most of the image, and how many
        # more; the note names a few of those without marks. Neither covers the image.
        adds = ".then(() => ".join(post % "{op: 'add', name: 'many%d'}" % n for n in range(20))
        driver.execute_async_script("const done = arguments[0];" + adds + ")" * 19 + ".then(() => done())")
        js("window.dispatchEvent(new Event('focus'))")
        wait_for(S + "labels().length === %d && %ssettled()" % (len(kept) + 19, S), "twenty more labels")
        label_items()[0].click()  # marks for one label at least, so that there are shares
        stroke([(100, 200), (160, 200)])
        wait_for(S + "settled() && " + S + "shares()", "a segmentation of many labels")
        rows = js("return [...document.querySelectorAll('#legend .name')].map((e) => e.textContent)")
        more = js("return document.querySelector('#legend .more') && "
                  "document.querySelector('#legend .more').textContent")
        marked = [l["name"] for l, c in zip(labels(), js("return " + S + "shares()")) if c > 0]  # on the image
        note = js("return document.getElementById('note').textContent")
        box = js("const l = document.getElementById('legend').getBoundingClientRect(), s = document."
                 "querySelector('.stage').getBoundingClientRect(); return [l.top, s.top, l.height, s.height]")
        if len(rows) != 12 or more != "and %d more labels" % (len(labels()) - 12) or \
                not set(marked) <= set(rows) or box[0] < box[1] or box[2] > box[3] / 2:
            fail("a legend of %d labels: rows %s, %r, marked %s, box %s" % (len(labels()), rows, more, marked, box))
        unmarked = [l["name"] for l in labels() if not l["marked"]]
        if "%s and %d more need marks" % (", ".join(unmarked[:5]), len(unmarked) - 5) not in note:
            fail("the note for twenty labels without marks: %r" % note)
        shot("many-labels")

        # The Open… buttons, a label around a hidden input, are reached by Tab.
        js("document.getElementById('image-select').focus()")
        ActionChains(driver).send_keys(Keys.TAB).perform()
        if not js("return document.activeElement.textContent.trim().startsWith('Open')"):
            fail("Tab from the image list went to %r" % js("return document.activeElement.outerHTML.slice(0, 80)"))

        # Without the server, the page says so in words.
        studio.terminate()
        studio.wait(timeout=10)
        find(By.ID, "save-tool").click()
        wait_for("return document.getElementById('error').textContent.includes('does not answer')", "the words")
        print("ok: label image identical to clsg run (%d bytes), as are the region counts %s; screenshots in %s"
              % (len(page_labels), regions, artefacts))
    finally:
        driver and driver.quit()
        studio.poll() is None and (studio.terminate() or studio.wait(timeout=10))
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
