// The console page: the cameras of GET /api/v1/cameras, refreshed every second, and the controls
// that steer the selected one. Everything held (the joystick, a button, a key) is merged into one
// move that is sent at once and renewed every RENEW_MS; letting go of the last one, or the page
// losing the user (hidden, blurred, pointer out of the window), sends the stop at once. Should the
// page die instead, the camera stops by itself 5 s after the last move it got.
import {
    BUTTON_SPEED,
    DASH,
    KEY_SPEED,
    RENEW_MS,
    RequestQueue,
    cameraPath,
    cameraRows,
    counterText,
    errorText,
    isStill,
    lastCommandText,
    mergeMotion,
    moveBody,
    padSpeeds,
    sameMove,
} from "./model.mjs";

const REFRESH_MS = 1000;
const REQUEST_TIMEOUT_MS = 3000;

const $ = (selector) => document.querySelector(selector);

function showMessage(text) {
    const box = $("#message");
    box.textContent = text;
    box.hidden = !text;
}

// --- Requests -------------------------------------------------------------------------------

// Sends one POST (RequestQueue keeps them one at a time and in order) and shows what failed.
async function send({ action, camera, body }) {
    const what = `${action} ${camera}`;
    const target = cameraPath(camera, action);
    if (!target) {
        showMessage(`${what}: a camera of that name cannot be reached by a web address`);
        commandError = true;
        return;
    }
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
    try {
        const response = await fetch(target, {
            method: "POST",
            credentials: "same-origin",
            headers: { "Content-Type": "application/json", "X-K47-Console": "1" },
            body: JSON.stringify(body),
            signal: abort.signal,
        });
        if (response.ok) {
            if (commandError) showMessage("");
            commandError = false;
            return;
        }
        showMessage(errorText(what, response.status, await response.text()));
        commandError = true;
    } catch (error) {
        const reason = error.name === "AbortError" ? "the host did not answer" : error.message;
        showMessage(`${what}: ${reason}`);
        commandError = true;
    } finally {
        clearTimeout(timer);
    }
}

let commandError = false;
const sender = new RequestQueue(send);

// --- Motion -----------------------------------------------------------------------------------

class Motion {
    constructor() {
        this.held = new Map(); // source -> {axis: speed}
        this.camera = null; // the camera the current motion goes to
        this.sent = { pan: 0, tilt: 0, zoom: 0, focus: 0, iris: 0 };
        this.timer = null;
    }

    hold(source, axes) {
        if (!selected) return;
        this.held.delete(source); // re-inserted last: the newest source wins its axes
        this.held.set(source, axes);
        this.update();
    }

    release(source) {
        if (this.held.delete(source)) this.update();
    }

    releaseAll() {
        this.held.clear();
        this.update();
    }

    update() {
        const move = mergeMotion(this.held);
        const moving = !isStill(this.sent);
        if (isStill(move)) {
            if (moving) {
                sender.post("stop", this.camera, {}, true);
                this.sent = move;
            }
            clearInterval(this.timer);
            this.timer = null;
            return;
        }
        if (moving && this.camera !== selected) sender.post("stop", this.camera, {}, true);
        this.camera = selected;
        if (!sameMove(move, this.sent) || !moving) {
            this.sent = move;
            sender.post("move", this.camera, moveBody(move), true);
        }
        if (!this.timer) {
            this.timer = setInterval(() => {
                if (!isStill(this.sent)) sender.post("move", this.camera, moveBody(this.sent), true);
            }, RENEW_MS);
        }
    }
}

const motion = new Motion();

// --- The joystick -------------------------------------------------------------------------------

function setupPad() {
    const pad = $("#joystick");
    const knob = $("#knob");
    const readout = $("#pad-speeds");
    let pointer = null;

    const place = (event) => {
        const rect = pad.getBoundingClientRect();
        const r = rect.width / 2;
        const cx = rect.left + r;
        const cy = rect.top + rect.height / 2;
        const speeds = padSpeeds(event.clientX, event.clientY, cx, cy, r);
        let dx = event.clientX - cx;
        let dy = event.clientY - cy;
        const distance = Math.hypot(dx, dy);
        if (distance > r) {
            dx = (dx * r) / distance;
            dy = (dy * r) / distance;
        }
        knob.style.transform = `translate(${dx}px, ${dy}px)`;
        readout.textContent = `pan ${speeds.pan}, tilt ${speeds.tilt}`;
        motion.hold("pad", speeds);
    };
    const letGo = () => {
        if (pointer === null) return;
        pointer = null;
        knob.style.transform = "";
        readout.textContent = "";
        pad.classList.remove("held");
        motion.release("pad");
    };

    pad.addEventListener("pointerdown", (event) => {
        if (event.button !== 0 || pointer !== null || !selected) return;
        event.preventDefault();
        pointer = event.pointerId;
        pad.setPointerCapture(pointer);
        pad.classList.add("held");
        place(event);
    });
    pad.addEventListener("pointermove", (event) => {
        if (event.pointerId === pointer) place(event);
    });
    for (const type of ["pointerup", "pointercancel", "lostpointercapture"]) {
        pad.addEventListener(type, (event) => {
            if (event.pointerId === pointer) letGo();
        });
    }
    return letGo;
}

