// ddb-backup: backs up DynamoDB tables into a local backup store.

#include <cstdio>
#include <cstring>

#include "cli/Commands.h"

namespace {

const char* kHelp =
    "usage: ddb-backup <command> [options]\n"
    "\n"
    "commands:\n"
    "  backup   back up a table into a backup store (full, parallel scan)\n"
    "  jobs     list the jobs in a backup store\n"
    "  restore  restore a table from a backup store\n"
    "  verify   re-check jobs in a backup store against their manifests\n"
    "\n"
    "'ddb-backup <command> --help' describes a command's options.\n";

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(kHelp, stderr);
        return 2;
    }
    const char* command = argv[1];
    if (std::strcmp(command, "--help") == 0 || std::strcmp(command, "help") == 0) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (std::strcmp(command, "backup") == 0) return backupCommand(argc, argv);
    if (std::strcmp(command, "jobs") == 0) return jobsCommand(argc, argv);
    if (std::strcmp(command, "restore") == 0) return restoreCommand(argc, argv);
    if (std::strcmp(command, "verify") == 0) return verifyCommand(argc, argv);
    std::fprintf(stderr, "ddb-backup: unknown command '%s'\n\n%s", command, kHelp);
    return 2;
}
