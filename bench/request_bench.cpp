// Signing throughput, and the whole cost of one executeRequest (sign, fresh
// HTTP client, loopback exchange) as the engine pays it per AWS call.

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "aws/AwsRequestService.h"
#include "framework/TeskPrototypeEnvironment.h"
#include "tests/support/LoopbackHttpServer.h"

namespace {

AmazonRequest scanRequest() {
    AmazonRequest request;
    request.credentials.accessKeyId = "AKIDEXAMPLE";
    request.credentials.secretAccessKey = "wJalrXUtnFEMI/K7MDENG+bPxRfiCYEXAMPLEKEY";
    request.credentials.sessionToken = "IQoJb3JpZ2luX2VjEXAMPLETOKEN";
    request.credentials.region = "us-east-1";
    request.host = "dynamodb.us-east-1.amazonaws.com";
    request.service = "dynamodb";
    request.headers["Content-Type"] = "application/x-amz-json-1.0";
    request.headers["X-Amz-Target"] = "DynamoDB_20120810.Scan";
    request.body = R"({"TableName":"orders","Segment":3,"TotalSegments":8,"ExclusiveStartKey":{"id":{"S":"k"}}})";
    return request;
}

void BM_SignRequest(benchmark::State& state) {
    TeskPrototypeEnvironment environment("bench", std::make_shared<MemoryLogSink>());
    AwsRequestService service(environment);
    const AmazonRequest prototype = scanRequest();
    for (auto _ : state) {
        AmazonRequest request = prototype;
        benchmark::DoNotOptimize(service.signRequest(request));
    }
    state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SignRequest);

void BM_ExecuteRequestLoopback(benchmark::State& state) {
    LoopbackHttpServer server;
    server.script({{200, R"({"Items":[],"Count":0})"}});
    setenv("AWS_ENDPOINT_URL", server.url().c_str(), 1);
    TeskPrototypeEnvironment environment("bench", std::make_shared<MemoryLogSink>());
    AwsRequestService service(environment);
    const AmazonRequest prototype = scanRequest();
    for (auto _ : state) {
        AmazonRequest request = prototype;
        benchmark::DoNotOptimize(service.executeRequest(request, 50, 60000));
    }
    unsetenv("AWS_ENDPOINT_URL");
    state.counters["requests/s"] = benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ExecuteRequestLoopback)->UseRealTime();

} // namespace
