// A host as small as one can be: it links nothing of ours, loads the agent
// module with dlopen, takes the factory from GetRemoteFileFactory and
// restores a backup file by file, each file's bytes fed to the input the
// factory prepares. What else it must provide it provides as a host would:
// the management data (DDB_MANAGEMENT) and the restore job's options
// ($DDB_RESTORE_TASKS/<job>.json).
//
// usage: module_host MODULE JOB INSTANCE EXTENDED-OPTIONS STORE FOLDER...
// Each FOLDER is a job folder below STORE ("/us-east-1/t/F1"); its files go
// in the order a restore replays them. Exit 0 when every file was taken.

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "management/CloudDBRemoteFileFactory.h"
#include "tests/support/JobFiles.h"

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: %s MODULE JOB INSTANCE EXTENDED-OPTIONS STORE FOLDER...\n", argv[0]);
        return 2;
    }
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load %s: %s\n", argv[1], ::dlerror());
        return 1;
    }
    using Entry = CloudDBRemoteFileFactory* (*)();
    auto entry = reinterpret_cast<Entry>(::dlsym(module, "GetRemoteFileFactory"));
    if (!entry) {
        std::fprintf(stderr, "%s has no GetRemoteFileFactory: %s\n", argv[1], ::dlerror());
        return 1;
    }
    int failures = 0;
    {
        std::unique_ptr<CloudDBRemoteFileFactory> factory(entry());
        CZoError status = factory->Initialize(std::strtoll(argv[2], nullptr, 10));
        if (!status.ok()) {
            std::fprintf(stderr, "Initialize: %s\n", status.text().c_str());
            return 1;
        }
        CloudConnectionDetails details;
        details.destinationInstanceId = std::strtoull(argv[3], nullptr, 10);
        details.extendedOptions = argv[4];
        const std::string store = argv[5];
        std::vector<std::string> files;
        for (int i = 6; i < argc; ++i) collectJobFiles(store, argv[i], files);
        std::shared_ptr<TeskBufferedInput> input;
        auto finish = [&]() {
            if (input && !input->waitForRestore()) {
                std::fprintf(stderr, "an input ended without restoring all it was given\n");
                ++failures;
            }
            input.reset();
        };
        for (const auto& file : files) {
            bool skip = false;
            status = factory->Process(details, file, skip);
            if (!status.ok()) {
                std::fprintf(stderr, "Process %s: %s (code %d)\n", file.c_str(), status.text().c_str(), status.code());
                ++failures;
                break;
            }
            if (!skip) {
                finish();
                input = factory->currentInput;
            }
            std::ifstream in(store + file, std::ios::binary);
            std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            std::printf("%s: %zu bytes\n", file.c_str(), data.size());
            if (!data.empty() && input && !input->processBuffer(data.data(), data.size())) {
                std::fprintf(stderr, "the input for %s refused its bytes\n", file.c_str());
                ++failures;
            }
        }
        finish();
    }
    ::dlclose(module);
    return failures == 0 ? 0 : 1;
}
