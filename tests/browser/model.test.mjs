// The console's page-free logic under node: the joystick's geometry and dead zone, the merge of
// held controls, the cells of a status document with counters missing or odd, error words, and
// camera names in API paths, and the queue that keeps requests one at a time and in order.
import assert from "node:assert/strict";
import { test } from "node:test";

import {
    DASH,
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
} from "../../host/console/model.mjs";

test("the pad gives speeds proportional to the offset, up positive, clamped, still in the middle", () => {
    const c = { cx: 200, cy: 100, r: 100 };
    const at = (x, y) => padSpeeds(x, y, c.cx, c.cy, c.r);
    assert.deepEqual(at(200, 100), { pan: 0, tilt: 0 });
    assert.deepEqual(at(300, 100), { pan: 100, tilt: 0 });
    assert.deepEqual(at(100, 100), { pan: -100, tilt: 0 });
    assert.deepEqual(at(200, 0), { pan: 0, tilt: 100 }); // screen y up is tilt up
    assert.deepEqual(at(200, 200), { pan: 0, tilt: -100 });
    assert.deepEqual(at(250, 75), { pan: 50, tilt: 25 });
    assert.deepEqual(at(260, 130), { pan: 60, tilt: -30 });
    // Outside the pad (the pointer is captured and may leave it): full speed, never more.
    assert.deepEqual(at(900, -900), { pan: 100, tilt: 100 });
    // The dead zone is per axis: a pan with a shaky hand does not tilt.
    assert.deepEqual(at(209, 191), { pan: 0, tilt: -91 });
    assert.deepEqual(at(211, 100), { pan: 11, tilt: 0 });
    assert.deepEqual(at(190, 110), { pan: -10, tilt: -10 });
    assert.deepEqual(at(190.6, 109.4), { pan: 0, tilt: 0 });
    // A pad not laid out yet has no geometry: nothing moves.
    assert.deepEqual(padSpeeds(10, 10, 0, 0, 0), { pan: 0, tilt: 0 });
    assert.deepEqual(padSpeeds(10, 10, 0, 0, NaN), { pan: 0, tilt: 0 });
    // Integers only: the API refuses fractions.
    for (const x of [201.3, 237.77, 299.99]) assert.ok(Number.isInteger(at(x, 100).pan));
});

test("held controls merge into one move; the newest control wins its axis; none held is still", () => {
    const held = new Map();
    assert.ok(isStill(mergeMotion(held)));
    held.set("pad", { pan: 60, tilt: 30 });
    held.set("button:zoom-in", { zoom: 50 });
    assert.deepEqual(mergeMotion(held), { pan: 60, tilt: 30, zoom: 50, focus: 0, iris: 0 });
    held.set("key:ArrowLeft", { pan: -50 });
    assert.deepEqual(mergeMotion(held), { pan: -50, tilt: 30, zoom: 50, focus: 0, iris: 0 });
    held.delete("key:ArrowLeft");
    assert.equal(mergeMotion(held).pan, 60);
    // A control in its dead zone does not take an axis from another.
    held.set("key:ArrowUp", { tilt: 50 });
    held.set("pad", { pan: 0, tilt: 0 });
    assert.deepEqual(mergeMotion(held), { pan: 0, tilt: 50, zoom: 50, focus: 0, iris: 0 });
    held.clear();
    held.set("x", { pan: 250, focus: -1000 });
    assert.deepEqual(mergeMotion(held), { pan: 100, tilt: 0, zoom: 0, focus: -100, iris: 0 });
    assert.deepEqual(moveBody({ pan: 100, tilt: 0, zoom: 0, focus: -100, iris: 0 }), { pan: 100, focus: -100 });
    assert.deepEqual(moveBody({ pan: 0, tilt: 0, zoom: 0, focus: 0, iris: 0 }), {});
});

test("counters absent, null, partial or odd show a dash; zero shows 0", () => {
    assert.equal(counterText(undefined, "moves"), DASH);
    assert.equal(counterText(null, "moves"), DASH);
    assert.equal(counterText("7", "moves"), DASH);
    assert.equal(counterText({}, "moves"), DASH);
    assert.equal(counterText({ moves: null }, "moves"), DASH);
    assert.equal(counterText({ moves: NaN }, "moves"), DASH);
    assert.equal(counterText({ moves: 0 }, "moves"), "0");
    assert.equal(counterText({ moves: 12345 }, "moves"), "12345");
    assert.equal(lastCommandText(null), DASH);
    assert.equal(lastCommandText({ lastCommand: null, lastCommandAgeMs: null }), DASH);
    assert.equal(lastCommandText({ lastCommand: "move", lastCommandAgeMs: 1250 }), "move, 1.3 s ago");
    assert.equal(lastCommandText({ lastCommand: "command 7", lastCommandAgeMs: null }), "command 7");
});

