'use strict';
// Injected request faults: the next matching requests are answered with an
// error (throttling, a 5xx) or have their connection reset, without reaching
// DynamoDB Local.
//
// LocalAdmin.InjectFault {Operation, TableName?, Status, Type?, Message?,
//                         Count?, Skip?, Reset?, Unprocessed?}
//   Operation is an X-Amz-Target operation name, or "*" for any. Skip lets
//   that many matching requests through first; Count (default 1) are then
//   answered with Status and Type, or reset when Reset is true. With
//   Unprocessed: n, a BatchWriteItem goes through but for its last n
//   requests, which come back as UnprocessedItems, as when DynamoDB is busy.
// LocalAdmin.ClearFaults {} forgets every fault not yet spent.
// LocalAdmin.FaultsServed {TableName?} answers {Served: n}: faults answered so
//   far that were injected for that table (or for any table).

class Faults {
  constructor() {
    this.pending = [];
    this.served = new Map(); // table name, or '*' -> faults answered
  }

  inject(request) {
    if (typeof request.Operation !== 'string') return 'Operation is required';
    const unprocessed = Math.max(0, request.Unprocessed | 0);
    if (unprocessed && request.Operation !== 'BatchWriteItem') return 'Unprocessed is for BatchWriteItem only';
    if (!request.Reset && !unprocessed && !(request.Status >= 400 && request.Status <= 599)) {
      return 'Status must be 400 to 599';
    }
    this.pending.push({
      operation: request.Operation,
      table: typeof request.TableName === 'string' ? request.TableName : null,
      status: request.Status,
      type: request.Type || (request.Status >= 500 ? 'InternalServerError' : 'ThrottlingException'),
      message: request.Message || 'injected by the local fault proxy',
      skip: request.Skip | 0,
      count: request.Count === undefined ? 1 : request.Count | 0,
      reset: Boolean(request.Reset),
      unprocessed,
    });
    return null;
  }

  servedFor(table) {
    return this.served.get(typeof table === 'string' ? table : '*') || 0;
  }

  clear() {
    this.pending = [];
  }

  // The fault to answer `operation` on `body` with, if one is due.
  take(operation, body) {
    for (const fault of this.pending) {
      if (fault.operation !== '*' && fault.operation !== operation) continue;
      if (fault.table !== null && !mentionsTable(body, fault.table)) continue;
      if (fault.skip > 0) {
        fault.skip -= 1;
        return null;
      }
      fault.count -= 1;
      if (fault.count <= 0) this.pending.splice(this.pending.indexOf(fault), 1);
      const key = fault.table === null ? '*' : fault.table;
      this.served.set(key, (this.served.get(key) || 0) + 1);
      return fault;
    }
    return null;
  }
}

function mentionsTable(body, table) {
  if (body.TableName === table) return true;
  if (body.RequestItems && Object.prototype.hasOwnProperty.call(body.RequestItems, table)) return true;
  // DynamoDB Local's shard iterators begin with their stream's ARN.
  const arn = typeof body.StreamArn === 'string' ? body.StreamArn : body.ShardIterator;
  return typeof arn === 'string' && arn.includes(':table/' + table + '/stream/');
}


// Splits a BatchWriteItem body: the requests to send on, and the last
// `count` held back as its UnprocessedItems.
function holdBack(body, count) {
  const sent = {};
  const held = {};
  const tables = Object.keys(body.RequestItems || {});
  for (let t = tables.length - 1; t >= 0; --t) {
    const requests = body.RequestItems[tables[t]].slice();
    const keep = [];
    while (count > 0 && requests.length) {
      keep.unshift(requests.pop());
      count -= 1;
    }
    if (requests.length) sent[tables[t]] = requests;
    if (keep.length) held[tables[t]] = keep;
  }
  return { sent, held };
}

module.exports = { Faults, holdBack };
