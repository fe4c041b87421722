#pragma once

#include <filesystem>

namespace th {

struct DataPaths;

// Receipts in the journal can carry a customer's phone or e-mail, and the problem log names
// registers and documents: the program's data files are readable by their owner only.

// Sets an existing file's mode to 0600; a missing file is left missing, a failure is ignored
// (the file then keeps its mode, and nothing else depends on it).
void restrictToOwner(const std::filesystem::path& file);

// Tightens the journal (with its -wal and -shm files) and the problem log (with its older
// file) of the data directories, as far as they exist.
void restrictDataFiles(const DataPaths& paths);

}  // namespace th
