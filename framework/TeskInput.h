#pragma once
// A named input stream that a restore reads from, line by line or whole.

#include <string>

class TeskInput {
public:
    explicit TeskInput(std::string name = "") : name_(std::move(name)) {}
    virtual ~TeskInput() = default;
    TeskInput(const TeskInput&) = delete;
    TeskInput& operator=(const TeskInput&) = delete;

    // True once reading failed; a consumer checks it after the last line.
    virtual bool error() = 0;
    // Next line without its line feed; false at the end of the data.
    virtual bool getLine(std::string& line) = 0;
    virtual void close() {}
    // The whole remaining data; false on failure.
    virtual bool getContents(std::string& contents) = 0;

    const std::string& name() const { return name_; }

protected:
    std::string name_;
};
