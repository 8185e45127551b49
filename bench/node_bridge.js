// node_bridge.js: the relay benchmark's anchor, a minimal WebSocket bridge
// written with Node's `ws`. Run as `node node_bridge.js WS_MODULE SOCKET`:
// it listens on a free loopback port, prints "port N" on one line, and for
// each WebSocket connection opens the unix socket SOCKET, writes every binary
// message to it as it is, and sends what comes back as binary messages, one
// per frame (an 8-byte header of two big-endian 32-bit words, totalLen and
// jsonLen, then totalLen - 4 bytes); the messages made from one read of the
// shim go out in one write. It ends when its standard input closes.
'use strict';

const http = require('http');
const net = require('net');
const { WebSocketServer } = require(process.argv[2]);

const socketPath = process.argv[3];
// Output waiting for a browser beyond this pauses reading from the socket.
const HIGH_WATER = 1 << 20;

const server = http.createServer();
const wss = new WebSocketServer({ noServer: true, perMessageDeflate: false, maxPayload: 16 << 20 });

server.on('upgrade', (req, socket, head) => {
  socket.setNoDelay(true);
  wss.handleUpgrade(req, socket, head, (ws) => bridge(ws, socket));
});

function bridge(ws, socket) {
  const shim = net.connect(socketPath);
  // Bytes from the shim not yet sent: whole chunks, the first maybe partly used.
  let chunks = [];
  let have = 0;

  // The first `n` pending bytes, as one buffer.
  const take = (n) => {
    have -= n;
    const first = chunks[0];
    if (first.length >= n) {
      if (first.length === n) chunks.shift();
      else chunks[0] = first.subarray(n);
      return first.subarray(0, n);
    }
    const out = Buffer.allocUnsafe(n);
    for (let at = 0; at < n;) {
      const c = chunks[0];
      const k = Math.min(c.length, n - at);
      c.copy(out, at, 0, k);
      at += k;
      if (k === c.length) chunks.shift();
      else chunks[0] = c.subarray(k);
    }
    return out;
  };

  // The first four pending bytes as a big-endian number.
  const peekLength = () => {
    if (chunks[0].length >= 4) return chunks[0].readUInt32BE(0);
    const head = Buffer.concat(chunks, 4);
    return head.readUInt32BE(0);
  };

  shim.on('data', (data) => {
    chunks.push(data);
    have += data.length;
    socket.cork();
    while (have >= 8) {
      const frameLen = 4 + peekLength();
      if (have < frameLen) break;
      const frame = take(frameLen);
      if (ws.bufferedAmount >= HIGH_WATER && !shim.isPaused()) {
        shim.pause();
        ws.send(frame, { binary: true }, () => shim.resume());
      } else {
        ws.send(frame, { binary: true });
      }
    }
    socket.uncork();
  });
  ws.on('message', (data, isBinary) => {
    if (isBinary) shim.write(data);
  });
  shim.on('end', () => ws.close());
  shim.on('error', () => ws.terminate());
  ws.on('close', () => shim.destroy());
  ws.on('error', () => shim.destroy());
}

server.listen(0, '127.0.0.1', () => {
  process.stdout.write(`port ${server.address().port}\n`);
});
process.stdin.on('end', () => process.exit(0));
process.stdin.resume();
