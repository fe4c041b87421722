#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/Json.h"

namespace th::test {

// A fresh data directory with an emulator.json, removed afterwards.
class BenchDir {
public:
    BenchDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "th-emulator-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
    }
    ~BenchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    BenchDir(const BenchDir&) = delete;
    BenchDir& operator=(const BenchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    void writeBench(const Json& registers) const {
        write("emulator.json", {{"registers", registers}});
    }

    void write(const std::string& name, const Json& content) const {
        writeText(name, content.dump(2));
    }

    void writeText(const std::string& name, const std::string& text) const {
        std::ofstream(path_ / name, std::ios::binary | std::ios::trunc) << text;
    }

    std::string readText(const std::string& name) const {
        std::ifstream in(path_ / name, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::filesystem::path path_;
};

inline Json benchRegister(const std::string& serial, const std::string& port,
                          const Json& overrides = Json::object()) {
    Json entry = {{"serial", serial}, {"model", "АТОЛ 30Ф"},  {"port", port},   {"reachable", true},
                  {"blocked", false}, {"coverOpened", false}, {"fiscal", true}, {"fnPresent", true},
                  {"fnFiscal", true}, {"paperPresent", true}};
    entry.update(overrides);
    return entry;
}

// A one-position cash sale of the given total, paid exactly.
inline Json cashSale(double total, const std::string& externalId = "") {
    Json sale = {{"type", "sell"},
                 {"items",
                  {{{"type", "position"},
                    {"name", "Товар"},
                    {"price", total},
                    {"quantity", 1},
                    {"amount", total},
                    {"tax", {{"type", "vat20"}}}}}},
                 {"payments", {{{"type", "cash"}, {"sum", total}}}}};
    if (!externalId.empty()) {
        sale["external_id"] = externalId;
    }
    return sale;
}

}  // namespace th::test
