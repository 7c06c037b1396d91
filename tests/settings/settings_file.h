#pragma once
// A program settings file in a temporary folder for the settings tests.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

namespace settingstest {

// The path of "Tarvo Lite.sif" in dir, holding text; no file for null.
inline QString WriteSettings(const QTemporaryDir& dir, const char* text)
{
    const QString name = dir.filePath(QStringLiteral("Tarvo Lite.sif"));
    if (text) {
        QFile f(name);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    return name;
}

}  // namespace settingstest
