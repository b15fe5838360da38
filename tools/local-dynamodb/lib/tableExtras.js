'use strict';
// What DynamoDB Local accepts but does not keep: a table's class and its
// encryption settings (taken on CreateTable and UpdateTable, never reported),
// and tags (TagResource and friends answer UnknownOperationException). Kept
// per table name and reported the way DynamoDB reports them.

const { error } = require('./globalTables');

const DEFAULT_KMS_KEY = 'arn:aws:kms:us-east-1:000000000000:key/00000000-0000-0000-0000-000000000000';

class TableExtras {
  constructor() {
    this.tables = new Map(); // table name -> { tableClass, sse, tags: Map }
  }

  entry(name) {
    if (!this.tables.has(name)) this.tables.set(name, { tableClass: null, sse: null, tags: new Map() });
    return this.tables.get(name);
  }

  // A CreateTable or UpdateTable that DynamoDB Local took.
  applied(request) {
    if (typeof request.TableName !== 'string') return;
    const entry = this.entry(request.TableName);
    if (typeof request.TableClass === 'string') entry.tableClass = request.TableClass;
    const sse = request.SSESpecification;
    if (sse && typeof sse === 'object') {
      // Enabled:false (or absent) means encryption with a key DynamoDB owns,
      // which the service does not describe.
      entry.sse = sse.Enabled ? {
        Status: 'ENABLED',
        SSEType: sse.SSEType || 'KMS',
        KMSMasterKeyArn: sse.KMSMasterKeyId || DEFAULT_KMS_KEY,
      } : null;
    }
  }

  deleted(name) {
    this.tables.delete(name);
  }

  // Adds the kept members to a table description, in place.
  decorate(description) {
    if (!description || typeof description.TableName !== 'string') return;
    const entry = this.tables.get(description.TableName);
    if (!entry) return;
    if (entry.tableClass) description.TableClassSummary = { TableClass: entry.tableClass };
    if (entry.sse) description.SSEDescription = entry.sse;
  }

  // TagResource, UntagResource and ListTagsOfResource; `exists` tells
  // whether the table the ARN names is there.
  tagging(operation, request, exists) {
    const name = tableNameOf(request.ResourceArn);
    if (!name) return error(400, 'ValidationException', 'Invalid TableArn: ' + request.ResourceArn);
    if (!exists) {
      return error(400, 'ResourceNotFoundException', 'Requested resource not found: ResourcArn: ' +
        request.ResourceArn + ' not found');
    }
    const tags = this.entry(name).tags;
    switch (operation) {
      case 'TagResource':
        for (const tag of request.Tags || []) tags.set(tag.Key, tag.Value);
        return { status: 200, body: {} };
      case 'UntagResource':
        for (const key of request.TagKeys || []) tags.delete(key);
        return { status: 200, body: {} };
      default: {
        const all = [...tags.entries()].map(([Key, Value]) => ({ Key, Value }));
        return { status: 200, body: { Tags: all } };
      }
    }
  }
}

function tableNameOf(arn) {
  const match = /^arn:[^:]+:dynamodb:[^:]*:[^:]*:table\/([^/]+)$/.exec(String(arn || ''));
  return match ? match[1] : null;
}

const TAGGING = new Set(['TagResource', 'UntagResource', 'ListTagsOfResource']);

module.exports = { TableExtras, TAGGING, tableNameOf };
