#pragma once
// The commands of ddb-backup. Each adds its subcommand to the application;
// when the subcommand runs, it leaves the process exit status in `status`.

#include <CLI/CLI.hpp>

void addBackupCommand(CLI::App& app, int& status);
void addJobsCommand(CLI::App& app, int& status);
void addRestoreCommand(CLI::App& app, int& status);
void addPruneCommand(CLI::App& app, int& status);
void addVerifyCommand(CLI::App& app, int& status);
