// The host's ONVIF devices driven by an ONVIF client library no one here wrote (the npm package
// `onvif`, its Cam class and Discovery), end to end: ptzsim plays a Pelco-D line at 9600 Bd with
// two cameras, k47ptz-host publishes both as ONVIF devices behind WS-UsernameToken, and what
// reaches the simulated line is the judge: move frames for a ContinuousMove and a stop frame for
// its Stop; a stop frame 1 s after a ContinuousMove with a 1 s time-out and no Stop (never
// before, within 1.2 s); the preset frames of SetPreset, GotoPreset, GotoHomePosition and
// RemovePreset, and the preset names kept across a restart of the host; nothing at all for a
// client with a wrong password. Discovery: a Probe finds both devices with their addresses.
//
// Runs in a network namespace of its own (ctest's onvif_client wraps it in `unshare -rn`), where
// loopback carries multicast and port 3702 is free: without it the test fails, never skips.
// The client's session (each request and the answer's first element) goes to onvif-session.log
// in the working folder. K47_BUILD_DIR names the build folder (default build/default).
import { createWriteStream, writeFileSync } from "node:fs";
import net from "node:net";
import path from "node:path";
import { fileURLToPath } from "node:url";

import { Child, Simulator, checks, now, prepareWork, sleep, until } from "../browser/harness.mjs";

const HERE = path.dirname(fileURLToPath(import.meta.url));
const BUILD = path.resolve(process.env.K47_BUILD_DIR ?? path.join(HERE, "../../build/default"));
const WORK = path.resolve("onvif-work");
const USER = { username: "operator", password: "gate-7" };
const TIMEOUT_STOP_WITHIN_S = 1.2;
const STOP_WITHIN_S = 0.5;

const { failures, check, abort } = checks("onvif test");

let onvif;
async function loadClient() {
    try {
        onvif = (await import("onvif")).default;
    } catch (error) {
        abort(`the onvif package cannot be loaded (${error.message}): run npm ci in ${HERE}`);
    }
}

// Two free TCP ports on loopback.
async function freePort() {
    return new Promise((resolve, reject) => {
        const server = net.createServer();
        server.on("error", reject);
        server.listen(0, "127.0.0.1", () => {
            const { port } = server.address();
            server.close(() => resolve(port));
        });
    });
}

let session;
function record(name, line) {
    session.write(`${name} ${line}\n`);
}

// The client's calls as promises; every request and the first element of each answer go to the
// session log.
function connect(port, user, name) {
    return new Promise((resolve) => {
        const cam = new onvif.Cam({ hostname: "127.0.0.1", port, username: user.username,
                                    password: user.password, timeout: 5000, autoconnect: false });
        cam.on("rawRequest", (xml) => {
            const op = /<(?:\w+:)?Body[^>]*>\s*<(?:\w+:)?(\w+)/.exec(xml);
            record(name, `-> ${op ? op[1] : "?"}`);
        });
        cam.on("rawResponse", (xml, status) => {
            const element = /<(?:\w+:)?Body[^>]*>\s*<([\w:]+)/.exec(xml);
            const reason = /<(?:\w+:)?Text[^>]*>([^<]*)</.exec(xml)?.[1]
                .replace(/&quot;/g, '"').replace(/&lt;/g, "<").replace(/&gt;/g, ">").replace(/&amp;/g, "&");
            record(name, `<- ${status} ${element ? element[1] : "?"}${element && element[1].endsWith("Fault") && reason ? ` (${reason})` : ""}`);
        });
        cam.on("warning", (text) => record(name, `warning: ${text}`));
        cam.connect((error) => resolve({ cam, error }));
    });
}
function call(cam, method, ...args) {
    return new Promise((resolve) => {
        cam[method](...args, (error, result, xml) => resolve({ error, result, xml }));
    });
}

