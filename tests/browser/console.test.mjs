// The console page in a headless Chromium, end to end: ptzsim plays a Pelco-D line with two
// cameras (a third camera has no driver), k47ptz-host serves the console behind HTTP Basic on a
// loopback port, and the page is driven as a user would. What reaches the simulated line is the
// judge: moves in the joystick's direction while it is held, a stop within 0.5 s of letting go
// (not the camera's own 5 s time-out), the same for an arrow key, the zoom button and the page
// losing the user, and the frames of the preset buttons ("set" only once confirmed). A refusal of
// the host, and the host gone, are shown in words.
//
// Run by ctest (label browser) in its working folder, where console.png and the logs are left.
// Needs /usr/bin/chromium (or K47_CHROMIUM) and tests/browser/node_modules (npm ci): without them
// the test fails, it never skips. K47_BUILD_DIR names the build folder (default build/default).
import { existsSync, writeFileSync } from "node:fs";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { Child, Simulator, checks, now, prepareWork, sleep, until } from "./harness.mjs";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const BUILD = path.resolve(process.env.K47_BUILD_DIR ?? path.join(HERE, "../../build/default"));
const CHROMIUM = process.env.K47_CHROMIUM ?? "/usr/bin/chromium";
const WORK = path.resolve("console-work");
const SCREENSHOT = path.resolve("console.png");
const STOP_WITHIN_S = 0.5;
// The console behind HTTP Basic (allowed over plain HTTP from loopback): the page's own requests
// must carry the credentials the browser was given for it.
const USER = { username: "operator", password: "gate-7" };

const { failures, check, abort } = checks("console test");

function prepare() {
    if (!existsSync(CHROMIUM)) abort(`${CHROMIUM} is missing: run scripts/install-deps.sh`);
    try {
        return prepareWork(BUILD, WORK);
    } catch (error) {
        abort(error.message);
    }
}

async function loadPuppeteer() {
    try {
        return (await import("puppeteer-core")).default;
    } catch (error) {
        abort(`puppeteer-core cannot be loaded (${error.message}): run npm ci in ${HERE}`);
    }
}

async function startHost(env, link) {
    const config = path.join(WORK, "installation.xml");
    writeFileSync(config, `<Installation>
  <ControlService Listen="127.0.0.1" Port="0" Console="1"/>
  <Users><User Name="${USER.username}" Password="${USER.password}"/></Users>
  <PTZProtocols>
    <Protocol Name="Line" ProgID="K47PTZ.K47PelcoD" COMPort="${link}" BaudRate="9600"/>
    <Protocol Name="Broken" ProgID="K47PTZ.NoSuchDriver"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Protocol="Line" Address="1"/>
    <Camera Name="Yard" Protocol="Line" Address="2"/>
    <Camera Name="Lost" Protocol="Broken" Address="1"/>
  </Cameras>
</Installation>
`);
    const host = new Child("host", path.join(BUILD, "bin/k47ptz-host"), ["--config", config], env);
    const ready = await until(() => host.exited || host.lines.some((l) => l.includes("ready")), 20000);
    if (!ready || host.exited) abort(`the host did not become ready (see ${host.log.path})`);
    const announced = host.lines.map((l) => /control service at (http:\/\/[^/\s]+)/.exec(l)).find(Boolean);
    if (!announced) abort("the host did not say where its control service is");
    return { host, url: announced[1] };
}

// Holds the pointer on the pad at (fx, fy) of its radius from the centre (y downwards).
async function holdPad(page, fx, fy) {
    const box = await (await page.$("#joystick")).boundingBox();
    const r = box.width / 2;
    await page.mouse.move(box.x + r + fx * r, box.y + r + fy * r);
    const t = now();
    await page.mouse.down();
    return t;
}

function describe(frames) {
    return frames.map((f) => `${f.kind}@${f.at.toFixed(3)}`).join(" ");
}

