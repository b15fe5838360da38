#include <signal.h>
#include <cctype>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "aws/AwsRequestService.h"
#include "backup/BackupJob.h"
#include "cli/Arguments.h"
#include "cli/CommandLineCredentials.h"
#include "cli/Commands.h"
#include "cli/Progress.h"

namespace {

const char* kBackupHelpHead =
    "usage: ddb-backup backup --table T --region R --store DIR [options]\n"
    "\n"
    "Backs up every item of a DynamoDB table into a backup store with a parallel,\n"
    "segmented scan, one JSON line per item. Ctrl-C (SIGINT) or SIGTERM stops each\n"
    "segment after its current page and records where it stopped; --resume then\n"
    "finishes the job as if it had never stopped.\n"
    "\n"
    "With --incremental, saves the changes recorded in the table's stream (which\n"
    "must carry new images) since the last complete incremental in the store, one\n"
    "line per change, and the shard tree with each shard's resume point.\n"
    "\n"
    "  --table T            the table to back up (required)\n"
    "  --region R           its region (default: AWS_REGION, then AWS_DEFAULT_REGION)\n"
    "  --store DIR          the backup store (required; created if missing)\n"
    "  --segments N         parallel scan segments, 1 to 1000 (default 4)\n"
    "  --incremental        back up the stream's changes instead of every item\n"
    "  --threads N          incremental: shards read at once (default: all of them)\n"
    "  --read-capacity N    raise a provisioned table's read capacity to N during the\n"
    "                       scan and put it back afterwards (default: leave it)\n"
    "  --resume JOB         continue a stopped, failed or interrupted job\n"
    "  --role-arn ARN       assume this role through STS with the instance profile's\n"
    "                       credentials\n"
    "  --chunk-size BYTES   size at which a segment's data starts a new chunk file\n"
    "                       (default 16777216)\n"
    "  --verbose            also copy the job log (kept in <job>/backup.log) to stderr\n";
const char* kBackupHelpTail =
    "\n"
    "Credentials: AWS_ACCESS_KEY_ID and AWS_SECRET_ACCESS_KEY (with AWS_SESSION_TOKEN)\n"
    "from the environment, else --role-arn, else the EC2 instance metadata service.\n"
    "Endpoints: AWS_ENDPOINT_URL, AWS_ENDPOINT_URL_DYNAMODB, AWS_ENDPOINT_URL_STS.\n"
    "Exit status: 0 complete, 1 failed, 2 usage error, 3 stopped (resumable).\n";

std::string backupHelp() { return std::string(kBackupHelpHead) + kTransportOptionsHelp + kBackupHelpTail; }

std::atomic<bool> stopRequested{false};

void onStopSignal(int) {
    stopRequested = true;
    const char message[] = "\nddb-backup: stopping after the current page of each segment (again to abort)\n";
    ssize_t ignored = ::write(STDERR_FILENO, message, sizeof message - 1);
    (void)ignored;
}

void installStopHandlers() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND; // a second signal ends the process at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool isTableName(const std::string& name) {
    if (name.size() < 3 || name.size() > 255) return false;
    for (char c : name)
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
    return true;
}

bool isRegionName(const std::string& name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name)
        if (!(std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c)) || c == '-'))
            return false;
    return true;
}

int usage(const std::string& error) {
    std::fprintf(stderr, "ddb-backup backup: %s\n\n%s", error.c_str(), backupHelp().c_str());
    return 2;
}

} // namespace

