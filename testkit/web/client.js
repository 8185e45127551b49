// The quern web client: a terminal (xterm.js) on one session of the daemon's
// browser data plane. Keys go to the session as the terminal encodes them,
// output goes to the terminal as bytes, and the session takes the terminal's
// size, which follows the page's. The daemon's port and token are asked of
// quern-web again before every new connection, so a restarted daemon is
// found.
//
// `window.term` is the terminal (for a look from the console, and for the
// browser test), `document.body.dataset.state` the page's state: connecting,
// connected, attached, detached, ended or failed. ?session=ID fills in the
// session's id.
"use strict";

(() => {
  const $ = (id) => document.getElementById(id);
  const params = new URLSearchParams(location.search);
  const encoder = new TextEncoder();

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

  // ---- The terminal, as large as its place on the page.

  const term = new Terminal({ cursorBlink: true, scrollback: 5000 });
  const fit = new FitAddon.FitAddon();
  term.loadAddon(fit);
  term.open($("terminal"));
  window.term = term;

  // ---- Page state.

  let ws = null; // the welcomed connection
  let connecting = null; // the promise of a connection on its way to a welcome
  let session = null; // the attached session's id

  function setState(state, text, kind) {
    document.body.dataset.state = state;
    const el = $("status");
    el.textContent = text;
    el.className = kind || "";
  }

  function showError(text) {
    $("errors").textContent += `${new Date().toLocaleTimeString()}  ${text}\n`;
  }

  function fail(error) {
    setState("failed", error.message, "bad");
    showError(error.message);
  }

  function setAttached(id) {
    session = id;
    $("detach").disabled = id === null;
  }

  function send(message, payload) {
    if (!ws) throw new Error("not connected to the daemon");
    ws.send(encodeFrame(message, payload));
  }

  // {port, token} from quern-web, or an error that says what is wrong.
  async function fetchEndpoint() {
    let r;
    try {
      r = await fetch("/endpoint", { cache: "no-store" });
    } catch (e) {
      throw new Error("quern-web is not answering (is it still running?)");
    }
    if (r.status === 403) throw new Error("quern-web refused: open the address with the key that quern-web printed");
    let body = null;
    try {
      body = await r.json();
    } catch (e) {
      body = null;
    }
    if (!r.ok) throw new Error(body && body.error ? body.error : `quern-web answered HTTP ${r.status}`);
    if (!body || !Number.isInteger(body.port) || typeof body.token !== "string") {
      throw new Error("quern-web's endpoint has no port and token");
    }
    return body;
  }

  function exitText(message) {
    if (message.code !== null && message.code !== undefined) return `code ${message.code}`;
    if (message.signal !== null && message.signal !== undefined) return `signal ${message.signal}`;
    return "";
  }

  function onMessage(message, payload) {
    switch (message.type) {
      case "output":
        if (message.id === session) term.write(payload);
        break;
      case "exited":
        if (message.id === session) {
          const how = exitText(message);
          term.write(`\r\n[exited${how ? ": " + how : ""}]\r\n`);
          setAttached(null);
          setState("ended", `session ${message.id} ended${how ? ": " + how : ""}`);
        }
        break;
      case "error":
        showError(message.id ? `${message.id}: ${message.message}` : message.message);
        if (message.id === session && message.message === "no such pty") {
          setAttached(null);
          setState("connected", `no session ${message.id}: start it with a local client first ` +
                   `(quern-client attach ${message.id})`, "bad");
        }
        break;
      default:
        break;
    }
  }

  // The welcomed connection ended: say why, as far as can be told.
  async function lost(event) {
    const was = session;
    setAttached(null);
    let why = `the daemon closed the connection (code ${event.code}${event.reason ? ", " + event.reason : ""})`;
    if (event.code === 1013) why = "the daemon closed the connection: this page fell too far behind the output";
    try {
      await fetchEndpoint();
    } catch (e) {
      why = e.message;
    }
    fail(new Error(was ? `${why}; session ${was} keeps running` : why));
  }

  // One connection to `port` with `token`, up to the welcome. Resolves with
  // {ok}, or with {opened, why} when it ends before the welcome.
  function handshake({ port, token }) {
    return new Promise((resolve) => {
      const socket = new WebSocket(`ws://127.0.0.1:${port}/`, [token]);
      socket.binaryType = "arraybuffer";
      let opened = false;
      let welcomed = false;
      socket.onopen = () => {
        opened = true;
        socket.send(encodeFrame({ type: "hello", versions: [1] }));
      };
      socket.onmessage = (event) => {
        let frame;
        try {
          frame = decodeFrame(event.data);
        } catch (e) {
          showError(`a bad frame from the daemon: ${e.message}`);
          socket.close();
          resolve({ ok: false, opened, why: `a bad frame from the daemon: ${e.message}` });
          return;
        }
        if (welcomed) {
          onMessage(frame.message, frame.payload);
          return;
        }
        const m = frame.message;
        if (m.type === "welcome" && m.version === 1) {
          welcomed = true;
          ws = socket;
          setState("connected", `connected to the daemon on port ${port}`, "ok");
          resolve({ ok: true });
        } else {
          socket.close();
          resolve({ ok: false, opened, why: m.type === "error" ? `the daemon refused: ${m.message}`
                                                               : `the daemon answered ${JSON.stringify(m)}` });
        }
      };
      socket.onclose = (event) => {
        if (!welcomed) {
          resolve({ ok: false, opened, why: `the daemon closed the connection before its welcome (code ${event.code})` });
        } else if (ws === socket) {
          ws = null;
          lost(event);
        }
      };
    });
  }

  // Connects, reading the endpoint first. A connection that fails before it
  // opens is all the browser shows of a refused upgrade and of a closed
  // port alike, so the endpoint is read again to tell them apart: a daemon
  // that does not answer any more, one that has restarted (tried once more),
  // or one that refuses this page.
  async function open() {
    setState("connecting", "connecting: asking quern-web for the daemon's endpoint");
    let endpoint = await fetchEndpoint();
    for (let retried = false; ; retried = true) {
      setState("connecting", `connecting to the daemon on port ${endpoint.port}`);
      const result = await handshake(endpoint);
      if (result.ok) return;
      if (result.opened) throw new Error(result.why);
      const now = await fetchEndpoint();
      const restarted = now.port !== endpoint.port || now.token !== endpoint.token;
      if (restarted && !retried) {
        endpoint = now;
        continue;
      }
      throw new Error(restarted ? "the daemon restarted while the page connected; try again"
                                : `the daemon refused this page: it allows only the origins it was given; ` +
                                  `start it with --origin ${location.origin}`);
    }
  }

  function connect() {
    if (ws) return Promise.resolve();
    if (!connecting) connecting = open().finally(() => { connecting = null; });
    return connecting;
  }

  async function attach(id) {
    await connect();
    if (session !== null) {
      send({ type: "detach", id: session });
      setAttached(null);
    }
    term.reset();
    fit.fit();
    send({ type: "attach", id, cols: term.cols, rows: term.rows, resume: null, drive: true });
    setAttached(id);
    setState("attached", `attached to ${id} (${term.cols}x${term.rows})`, "ok");
    term.focus();
  }

  function detach() {
    if (session === null) return;
    const id = session;
    setAttached(null);
    try {
      send({ type: "detach", id });
      setState("detached", `detached from ${id}; it keeps running`, "ok");
    } catch (e) {
      fail(e);
    }
  }

  // ---- Keys to the session, and its size after the page's.

  function write(bytes) {
    if (session === null || !ws) return;
    send({ type: "write", id: session }, bytes);
  }
  term.onData((data) => write(encoder.encode(data)));
  term.onBinary((data) => write(Uint8Array.from(data, (c) => c.charCodeAt(0) & 0xff)));

  term.onResize(({ cols, rows }) => {
    if (session === null || !ws) return;
    send({ type: "resize", id: session, cols, rows, drive: true });
    setState("attached", `attached to ${session} (${cols}x${rows})`, "ok");
  });
  new ResizeObserver(() => fit.fit()).observe($("terminal"));

  // ---- Controls.

  $("attach-form").addEventListener("submit", (event) => {
    event.preventDefault();
    const id = $("session").value.trim();
    if (id) attach(id).catch(fail);
  });
  $("detach").addEventListener("click", detach);

  if (params.get("session")) $("session").value = params.get("session");
  connect().catch(fail);
})();
