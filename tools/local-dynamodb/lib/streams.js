'use strict';
// DynamoDB Streams for the local endpoint, which dynalite lacks: a stream per
// stream-enabled table, shards of change records written as the table's items
// are put, updated and deleted through this endpoint, and the Streams API
// (ListStreams, DescribeStream, GetShardIterator, GetRecords).
//
// Test hooks (target "LocalAdmin.<op>"): RollShard closes a table's open shard
// and opens a child; DropShard forgets a shard as if it had been trimmed.

const crypto = require('crypto');
const { error } = require('./globalTables');

const SEQUENCE_DIGITS = 21;

class Streams {
  constructor(region, accountId) {
    this.region = region;
    this.accountId = accountId;
    this.byArn = new Map();      // stream ARN -> stream
    this.current = new Map();    // table name -> its enabled stream
    this.sequence = 100000000000000000000n;
  }

  nextSequence() {
    this.sequence += 1n;
    return this.sequence.toString().padStart(SEQUENCE_DIGITS, '0');
  }

  newShardId() {
    return 'shardId-' + Date.now() + '-' + crypto.randomBytes(4).toString('hex');
  }

  // The table got a stream (CreateTable or UpdateTable); `arn` and `label`
  // are those reported in its description.
  enable(tableName, arn, label, viewType, keySchema) {
    const stream = {
      arn, label, viewType, tableName, keySchema,
      status: 'ENABLED',
      created: Date.now() / 1000,
      shards: [],
    };
    stream.shards.push(this.openShard(null));
    this.byArn.set(arn, stream);
    this.current.set(tableName, stream);
  }

  disable(tableName) {
    const stream = this.current.get(tableName);
    if (!stream) return;
    stream.status = 'DISABLED';
    for (const shard of stream.shards) this.closeShard(shard);
    this.current.delete(tableName);
  }

  openShard(parent) {
    return { id: this.newShardId(), parent, start: this.nextSequence(), end: null, records: [] };
  }

  closeShard(shard) {
    if (shard.end === null) shard.end = shard.records.length ? shard.records[shard.records.length - 1].dynamodb.SequenceNumber : shard.start;
  }

  openShardOf(stream) {
    return stream.shards.find((shard) => shard.end === null);
  }

  hasStream(tableName) {
    return this.current.has(tableName);
  }

  keysOf(stream, item) {
    const keys = {};
    for (const key of stream.keySchema) if (item && item[key.AttributeName]) keys[key.AttributeName] = item[key.AttributeName];
    return keys;
  }

  // One change of one item: `before` and `after` are the item images (or null).
  record(tableName, before, after) {
    const stream = this.current.get(tableName);
    if (!stream || (!before && !after)) return;
    if (before && after && JSON.stringify(before) === JSON.stringify(after)) return;
    const eventName = !before ? 'INSERT' : !after ? 'REMOVE' : 'MODIFY';
    const dynamodb = {
      ApproximateCreationDateTime: Math.floor(Date.now() / 1000),
      Keys: this.keysOf(stream, after || before),
    };
    if (after && (stream.viewType === 'NEW_IMAGE' || stream.viewType === 'NEW_AND_OLD_IMAGES')) dynamodb.NewImage = after;
    if (before && (stream.viewType === 'OLD_IMAGE' || stream.viewType === 'NEW_AND_OLD_IMAGES')) dynamodb.OldImage = before;
    dynamodb.SequenceNumber = this.nextSequence();
    dynamodb.SizeBytes = JSON.stringify(after || before).length;
    dynamodb.StreamViewType = stream.viewType;
    this.openShardOf(stream).records.push({
      eventID: crypto.randomBytes(16).toString('hex'),
      eventName,
      eventVersion: '1.1',
      eventSource: 'aws:dynamodb',
      awsRegion: this.region,
      dynamodb,
    });
  }

  handle(operation, request) {
    switch (operation) {
      case 'ListStreams': return this.listStreams(request);
      case 'DescribeStream': return this.describeStream(request);
      case 'GetShardIterator': return this.getShardIterator(request);
      case 'GetRecords': return this.getRecords(request);
      default: return error(400, 'UnknownOperationException', 'Unknown Streams operation ' + operation);
    }
  }

  admin(operation, request) {
    if (operation === 'RollShard') {
      const stream = this.current.get(request.TableName);
      if (!stream) return notFound('Stream for table ' + request.TableName);
      const open = this.openShardOf(stream);
      this.closeShard(open);
      const children = Math.max(1, request.Children || 1);
      for (let i = 0; i < children; i++) stream.shards.push(this.openShard(open.id));
      return { status: 200, body: { ClosedShardId: open.id } };
    }
    if (operation === 'DropShard') {
      const stream = this.byArn.get(request.StreamArn);
      if (!stream) return notFound('Stream ' + request.StreamArn);
      stream.shards = stream.shards.filter((shard) => shard.id !== request.ShardId);
      return { status: 200, body: {} };
    }
    return error(400, 'UnknownOperationException', 'Unknown admin operation ' + operation);
  }

