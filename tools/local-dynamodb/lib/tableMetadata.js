'use strict';
// What dynalite forgets about a table: its stream and encryption settings.
// Kept per table name and written back into every table description the way
// DynamoDB reports them.

class TableMetadata {
  constructor() {
    this.tables = new Map();
  }

  // Remembers the settings of a CreateTable request.
  created(request, description) {
    const entry = { streamSpecification: null, sse: null, streamLabel: null };
    this.applyStream(entry, request.StreamSpecification, description);
    if (request.SSESpecification && request.SSESpecification.Enabled) {
      entry.sse = {
        Status: 'ENABLED',
        SSEType: request.SSESpecification.SSEType || 'KMS',
        KMSMasterKeyArn: request.SSESpecification.KMSMasterKeyId ||
          'arn:aws:kms:us-east-1:000000000000:key/00000000-0000-0000-0000-000000000000',
      };
    }
    this.tables.set(request.TableName, entry);
  }

  // An UpdateTable may switch the stream on or off.
  updated(request, description) {
    const entry = this.tables.get(request.TableName);
    if (entry && request.StreamSpecification) this.applyStream(entry, request.StreamSpecification, description);
  }

  deleted(name) {
    this.tables.delete(name);
  }

  applyStream(entry, settings, description) {
    if (!settings) return;
    if (settings.StreamEnabled) {
      entry.streamSpecification = { StreamEnabled: true, StreamViewType: settings.StreamViewType };
      entry.streamLabel = new Date().toISOString().replace('Z', '');
      entry.tableArn = description && description.TableArn;
    } else {
      entry.streamSpecification = null;
      entry.streamLabel = null;
    }
  }

  // Adds the remembered members to a table description, in place.
  decorate(description) {
    if (!description || !description.TableName) return description;
    const entry = this.tables.get(description.TableName);
    if (!entry) return description;
    if (entry.streamSpecification) {
      description.StreamSpecification = entry.streamSpecification;
      description.LatestStreamLabel = entry.streamLabel;
      description.LatestStreamArn = description.TableArn + '/stream/' + entry.streamLabel;
    }
    if (entry.sse) description.SSEDescription = entry.sse;
    return description;
  }

  streamOf(name) {
    const entry = this.tables.get(name);
    return entry && entry.streamSpecification ? entry : null;
  }
}

module.exports = { TableMetadata };
