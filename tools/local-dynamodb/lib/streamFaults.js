'use strict';
// Stream faults that DynamoDB Local cannot produce: a shard that rolls over
// (it closes and children open), records trimmed away, and a shard that
// vanishes. DynamoDB Local keeps one real shard per stream; the rolled
// shards are views of it cut at sequence numbers, so every record still
// comes from DynamoDB Local itself.
//
// LocalAdmin.RollShard {TableName, Children?}  closes the open shard at its
//   last record; the first child takes every later record, the others stay
//   empty.
// LocalAdmin.TrimStream {TableName, Count | SequenceNumber}  drops the oldest
//   Count records (or those up to SequenceNumber): iterators at them answer
//   TrimmedDataAccessException, TRIM_HORIZON starts after them, and closed
//   shards holding nothing else leave DescribeStream.
// LocalAdmin.VanishShard {TableName, ShardId, AfterGetRecords?}  the shard
//   leaves DescribeStream and its iterators answer ResourceNotFoundException,
//   at once or after that many more GetRecords calls on it.
//
// LocalAdmin.MarkTime {TableName}  waits for the next whole second T and
//   answers {Time: T}; records written after the call carry an
//   ApproximateCreationDateTime of at least T. DynamoDB Local rounds that
//   time down to the minute; a mark gives a test a second that cleanly
//   separates the changes before it from those after.
//
// Streams without faults pass through untouched. Once a stream has one, the
// shard iterators handed out for it are ours ("ddbproxy|..."), wrapping
// DynamoDB Local's.

const crypto = require('crypto');
const { error } = require('./globalTables');

const DIGITS = 21;
const ITERATOR_PREFIX = 'ddbproxy|';

function pad(sequence) {
  return sequence.toString().padStart(DIGITS, '0');
}

function notFound(message) {
  return error(400, 'ResourceNotFoundException', message || 'Requested resource not found: Shard does not exist');
}

function trimmedError() {
  return error(400, 'TrimmedDataAccessException',
    'The operation attempted to read past the oldest stream record in a shard.');
}

class StreamFaults {
  // `call(operation, body)` sends a Streams request to DynamoDB Local and
  // resolves with {status, body} (body parsed); `streamOf(table)` resolves
  // with a table's LatestStreamArn.
  constructor(call, streamOf) {
    this.call = call;
    this.streamOf = streamOf;
    this.streams = new Map(); // stream ARN -> { views: Map real id -> [view], trimmed, vanished: Map id -> countdown }
    this.marks = new Map(); // stream ARN -> [{ after: sequence, time }], oldest first
  }

  state(arn) {
    if (!this.streams.has(arn)) this.streams.set(arn, { views: new Map(), trimmed: null, vanished: new Map() });
    return this.streams.get(arn);
  }

  async realShards(arn) {
    const shards = [];
    let start;
    do {
      const answer = await this.call('DescribeStream', { StreamArn: arn, ExclusiveStartShardId: start });
      if (answer.status !== 200) throw new Error('DescribeStream ' + answer.status + ' ' + JSON.stringify(answer.body));
      shards.push(...answer.body.StreamDescription.Shards);
      start = answer.body.StreamDescription.LastEvaluatedShardId;
    } while (start);
    return shards;
  }

  // Every shard as this proxy shows it: the real ones, split where rolled.
  async views(arn) {
    const state = this.state(arn);
    const result = [];
    for (const shard of await this.realShards(arn)) {
      const range = shard.SequenceNumberRange;
      const realEnd = range.EndingSequenceNumber ? BigInt(range.EndingSequenceNumber) : null;
      let views = state.views.get(shard.ShardId);
      if (!views) {
        views = [{ id: shard.ShardId, parent: shard.ParentShardId || null, lo: BigInt(range.StartingSequenceNumber), hi: null, real: shard.ShardId }];
      }
      if (realEnd !== null) {
        // DynamoDB Local closed the real shard (its stream was switched off):
        // so are the views still open.
        for (const view of views) if (view.hi === null) view.hi = view.real ? realEnd : view.lo - 1n;
      }
      result.push(...views);
    }
    return result;
  }

  async find(arn, shardId) {
    return (await this.views(arn)).find((view) => view.id === shardId) || null;
  }

  // Every record of a real shard from its start (small test streams only).
  async records(arn, realId) {
    const first = await this.call('GetShardIterator', { StreamArn: arn, ShardId: realId, ShardIteratorType: 'TRIM_HORIZON' });
    if (first.status !== 200) throw new Error('GetShardIterator ' + JSON.stringify(first.body));
    const records = [];
    let iterator = first.body.ShardIterator;
    while (iterator) {
      const page = await this.call('GetRecords', { ShardIterator: iterator });
      if (page.status !== 200) throw new Error('GetRecords ' + JSON.stringify(page.body));
      if (!page.body.Records.length) break;
      records.push(...page.body.Records);
      iterator = page.body.NextShardIterator;
    }
    return records;
  }

