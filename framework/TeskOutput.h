#pragma once
// A named output stream that a backup writes into. The host owns it; the
// engine holds shared pointers. One producer thread writes to an output.

#include <cstddef>
#include <cstdint>
#include <string>

class TeskOutput {
public:
    explicit TeskOutput(std::string name = "") : name_(std::move(name)) {}
    virtual ~TeskOutput() = default;
    TeskOutput(const TeskOutput&) = delete;
    TeskOutput& operator=(const TeskOutput&) = delete;

    // Appends data; false when the output refuses it (the producer must stop).
    virtual bool putString(const std::string& data) = 0;
    // The same for bytes that stay where they are, for a producer that
    // finds its lines inside a larger buffer.
    virtual bool putData(const char* data, size_t length) { return putString(std::string(data, length)); }
    // Records the text from which a later job resumes, after the data before it.
    virtual void updateRestart(const std::string& restart) = 0;
    virtual bool flush() = 0;
    // Ends the output; `restart` is where the producer stopped (empty: at the end).
    virtual bool close(const std::string& restart) = 0;
    // The time, in seconds since the epoch, at which the change of the next
    // line was made. Outputs that keep time marks record it.
    virtual void noteChangeTime(int64_t seconds) { (void)seconds; }
    // True when the host asks the producer to stop at the next safe point.
    virtual bool stopNow() { return false; }
    // Why the output last refused data or a close, for the producer's error;
    // empty when it did not say.
    virtual std::string failure() const { return std::string(); }

    const std::string& name() const { return name_; }

protected:
    std::string name_;
};
