#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

namespace th::test {

// The libraries the build puts beside the tests.
inline constexpr const char* kEmulatorLibrary = TH_EMULATOR_LIBRARY;
inline constexpr const char* kStubLibrary = TH_STUB_LIBRARY;
inline constexpr const char* kIncompleteStubLibrary = TH_INCOMPLETE_STUB_LIBRARY;

// Sets an environment variable for one test and restores the former state afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) {
        if (const char* old = std::getenv(name)) {
            old_ = old;
            hadOld_ = true;
        }
        ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() {
        if (hadOld_) {
            ::setenv(name_, old_.c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    std::string old_;
    bool hadOld_ = false;
};

}  // namespace th::test