  async admin(operation, request) {
    if (typeof request.TableName !== 'string') return error(400, 'ValidationException', 'TableName is required');
    const arn = await this.streamOf(request.TableName);
    if (!arn) return notFound('Table ' + request.TableName + ' has no stream');
    const state = this.state(arn);
    switch (operation) {
      case 'RollShard': return this.roll(arn, state, Math.max(1, request.Children | 0 || 1));
      case 'TrimStream': return this.trim(arn, state, request);
      case 'MarkTime': return this.mark(arn);
      case 'VanishShard': {
        if (!(await this.find(arn, request.ShardId))) return notFound();
        state.vanished.set(request.ShardId, Math.max(0, request.AfterGetRecords | 0));
        return { status: 200, body: {} };
      }
      default: return null;
    }
  }

  async roll(arn, state, children) {
    const open = (await this.views(arn)).find((view) => view.hi === null && view.real);
    if (!open) return error(400, 'ValidationException', 'The stream has no open shard');
    const records = await this.records(arn, open.real);
    const last = records.length ? BigInt(records[records.length - 1].dynamodb.SequenceNumber) : open.lo - 1n;
    const views = state.views.get(open.real) || [open];
    open.hi = last < open.lo ? open.lo - 1n : last;
    for (let i = 0; i < children; ++i) {
      views.push({ id: newShardId(), parent: open.id, lo: open.hi + 1n, hi: null, real: i === 0 ? open.real : null });
    }
    state.views.set(open.real, views);
    return { status: 200, body: { ClosedShardId: open.id, ChildShardIds: views.slice(-children).map((v) => v.id) } };
  }

  async trim(arn, state, request) {
    let horizon;
    if (typeof request.SequenceNumber === 'string') {
      horizon = BigInt(request.SequenceNumber);
    } else {
      const all = [];
      for (const shard of await this.realShards(arn)) all.push(...await this.records(arn, shard.ShardId));
      const sequences = all.map((r) => BigInt(r.dynamodb.SequenceNumber)).sort((a, b) => (a < b ? -1 : a > b ? 1 : 0));
      const count = Math.min(sequences.length, Math.max(0, request.Count | 0));
      if (count === 0) return error(400, 'ValidationException', 'Count must name at least one existing record');
      horizon = sequences[count - 1];
    }
    if (state.trimmed === null || horizon > state.trimmed) state.trimmed = horizon;
    return { status: 200, body: { TrimmedThrough: pad(state.trimmed) } };
  }

  async mark(arn) {
    const time = Math.floor(Date.now() / 1000) + 1;
    await new Promise((resolve) => setTimeout(resolve, time * 1000 - Date.now()));
    let after = -1n;
    for (const shard of await this.realShards(arn)) {
      for (const record of await this.records(arn, shard.ShardId)) {
        const sequence = BigInt(record.dynamodb.SequenceNumber);
        if (sequence > after) after = sequence;
      }
    }
    if (!this.marks.has(arn)) this.marks.set(arn, []);
    this.marks.get(arn).push({ after, time });
    return { status: 200, body: { Time: time } };
  }

  // The GetRecords answer `answer` with the times the marks of the stream of
  // `iterator` (ours or DynamoDB Local's, which begins with the ARN) give.
  marked(iterator) {
    return this.marks.has(streamOfIterator(iterator));
  }

  stamp(iterator, answer) {
    const marks = this.marks.get(streamOfIterator(iterator));
    if (!marks || !answer || !Array.isArray(answer.Records)) return answer;
    for (const record of answer.Records) {
      const sequence = BigInt(record.dynamodb.SequenceNumber);
      for (const mark of marks) {
        if (sequence > mark.after && !(record.dynamodb.ApproximateCreationDateTime >= mark.time)) {
          record.dynamodb.ApproximateCreationDateTime = mark.time;
        }
      }
    }
    return answer;
  }

  faulted(arn) {
    const state = this.streams.get(arn);
    return Boolean(state && (state.views.size || state.trimmed !== null || state.vanished.size));
  }

  // The DescribeStream answer `answer` (from DynamoDB Local) as this proxy
  // shows it; resolves with the body to send.
  async describeStream(request, answer) {
    const arn = request.StreamArn;
    if (!this.faulted(arn)) return answer;
    const state = this.state(arn);
    const shown = (await this.views(arn)).filter((view) => {
      if (state.vanished.has(view.id) && state.vanished.get(view.id) === 0) return false;
      // A closed shard whose every record is trimmed is gone.
      return !(state.trimmed !== null && view.hi !== null && view.hi <= state.trimmed);
    });
    const shards = shown.map((view) => {
      const shard = { ShardId: view.id, SequenceNumberRange: { StartingSequenceNumber: pad(view.lo) } };
      if (view.parent) shard.ParentShardId = view.parent;
      if (view.hi !== null) shard.SequenceNumberRange.EndingSequenceNumber = pad(view.hi < view.lo ? view.lo : view.hi);
      return shard;
    });
    const description = answer.StreamDescription;
    description.Shards = shards;
    delete description.LastEvaluatedShardId;
    return answer;
  }