async function startHost(env, link, ports, presetFile, name = "host") {
    const config = path.join(WORK, "installation.xml");
    writeFileSync(config, `<Installation>
  <ControlService Listen="127.0.0.1" Port="0"/>
  <Users><User Name="${USER.username}" Password="${USER.password}"/></Users>
  <Onvif Listen="127.0.0.1" Discovery="1" DefaultTimeout="PT10S" MaxTimeout="PT30S"
         PresetFile="${presetFile}"/>
  <PTZProtocols>
    <Protocol Name="Line" ProgID="K47PTZ.K47PelcoD" COMPort="${link}" BaudRate="9600"/>
  </PTZProtocols>
  <Cameras>
    <Camera Name="Gate" Protocol="Line" Address="1" OnvifPort="${ports[0]}"
            StreamUri="rtsp://192.0.2.10/gate" Manufacturer="Acme" Model="Dome 7"/>
    <Camera Name="Yard" Protocol="Line" Address="2" OnvifPort="${ports[1]}"/>
  </Cameras>
</Installation>
`);
    const host = new Child(name, path.join(BUILD, "bin/k47ptz-host"), ["--config", config], env);
    const ready = await until(() => host.exited || host.lines.some((l) => l.includes("ready")), 20000);
    if (!ready || host.exited) abort(`the host did not become ready (see ${host.log.path})`);
    return host;
}

const describe = (frames) => frames.map((f) => `${f.kind}@${f.at.toFixed(3)}`).join(" ") || "none";

async function steering(sim, cam) {
    // A move, renewed by the host while no Stop comes, then a Stop.
    const moveSent = now();
    const move = await call(cam, "continuousMove", { x: 0.5, y: -0.25, zoom: 0 });
    check(!move.error, `continuousMove is accepted (${move.error?.message ?? "ok"})`);
    const status = await call(cam, "getStatus", {});
    check(!status.error && status.result?.moveStatus?.panTilt === "MOVING",
          `getStatus tells the pan/tilt is moving (${JSON.stringify(status.result?.moveStatus ?? status.error?.message)})`);
    await sleep(2300);
    const stopSent = now();
    const stop = await call(cam, "stop", {});
    check(!stop.error, `stop is accepted (${stop.error?.message ?? "ok"})`);
    const stopFrame = await until(() => sim.since(stopSent, 1).find((f) => f.kind === "stop"), 3000);
    const moves = sim.since(moveSent, 1).filter((f) => f.kind === "move" && f.at < stopSent);
    // Sent at once, then renewed each second: 0, 1 and 2 s before the stop at 2.3 s.
    check(moves.length === 3, `the move and its renewals reach the line: ${moves.length} move frames (3 expected)`);
    check(moves.length > 0 && moves.every((f) => f.pan.direction === 1 && f.tilt.direction === -1 && f.pan.speed > f.tilt.speed),
          `each pans right and tilts down, panning faster (${moves.map((f) => `${f.pan.direction * f.pan.speed}/${f.tilt.direction * f.tilt.speed}`).join(" ")})`);
    check(moves.length > 0 && moves[0].at - moveSent < 0.2,
          `the first move is on the line ${moves.length ? ((moves[0].at - moveSent) * 1000).toFixed(0) : "-"} ms after the request`);
    check(stopFrame && stopFrame.at - stopSent <= STOP_WITHIN_S,
          `the stop is on the line ${stopFrame ? ((stopFrame.at - stopSent) * 1000).toFixed(0) : "never"} ms after the request (at most ${STOP_WITHIN_S * 1000})`);
    await sleep(1300);
    const late = sim.since(stopSent, 1).filter((f) => f.kind === "move");
    check(late.length === 0, `nothing moves the camera after the stop (${describe(late)})`);

    // A move with a 1 s time-out and no Stop: the host stops it.
    const timedSent = now();
    const timed = await call(cam, "continuousMove", { x: 0, y: 0, zoom: 1, timeout: 1000 });
    check(!timed.error, `continuousMove with a 1 s time-out is accepted (${timed.error?.message ?? "ok"})`);
    const timedStop = await until(() => sim.since(timedSent, 1).find((f) => f.kind === "stop"), 3000);
    const zooms = sim.since(timedSent, 1).filter((f) => f.kind === "move");
    check(zooms.length >= 1 && zooms.every((f) => f.zoom.direction === 1 && f.pan.direction === 0),
          `the zoom move reaches the line (${describe(zooms)})`);
    const delay = timedStop ? timedStop.at - timedSent : Infinity;
    check(delay >= 1.0 && delay <= TIMEOUT_STOP_WITHIN_S,
          `its stop is on the line ${(delay * 1000).toFixed(0)} ms after the request (from 1000 to ${TIMEOUT_STOP_WITHIN_S * 1000})`);
    const idle = await call(cam, "getStatus", {});
    check(idle.result?.moveStatus?.zoom === "IDLE", `getStatus tells the zoom is idle again (${JSON.stringify(idle.result?.moveStatus)})`);
}