int backupCommand(int argc, char** argv) {
    Arguments arguments;
    std::string error;
    if (!arguments.parse(argc, argv, 2,
                         {"table", "region", "store", "segments", "threads", "read-capacity", "resume", "role-arn",
                          "chunk-size", kTransportOptionNames[0], kTransportOptionNames[1], kTransportOptionNames[2]},
                         {"help", "verbose", "incremental"}, error))
        return usage(error);
    if (arguments.has("help")) {
        std::fputs(backupHelp().c_str(), stdout);
        return 0;
    }
    BackupJobOptions options;
    options.table = arguments.get("table");
    options.region = regionFrom(arguments);
    options.storeRoot = arguments.get("store");
    int64_t segments = 0, threads = 0, readCapacity = 0, resume = 0, chunkSize = 0;
    if (!applyTransportOptions(arguments, error)) return usage(error);
    if (!arguments.getNumber("segments", 4, 1, 1000, segments, error) ||
        !arguments.getNumber("threads", 0, 1, 1000, threads, error) ||
        !arguments.getNumber("read-capacity", 0, 0, 40000000, readCapacity, error) ||
        !arguments.getNumber("resume", 0, 1, INT64_MAX, resume, error) ||
        !arguments.getNumber("chunk-size", static_cast<int64_t>(StoreEnvironment::kDefaultChunkSize), 1024,
                             int64_t(1) << 40, chunkSize, error))
        return usage(error);
    if (options.table.empty()) return usage("--table is required");
    if (options.storeRoot.empty()) return usage("--store is required");
    if (options.region.empty()) return usage("no region: give --region or set AWS_REGION");
    if (!isTableName(options.table))
        return usage("'" + options.table + "' is not a DynamoDB table name (3 to 255 letters, digits, '_', '-', '.')");
    if (!isRegionName(options.region)) return usage("'" + options.region + "' is not an AWS region name");
    options.incremental = arguments.has("incremental");
    if (options.incremental && (arguments.has("segments") || arguments.has("read-capacity") || arguments.has("resume")))
        return usage("--segments, --read-capacity and --resume apply to full backups only");
    if (!options.incremental && arguments.has("threads")) return usage("--threads applies to --incremental only");
    options.segments = static_cast<unsigned>(segments);
    options.threads = static_cast<unsigned>(threads);
    options.readCapacity = readCapacity;
    options.resumeJob = resume;
    options.chunkSize = static_cast<uint64_t>(chunkSize);
    options.logToStderr = arguments.has("verbose");
    options.stopFlag = &stopRequested;

    AmazonCredentials& credentials = options.credentials;
    if (!credentialsFrom(arguments, options.region, credentials, error)) return usage(error);
    {
        auto log = std::make_shared<StreamLogSink>(options.logToStderr);
        TeskEnvironment check("credentials", log);
        if (!AwsRequestService::handleIAMRole(check, credentials)) {
            std::fprintf(stderr,
                         "ddb-backup backup: no usable AWS credentials for %s [%s]: set AWS_ACCESS_KEY_ID and "
                         "AWS_SECRET_ACCESS_KEY, or run on EC2 with an instance profile (and --role-arn to assume a "
                         "role)%s\n",
                         options.table.c_str(), options.region.c_str(),
                         check.hasFailed() ? ("; " + check.getFailure()).c_str() : "");
            return 1;
        }
    }

    installStopHandlers();
    const std::string label = options.table + " [" + options.region + "]";
    std::unique_ptr<Progress> progress;
    const auto started = std::chrono::steady_clock::now();
    options.onStart = [&](StoreEnvironment& environment) {
        const BackupManifest manifest = environment.manifest();
        if (manifest.incremental())
            std::fprintf(stderr, "ddb-backup: starting incremental job I%lld into %s\n",
                         static_cast<long long>(manifest.jobId), environment.jobDirectory().c_str());
        else
            std::fprintf(stderr, "ddb-backup: %s job F%lld, %u segments, into %s\n",
                         options.resumeJob ? "resuming" : "starting", static_cast<long long>(manifest.jobId),
                         manifest.segmentCount, environment.jobDirectory().c_str());
        progress = std::make_unique<Progress>(label, describeBackup(environment, manifest.segmentCount), &stopRequested);
    };
    std::string summary;
    options.onScanEnd = [&] {
        if (!progress) return;
        progress->finish();
        summary = progress->line();
    };
    BackupJobResult result = runBackupJob(options);
    progress.reset();
    if (result.status.empty()) {
        std::fprintf(stderr, "ddb-backup backup: %s: %s\n", label.c_str(), result.error.c_str());
        return 1;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::string job = result.manifest.directoryName();
    std::fprintf(stderr, "ddb-backup: job %s of %s %s in %.1f s: %s\n", job.c_str(), label.c_str(),
                 result.status.c_str(), seconds, summary.c_str());
    std::fprintf(stderr, "ddb-backup: job %s holds %llu %s, %s in %s\n", job.c_str(),
                 static_cast<unsigned long long>(result.manifest.totalLines()),
                 result.manifest.incremental() ? "changes" : "items",
                 humanBytes(static_cast<double>(result.manifest.totalBytes())).c_str(), result.jobDirectory.c_str());
    if (result.status == "complete" && !result.capacityWarning.empty()) {
        std::fprintf(stderr, "ddb-backup backup: the backup is complete, but %s\n", result.capacityWarning.c_str());
        return 4;
    }
    if (result.status == "complete") return 0;
    std::fprintf(stderr, "ddb-backup backup: %s\n", result.error.c_str());
    return result.status == "stopped" ? 3 : 1;
}
