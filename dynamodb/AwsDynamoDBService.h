#pragma once
// Client of the DynamoDB and DynamoDB Streams JSON APIs (20120810).
// Every operation builds its request with baseRequest, sends it through the
// request layer (which retries throttling, capacity and server errors) and
// returns an AmazonOutcome. Not thread-safe: each worker owns its own.

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "aws/AwsRequestService.h"
#include "dynamodb/AmazonOutcome.h"
#include "dynamodb/GetRecordsResult.h"
#include "dynamodb/ScanResult.h"
#include "dynamodb/StreamDescription.h"
#include "dynamodb/TableDescription.h"
#include "dynamodb/WriteRequest.h"
#include "framework/TeskEnvironment.h"

class AwsDynamoDBService {
public:
    // Resolves the caller's credentials in place (instance metadata, STS)
    // and keeps a copy. A failure is logged; requests then fail at AWS.
    AwsDynamoDBService(AmazonCredentials& credentials, TeskEnvironment& environment);
    virtual ~AwsDynamoDBService();

    // A signed-to-be request for `target` with fresh credentials if they ran out.
    AmazonRequest baseRequest(const std::string& target, bool streams);

    // The retry decision for DynamoDB answers; true to send again.
    static bool responseCheck(TeskEnvironment& environment, AmazonResponse& response);
    static bool isThroughputDecreaseError(const std::string& text);
    static bool isResourceNotFoundError(const std::string& text);
    // Whether the last throughput update was refused as a too-frequent decrease.
    bool isProvisionedThroughputDecreaseError() const { return provisionedThroughputDecreaseError; }

    // Table administration.
    AmazonOutcome<TableDescription> describeTable(const std::string& tableName);
    AmazonOutcome<TableDescription> createTable(const std::string& requestJson);
    AmazonOutcome<bool> deleteTable(const std::string& tableName);
    AmazonOutcome<TableDescription> updateTableThroughputs(const std::string& tableName,
                                                           const ProvisionedThroughput& throughput);
    AmazonOutcome<TableDescription> updateTableThroughputs(const std::string& tableName,
                                                           const std::map<std::string, ProvisionedThroughput>& indexes);
    // Poll every 2 s until the table is ACTIVE / gone, up to `timeoutSeconds`.
    bool waitForActiveTable(const std::string& tableName, unsigned timeoutSeconds);
    bool waitForDeletedTable(const std::string& tableName, unsigned timeoutSeconds);

    // One page of ListTables (or ListGlobalTables); names and region rows are
    // appended index-aligned.
    bool listTables(std::vector<std::string>& names, const std::string& startName, std::string& lastEvaluatedName,
                    bool global, std::vector<std::vector<std::string>>& regions);
    bool listTables(bool global, std::vector<std::string>& names, std::vector<std::vector<std::string>>& regions);
    bool listTables(std::vector<std::string>& names);
    bool listGlobalTables(std::multimap<std::string, std::set<std::string>>& globalTables);
    bool listTags(const std::string& resourceArn, std::map<std::string, std::string>& tags,
                  const std::string& nextToken, std::string& nextTokenOut);
    bool listTags(const std::string& resourceArn, std::map<std::string, std::string>& tags);
    bool listTagsOnTable(const std::string& tableName, std::map<std::string, std::string>& tags);

    // Time to Live and tags, which a table description does not carry.
    struct TimeToLive {
        std::string attribute;
        bool enabled = false;
    };
    bool describeTimeToLive(const std::string& tableName, TimeToLive& ttl, std::string& error);
    bool updateTimeToLive(const std::string& tableName, const TimeToLive& ttl, std::string& error);
    bool tagResource(const std::string& resourceArn, const std::map<std::string, std::string>& tags,
                     std::string& error);
    // Every tag of a resource; unlike listTags, a failure is only reported.
    bool readTags(const std::string& resourceArn, std::map<std::string, std::string>& tags, std::string& error);

    // Item operations.
    // One Scan page of segment `segment` of `totalSegments` straight to
    // `output`; the page's last evaluated key (empty at the segment's end)
    // comes back in `lastEvaluatedKey`. Returns an AmazonError value; on
    // failure `why`, when given, says what failed: the service's answer, the
    // page, or the output.
    int scanToStream(const std::string& tableName, int segment, int totalSegments,
                     const std::string& exclusiveStartKey, TeskOutput* output, std::string& lastEvaluatedKey,
                     std::string* why = nullptr);
    AmazonOutcome<ScanResult> scan(const ScanRequest& request);
    // True when the first Scan page has no items; false on error (logged).
    bool isTableEmpty(const std::string& tableName);
    // Puts items; the result holds the items DynamoDB left unprocessed.
    AmazonOutcome<std::vector<std::string>> batchPutItems(const std::string& tableName,
                                                          const std::vector<std::string>& items);
    // Puts and deletes in key order; the result holds the unprocessed entries.
    AmazonOutcome<std::map<std::string, WriteRequest>> batchWriteItems(
        const std::string& tableName, const std::vector<std::string>& keyNames,
        const std::map<std::string, WriteRequest>& entries);

    // Stream operations (DynamoDB Streams endpoint, signed for "dynamodb").
    // The ARNs of the table's streams (first page only).
    AmazonOutcome<std::vector<std::string>> listStreams(const std::string& tableName);
    // The stream with every shard, following the shard pages.
    AmazonOutcome<StreamDescription> describeStream(const std::string& streamArn);
    // TRIM_HORIZON when `sequenceNumber` is empty, else AFTER_SEQUENCE_NUMBER.
    AmazonOutcome<std::string> getShardIterator(const std::string& streamArn, const std::string& shardId,
                                                const std::string& sequenceNumber);
    AmazonOutcome<GetRecordsResult> getRecords(const std::string& shardIterator);
    // One GetRecords page straight to `output` as incremental item lines.
    AmazonResponse getRecordsToStream(const std::string& shardIterator, TeskOutput* output,
                                      std::string& nextShardIterator, std::string& lastSequenceNumber,
                                      int64_t& recordTime, int& recordCount, AmazonError& error);

    // Names per list page; DynamoDB's maximum, 100, unless a caller needs less.
    void setListPageSize(int size) { listPageSize = size; }
    const AmazonCredentials& getCredentials() const { return credentials; }
    TeskEnvironment& getEnvironment() { return environment; }

protected:
    AmazonResponse send(AmazonRequest& request);
    bool listTagsPage(const std::string& resourceArn, std::map<std::string, std::string>& tags,
                      const std::string& nextToken, std::string& nextTokenOut, std::string& error);
    // A table description read from member `name` of a 200 answer.
    AmazonOutcome<TableDescription> tableFromAnswer(const AmazonResponse& response, const char* name);
    AmazonOutcome<TableDescription> sendUpdateTable(const std::string& body);
    bool waitForTable(const std::string& tableName, unsigned timeoutSeconds, const char* function, bool untilDeleted);

    AwsRequestService requestService;
    AmazonCredentials credentials;
    TeskEnvironment& environment;
    bool provisionedThroughputDecreaseError = false;
    int listPageSize = 100;
};

// Decimal text of an integer.
std::string my_to_string(int value);