async function presets(sim, cam) {
    const before = now();
    const set = await call(cam, "setPreset", { presetName: "Door" });
    const token = /PresetToken>([^<]*)</.exec(set.xml ?? "")?.[1];
    check(!set.error && token === "2",
          `setPreset "Door" answers token 2, the first after home (${set.error?.message ?? token})`);
    const set3 = await call(cam, "setPreset", { presetName: "Window", presetToken: "3" });
    check(!set3.error, `setPreset "Window" on token 3 is accepted (${set3.error?.message ?? "ok"})`);
    const same = await call(cam, "setPreset", { presetName: "Door", presetToken: "4" });
    check(Boolean(same.error), `a second preset called "Door" is refused (${same.error?.message ?? "accepted"})`);
    const list = await call(cam, "getPresets", {});
    // The client reads tokens that look like numbers as numbers.
    check(!list.error && String(list.result.Door?.$?.token) === "2" && String(list.result.Window?.$?.token) === "3" &&
          Object.keys(list.result).length === 2,
          `getPresets lists Door=2 and Window=3 (${JSON.stringify(Object.fromEntries(Object.entries(list.result ?? {}).map(([k, v]) => [k, v.$?.token])))})`);
    const go = await call(cam, "gotoPreset", { preset: "2" });
    check(!go.error, `gotoPreset 2 is accepted (${go.error?.message ?? "ok"})`);
    const home = await call(cam, "gotoHomePosition", {});
    check(!home.error, `gotoHomePosition is accepted (${home.error?.message ?? "ok"})`);
    const removed = await call(cam, "removePreset", { presetToken: "2" });
    check(!removed.error, `removePreset 2 is accepted (${removed.error?.message ?? "ok"})`);
    const bad = await call(cam, "gotoPreset", { preset: "999" });
    check(Boolean(bad.error), `gotoPreset of a token the camera has not is refused (${bad.error?.message ?? "accepted"})`);
    await until(() => sim.since(before, 1).filter((f) => f.kind.startsWith("preset")).length >= 5, 2000);
    const presetFrames = sim.since(before, 1).filter((f) => f.kind.startsWith("preset")).map((f) => `${f.kind} ${f.preset}`);
    const expected = ["preset-set 2", "preset-set 3", "preset-go 2", "preset-go 1", "preset-clear 2"];
    check(JSON.stringify(presetFrames) === JSON.stringify(expected),
          `the line carries exactly ${expected.join(", ")} (${presetFrames.join(", ")})`);
    const after = await call(cam, "getPresets", {});
    check(!after.error && Object.keys(after.result).join() === "Window", `after removePreset only Window is left (${Object.keys(after.result ?? {}).join()})`);
}

async function refused(sim, port) {
    const before = now();
    const { cam, error } = await connect(port, { username: USER.username, password: "wrong" }, "intruder");
    // The client connects (the clock and the capabilities answer anyone) but nothing else does.
    const profiles = await call(cam, "getProfiles");
    check(Boolean(profiles.error) && /not authori[sz]ed/i.test(profiles.error.message),
          `a wrong password: getProfiles is refused as not authorized (${profiles.error?.message ?? "accepted"}; connect: ${error?.message ?? "no error"})`);
    const moved = await new Promise((resolve) => cam._request({ service: "ptz", body: cam._envelopeHeader() +
        '<ContinuousMove xmlns="http://www.onvif.org/ver20/ptz/wsdl"><ProfileToken>profile_1</ProfileToken>' +
        '<Velocity><PanTilt x="1" y="0" xmlns="http://www.onvif.org/ver10/schema"/></Velocity></ContinuousMove>' +
        cam._envelopeFooter() }, (e) => resolve(e)));
    check(Boolean(moved) && /not authori[sz]ed/i.test(moved.message), `a wrong password: continuousMove is refused (${moved?.message ?? "accepted"})`);
    await sleep(300);
    const frames = sim.since(before, 1).concat(sim.since(before, 2));
    check(frames.length === 0, `a wrong password puts nothing on the line (${describe(frames)})`);
}

