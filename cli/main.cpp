// ddb-backup: backs up DynamoDB tables into a backup store and restores them.

#include <cstdio>

#include "cli/CommonOptions.h"
#include "cli/Commands.h"

#ifndef DDB_VERSION
#define DDB_VERSION "unknown"
#endif

int main(int argc, char** argv) {
    CLI::App app{"Backs up DynamoDB tables into a backup store, and restores them.", "ddb-backup"};
    app.set_version_flag("--version", DDB_VERSION);
    app.footer("Exit status: 0 success, 1 a job failed or damage was found, 2 usage or configuration,\n"
               "3 a backup stopped on request (resumable), 4 data complete but a capacity not put back.\n"
               "'ddb-backup COMMAND -h' or 'ddb-backup help COMMAND' describes a command.");
    int status = kExitOk;
    addBackupCommand(app, status);
    addJobsCommand(app, status);
    addRestoreCommand(app, status);
    addPruneCommand(app, status);
    addVerifyCommand(app, status);
    std::string topic;
    CLI::App* help = app.add_subcommand("help", "describe a command");
    help->add_option("command", topic, "the command to describe");
    app.require_subcommand(1, 1);
    if (argc > 1 && argv[1][0] != '-') {
        bool known = false;
        for (CLI::App* command : app.get_subcommands(nullptr)) known = known || command->get_name() == argv[1];
        if (!known) {
            std::fprintf(stderr, "ddb-backup: no command '%s'\nusage: ddb-backup COMMAND [OPTIONS]\n"
                                 "'ddb-backup -h' lists the commands.\n", argv[1]);
            return kExitUsage;
        }
    }
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        if (error.get_exit_code() == 0) return app.exit(error); // -h, --version
        // Whichever command was being read: its usage line with the error.
        CLI::App* command = &app;
        for (CLI::App* sub : app.get_subcommands()) command = sub;
        const std::string name = command == &app ? "" : command->get_name() + " ";
        std::fprintf(stderr, "ddb-backup: %s\nusage: ddb-backup %s[OPTIONS]\n'ddb-backup %s-h' describes the %s.\n",
                     error.what(), command == &app ? "COMMAND " : name.c_str(), name.c_str(),
                     command == &app ? "commands" : "options");
        return kExitUsage;
    }
    if (help->parsed()) {
        if (topic.empty()) {
            std::fputs(app.help().c_str(), stdout);
            return kExitOk;
        }
        for (CLI::App* command : app.get_subcommands(nullptr))
            if (command->get_name() == topic && command != help) {
                std::fputs(command->help("ddb-backup").c_str(), stdout);
                return kExitOk;
            }
        std::fprintf(stderr, "ddb-backup help: no command '%s'\n%s", topic.c_str(), app.help().c_str());
        return kExitUsage;
    }
    return status;
}