// The stop that follows a release at `released`, and what reached the line after it.
async function checkStop(sim, address, released, what) {
    const stop = await until(() => sim.since(released, address).find((f) => f.kind === "stop"), 3000);
    check(stop !== null, `${what}: a stop frame reaches the line`);
    if (!stop) return;
    const delay = stop.at - released;
    check(delay <= STOP_WITHIN_S, `${what}: the stop is on the line ${(delay * 1000).toFixed(0)} ms after letting go (at most ${STOP_WITHIN_S * 1000} ms)`);
    await sleep(800);
    const late = sim.since(stop.at + 1e-6, address).filter((f) => f.kind === "move");
    check(late.length === 0, `${what}: no move follows the stop (${describe(late) || "none"})`);
}

async function main() {
    const puppeteer = await loadPuppeteer();
    const env = prepare();
    const link = path.join(WORK, "line.tty");
    const children = [];
    let browser = null;
    const watchdog = setTimeout(() => abort("the test ran past 150 s"), 150000);
    try {
        const sim = new Simulator(BUILD, link, env);
        children.push(sim);
        if (!(await until(() => sim.start !== null && existsSync(link), 10000)))
            abort("ptzsim did not start");
        const { host, url } = await startHost(env, link);
        children.unshift(host); // ended first: it stops the cameras and closes the line
        console.log(`host at ${url}, work folder ${WORK}`);

        browser = await puppeteer.launch({
            executablePath: CHROMIUM,
            headless: true,
            args: [
                ...(process.getuid?.() === 0 ? ["--no-sandbox"] : []),
                "--disable-gpu",
                "--disable-dev-shm-usage",
                "--no-first-run",
                "--window-size=1280,900",
            ],
            defaultViewport: { width: 1280, height: 900 },
        });
        const anonymous = await fetch(`${url}/`);
        check(anonymous.status === 401 && /^Basic /.test(anonymous.headers.get("www-authenticate") ?? ""),
              `without credentials the page answers ${anonymous.status}, asking for Basic`);
        const page = await browser.newPage();
        await page.authenticate(USER);
        const problems = [];
        page.on("pageerror", (error) => problems.push(`page error: ${error.message}`));
        page.on("console", (message) => {
            // A refusal of the API is logged by the browser too; the page shows it (checked below).
            if (message.type() === "error" && !message.location()?.url?.includes("/api/"))
                problems.push(`console: ${message.text()}`);
        });
        page.on("requestfailed", (request) => {
            if (!request.url().includes("/api/")) problems.push(`request failed: ${request.url()}`);
        });
        const posts = [];
        page.on("request", (request) => {
            if (request.method() === "POST") posts.push(request);
        });

        const response = await page.goto(`${url}/`, { waitUntil: "load" });
        check(response.status() === 200, `GET / answers ${response.status()}`);
        const csp = response.headers()["content-security-policy"] ?? "";
        check(csp.includes("default-src 'self'") && !csp.includes("unsafe-inline"), `the page comes with a strict policy: ${csp}`);

        // The list: both cameras of the simulated line, their line up, counters as numbers or dashes.
        const listed = await page
            .waitForFunction(() => document.querySelectorAll("#cameras tbody tr").length >= 3, { timeout: 5000 })
            .then(() => true, () => false);
        check(listed, "the page lists the cameras");
        const rows = await page.$$eval("#cameras tbody tr", (trs) => trs.map((tr) => ({
            name: tr.dataset.camera,
            cells: [...tr.cells].map((td) => td.textContent),
            counts: [...tr.querySelectorAll("td.count")].map((td) => td.textContent),
        })));
        check(JSON.stringify(rows.map((r) => r.name).sort()) === JSON.stringify(["Gate", "Lost", "Yard"]), `cameras listed: ${rows.map((r) => r.name).join(", ")}`);
        for (const row of rows) {
            if (row.name !== "Lost") check(row.cells[1] === "Line" && row.cells[2] === "up", `${row.name}: line "${row.cells[1]}", state "${row.cells[2]}"`);
            check(row.counts.length > 0 && row.counts.every((t) => /^(\d+|\u2013)$/.test(t)), `${row.name}: counters ${row.counts.join(" ")}`);
        }
        // The list is refreshed: the "updated" note changes within two seconds.
        const firstNote = await page.$eval("#list-state", (e) => e.textContent);
        const gateRow = await page.$('#cameras tbody tr[data-camera="Gate"]');
        await sleep(1100);
        const secondNote = await page.$eval("#list-state", (e) => e.textContent);
        check(firstNote !== secondNote && secondNote.startsWith("updated"), `the list is refreshed ("${firstNote}" then "${secondNote}")`);
        // A row replaced by a refresh between a press and its release would swallow the click.
        check(await gateRow.evaluate((tr) => tr.isConnected), "a refresh changes the rows in place");

        await page.click('#cameras tbody tr[data-camera="Gate"]');
        check((await page.$eval("#selected", (e) => e.textContent)) === "Gate", "Gate is selected");
        await sleep(300);

        // The joystick, held right and up for 1 s.
        const pressed = await holdPad(page, 0.6, -0.3);
        await sleep(1000);
        const released = now();
        await page.mouse.up();
        const moves = sim.since(pressed, 1).filter((f) => f.kind === "move" && f.at <= released);
        check(moves.length >= 3, `the held joystick put ${moves.length} move frames on the line`);
        check(moves.length > 0 && moves.every((f) => f.pan.direction === 1 && f.tilt.direction === 1 && f.pan.speed > f.tilt.speed),
              `every move pans right faster than it tilts up (${moves.map((f) => `${f.pan.direction * f.pan.speed}/${f.tilt.direction * f.tilt.speed}`).join(" ")})`);
        check(moves.length > 0 && moves[0].at - pressed < 0.5, `the first move is on the line ${moves.length ? ((moves[0].at - pressed) * 1000).toFixed(0) : "-"} ms after pressing`);
        // (An idle camera gets a stop now and then; a move would be the page steering the wrong one.)
        const strays = sim.since(pressed, 2).filter((f) => f.kind !== "stop");
        check(strays.length === 0, `the other camera got no command (${describe(strays) || "none"})`);
        await checkStop(sim, 1, released, "joystick released");

        // An arrow key: pan left while held, stop on key up.
        const keyDown = now();
        await page.keyboard.down("ArrowLeft");
        await sleep(600);
        const keyUp = now();
        await page.keyboard.up("ArrowLeft");
        const keyMoves = sim.since(keyDown, 1).filter((f) => f.kind === "move" && f.at <= keyUp);
        check(keyMoves.length >= 2 && keyMoves.every((f) => f.pan.direction === -1 && f.tilt.direction === 0),
              `the left arrow pans left (${keyMoves.length} moves)`);
        await checkStop(sim, 1, keyUp, "arrow key released");

        // Whatever takes the user away while the joystick is held stops the camera at once: the
        // window losing focus, the pointer leaving the window, the tab being hidden (the events
        // the browser would fire, dispatched here).
        const leaving = {
            "window blurred": () => window.dispatchEvent(new Event("blur")),
            "pointer left the window": () =>
                document.documentElement.dispatchEvent(new MouseEvent("mouseleave")),
            "tab hidden": () => {
                Object.defineProperty(document, "visibilityState", { value: "hidden", configurable: true });
                document.dispatchEvent(new Event("visibilitychange"));
                delete document.visibilityState;
            },
        };
        for (const [what, leave] of Object.entries(leaving)) {
            await holdPad(page, -0.5, 0.5);
            await sleep(400);
            const left = now();
            await page.evaluate(leave);
            await checkStop(sim, 1, left, `${what} while held`);
            await page.mouse.up();
        }

        // The zoom button: tele while held, stop on release.
        const zoomBox = await (await page.$("#zoom-in")).boundingBox();
        await page.mouse.move(zoomBox.x + zoomBox.width / 2, zoomBox.y + zoomBox.height / 2);
        const zoomDown = now();
        await page.mouse.down();
        await sleep(500);
        const zoomUp = now();
        await page.mouse.up();
        const zooms = sim.since(zoomDown, 1).filter((f) => f.kind === "move" && f.at <= zoomUp);
        check(zooms.length >= 2 && zooms.every((f) => f.zoom.direction === 1 && f.pan.direction === 0),
              `"zoom in" held zooms in (${zooms.length} moves)`);
        await checkStop(sim, 1, zoomUp, "zoom button released");

        // A preset button.
        const beforePreset = now();
        await page.click('button[data-preset="3"][data-action="go"]');
        const preset = await until(() => sim.since(beforePreset, 1).find((f) => f.kind === "preset-go"), 3000);
        check(preset !== null && preset.preset === 3, `"go 3" put ${preset ? `preset-go ${preset.preset}` : "nothing"} on the line`);

        // "set" asks first: refused, nothing is stored; confirmed, the preset is set.
        let answerDialog = false;
        const dialogs = [];
        page.on("dialog", (dialog) => {
            dialogs.push(dialog.message());
            return answerDialog ? dialog.accept() : dialog.dismiss();
        });
        const beforeSet = now();
        await page.click('button[data-preset="2"][data-action="set"]');
        await sleep(700);
        const refusedSets = sim.since(beforeSet, 1).filter((f) => f.kind === "preset-set");
        check(dialogs.length === 1 && /preset 2/.test(dialogs[0]) && refusedSets.length === 0,
              `"set 2" asks ("${dialogs[0] ?? ""}") and, refused, stores nothing (${describe(refusedSets) || "none"})`);
        answerDialog = true;
        await page.click('button[data-preset="2"][data-action="set"]');
        const stored = await until(() => sim.since(beforeSet, 1).find((f) => f.kind === "preset-set"), 3000);
        check(dialogs.length === 2 && stored?.preset === 2, `"set 2" confirmed put ${stored ? `preset-set ${stored.preset}` : "nothing"} on the line`);

        // Every POST carried the console's header and a JSON type.
        check(posts.length > 0 && posts.every((r) => r.headers()["x-k47-console"] === "1" && r.headers()["content-type"] === "application/json"),
              `${posts.length} POSTs, each with X-K47-Console: 1 and Content-Type: application/json`);
        const message = await page.$eval("#message", (e) => (e.hidden ? "" : e.textContent));
        check(message === "", `no error shown on the page ("${message}")`);
        check(problems.length === 0, `no script error, policy violation or failed load (${problems.join("; ") || "none"})`);

        // A camera the host cannot steer: the refusal in the host's words.
        await page.click('#cameras tbody tr[data-camera="Lost"]');
        await page.click('button[data-preset="1"][data-action="go"]');
        const refusal = await page
            .waitForFunction(() => { const m = document.querySelector("#message"); return !m.hidden && m.textContent; }, { timeout: 3000 })
            .then((handle) => handle.jsonValue(), () => "");
        check(/^preset Lost: .*not bound.*\(HTTP 503\)$/.test(refusal), `a refusal is shown in words: "${refusal}"`);

        await page.click('#cameras tbody tr[data-camera="Gate"]'); // its counters in the picture
        await sleep(1100);
        await page.screenshot({ path: SCREENSHOT, fullPage: true });
        console.log(`screenshot: ${SCREENSHOT}`);

        // The host gone: the list says it cannot be read.
        await host.end();
        const gone = await page
            .waitForFunction(() => { const s = document.querySelector("#list-state"); return s.className === "error" && s.textContent; }, { timeout: 4000 })
            .then((handle) => handle.jsonValue(), () => "");
        check(gone.startsWith("reading the cameras: "), `with the host gone the page says "${gone}"`);
    } finally {
        clearTimeout(watchdog);
        if (browser) await browser.close().catch(() => {});
        for (const child of children) await child.end();
    }
    if (failures.length > 0) {
        console.error(`console test: ${failures.length} check(s) failed; logs in ${WORK}`);
        process.exit(1);
    }
    console.log("console test: all checks passed");
}

main().catch((error) => abort(error.stack ?? String(error)));