// --- Buttons and keys ---------------------------------------------------------------------------

function setupHoldButtons() {
    for (const button of document.querySelectorAll("button[data-axis]")) {
        const source = `button:${button.id}`;
        const axes = { [button.dataset.axis]: Number(button.dataset.sign) * BUTTON_SPEED };
        const press = (event) => {
            event.preventDefault();
            motion.hold(source, axes);
        };
        const letGo = () => motion.release(source);
        button.addEventListener("pointerdown", (event) => {
            if (event.button !== 0) return;
            button.setPointerCapture(event.pointerId);
            press(event);
        });
        for (const type of ["pointerup", "pointercancel", "lostpointercapture"]) {
            button.addEventListener(type, letGo);
        }
        button.addEventListener("keydown", (event) => {
            if ((event.key === " " || event.key === "Enter") && !event.repeat) press(event);
        });
        button.addEventListener("keyup", (event) => {
            if (event.key === " " || event.key === "Enter") letGo();
        });
    }
}

const KEYS = {
    ArrowLeft: { pan: -KEY_SPEED },
    ArrowRight: { pan: KEY_SPEED },
    ArrowUp: { tilt: KEY_SPEED },
    ArrowDown: { tilt: -KEY_SPEED },
    "+": { zoom: KEY_SPEED },
    "=": { zoom: KEY_SPEED },
    "-": { zoom: -KEY_SPEED },
    _: { zoom: -KEY_SPEED },
};

function setupKeys() {
    window.addEventListener("keydown", (event) => {
        const axes = KEYS[event.key];
        if (!axes || event.ctrlKey || event.altKey || event.metaKey) return;
        event.preventDefault();
        if (!event.repeat) motion.hold(`key:${event.key}`, axes);
    });
    window.addEventListener("keyup", (event) => {
        if (KEYS[event.key]) motion.release(`key:${event.key}`);
    });
}

function setupPresets() {
    const list = $("#presets");
    for (let number = 1; number <= 8; ++number) {
        const row = document.createElement("li");
        const label = document.createElement("span");
        label.textContent = String(number);
        const go = document.createElement("button");
        go.type = "button";
        go.textContent = `go ${number}`;
        go.dataset.preset = String(number);
        go.dataset.action = "go";
        go.addEventListener("click", () => {
            if (selected) sender.post("preset", selected, { action: "go", number }, false);
        });
        const set = document.createElement("button");
        set.type = "button";
        set.textContent = `set ${number}`;
        set.dataset.preset = String(number);
        set.dataset.action = "set";
        set.addEventListener("click", () => {
            if (!selected) return;
            if (window.confirm(`Store the present position of ${selected} as preset ${number}?`))
                sender.post("preset", selected, { action: "set", number }, false);
        });
        row.append(label, go, set);
        list.append(row);
    }
}

// --- The camera list ----------------------------------------------------------------------------

let selected = null;
let lastRows = [];

function select(name) {
    if (name === selected) return;
    motion.releaseAll(); // the stop goes to the camera that was moving
    selected = name;
    render(lastRows);
}

// Keeps the selection by name across refreshes; a camera that is gone is let go of.
function keepSelection(rows) {
    if (selected && !rows.some((row) => row.name === selected)) {
        motion.releaseAll();
        selected = null;
    }
    if (!selected && rows.length > 0) selected = rows[0].name;
}

const CAMERA_COLUMNS = [
    ["moves", "moves"],
    ["stops", "stops"],
    ["deadManStops", "dead-man stops"],
    ["datagramsAccepted", "datagrams"],
];
const LINE_COLUMNS = [
    ["framesWritten", "frames"],
    ["movesDropped", "moves dropped"],
    ["writeFailures", "write failures"],
];
const CAMERA_DETAILS = [
    ["moves", "Moves"],
    ["stops", "Stops"],
    ["deadManStops", "Dead-man stops"],
    ["repeatedStops", "Repeated stops"],
    ["datagramsAccepted", "Datagrams accepted"],
    ["datagramsStale", "Datagrams stale"],
    ["datagramsForeign", "Datagrams foreign"],
    ["datagramsMalformed", "Datagrams malformed"],
    ["sessionsStarted", "Sessions started"],
];
const LINE_DETAILS = [
    ["framesWritten", "Frames written"],
    ["bytesWritten", "Bytes written"],
    ["movesDropped", "Moves dropped"],
    ["writeFailures", "Write failures"],
    ["writeTimeouts", "Write time-outs"],
    ["reopens", "Reopens"],
];

