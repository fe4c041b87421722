#pragma once

#include <QDir>
#include <QString>

#include <gtest/gtest.h>

#include <filesystem>

namespace th::test {

// The process's current directory for one test (the updater program is looked for there
// first); the previous one comes back when the object goes.
class CurrentDirectory {
public:
    explicit CurrentDirectory(const std::filesystem::path& directory)
        : previous_(QDir::currentPath()) {
        EXPECT_TRUE(QDir::setCurrent(QString::fromStdString(directory.string())));
    }
    ~CurrentDirectory() { QDir::setCurrent(previous_); }
    CurrentDirectory(const CurrentDirectory&) = delete;
    CurrentDirectory& operator=(const CurrentDirectory&) = delete;

private:
    QString previous_;
};

}  // namespace th::test
