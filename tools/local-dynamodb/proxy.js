#!/usr/bin/env node
'use strict';
// The fault proxy in front of DynamoDB Local. Every request passes through
// unchanged, except:
//   - what DynamoDB Local lacks: the global-table calls, tagging, and the
//     table class and SSE description in table descriptions;
//   - stream faults (lib/streamFaults.js) and injected request faults
//     (lib/faults.js), set by tests through "LocalAdmin.<op>" targets.
//
// usage: node proxy.js --backend unix:PATH|HOST:PORT [--port N] [--port-file FILE]
// Writes the port to FILE once DynamoDB Local answers.

const fs = require('fs');
const http = require('http');
const { GlobalTables, error } = require('./lib/globalTables');
const { TableExtras, TAGGING, tableNameOf } = require('./lib/tableExtras');
const { StreamFaults } = require('./lib/streamFaults');
const { Faults, holdBack } = require('./lib/faults');

function parseArguments(argv) {
  const options = { backend: null, port: 0, portFile: null };
  for (let i = 0; i < argv.length; i += 2) {
    const value = argv[i + 1];
    switch (argv[i]) {
      case '--backend': options.backend = value; break;
      case '--port': options.port = Number(value); break;
      case '--port-file': options.portFile = value; break;
      default: throw new Error('unknown option ' + argv[i]);
    }
  }
  if (!options.backend) throw new Error('--backend is required');
  return options;
}

const options = parseArguments(process.argv.slice(2));
const backend = options.backend.startsWith('unix:')
  ? { socketPath: options.backend.slice(5) }
  : { host: options.backend.split(':')[0], port: Number(options.backend.split(':')[1]) };
const agent = new http.Agent({ keepAlive: true, maxSockets: 64 });

const globalTables = new GlobalTables('000000000000');
const extras = new TableExtras();
const faults = new Faults();
// The proxy's own requests reuse the headers of the request that caused them.
let lastHeaders = {};

function send(headers, body) {
  return new Promise((resolve, reject) => {
    const outgoing = Object.assign({}, headers, { 'content-length': Buffer.byteLength(body) });
    const upstream = http.request(Object.assign({ method: 'POST', path: '/', headers: outgoing, agent }, backend), (answer) => {
      const chunks = [];
      answer.on('data', (chunk) => chunks.push(chunk));
      answer.on('end', () => resolve({ status: answer.statusCode, headers: answer.headers, raw: Buffer.concat(chunks) }));
      answer.on('error', reject);
    });
    upstream.on('error', reject);
    upstream.end(body);
  });
}

async function call(target, body) {
  const headers = Object.assign({}, lastHeaders, { 'x-amz-target': target, 'content-type': 'application/x-amz-json-1.0' });
  const answer = await send(headers, JSON.stringify(body));
  return { status: answer.status, body: JSON.parse(answer.raw.toString('utf8') || '{}') };
}

const streams = new StreamFaults(
  (operation, body) => call('DynamoDBStreams_20120810.' + operation, body),
  async (table) => {
    const answer = await call('DynamoDB_20120810.DescribeTable', { TableName: table });
    return answer.status === 200 ? answer.body.Table.LatestStreamArn || null : null;
  });

async function tableExists(name) {
  return (await call('DynamoDB_20120810.DescribeTable', { TableName: name })).status === 200;
}

function parse(raw) {
  try {
    const parsed = JSON.parse(raw.toString('utf8') || '{}');
    return parsed && typeof parsed === 'object' ? parsed : {};
  } catch (e) {
    return {};
  }
}

function reply(response, status, body, headers) {
  const text = Buffer.isBuffer(body) ? body : Buffer.from(JSON.stringify(body));
  const out = Object.assign({}, headers || {});
  // A rewritten body no longer matches DynamoDB Local's checksum.
  delete out['x-amz-crc32'];
  delete out['transfer-encoding'];
  out['content-type'] = out['content-type'] || 'application/x-amz-json-1.0';
  out['content-length'] = text.length;
  out['x-amzn-requestid'] = out['x-amzn-requestid'] || Math.random().toString(36).slice(2);
  response.writeHead(status, out);
  response.end(text);
}

// Sends the request on and rewrites a successful answer with `adjust`.
async function forward(request, raw, adjust) {
  const answer = await send(request.headers, raw);
  if (answer.status !== 200 || !adjust) return answer;
  const parsed = parse(answer.raw);
  const adjusted = (await adjust(parsed)) || parsed;
  return { status: 200, headers: answer.headers, body: adjusted };
}

async function admin(operation, body) {
  switch (operation) {
    case 'InjectFault': {
      const problem = faults.inject(body);
      return problem ? error(400, 'ValidationException', problem) : { status: 200, body: {} };
    }
    case 'ClearFaults':
      faults.clear();
      return { status: 200, body: {} };
    case 'FaultsServed':
      return { status: 200, body: { Served: faults.servedFor(body.TableName) } };
    default: {
      const answer = await streams.admin(operation, body);
      return answer || error(400, 'UnknownOperationException', 'Unknown admin operation ' + operation);
    }
  }
}

