// Buffered output and input: what comes out equals what went in, whatever
// the chunk sizes, and memory stays bounded when the other side is slow.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <random>
#include <thread>

#include "framework/TeskBufferedInput.h"
#include "framework/TeskBufferedOutput.h"
#include "framework/TeskPrototypeEnvironment.h"

namespace {

std::string randomLines(size_t count, unsigned seed) {
    std::mt19937 random(seed);
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        size_t length = random() % 300;
        if (i % 97 == 0) length = 20000; // some lines much longer than a chunk
        for (size_t j = 0; j < length; ++j) text += static_cast<char>('a' + random() % 26);
        text += '\n';
    }
    return text;
}

// A producer that writes `text` in pieces of varying size, with a restart
// text after each piece.
class PieceProducer : public TeskBufferedOutput {
public:
    PieceProducer(TeskEnvironment* environment, std::string text, size_t capacity, bool succeed = true)
        : TeskBufferedOutput(environment, capacity), text_(std::move(text)), succeed_(succeed) {}
    ~PieceProducer() override { abandonProducer(); }
    bool startBackup(bool) override {
        std::mt19937 random(7);
        size_t position = 0;
        int piece = 0;
        while (position < text_.size()) {
            if (stopNow()) break;
            size_t length = std::min<size_t>(text_.size() - position, 1 + random() % 5000);
            if (!putString(text_.substr(position, length))) return false;
            position += length;
            updateRestart("piece-" + std::to_string(++piece));
            peak_ = std::max(peak_.load(), getBufferedForTest());
        }
        return succeed_;
    }
    size_t peak() const { return peak_; }

private:
    size_t getBufferedForTest() {
        bool finished;
        return getRemainingDataSize(finished);
    }
    std::string text_;
    bool succeed_;
    std::atomic<size_t> peak_{0};
};

struct BufferedFixture : ::testing::Test {
    TeskPrototypeEnvironment environment{"buffered", std::make_shared<MemoryLogSink>()};
};

TEST_F(BufferedFixture, OutputDeliversEveryByteInOrderUnderAnyPullSize) {
    const std::string text = randomLines(2000, 1);
    for (unsigned long pull : {1UL, 41UL, 4096UL, 1UL << 20}) {
        PieceProducer producer(&environment, text, 64 * 1024);
        std::string received;
        std::vector<char> buffer(pull);
        unsigned long filled = 0;
        bool finished = false;
        while (!finished) {
            ASSERT_TRUE(producer.fillBuffer(buffer.data(), pull, filled, finished));
            received.append(buffer.data(), filled);
        }
        EXPECT_EQ(received, text) << "pull size " << pull;
        EXPECT_EQ(producer.getSafeRestartString(), producer.getRestartString());
    }
}

