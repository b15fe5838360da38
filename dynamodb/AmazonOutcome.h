#pragma once
// Result-or-error of every DynamoDB operation. Errors carry the kind AWS
// named in its answer and, normally, the whole answer body as the message.

#include <cstdint>
#include <memory>
#include <string>

enum AmazonError : int32_t {
    None = 0,
    Other = 1,
    Throttling = 2,
    LimitExceeded = 3,
    ResourceNotFound = 4,
    ProvisionedThroughputExceeded = 5,
    ResourceInUse = 6,
};

// The kind named in an error text; the first marker found, in a fixed order.
AmazonError classifyError(const std::string& text);

template <class T>
struct AmazonOutcome {
    std::shared_ptr<T> result;
    AmazonError errorType = Other;
    std::string errorMessage;

    // An error with no text yet (the state runners start from).
    AmazonOutcome() = default;
    // An error, classified by its text.
    explicit AmazonOutcome(std::string text) : errorType(classifyError(text)), errorMessage(std::move(text)) {}
    // A success.
    explicit AmazonOutcome(std::shared_ptr<T> value) : result(std::move(value)), errorType(None) {}

    // A 200 answer the operation could not use: kind Other whatever it says.
    static AmazonOutcome malformed(std::string body) {
        AmazonOutcome outcome;
        outcome.errorMessage = std::move(body);
        return outcome;
    }

    bool isSuccess() const { return errorType == None && result != nullptr; }
};