async function discovery(ports) {
    const found = await new Promise((resolve) =>
        onvif.Discovery.probe({ timeout: 1500, resolve: false }, (error, devices) => resolve({ error, devices })));
    const matches = (found.devices ?? []).map((d) => ({
        endpoint: d.probeMatches.probeMatch.endpointReference.address,
        xaddrs: d.probeMatches.probeMatch.XAddrs,
    }));
    for (const m of matches) record("discovery", `${m.endpoint} ${m.xaddrs}`);
    const want = ports.map((p) => `http://127.0.0.1:${p}/onvif/device_service`).sort();
    check(!found.error && matches.length === 2 && JSON.stringify(matches.map((m) => m.xaddrs).sort()) === JSON.stringify(want),
          `a Probe finds both devices at ${want.join(" and ")} (${matches.map((m) => m.xaddrs).join(", ") || found.error})`);
    check(new Set(matches.map((m) => m.endpoint)).size === 2 && matches.every((m) => /^urn:uuid:[0-9a-f-]{36}$/.test(m.endpoint)),
          `each has its own endpoint (${matches.map((m) => m.endpoint).join(", ")})`);
    return matches;
}

async function main() {
    await loadClient();
    let env;
    try {
        env = prepareWork(BUILD, WORK);
    } catch (error) {
        abort(error.message);
    }
    session = createWriteStream(path.join(WORK, "onvif-session.log"));
    const link = path.join(WORK, "line.tty");
    const presetFile = path.join(WORK, "onvif-presets");
    const children = [];
    const watchdog = setTimeout(() => abort("the test ran past 100 s"), 100000);
    try {
        const sim = new Simulator(BUILD, link, env);
        children.push(sim);
        if (!(await until(() => sim.start !== null, 10000))) abort("ptzsim did not start");
        const ports = [await freePort(), await freePort()];
        let host = await startHost(env, link, ports, presetFile);
        children.unshift(host);

        const first = await discovery(ports);

        const { cam, error } = await connect(ports[0], USER, "client");
        check(!error, `the client connects with digest authentication (${error?.message ?? "ok"})`);
        if (error) throw new Error("no session");
        const caps = await call(cam, "getCapabilities");
        check(!caps.error && caps.result?.PTZ?.XAddr === `http://127.0.0.1:${ports[0]}/onvif/ptz_service`,
              `getCapabilities names the PTZ service (${caps.result?.PTZ?.XAddr ?? caps.error?.message})`);
        const profiles = await call(cam, "getProfiles");
        check(!profiles.error && profiles.result?.length === 1 && profiles.result[0].PTZConfiguration?.$?.token === "ptz_config",
              `getProfiles gives one profile with a PTZ configuration (${profiles.result?.map((p) => p.$?.token).join() ?? profiles.error?.message})`);
        check(cam.activeSource?.ptz?.token === "ptz_config", `the client picks it as its active source with PTZ (${JSON.stringify(cam.activeSource?.ptz)})`);
        const info = await call(cam, "getDeviceInformation");
        check(info.result?.manufacturer === "Acme" && info.result?.model === "Dome 7" && info.result?.serialNumber === "Gate",
              `getDeviceInformation tells Acme, Dome 7, Gate (${JSON.stringify(info.result ?? info.error?.message)})`);
        const uri = await call(cam, "getStreamUri", { protocol: "RTSP" });
        check(uri.result?.uri === "rtsp://192.0.2.10/gate", `getStreamUri gives the camera's encoder (${uri.result?.uri ?? uri.error?.message})`);

        await steering(sim, cam);
        await presets(sim, cam);
        await refused(sim, ports[0]);

        // A restart: the names set through the client are still there, and the endpoints the same.
        await host.end();
        children.shift();
        host = await startHost(env, link, ports, presetFile, "host-restarted");
        children.unshift(host);
        const again = await connect(ports[0], USER, "client-after-restart");
        const kept = await call(again.cam, "getPresets", {});
        check(!kept.error && String(kept.result?.Window?.$?.token) === "3" && Object.keys(kept.result).length === 1,
              `after a restart getPresets still lists Window=3 (${Object.keys(kept.result ?? {}).join() || kept.error?.message})`);
        const second = await discovery(ports);
        check(JSON.stringify(first.map((m) => m.endpoint).sort()) === JSON.stringify(second.map((m) => m.endpoint).sort()),
              "the endpoints are the same after the restart");
    } finally {
        clearTimeout(watchdog);
        for (const child of children) await child.end();
        session.end();
    }
    if (failures.length) {
        console.error(`onvif test: ${failures.length} check(s) failed; logs in ${WORK}`);
        process.exit(1);
    }
    console.log(`onvif test: all checks passed; the client's session is in ${path.join(WORK, "onvif-session.log")}`);
}

main().catch((error) => abort(error.stack ?? String(error)));