TEST_F(BufferedFixture, SlowHostKeepsTheOutputBufferBounded) {
    const std::string text = randomLines(3000, 2);
    const size_t capacity = 16 * 1024;
    PieceProducer producer(&environment, text, capacity);
    std::vector<char> buffer(512);
    unsigned long filled = 0;
    bool finished = false;
    size_t total = 0;
    while (!finished) {
        ASSERT_TRUE(producer.fillBuffer(buffer.data(), buffer.size(), filled, finished));
        total += filled;
        if (total % 64 == 0) std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
    EXPECT_EQ(total, text.size());
    // At most one piece (< 5000 bytes) beyond the capacity.
    EXPECT_LT(producer.peak(), capacity + 5000);
}

// A spanning host once waited for more bytes than the buffer may hold while
// the producer waited for room: both hung for ever.
TEST_F(BufferedFixture, SpanningRequestsLargerThanTheCapacityAreFilledWhole) {
    const std::string text = randomLines(400, 3);
    PieceProducer producer(&environment, text, 1024);
    producer.setBufferSpanning(true);
    auto pull = std::async(std::launch::async, [&] {
        std::string received;
        std::vector<char> buffer(64 * 1024);
        unsigned long filled = 0;
        bool finished = false;
        while (!finished) {
            if (!producer.fillBuffer(buffer.data(), buffer.size(), filled, finished)) break;
            if (!finished) {
                EXPECT_EQ(filled, buffer.size());
            }
            received.append(buffer.data(), filled);
        }
        return received;
    });
    if (pull.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
        std::fputs("fillBuffer hung with a spanning request larger than the capacity\n", stderr);
        std::_Exit(1); // the hung threads cannot be joined
    }
    EXPECT_EQ(pull.get(), text);
}

TEST_F(BufferedFixture, SafeRestartFollowsWhatTheHostTook) {
    PieceProducer producer(&environment, std::string(30000, 'x'), 1 << 20);
    char byte;
    unsigned long filled = 0;
    bool finished = false;
    ASSERT_TRUE(producer.fillBuffer(&byte, 1, filled, finished));
    EXPECT_EQ(filled, 1u);
    // One byte taken: no piece has been taken whole yet.
    EXPECT_EQ(producer.getSafeRestartString(), "");
}

TEST_F(BufferedFixture, StopRequestEndsTheProducerAndFailureIsReported) {
    PieceProducer stopped(&environment, randomLines(5000, 3), 4096);
    std::vector<char> buffer(100);
    unsigned long filled = 0;
    bool finished = false;
    ASSERT_TRUE(stopped.fillBuffer(buffer.data(), buffer.size(), filled, finished));
    stopped.requestStop();
    while (!finished) ASSERT_TRUE(stopped.fillBuffer(buffer.data(), buffer.size(), filled, finished));

    PieceProducer failing(&environment, "one line\n", 4096, false);
    finished = false;
    bool ok = true;
    while (!finished) ok = failing.fillBuffer(buffer.data(), buffer.size(), filled, finished);
    EXPECT_FALSE(ok);
}

TEST_F(BufferedFixture, AbandonedOutputReleasesAWaitingProducer) {
    auto producer = std::make_unique<PieceProducer>(&environment, randomLines(5000, 4), 1024);
    char byte;
    unsigned long filled = 0;
    bool finished = false;
    producer->fillBuffer(&byte, 1, filled, finished);
    producer.reset(); // must not hang with the producer blocked on a full buffer
    SUCCEED();
}

// A consumer that collects the lines it reads.
class LineCollector : public TeskBufferedInput {
public:
    explicit LineCollector(size_t capacity) : TeskBufferedInput(capacity) {}
    ~LineCollector() override { abandonConsumer(); }
    bool startRestore(bool) override {
        std::string line;
        while (getLine(line)) {
            collected += line;
            collected += '\n';
            ++lines;
        }
        return !error();
    }
    std::string collected;
    size_t lines = 0;
};

TEST_F(BufferedFixture, InputAssemblesLinesAcrossAnyPushSizes) {
    const std::string text = randomLines(2000, 5);
    for (size_t push : {1UL, 7UL, 4096UL, 1UL << 20}) {
        LineCollector input(8 * 1024);
        for (size_t position = 0; position < text.size(); position += push) {
            std::string piece = text.substr(position, push);
            ASSERT_TRUE(input.processBuffer(piece.data(), piece.size()));
        }
        EXPECT_TRUE(input.waitForRestore());
        EXPECT_EQ(input.collected, text) << "push size " << push;
        EXPECT_EQ(input.lines, 2000u);
    }
}

TEST_F(BufferedFixture, FailedReadIsReportedAndItsCutLineDropped) {
    LineCollector input(1024);
    std::string data = "whole\npart";
    input.processBuffer(data.data(), data.size());
    input.endOfData(true);
    EXPECT_FALSE(input.waitForRestore());
    EXPECT_TRUE(input.error());
    EXPECT_EQ(input.collected, "whole\n");
}

TEST_F(BufferedFixture, LastLineWithoutLineFeedIsRead) {
    LineCollector input(1024);
    std::string data = "a\nb";
    input.processBuffer(data.data(), data.size());
    EXPECT_TRUE(input.waitForRestore());
    EXPECT_EQ(input.collected, "a\nb\n");
}

} // namespace