test("rows carry each camera's line state and both sets of counters; a broken document gives none", () => {
    const status = {
        lines: [
            { name: "Line", state: "up", lastError: null, counters: { framesWritten: 9 } },
            { name: "Old", state: "down", lastError: "gone (error 2)" },
        ],
        cameras: [
            { name: "Gate", line: "Line", address: 1, sessionOwner: null, counters: { moves: 3 } },
            { name: "Dock", line: "Old", address: 2, sessionOwner: "10.0.0.5:4000" },
            { name: "Lost", line: "Nowhere", address: null, sessionOwner: null, counters: null },
            { line: "Line" },
            null,
        ],
    };
    const rows = cameraRows(status);
    assert.deepEqual(rows.map((r) => r.name), ["Gate", "Dock", "Lost"]);
    assert.deepEqual([rows[0].lineState, rows[0].owner, rows[0].camera, rows[0].lineCounters],
                     ["up", DASH, { moves: 3 }, { framesWritten: 9 }]);
    assert.deepEqual([rows[1].lineState, rows[1].lineError, rows[1].owner, rows[1].camera, rows[1].lineCounters],
                     ["down", "gone (error 2)", "10.0.0.5:4000", null, null]);
    assert.deepEqual([rows[2].line, rows[2].lineState], ["Nowhere", DASH]);
    for (const broken of [null, undefined, {}, { cameras: "x" }, { cameras: [{}], lines: 5 }, []])
        assert.deepEqual(cameraRows(broken), []);
});

test("errors are told in the host's words, else by what the status means", () => {
    assert.equal(errorText("move Gate", 409, '{"error":"the camera is held by 10.0.0.5:4000"}'),
                 "move Gate: the camera is held by 10.0.0.5:4000 (HTTP 409)");
    assert.equal(errorText("stop Gate", 502, "<html>Bad gateway</html>"), "stop Gate: no reason given (HTTP 502)");
    assert.equal(errorText("stop Gate", 500, '{"error":42}'), "stop Gate: no reason given (HTTP 500)");
    assert.match(errorText("reading the cameras", 401, ""), /user name and password.*HTTP 401/);
    assert.match(errorText("reading the cameras", 404, "not found"), /console enabled.*HTTP 404/);
});

test("camera names are percent-encoded whole in API paths", () => {
    assert.equal(cameraPath("Gate", "move"), "/api/v1/cameras/Gate/move");
    assert.equal(cameraPath("Tor Süd/2 #a?b", "stop"), "/api/v1/cameras/Tor%20S%C3%BCd%2F2%20%23a%3Fb/stop");
    assert.equal(cameraPath("a..b", "stop"), "/api/v1/cameras/a..b/stop");
    // A URL would climb out of the cameras for these; they are refused, not sent elsewhere.
    assert.equal(cameraPath("..", "preset"), null);
    assert.equal(cameraPath(".", "stop"), null);
});

test("requests go one at a time and in order; waiting moves give way to newer motion, commands stay", async () => {
    const started = [];
    const finish = [];
    let inFlight = 0;
    let most = 0;
    const queue = new RequestQueue((request) => {
        started.push(`${request.action} ${request.camera} ${JSON.stringify(request.body)}`);
        most = Math.max(most, ++inFlight);
        return new Promise((resolve, reject) =>
            finish.push((failed) => {
                --inFlight;
                if (failed) reject(new Error("the host did not answer"));
                else resolve();
            }));
    });
    const settle = () => new Promise((resolve) => setImmediate(resolve));
    const answer = async (failed = false) => {
        finish.shift()(failed);
        await settle();
    };

    queue.post("move", "Gate", { pan: 10 }, true);
    queue.post("move", "Gate", { pan: 20 }, true);
    queue.post("preset", "Gate", { action: "go", number: 3 }, false);
    queue.post("move", "Gate", { pan: 30 }, true);
    queue.post("stop", "Gate", {}, true);
    await settle();
    assert.deepEqual(started, ['move Gate {"pan":10}']); // nothing else while that one is out
    await answer();
    await answer(true); // a failure does not hold up the stop behind it
    await answer();
    assert.deepEqual(started, [
        'move Gate {"pan":10}',
        'preset Gate {"action":"go","number":3}',
        "stop Gate {}",
    ]);
    assert.equal(most, 1);
    assert.equal(finish.length, 0);

    // Idle again: the next request goes at once.
    queue.post("move", "Yard", { tilt: -40 }, true);
    await settle();
    assert.equal(started.at(-1), 'move Yard {"tilt":-40}');
    // Switching cameras mid-motion: the first one's stop is not replaced by the other's move.
    queue.post("stop", "Yard", {}, true);
    queue.post("move", "Gate", { pan: -5 }, true);
    queue.post("move", "Gate", { pan: -6 }, true);
    await answer();
    await answer();
    await answer();
    assert.deepEqual(started.slice(-3), ['move Yard {"tilt":-40}', "stop Yard {}", 'move Gate {"pan":-6}']);
    assert.equal(finish.length, 0);
});
