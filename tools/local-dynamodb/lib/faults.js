'use strict';
// Injected request faults: the next matching requests are answered with an
// error (throttling, a 5xx) or have their connection reset, without reaching
// DynamoDB Local.
//
// LocalAdmin.InjectFault {Operation, TableName?, Status, Type?, Message?,
//                         Count?, Skip?, Reset?}
//   Operation is an X-Amz-Target operation name, or "*" for any. Skip lets
//   that many matching requests through first; Count (default 1) are then
//   answered with Status and Type, or reset when Reset is true.
// LocalAdmin.ClearFaults {} forgets every fault not yet spent.
// LocalAdmin.FaultsServed {} answers {Served: n}: faults answered so far.

class Faults {
  constructor() {
    this.pending = [];
    this.served = 0;
  }

  inject(request) {
    if (typeof request.Operation !== 'string') return 'Operation is required';
    if (!request.Reset && !(request.Status >= 400 && request.Status <= 599)) return 'Status must be 400 to 599';
    this.pending.push({
      operation: request.Operation,
      table: typeof request.TableName === 'string' ? request.TableName : null,
      status: request.Status,
      type: request.Type || (request.Status >= 500 ? 'InternalServerError' : 'ThrottlingException'),
      message: request.Message || 'injected by the local fault proxy',
      skip: request.Skip | 0,
      count: request.Count === undefined ? 1 : request.Count | 0,
      reset: Boolean(request.Reset),
    });
    return null;
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
      this.served += 1;
      return fault;
    }
    return null;
  }
}

function mentionsTable(body, table) {
  if (body.TableName === table) return true;
  if (body.RequestItems && Object.prototype.hasOwnProperty.call(body.RequestItems, table)) return true;
  return typeof body.StreamArn === 'string' && body.StreamArn.includes(':table/' + table + '/');
}

module.exports = { Faults };
