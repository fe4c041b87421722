#pragma once

// What the emulated registers of a data directory made, read from the emulator's log.

#include <filesystem>
#include <map>
#include <string>

#include "emulator/EmulatorBench.h"
#include "platform/Json.h"

namespace th::test {

// Fiscal documents per "external_id"; a document a register refused leaves a line with
// "error" and counts for nothing.
inline std::map<std::string, int> fiscalisations(const std::filesystem::path& dataDir) {
    std::map<std::string, int> count;
    for (const Json& line : EmulatorBench(dataDir).logLines())
        if (line.contains("fiscalDocumentNumber") && line.contains("external_id"))
            ++count[valueText(line["external_id"]).value_or("?")];
    return count;
}

}  // namespace th::test
