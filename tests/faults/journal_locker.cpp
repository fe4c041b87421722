// Holds checks.db under an exclusive transaction until its standard input closes, as
// another program holding the journal would. Prints "locked" once it holds the lock.
#include <sqlite3.h>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: th_journal_locker CHECKS_DB\n";
        return 2;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "begin exclusive", nullptr, nullptr, nullptr) != SQLITE_OK) {
        std::cerr << "cannot lock: " << sqlite3_errmsg(db) << "\n";
        return 1;
    }
    std::cout << "locked" << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
    }
    sqlite3_exec(db, "rollback", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return 0;
}