  listStreams(request) {
    let streams = [...this.byArn.values()];
    if (request.TableName) streams = streams.filter((s) => s.tableName === request.TableName);
    if (request.ExclusiveStartStreamArn) {
      const at = streams.findIndex((s) => s.arn === request.ExclusiveStartStreamArn);
      streams = streams.slice(at + 1);
    }
    const limit = request.Limit || 100;
    const page = streams.slice(0, limit);
    const body = { Streams: page.map((s) => ({ StreamArn: s.arn, TableName: s.tableName, StreamLabel: s.label })) };
    if (streams.length > limit) body.LastEvaluatedStreamArn = page[page.length - 1].arn;
    return { status: 200, body };
  }

  describeStream(request) {
    const stream = this.byArn.get(request.StreamArn);
    if (!stream) return notFound('Stream: ' + request.StreamArn + ' not found');
    let shards = stream.shards;
    if (request.ExclusiveStartShardId) {
      const at = shards.findIndex((s) => s.id === request.ExclusiveStartShardId);
      shards = shards.slice(at + 1);
    }
    const limit = request.Limit || 100;
    const page = shards.slice(0, limit);
    const description = {
      StreamArn: stream.arn,
      StreamLabel: stream.label,
      StreamStatus: stream.status,
      StreamViewType: stream.viewType,
      CreationRequestDateTime: stream.created,
      TableName: stream.tableName,
      KeySchema: stream.keySchema,
      Shards: page.map((shard) => {
        const entry = { ShardId: shard.id, SequenceNumberRange: { StartingSequenceNumber: shard.start } };
        if (shard.end !== null) entry.SequenceNumberRange.EndingSequenceNumber = shard.end;
        if (shard.parent) entry.ParentShardId = shard.parent;
        return entry;
      }),
    };
    if (shards.length > limit) description.LastEvaluatedShardId = page[page.length - 1].id;
    return { status: 200, body: { StreamDescription: description } };
  }

  findShard(arn, shardId) {
    const stream = this.byArn.get(arn);
    return stream ? stream.shards.find((s) => s.id === shardId) : undefined;
  }

  getShardIterator(request) {
    const stream = this.byArn.get(request.StreamArn);
    if (!stream) return notFound('Stream: ' + request.StreamArn + ' not found');
    const shard = this.findShard(request.StreamArn, request.ShardId);
    if (!shard) return notFound('Shard does not exist');
    let position;
    const index = () => shard.records.findIndex((r) => r.dynamodb.SequenceNumber === request.SequenceNumber);
    switch (request.ShardIteratorType) {
      case 'TRIM_HORIZON': position = 0; break;
      case 'LATEST': position = shard.records.length; break;
      case 'AT_SEQUENCE_NUMBER':
      case 'AFTER_SEQUENCE_NUMBER': {
        const at = index();
        if (at < 0) {
          // A sequence number older than the shard's records (trimmed) or from
          // another shard: DynamoDB refuses it.
          return error(400, 'ValidationException', 'Invalid SequenceNumber for ShardIteratorType');
        }
        position = request.ShardIteratorType === 'AT_SEQUENCE_NUMBER' ? at : at + 1;
        break;
      }
      default: return error(400, 'ValidationException', 'Invalid ShardIteratorType');
    }
    return { status: 200, body: { ShardIterator: encodeIterator(request.StreamArn, shard.id, position) } };
  }

  getRecords(request) {
    const iterator = decodeIterator(request.ShardIterator);
    if (!iterator) return error(400, 'ValidationException', 'Invalid ShardIterator');
    const shard = this.findShard(iterator.arn, iterator.shard);
    if (!shard) return notFound('Shard does not exist');
    const limit = Math.max(1, Math.min(1000, request.Limit || 1000));
    const records = shard.records.slice(iterator.position, iterator.position + limit);
    const position = iterator.position + records.length;
    const body = { Records: records };
    // A closed shard read to its end has no next iterator.
    if (!(shard.end !== null && position >= shard.records.length)) {
      body.NextShardIterator = encodeIterator(iterator.arn, shard.id, position);
    }
    return { status: 200, body };
  }
}

function encodeIterator(arn, shard, position) {
  return Buffer.from(JSON.stringify({ arn, shard, position })).toString('base64');
}

function decodeIterator(text) {
  try {
    const parsed = JSON.parse(Buffer.from(String(text), 'base64').toString('utf8'));
    return typeof parsed.position === 'number' ? parsed : null;
  } catch (e) {
    return null;
  }
}

function notFound(message) {
  return error(400, 'ResourceNotFoundException', 'Requested resource not found: ' + message);
}

module.exports = { Streams };
