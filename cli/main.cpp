#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    if (argc < 2 || std::strcmp(argv[1], "--help") == 0) {
        std::puts("usage: ddb-backup <command> [options]\n\ncommands: (coming) backup, jobs, verify");
        return argc < 2 ? 2 : 0;
    }
    std::fprintf(stderr, "ddb-backup: unknown command '%s'; try --help\n", argv[1]);
    return 2;
}
