// tillhaven-journal-init <path>: prepares an empty task journal where there is none, for
// the installation and the build tree. An existing journal is left exactly as it is.
#include <filesystem>
#include <iostream>
#include <system_error>

#include "cashbox/TaskJournal.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: tillhaven-journal-init <path to checks.db>\n";
        return 2;
    }
    const std::filesystem::path path = argv[1];
    std::error_code ec;
    if (std::filesystem::exists(path, ec))
        return 0;
    try {
        th::createJournalFile(path);
    } catch (const std::exception& e) {
        std::cerr << e.what() << '\n';
        return 1;
    }
    return 0;
}
