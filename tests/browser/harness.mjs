// What the node-driven end-to-end tests share: a clock that matches ptzsim's, waiting for a
// condition, child processes whose output is kept line by line, ptzsim's JSON report, and a work
// folder with its own component registry and runtime folder.
import { spawn, spawnSync } from "node:child_process";
import { chmodSync, createWriteStream, existsSync, mkdirSync, rmSync } from "node:fs";
import path from "node:path";

// A test's verdicts: check() prints ok/FAIL and keeps the failures; abort() ends the test at once.
export function checks(name) {
    const failures = [];
    return {
        failures,
        check(condition, text) {
            console.log(`${condition ? "ok  " : "FAIL"} ${text}`);
            if (!condition) failures.push(text);
            return condition;
        },
        abort(text) {
            console.error(`${name}: ${text}`);
            process.exit(1);
        },
    };
}

// CLOCK_MONOTONIC in seconds: libuv's hrtime reads that clock, as ptzsim's report does.
export const now = () => Number(process.hrtime.bigint()) / 1e9;
export const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

export async function until(predicate, timeoutMs, stepMs = 20) {
    const deadline = Date.now() + timeoutMs;
    for (;;) {
        const value = predicate();
        if (value) return value;
        if (Date.now() > deadline) return null;
        await sleep(stepMs);
    }
}

// A child process whose standard output is kept line by line (and copied to a log file).
export class Child {
    // The output goes to WORK/<name>.log too; `env` must hold K47_WORK (prepareWork's).
    constructor(name, program, args, env) {
        this.name = name;
        this.lines = [];
        this.log = createWriteStream(path.join(env.K47_WORK, `${name}.log`));
        this.process = spawn(program, args, { env, stdio: ["ignore", "pipe", "pipe"] });
        this.exited = null;
        this.process.on("exit", (code, signal) => (this.exited = { code, signal }));
        this.process.on("error", (error) => (this.exited = { error }));
        let rest = "";
        this.process.stdout.on("data", (chunk) => {
            this.log.write(chunk);
            rest += chunk.toString();
            const parts = rest.split("\n");
            rest = parts.pop();
            for (const line of parts) this.onLine(line);
        });
        this.process.stderr.on("data", (chunk) => this.log.write(chunk));
    }
    onLine(line) {
        this.lines.push(line);
    }
    async end() {
        if (this.exited) return;
        this.process.kill("SIGTERM");
        if (!(await until(() => this.exited, 5000))) this.process.kill("SIGKILL");
    }
}

// ptzsim's JSON report: the start (its CLOCK_MONOTONIC) and every decoded frame.
export class Simulator extends Child {
    constructor(build, link, env) {
        super("ptzsim", path.join(build, "bin/ptzsim"),
              ["--protocol", "pelco-d", "--json", "--link", link, "--state-interval", "0"], env);
        this.start = null;
        this.frames = [];
    }
    onLine(line) {
        super.onLine(line);
        let event;
        try {
            event = JSON.parse(line);
        } catch {
            return;
        }
        if (event.event === "start") this.start = event.monotonic;
        if (event.event === "frame" && this.start !== null)
            this.frames.push({ ...event, at: this.start + event.elapsed });
    }
    since(t, address) {
        return this.frames.filter((f) => f.at >= t && f.address === address);
    }
}

// A fresh work folder with the module registered in its own registry; the environment for the
// programs run there. False with the reason in the thrown Error's message.
export function prepareWork(build, work) {
    for (const tool of ["bin/ptzsim", "bin/k47ptz-host", "bin/k47regsvr", "lib/libK47PTZ.so"]) {
        if (!existsSync(path.join(build, tool))) throw new Error(`${path.join(build, tool)} is missing`);
    }
    rmSync(work, { recursive: true, force: true });
    mkdirSync(path.join(work, "registry"), { recursive: true });
    mkdirSync(path.join(work, "run"), { recursive: true });
    chmodSync(path.join(work, "run"), 0o700);
    const env = {
        ...process.env,
        K47_WORK: work,
        K47_REGISTRY_DIR: path.join(work, "registry"),
        K47_RUNTIME_DIR: path.join(work, "run"),
    };
    const registered = spawnSync(path.join(build, "bin/k47regsvr"),
                                 [path.join(build, "lib/libK47PTZ.so")], { env, encoding: "utf8" });
    if (registered.status !== 0) throw new Error(`k47regsvr failed: ${registered.stdout}${registered.stderr}`);
    return env;
}