  // Resolves with the answer to a GetShardIterator, or null to pass it on.
  async getShardIterator(request) {
    const arn = request.StreamArn;
    if (!this.faulted(arn)) return null;
    const state = this.state(arn);
    const view = await this.find(arn, request.ShardId);
    if (!view || state.vanished.get(view.id) === 0) return notFound();
    const trimmed = state.trimmed;
    let position;
    switch (request.ShardIteratorType) {
      case 'TRIM_HORIZON':
        position = trimmed !== null && trimmed >= view.lo ? trimmed + 1n : view.lo;
        break;
      case 'LATEST':
        position = null;
        break;
      case 'AT_SEQUENCE_NUMBER':
      case 'AFTER_SEQUENCE_NUMBER': {
        let sequence;
        try {
          sequence = BigInt(request.SequenceNumber);
        } catch (e) {
          return error(400, 'ValidationException', 'Invalid SequenceNumber: ' + request.SequenceNumber);
        }
        if (request.ShardIteratorType === 'AFTER_SEQUENCE_NUMBER') sequence += 1n;
        if (trimmed !== null && sequence <= trimmed) return trimmedError();
        if (sequence < view.lo || (view.hi !== null && sequence > view.hi + 1n)) {
          return error(400, 'ValidationException', 'Invalid SequenceNumber for shard ' + view.id);
        }
        position = sequence;
        break;
      }
      default:
        return error(400, 'ValidationException', 'Invalid ShardIteratorType: ' + request.ShardIteratorType);
    }
    let real = null;
    if (view.real) {
      const body = { StreamArn: arn, ShardId: view.real };
      if (position === null) body.ShardIteratorType = 'LATEST';
      else if (position <= view.lo) body.ShardIteratorType = 'TRIM_HORIZON';
      else Object.assign(body, { ShardIteratorType: 'AT_SEQUENCE_NUMBER', SequenceNumber: pad(position) });
      const answer = await this.call('GetShardIterator', body);
      if (answer.status !== 200) return answer;
      real = answer.body.ShardIterator;
    }
    if (position === null) position = view.hi !== null ? view.hi + 1n : 0n;
    return { status: 200, body: { ShardIterator: wrap({ arn, shard: view.id, real, position: pad(position) }) } };
  }

  // Resolves with the answer to a GetRecords, or null to pass it on.
  async getRecords(request) {
    const iterator = unwrap(request.ShardIterator);
    if (!iterator) return null;
    const state = this.state(iterator.arn);
    const view = await this.find(iterator.arn, iterator.shard);
    const countdown = view ? state.vanished.get(view.id) : undefined;
    if (!view || countdown === 0) return notFound();
    if (countdown !== undefined) state.vanished.set(view.id, countdown - 1);
    let position = BigInt(iterator.position);
    if (state.trimmed !== null && position <= state.trimmed) return trimmedError();
    if (!view.real) {
      const empty = { Records: [] };
      if (view.hi === null) empty.NextShardIterator = request.ShardIterator;
      return { status: 200, body: empty };
    }
    const body = { ShardIterator: iterator.real };
    if (request.Limit !== undefined) body.Limit = request.Limit;
    const answer = await this.call('GetRecords', body);
    if (answer.status !== 200) return answer;
    const records = [];
    let pastEnd = false;
    for (const record of answer.body.Records) {
      const sequence = BigInt(record.dynamodb.SequenceNumber);
      if (view.hi !== null && sequence > view.hi) {
        pastEnd = true;
        break;
      }
      if (sequence >= position) {
        records.push(record);
        position = sequence + 1n;
      }
    }
    const result = { Records: records };
    const next = answer.body.NextShardIterator;
    const finished = !next || pastEnd || (view.hi !== null && (answer.body.Records.length === 0 || position > view.hi));
    if (!finished) result.NextShardIterator = wrap({ arn: iterator.arn, shard: view.id, real: next, position: pad(position) });
    return { status: 200, body: result };
  }
}

function streamOfIterator(iterator) {
  return (unwrap(iterator) || {}).arn || String(iterator).split('|')[0];
}

function newShardId() {
  return 'shardId-' + String(Date.now()).padStart(20, '0') + '-' + crypto.randomBytes(4).toString('hex');
}

function wrap(iterator) {
  return ITERATOR_PREFIX + Buffer.from(JSON.stringify(iterator)).toString('base64');
}

function unwrap(text) {
  if (typeof text !== 'string' || !text.startsWith(ITERATOR_PREFIX)) return null;
  try {
    return JSON.parse(Buffer.from(text.slice(ITERATOR_PREFIX.length), 'base64').toString('utf8'));
  } catch (e) {
    return null;
  }
}

module.exports = { StreamFaults, unwrap };
