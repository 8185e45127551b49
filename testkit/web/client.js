// The quern web client: one WebSocket to the daemon's data plane, one
// attached session at a time, its output shown as plain text.
//
// With ?session=ID&command=TEXT&expect=TEXT&auto=1 the page runs by itself:
// it attaches to ID, types TEXT and a newline, waits until the output holds
// the expected text, and POSTs {"ok", "steps", "output", ...} to /report.
"use strict";

(() => {
  const AUTO_LIMIT_MS = 20000;
  const SCREEN_LIMIT = 200000;
  const REPORT_OUTPUT_LIMIT = 65536;

  const $ = (id) => document.getElementById(id);
  const params = new URLSearchParams(location.search);
  const encoder = new TextEncoder();
  const started = performance.now();

  // ---- Frames: [totalLen][jsonLen] big-endian, JSON, payload; totalLen
  // counts the jsonLen word, the JSON and the payload.

  function encodeFrame(message, payload) {
    const json = encoder.encode(JSON.stringify(message));
    const body = payload || new Uint8Array(0);
    const buffer = new ArrayBuffer(8 + json.length + body.length);
    const view = new DataView(buffer);
    view.setUint32(0, 4 + json.length + body.length);
    view.setUint32(4, json.length);
    const bytes = new Uint8Array(buffer);
    bytes.set(json, 8);
    bytes.set(body, 8 + json.length);
    return buffer;
  }

  function decodeFrame(buffer) {
    if (!(buffer instanceof ArrayBuffer)) throw new Error("a text message instead of a binary frame");
    if (buffer.byteLength < 8) throw new Error("a frame shorter than its header");
    const view = new DataView(buffer);
    const total = view.getUint32(0);
    const jsonLen = view.getUint32(4);
    if (total + 4 !== buffer.byteLength || jsonLen > total - 4) {
      throw new Error(`bad frame header: totalLen ${total}, jsonLen ${jsonLen}, message of ${buffer.byteLength} bytes`);
    }
    const json = new TextDecoder("utf-8", { fatal: true }).decode(new Uint8Array(buffer, 8, jsonLen));
    const message = JSON.parse(json);
    if (message === null || typeof message !== "object" || typeof message.type !== "string") {
      throw new Error("a frame without a message type");
    }
    return { message, payload: new Uint8Array(buffer, 8 + jsonLen) };
  }

  // ---- Terminal output as plain text: escape sequences and control
  // characters other than newline and tab are dropped, backspace erases.
  // The state survives between chunks, so a sequence may be split anywhere.

  class Screen {
    constructor(element) {
      this.element = element;
      this.text = "";
      this.state = "text";
    }

    clear() {
      this.text = "";
      this.state = "text";
      this.element.textContent = "";
    }

    feed(chunk) {
      let out = "";
      for (const ch of chunk) {
        const c = ch.codePointAt(0);
        switch (this.state) {
          case "text":
            if (c === 0x1b) this.state = "esc";
            else if (c === 0x08) {
              if (out.length > 0 && !out.endsWith("\n")) out = out.slice(0, -1);
              else if (out.length === 0 && this.text.length > 0 && !this.text.endsWith("\n")) {
                this.text = this.text.slice(0, -1);
              }
            } else if (c === 0x0a || c === 0x09 || (c >= 0x20 && c !== 0x7f)) out += ch;
            break;
          case "esc":
            if (c === 0x5b) this.state = "csi";
            else if (c === 0x5d || c === 0x50 || c === 0x58 || c === 0x5e || c === 0x5f) this.state = "string";
            else if (c < 0x20 || c > 0x2f) this.state = "text"; // intermediates stay in "esc"
            break;
          case "csi":
            if (c >= 0x40 && c <= 0x7e) this.state = "text";
            break;
          case "string": // OSC, DCS and the like: up to BEL or ESC backslash
            if (c === 0x07) this.state = "text";
            else if (c === 0x1b) this.state = "string-esc";
            break;
          case "string-esc":
            this.state = c === 0x5c ? "text" : "string";
            break;
        }
      }
      this.text += out;
      if (this.text.length > SCREEN_LIMIT) this.text = this.text.slice(this.text.length - SCREEN_LIMIT);
      const atBottom = this.element.scrollTop + this.element.clientHeight >= this.element.scrollHeight - 4;
      this.element.textContent = this.text;
      if (atBottom) this.element.scrollTop = this.element.scrollHeight;
    }
  }

  // ---- Page state.

  const screen = new Screen($("output"));
  let ws = null;
  let connecting = null; // the promise of a connection on its way to a welcome
  let session = null; // the attached session's id
  let decoder = null;
  let raw = ""; // decoded output of the attached session, escapes and all
  const listeners = new Set(); // called with each message after the welcome

  function elapsed() {
    return `${Math.round(performance.now() - started)} ms`;
  }

  function setStatus(text, kind) {
    const el = $("status");
    el.textContent = text;
    el.className = kind || "";
  }

  function showError(text) {
    const el = $("errors");
    el.textContent += `${new Date().toLocaleTimeString()}  ${text}\n`;
  }

  function setAttached(id) {
    session = id;
    const on = id !== null;
    $("detach").disabled = !on;
    $("line").disabled = !on;
    $("send").disabled = !on;
    $("interrupt").disabled = !on;
    if (on) $("line").focus();
  }

  async function fetchEndpoint() {
    const r = await fetch("/endpoint", { cache: "no-store" });
    let body = null;
    try {
      body = await r.json();
    } catch (e) {
      throw new Error(`GET /endpoint: HTTP ${r.status}, not JSON`);
    }
    if (!r.ok) throw new Error(`GET /endpoint: ${body && body.error ? body.error : "HTTP " + r.status}`);
    if (!Number.isInteger(body.port) || typeof body.token !== "string") throw new Error("GET /endpoint: no port and token");
    return body;
  }

  function send(message, payload) {
    if (!ws || ws.readyState !== WebSocket.OPEN) throw new Error("not connected");
    ws.send(encodeFrame(message, payload));
  }

  function onMessage(message, payload) {
    switch (message.type) {
      case "output":
        if (message.id === session && decoder) {
          const text = decoder.decode(payload, { stream: true });
          raw += text;
          if (raw.length > SCREEN_LIMIT) raw = raw.slice(raw.length - SCREEN_LIMIT);
          screen.feed(text);
        }
        break;
      case "exited": {
        const how = message.code !== null && message.code !== undefined
          ? `code ${message.code}`
          : message.signal !== null && message.signal !== undefined ? `signal ${message.signal}` : "";
        screen.feed(`\n[${message.id} exited${how ? ": " + how : ""}]\n`);
        if (message.id === session) {
          setAttached(null);
          setStatus(`connected; ${message.id} has exited`, "ok");
        }
        break;
      }
      case "error":
        showError(message.id ? `${message.id}: ${message.message}` : message.message);
        if (message.id === session && message.message === "no such pty") {
          setAttached(null);
          setStatus(`connected; no session ${message.id} (start it with a local client first)`, "bad");
        }
        break;
      default:
        break;
    }
    for (const listener of listeners) listener(message, payload);
  }

  // Opens the data-plane connection and says hello; resolves once welcomed.
  function connect() {
    if (ws && ws.readyState === WebSocket.OPEN && !connecting) return Promise.resolve();
    if (connecting) return connecting;
    connecting = (async () => {
      setStatus("asking the web server for the daemon's endpoint");
      const { port, token } = await fetchEndpoint();
      setStatus(`connecting to ws://127.0.0.1:${port}/`);
      const socket = new WebSocket(`ws://127.0.0.1:${port}/`, [token]);
      socket.binaryType = "arraybuffer";
      ws = socket;
      await new Promise((resolve, reject) => {
        let opened = false;
        let welcomed = false;
        socket.onopen = () => {
          opened = true;
          try {
            send({ type: "hello", versions: [1] });
          } catch (e) {
            reject(e);
          }
        };
        socket.onmessage = (event) => {
          let frame;
          try {
            frame = decodeFrame(event.data);
          } catch (e) {
            showError(`bad frame from the daemon: ${e.message}`);
            socket.close();
            if (!welcomed) reject(e);
            return;
          }
          if (!welcomed) {
            const m = frame.message;
            if (m.type === "welcome" && m.version === 1) {
              welcomed = true;
              setStatus(`connected to port ${port}`, "ok");
              resolve();
            } else {
              socket.close();
              reject(new Error(`expected a welcome, got ${JSON.stringify(m)}`));
            }
            return;
          }
          onMessage(frame.message, frame.payload);
        };
        socket.onclose = (event) => {
          if (ws === socket) ws = null;
          setAttached(null);
          const why = `connection closed (code ${event.code}${event.reason ? ", " + event.reason : ""})`;
          if (!opened) {
            // A refused upgrade (origin, host or token) shows here only as code 1006.
            reject(new Error(`${why}; is this page served from an origin the daemon allows?`));
          } else if (!welcomed) {
            reject(new Error(`${why} before the welcome`));
          } else {
            setStatus(why, "bad");
            for (const listener of listeners) listener({ type: "closed", reason: why }, null);
          }
        };
      });
    })();
    const pending = connecting;
    pending.then(() => { connecting = null; }, () => { connecting = null; });
    return pending;
  }

  function attach(id) {
    if (session !== null && session !== id) send({ type: "detach", id: session });
    screen.clear();
    raw = "";
    decoder = new TextDecoder("utf-8");
    send({ type: "attach", id, cols: 80, rows: 24, resume: null, drive: true });
    setAttached(id);
    setStatus(`attached to ${id}`, "ok");
  }

  function detach() {
    if (session === null) return;
    const id = session;
    setAttached(null);
    try {
      send({ type: "detach", id });
    } catch (e) {
      showError(e.message);
    }
    setStatus(`connected; detached from ${id}`, "ok");
  }

  function write(text) {
    send({ type: "write", id: session }, encoder.encode(text));
  }

  // ---- For a person.

  $("attach-form").addEventListener("submit", async (event) => {
    event.preventDefault();
    const id = $("session").value.trim();
    if (!id) return;
    try {
      await connect();
      attach(id);
    } catch (e) {
      setStatus(e.message, "bad");
      showError(e.message);
    }
  });

  $("detach").addEventListener("click", detach);

  $("line-form").addEventListener("submit", (event) => {
    event.preventDefault();
    try {
      write($("line").value + "\n");
      $("line").value = "";
    } catch (e) {
      showError(e.message);
    }
  });

  $("interrupt").addEventListener("click", () => {
    try {
      write("\x03");
    } catch (e) {
      showError(e.message);
    }
  });

  // ---- For a test.

  async function runAuto() {
    const id = params.get("session") || "";
    const command = params.get("command") || "";
    const expect = params.get("expect") || "";
    const steps = [];
    let done = false;
    const step = (text) => steps.push(`${elapsed()}: ${text}`);

    const finish = async (ok, reason) => {
      if (done) return;
      done = true;
      clearTimeout(timer);
      listeners.delete(watch);
      step(ok ? "done" : `failed: ${reason}`);
      const report = { ok, steps, expect, output: raw.slice(-REPORT_OUTPUT_LIMIT) };
      if (!ok) report.reason = reason;
      setStatus(ok ? `test passed: saw ${JSON.stringify(expect)}` : `test failed: ${reason}`, ok ? "ok" : "bad");
      try {
        const r = await fetch("/report", {
          method: "POST",
          headers: { "Content-Type": "application/json" },
          body: JSON.stringify(report),
        });
        if (!r.ok) throw new Error(`HTTP ${r.status}`);
      } catch (e) {
        showError(`POST /report: ${e.message}`);
      }
    };

    const watch = (message) => {
      if (message.type === "closed") finish(false, message.reason);
      else if (message.type === "error") finish(false, `error from the daemon: ${message.id ? message.id + ": " : ""}${message.message}`);
      else if (message.type === "exited" && message.id === id) finish(false, "the session exited");
      else if (message.type === "output" && (raw.includes(expect) || screen.text.includes(expect))) {
        step(`saw ${JSON.stringify(expect)}`);
        finish(true);
      }
    };
    const timer = setTimeout(() => finish(false, `no ${JSON.stringify(expect)} in the output within ${AUTO_LIMIT_MS / 1000} s`),
                             AUTO_LIMIT_MS);

    if (!id || !expect) return finish(false, "the query needs session and expect");
    $("session").value = id;
    try {
      await connect();
      step("welcomed");
      listeners.add(watch);
      attach(id);
      step(`attach ${id} sent`);
      // The daemon takes a connection's messages in order: the write reaches
      // the session only after the attach succeeded.
      write(command + "\n");
      step(`wrote ${JSON.stringify(command)}`);
    } catch (e) {
      finish(false, e.message);
    }
  }

  if (params.get("session")) $("session").value = params.get("session");
  if (params.get("auto") === "1") {
    runAuto();
  } else {
    connect().catch((e) => {
      setStatus(e.message, "bad");
      showError(e.message);
    });
  }
})();