// The rows stay the same elements from one refresh to the next, changed in place: a row
// replaced between a press and its release would swallow the click.
const rowElements = new Map(); // camera name -> <tr>
const COLUMN_COUNT = 5 + CAMERA_COLUMNS.length + LINE_COLUMNS.length;

function rowElement(name) {
    let tr = rowElements.get(name);
    if (!tr) {
        tr = document.createElement("tr");
        tr.dataset.camera = name;
        tr.tabIndex = 0;
        for (let i = 0; i < COLUMN_COUNT; ++i) tr.append(document.createElement("td"));
        tr.addEventListener("click", () => select(name));
        tr.addEventListener("keydown", (event) => {
            if (event.key === "Enter") select(name);
        });
        rowElements.set(name, tr);
    }
    return tr;
}

function setCell(td, text, className = "", title = "") {
    if (td.textContent !== text) td.textContent = text;
    if (td.className !== className) td.className = className;
    if (td.title !== title) td.title = title;
}

function render(rows) {
    lastRows = rows;
    keepSelection(rows);
    const body = $("#cameras tbody");
    const names = new Set(rows.map((row) => row.name));
    for (const [name, tr] of rowElements) {
        if (!names.has(name)) {
            tr.remove();
            rowElements.delete(name);
        }
    }
    rows.forEach((camera, index) => {
        const tr = rowElement(camera.name);
        tr.setAttribute("aria-selected", String(camera.name === selected));
        const cells = [
            [camera.name, "name"],
            [camera.line],
            [camera.lineState, `state state-${camera.lineState}`, camera.lineError],
            [camera.owner],
            ...CAMERA_COLUMNS.map(([key]) => [counterText(camera.camera, key), "count"]),
            [lastCommandText(camera.camera), "last"],
            ...LINE_COLUMNS.map(([key]) => [counterText(camera.lineCounters, key), "count"]),
        ];
        cells.forEach((values, i) => setCell(tr.cells[i], ...values));
        // Moved only when out of place (a move re-inserts it).
        if (body.children[index] !== tr) body.insertBefore(tr, body.children[index] ?? null);
    });
    $("#no-cameras").hidden = rows.length > 0;

    const current = rows.find((row) => row.name === selected);
    $("#selected").textContent = current ? current.name : DASH;
    $("#controls").disabled = !current;
    const details = $("#details");
    const items = [];
    if (current) {
        for (const [key, label] of CAMERA_DETAILS)
            items.push([label, counterText(current.camera, key)]);
        items.push(["Last command", lastCommandText(current.camera)]);
        for (const [key, label] of LINE_DETAILS)
            items.push([`Line: ${label.toLowerCase()}`, counterText(current.lineCounters, key)]);
        if (current.lineError) items.push(["Line: last error", current.lineError]);
    }
    details.replaceChildren(
        ...items.flatMap(([label, value]) => {
            const dt = document.createElement("dt");
            dt.textContent = label;
            const dd = document.createElement("dd");
            dd.textContent = value;
            return [dt, dd];
        }),
    );
}

async function refresh() {
    const state = $("#list-state");
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), REQUEST_TIMEOUT_MS);
    try {
        const response = await fetch("/api/v1/cameras", {
            credentials: "same-origin",
            cache: "no-store",
            signal: abort.signal,
        });
        const text = await response.text();
        if (!response.ok) {
            state.textContent = errorText("reading the cameras", response.status, text);
            state.className = "error";
            return;
        }
        render(cameraRows(JSON.parse(text)));
        state.textContent = `updated ${new Date().toLocaleTimeString()}`;
        state.className = "";
    } catch (error) {
        const reason = error.name === "AbortError" ? "the host did not answer" : error.message;
        state.textContent = `reading the cameras: ${reason}`;
        state.className = "error";
    } finally {
        clearTimeout(timer);
        setTimeout(refresh, REFRESH_MS);
    }
}

// --- Start ----------------------------------------------------------------------------------

function start() {
    const letGoOfPad = setupPad();
    setupHoldButtons();
    setupKeys();
    setupPresets();
    // Whatever takes the user away from the page stops the camera now, not 5 s later.
    const stopEverything = () => {
        letGoOfPad();
        motion.releaseAll();
    };
    document.addEventListener("visibilitychange", () => {
        if (document.visibilityState === "hidden") stopEverything();
    });
    window.addEventListener("blur", stopEverything);
    window.addEventListener("pagehide", stopEverything);
    document.documentElement.addEventListener("mouseleave", stopEverything);
    refresh();
}

start();
