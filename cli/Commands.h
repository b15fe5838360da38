#pragma once
// The commands of ddb-backup. Each returns the process exit status.

int backupCommand(int argc, char** argv);
int jobsCommand(int argc, char** argv);
int restoreCommand(int argc, char** argv);
int verifyCommand(int argc, char** argv);
