#!/usr/bin/env node
'use strict';
// A DynamoDB endpoint on loopback for tests and the demo: dynalite, with a
// thin layer of ours in front that answers what dynalite lacks (stream and
// encryption settings in table descriptions, global tables) and routes by
// X-Amz-Target, so the Streams API can be added here as well.
//
// usage: node server.js [--port N] [--path DIR] [--port-file FILE] [--table-delay-ms N]

const http = require('http');
const dynalite = require('dynalite');
const { TableMetadata } = require('./lib/tableMetadata');
const { GlobalTables, error } = require('./lib/globalTables');

function parseArguments(argv) {
  const options = { port: 0, path: null, portFile: null, tableDelayMs: 0 };
  for (let i = 0; i < argv.length; i += 2) {
    const value = argv[i + 1];
    switch (argv[i]) {
      case '--port': options.port = Number(value); break;
      case '--path': options.path = value; break;
      case '--port-file': options.portFile = value; break;
      case '--table-delay-ms': options.tableDelayMs = Number(value); break;
      default: throw new Error('unknown option ' + argv[i]);
    }
  }
  return options;
}

const options = parseArguments(process.argv.slice(2));
const backend = dynalite({
  path: options.path || undefined,
  createTableMs: options.tableDelayMs,
  deleteTableMs: options.tableDelayMs,
  updateTableMs: options.tableDelayMs,
});
const metadata = new TableMetadata();
const globalTables = new GlobalTables('000000000000');
let backendPort = 0;

// Sends a request on to dynalite; resolves with its status and raw body.
function forward(request, body) {
  return new Promise((resolve, reject) => {
    const headers = Object.assign({}, request.headers, { 'content-length': Buffer.byteLength(body) });
    delete headers['accept-encoding'];
    const upstream = http.request(
      { host: '127.0.0.1', port: backendPort, method: request.method, path: request.url, headers },
      (answer) => {
        const chunks = [];
        answer.on('data', (chunk) => chunks.push(chunk));
        answer.on('end', () => resolve({ status: answer.statusCode, raw: Buffer.concat(chunks) }));
      });
    upstream.on('error', reject);
    upstream.end(body);
  });
}

function reply(response, status, body) {
  const text = Buffer.isBuffer(body) ? body : Buffer.from(JSON.stringify(body));
  response.writeHead(status, {
    'Content-Type': 'application/x-amz-json-1.0',
    'Content-Length': text.length,
    'x-amzn-RequestId': Math.random().toString(36).slice(2),
  });
  response.end(text);
}

// Forwards, then lets `adjust` rewrite a successful JSON answer.
async function forwardAndAdjust(request, body, adjust) {
  const answer = await forward(request, body);
  if (answer.status !== 200 || !adjust) return { status: answer.status, body: answer.raw };
  const parsed = JSON.parse(answer.raw.toString('utf8'));
  adjust(parsed);
  return { status: 200, body: parsed };
}

async function handleDynamoDB(operation, request, rawBody) {
  const local = globalTables.handle(operation, parseBody(rawBody));
  if (local) return local;
  switch (operation) {
    case 'CreateTable': {
      const parsed = parseBody(rawBody);
      const forwarded = Object.assign({}, parsed);
      delete forwarded.StreamSpecification;
      delete forwarded.SSESpecification;
      return forwardAndAdjust(request, JSON.stringify(forwarded), (answer) => {
        metadata.created(parsed, answer.TableDescription);
        metadata.decorate(answer.TableDescription);
      });
    }
    case 'UpdateTable': {
      const parsed = parseBody(rawBody);
      const forwarded = Object.assign({}, parsed);
      delete forwarded.StreamSpecification;
      delete forwarded.SSESpecification;
      // A stream switch alone is a valid update for DynamoDB but not for dynalite.
      if (Object.keys(forwarded).length === 1 && parsed.StreamSpecification) {
        const described = await forward(request_like(request, 'DescribeTable'), JSON.stringify({ TableName: parsed.TableName }));
        if (described.status !== 200) return { status: described.status, body: described.raw };
        const table = JSON.parse(described.raw.toString('utf8')).Table;
        metadata.updated(parsed, table);
        return { status: 200, body: { TableDescription: metadata.decorate(table) } };
      }
      return forwardAndAdjust(request, JSON.stringify(forwarded), (answer) => {
        metadata.updated(parsed, answer.TableDescription);
        metadata.decorate(answer.TableDescription);
      });
    }
    case 'DescribeTable':
      return forwardAndAdjust(request, rawBody, (answer) => metadata.decorate(answer.Table));
    case 'DeleteTable': {
      const parsed = parseBody(rawBody);
      return forwardAndAdjust(request, rawBody, (answer) => {
        metadata.decorate(answer.TableDescription);
        metadata.deleted(parsed.TableName);
      });
    }
    default: {
      const answer = await forward(request, rawBody);
      return { status: answer.status, body: answer.raw };
    }
  }
}

function request_like(request, operation) {
  return {
    method: 'POST',
    url: '/',
    headers: Object.assign({}, request.headers, { 'x-amz-target': 'DynamoDB_20120810.' + operation }),
  };
}

function parseBody(rawBody) {
  try {
    const parsed = JSON.parse(rawBody || '{}');
    return parsed && typeof parsed === 'object' ? parsed : {};
  } catch (e) {
    return {};
  }
}

async function handleStreams(operation) {
  return error(400, 'UnknownOperationException', 'The Streams operation ' + operation + ' is not available yet');
}

const front = http.createServer((request, response) => {
  const chunks = [];
  request.on('data', (chunk) => chunks.push(chunk));
  request.on('end', async () => {
    const rawBody = Buffer.concat(chunks).toString('utf8');
    const target = String(request.headers['x-amz-target'] || '');
    const dot = target.indexOf('.');
    const prefix = target.slice(0, dot);
    const operation = target.slice(dot + 1);
    try {
      const answer = prefix === 'DynamoDBStreams_20120810'
        ? await handleStreams(operation, request, rawBody)
        : await handleDynamoDB(operation, request, rawBody);
      reply(response, answer.status, answer.body);
    } catch (e) {
      reply(response, 500, { __type: 'com.amazonaws.dynamodb.v20120810#InternalServerError', message: String(e) });
    }
  });
});

backend.listen(0, '127.0.0.1', () => {
  backendPort = backend.address().port;
  front.listen(options.port, '127.0.0.1', () => {
    const port = front.address().port;
    if (options.portFile) require('fs').writeFileSync(options.portFile, String(port));
    process.stdout.write('local DynamoDB listening on http://127.0.0.1:' + port + '\n');
  });
});

function shutdown() {
  front.close();
  backend.close();
  process.exit(0);
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);
