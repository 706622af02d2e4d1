// The console's logic that needs no page: the joystick's geometry, the merge of what is held into
// one move, the table's cells from the status document, and the words of an API error. Kept apart
// from console.js so that node can load and check it.

export const DASH = "\u2013";

// Speeds of the arrow keys and the zoom/focus buttons, in the API's −100…100.
export const KEY_SPEED = 50;
export const BUTTON_SPEED = 50;
// A pointer closer to the pad's centre than this (in percent of its radius) means "still" on that
// axis: a hand never holds the exact centre, and a pan should not drift into a tilt.
export const DEAD_ZONE = 10;
// The camera stops by itself 5 s after the last move; re-sending well within that keeps it going
// while something is held, and a page that dies stops it at most 5 s later.
export const RENEW_MS = 150;

function clampSpeed(value) {
    return Math.max(-100, Math.min(100, Math.round(value)));
}

// Pan and tilt for a pointer at (x, y) on a round pad with centre (cx, cy) and radius r (screen
// coordinates: y grows downwards, tilt up is positive). Proportional to the offset, limited to
// the pad's edge, zero inside the dead zone.
export function padSpeeds(x, y, cx, cy, r) {
    if (!(r > 0)) return { pan: 0, tilt: 0 };
    const axis = (offset) => {
        const v = clampSpeed((offset / r) * 100);
        return Math.abs(v) < DEAD_ZONE ? 0 : v;
    };
    return { pan: axis(x - cx), tilt: axis(cy - y) };
}

export const AXES = ["pan", "tilt", "zoom", "focus", "iris"];

// What each held control asks for ({source: {axis: speed}}) as one move: the latest source to
// name an axis wins it (a key pressed while the joystick is held takes over its axis).
export function mergeMotion(sources) {
    const move = { pan: 0, tilt: 0, zoom: 0, focus: 0, iris: 0 };
    for (const wanted of sources.values()) {
        for (const axis of AXES) {
            if (wanted[axis]) move[axis] = clampSpeed(wanted[axis]);
        }
    }
    return move;
}

export function isStill(move) {
    return AXES.every((axis) => !move[axis]);
}

export function sameMove(a, b) {
    return AXES.every((axis) => (a[axis] || 0) === (b[axis] || 0));
}

// The move body the API takes: only the axes that move (absent axes are 0).
export function moveBody(move) {
    const body = {};
    for (const axis of AXES) if (move[axis]) body[axis] = move[axis];
    return body;
}

// A counter as the table shows it: a whole number, or a dash when the host has none.
export function counterText(counters, key) {
    if (!counters || typeof counters !== "object") return DASH;
    const value = counters[key];
    if (typeof value === "number" && Number.isFinite(value)) return String(value);
    if (typeof value === "string" && value !== "") return value;
    return DASH;
}

export function textOrDash(value) {
    return value === null || value === undefined || value === "" ? DASH : String(value);
}

// One row per camera of the status document: its line's state found by the line's name. A
// document without the expected arrays gives no rows rather than an exception.
export function cameraRows(status) {
    const lines = new Map();
    for (const line of Array.isArray(status?.lines) ? status.lines : []) {
        if (line && typeof line.name === "string") lines.set(line.name, line);
    }
    const rows = [];
    for (const camera of Array.isArray(status?.cameras) ? status.cameras : []) {
        if (!camera || typeof camera.name !== "string") continue;
        const line = lines.get(camera.line) || null;
        rows.push({
            name: camera.name,
            line: textOrDash(camera.line),
            lineState: textOrDash(line?.state),
            lineError: line?.lastError || "",
            owner: textOrDash(camera.sessionOwner),
            camera: camera.counters ?? null,
            lineCounters: line?.counters ?? null,
        });
    }
    return rows;
}

// The last command with its age ("move, 1.2 s ago"), or a dash.
export function lastCommandText(counters) {
    const command = counters?.lastCommand;
    if (typeof command !== "string" || command === "") return DASH;
    const age = counters.lastCommandAgeMs;
    if (typeof age !== "number" || !Number.isFinite(age)) return command;
    return `${command}, ${(age / 1000).toFixed(1)} s ago`;
}

// The words for a failed API call: the host's own text when its body has one, else the status.
export function errorText(action, status, bodyText) {
    let detail = "";
    try {
        const parsed = JSON.parse(bodyText);
        if (parsed && typeof parsed.error === "string") detail = parsed.error;
    } catch {
        // not JSON: a proxy's page, say; the status line says enough
    }
    if (!detail) {
        if (status === 401) detail = "the host wants a user name and password";
        else if (status === 404) detail = "not found (is the console enabled on this service?)";
        else detail = "no reason given";
    }
    return `${action}: ${detail} (HTTP ${status})`;
}

// The API path of one camera's action; the name may hold any character. A name "." or ".." has
// none: URLs treat those segments (also percent-encoded) as steps up the path, so null.
export function cameraPath(name, action) {
    if (name === "." || name === "..") return null;
    return `/api/v1/cameras/${encodeURIComponent(name)}/${action}`;
}

// One request at a time, in order: moves sent on separate connections could reach the host out
// of order, and a move overtaking its stop would leave the camera running until its time-out.
// A camera's waiting motion request is replaced by its newest (only the latest wish matters); commands
// (presets) are never dropped. A request that fails (its `send` rejects) does not stop the rest.
export class RequestQueue {
    constructor(send) {
        this.send = send;
        this.queue = [];
        this.busy = false;
    }

    post(action, camera, body, motion) {
        // Only the same camera's: the stop of the camera let go of must still go out.
        if (motion) this.queue = this.queue.filter((r) => !(r.motion && r.camera === camera));
        this.queue.push({ action, camera, body, motion });
        this.pump();
    }

    async pump() {
        if (this.busy) return;
        const request = this.queue.shift();
        if (!request) return;
        this.busy = true;
        try {
            await this.send(request);
        } catch {
            // `send` tells the user itself; the requests behind this one still go
        } finally {
            this.busy = false;
            this.pump();
        }
    }
}
