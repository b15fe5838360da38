#!/usr/bin/env node
'use strict';
// Runs inside DynamoDB Local's own network namespace, where DynamoDB Local
// listens on every (namespace-local) interface: makes it reachable through a
// Unix socket, and from nowhere else.
//
// usage: node bridge.js SOCKET-PATH PORT

const fs = require('fs');
const net = require('net');

const [socketPath, port] = process.argv.slice(2);
try {
  fs.unlinkSync(socketPath);
} catch (e) {
  // none left over
}
net.createServer((client) => {
  const upstream = net.connect(Number(port), '127.0.0.1');
  client.pipe(upstream).pipe(client);
  const close = () => {
    client.destroy();
    upstream.destroy();
  };
  client.on('error', close);
  upstream.on('error', close);
}).listen(socketPath);
process.on('SIGTERM', () => process.exit(0));
