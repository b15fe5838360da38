#!/usr/bin/env node
'use strict';
// A DynamoDB endpoint on loopback for tests and the demo: dynalite, with a
// thin layer of ours in front that answers what dynalite lacks (stream and
// encryption settings in table descriptions, global tables) and routes by
// X-Amz-Target to dynalite, to our global tables or to our Streams API.
//
// usage: node server.js [--port N] [--path DIR] [--port-file FILE] [--table-delay-ms N]

const http = require('http');
const dynalite = require('dynalite');
const { TableMetadata } = require('./lib/tableMetadata');
const { GlobalTables, error } = require('./lib/globalTables');
const { Streams } = require('./lib/streams');

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
const streams = new Streams('us-east-1', '000000000000');
const writeQueues = new Map(); // table name -> tail of its serialised writes
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
        syncStream(answer.TableDescription);
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
        metadata.decorate(table);
        syncStream(table);
        return { status: 200, body: { TableDescription: table } };
      }
      return forwardAndAdjust(request, JSON.stringify(forwarded), (answer) => {
        metadata.updated(parsed, answer.TableDescription);
        metadata.decorate(answer.TableDescription);
        syncStream(answer.TableDescription);
      });
    }
    case 'DescribeTable':
      return forwardAndAdjust(request, rawBody, (answer) => metadata.decorate(answer.Table));
    case 'DeleteTable': {
      const parsed = parseBody(rawBody);
      return forwardAndAdjust(request, rawBody, (answer) => {
        metadata.decorate(answer.TableDescription);
        metadata.deleted(parsed.TableName);
        streams.disable(parsed.TableName);
      });
    }
    case 'PutItem':
    case 'UpdateItem':
    case 'DeleteItem': {
      const parsed = parseBody(rawBody);
      if (!streams.hasStream(parsed.TableName)) break;
      return serialised(parsed.TableName, () => writeWithRecord(request, operation, parsed, rawBody));
    }
    case 'BatchWriteItem': {
      const parsed = parseBody(rawBody);
      const tables = Object.keys(parsed.RequestItems || {});
      if (!tables.some((name) => streams.hasStream(name))) break;
      return batchWithRecords(request, parsed);
    }
    default:
      break;
  }
  const answer = await forward(request, rawBody);
  return { status: answer.status, body: answer.raw };
}

// Keeps the stream in step with the table's description after a table change.
function syncStream(description) {
  if (!description || !description.TableName) return;
  const name = description.TableName;
  const wanted = description.StreamSpecification && description.StreamSpecification.StreamEnabled;
  const current = streams.current.get(name);
  if (wanted && (!current || current.arn !== description.LatestStreamArn)) {
    if (current) streams.disable(name);
    streams.enable(name, description.LatestStreamArn, description.LatestStreamLabel,
      description.StreamSpecification.StreamViewType, description.KeySchema);
  } else if (!wanted && current) {
    streams.disable(name);
  }
}

// Writes to one table run one after another, so that the images read around
// a write belong to that write.
function serialised(tableName, work) {
  const previous = writeQueues.get(tableName) || Promise.resolve();
  const next = previous.then(work, work);
  writeQueues.set(tableName, next.catch(() => undefined));
  return next;
}

async function currentItem(request, tableName, key) {
  const answer = await forward(request_like(request, 'GetItem'),
    JSON.stringify({ TableName: tableName, Key: key, ConsistentRead: true }));
  if (answer.status !== 200) return null;
  const parsed = JSON.parse(answer.raw.toString('utf8'));
  return parsed.Item || null;
}

async function writeWithRecord(request, operation, parsed, rawBody) {
  const stream = streams.current.get(parsed.TableName);
  const key = operation === 'PutItem' ? streams.keysOf(stream, parsed.Item) : parsed.Key;
  const before = await currentItem(request, parsed.TableName, key);
  const answer = await forward(request_like(request, operation), rawBody);
  if (answer.status === 200) streams.record(parsed.TableName, before, await currentItem(request, parsed.TableName, key));
  return { status: answer.status, body: answer.raw };
}

// A batch touching a stream-enabled table is applied entry by entry, so that
// each change gets its record.
async function batchWithRecords(request, parsed) {
  for (const [tableName, entries] of Object.entries(parsed.RequestItems)) {
    for (const entry of entries) {
      const put = entry.PutRequest;
      const operation = put ? 'PutItem' : 'DeleteItem';
      const body = put ? { TableName: tableName, Item: put.Item } : { TableName: tableName, Key: entry.DeleteRequest.Key };
      const work = streams.hasStream(tableName)
        ? () => writeWithRecord(request, operation, body, JSON.stringify(body))
        : async () => {
          const answer = await forward(request_like(request, operation), JSON.stringify(body));
          return { status: answer.status, body: answer.raw };
        };
      const answer = await serialised(tableName, work);
      if (answer.status !== 200) return answer;
    }
  }
  return { status: 200, body: { UnprocessedItems: {} } };
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

async function handleStreams(operation, request, rawBody) {
  return streams.handle(operation, parseBody(rawBody));
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
      let answer;
      if (prefix === 'DynamoDBStreams_20120810') answer = await handleStreams(operation, request, rawBody);
      else if (prefix === 'LocalAdmin') answer = streams.admin(operation, parseBody(rawBody));
      else answer = await handleDynamoDB(operation, request, rawBody);
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
