'use strict';
// The global-table registry (CreateGlobalTable, DescribeGlobalTable,
// ListGlobalTables), which DynamoDB Local does not support.

class GlobalTables {
  constructor(accountId) {
    this.accountId = accountId;
    this.tables = new Map();
  }

  handle(operation, request) {
    switch (operation) {
      case 'CreateGlobalTable': return this.create(request);
      case 'DescribeGlobalTable': return this.describe(request);
      case 'ListGlobalTables': return this.list(request);
      default: return null;
    }
  }

  description(name) {
    const table = this.tables.get(name);
    return {
      ReplicationGroup: table.regions.map((region) => ({ RegionName: region })),
      GlobalTableArn: 'arn:aws:dynamodb::' + this.accountId + ':global-table/' + name,
      CreationDateTime: table.created,
      GlobalTableStatus: 'ACTIVE',
      GlobalTableName: name,
    };
  }

  create(request) {
    const name = request.GlobalTableName;
    if (typeof name !== 'string' || !Array.isArray(request.ReplicationGroup)) {
      return error(400, 'ValidationException', 'GlobalTableName and ReplicationGroup are required');
    }
    if (this.tables.has(name)) return error(400, 'GlobalTableAlreadyExistsException', 'Global table already exists: ' + name);
    this.tables.set(name, { regions: request.ReplicationGroup.map((r) => r.RegionName), created: Date.now() / 1000 });
    return { status: 200, body: { GlobalTableDescription: this.description(name) } };
  }

  describe(request) {
    if (!this.tables.has(request.GlobalTableName)) {
      return error(400, 'GlobalTableNotFoundException', 'Global table not found: ' + request.GlobalTableName);
    }
    return { status: 200, body: { GlobalTableDescription: this.description(request.GlobalTableName) } };
  }

  list(request) {
    const limit = Math.max(1, Math.min(100, request.Limit || 100));
    let names = [...this.tables.keys()].sort();
    if (request.RegionName) names = names.filter((n) => this.tables.get(n).regions.includes(request.RegionName));
    if (request.ExclusiveStartGlobalTableName) names = names.filter((n) => n > request.ExclusiveStartGlobalTableName);
    const page = names.slice(0, limit);
    const body = {
      GlobalTables: page.map((name) => ({
        GlobalTableName: name,
        ReplicationGroup: this.tables.get(name).regions.map((region) => ({ RegionName: region })),
      })),
    };
    if (names.length > limit) body.LastEvaluatedGlobalTableName = page[page.length - 1];
    return { status: 200, body };
  }
}

function error(status, type, message) {
  return { status, body: { __type: 'com.amazonaws.dynamodb.v20120810#' + type, message } };
}

module.exports = { GlobalTables, error };