async function handle(prefix, operation, request, raw) {
  const body = parse(raw);
  if (prefix === 'LocalAdmin') return admin(operation, body);
  if (prefix === 'DynamoDBStreams_20120810') {
    switch (operation) {
      case 'DescribeStream': return forward(request, raw, (answer) => streams.describeStream(body, answer));
      case 'GetShardIterator': return (await streams.getShardIterator(body)) || forward(request, raw);
      case 'GetRecords': {
        const own = await streams.getRecords(body);
        if (own) {
          if (own.status === 200) streams.stamp(body.ShardIterator, own.body);
          return own;
        }
        return forward(request, raw,
          streams.marked(body.ShardIterator) ? (answer) => streams.stamp(body.ShardIterator, answer) : null);
      }
      default: return forward(request, raw);
    }
  }
  const global = globalTables.handle(operation, body);
  if (global) return global;
  if (TAGGING.has(operation)) {
    const table = tableNameOf(body.ResourceArn);
    return extras.tagging(operation, body, table !== null && await tableExists(table));
  }
  switch (operation) {
    case 'CreateTable':
    case 'UpdateTable':
      return forward(request, raw, (answer) => {
        extras.applied(body);
        extras.decorate(answer.TableDescription);
      });
    case 'DescribeTable':
      return forward(request, raw, (answer) => extras.decorate(answer.Table));
    case 'DeleteTable':
      return forward(request, raw, (answer) => {
        extras.decorate(answer.TableDescription);
        extras.deleted(body.TableName);
      });
    default:
      return forward(request, raw);
  }
}

const front = http.createServer((request, response) => {
  const chunks = [];
  request.on('data', (chunk) => chunks.push(chunk));
  request.on('end', async () => {
    const raw = Buffer.concat(chunks);
    const target = String(request.headers['x-amz-target'] || '');
    const dot = target.indexOf('.');
    const prefix = target.slice(0, dot);
    const operation = target.slice(dot + 1);
    lastHeaders = request.headers;
    try {
      const fault = prefix === 'LocalAdmin' ? null : faults.take(operation, parse(raw));
      if (fault && fault.reset) {
        request.socket.destroy();
        return;
      }
      if (fault && fault.unprocessed) {
        const { sent, held } = holdBack(parse(raw), fault.unprocessed);
        let answer = { status: 200, body: { UnprocessedItems: {} } };
        if (Object.keys(sent).length) {
          answer = await forward(request, JSON.stringify(Object.assign(parse(raw), { RequestItems: sent })), (a) => a);
        }
        if (answer.status === 200) {
          const left = answer.body.UnprocessedItems = answer.body.UnprocessedItems || {};
          for (const table of Object.keys(held)) left[table] = (left[table] || []).concat(held[table]);
        }
        reply(response, answer.status, answer.raw || answer.body, answer.headers);
        return;
      }
      if (fault) {
        reply(response, fault.status, { __type: 'com.amazonaws.dynamodb.v20120810#' + fault.type, message: fault.message });
        return;
      }
      const answer = await handle(prefix, operation, request, raw);
      if (answer.status >= 500) {
        // DynamoDB Local's own failures say nothing about their cause: keep the request.
        process.stderr.write(new Date().toISOString() + ' ' + operation + ' answered ' + answer.status + ': ' +
          String(answer.raw || JSON.stringify(answer.body)).slice(0, 300) + '\n  request: ' + raw.toString('utf8').slice(0, 2000) + '\n');
      }
      reply(response, answer.status, answer.raw || answer.body, answer.headers);
    } catch (e) {
      reply(response, 500, { __type: 'com.amazonaws.dynamodb.v20120810#InternalServerError', message: 'fault proxy: ' + e.message });
    }
  });
});
front.keepAliveTimeout = 60000;

// Listens once DynamoDB Local answers, so that a written port means ready.
async function waitForBackend() {
  const started = Date.now();
  for (;;) {
    try {
      const answer = await send({
        'x-amz-target': 'DynamoDB_20120810.ListTables',
        'content-type': 'application/x-amz-json-1.0',
        authorization: 'AWS4-HMAC-SHA256 Credential=local/20200101/us-east-1/dynamodb/aws4_request, SignedHeaders=host, Signature=0',
      }, '{}');
      if (answer.status === 200) return;
    } catch (e) {
      // not up yet
    }
    if (Date.now() - started > 120000) throw new Error('DynamoDB Local did not answer within 120 s');
    await new Promise((resolve) => setTimeout(resolve, 200));
  }
}

waitForBackend().then(() => {
  front.listen(options.port, '127.0.0.1', () => {
    const port = front.address().port;
    if (options.portFile) {
      fs.writeFileSync(options.portFile + '.tmp', String(port));
      fs.renameSync(options.portFile + '.tmp', options.portFile);
    }
    process.stdout.write('fault proxy listening on http://127.0.0.1:' + port + '\n');
  });
}, (e) => {
  process.stderr.write(e.message + '\n');
  process.exit(1);
});

function shutdown() {
  front.close();
  process.exit(0);
}
process.on('SIGTERM', shutdown);
process.on('SIGINT', shutdown);
