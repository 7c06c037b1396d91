#include "settings/Settings.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

using settings::MotionSettings;
using settings::TProgramSettings;

namespace {

MotionSettings Changed(void (*change)(MotionSettings&))
{
    MotionSettings m;
    change(m);
    return m;
}

TEST(MotionSettings, ReadFromTheMotionSectionOnlyAndOffWithoutIt)
{
    struct Case {
        const char* file;  // null: no file at all
        MotionSettings expected;
    };
    const Case cases[] = {
        {nullptr, MotionSettings{}},
        {"[FTP Settings]\r\nFTP_Host=h\r\n[Other Settings]\r\nFirstRun=0\r\n", MotionSettings{}},
        {"[motion]\r\nenabled=1\r\n", Changed([](MotionSettings& m) { m.enabled = true; })},
        // Out of range: clamped; malformed numbers: defaults; bad rectangles left out, the rest cut to the picture.
        {"[Motion]\r\nSensitivity=500\r\nMinArea=0\r\nQuietSeconds=x\r\nRecordSeconds=-4\r\n"
         "Mask=10,20,300,400;bad;0,0,0,5;900,900,500,500;1,2,3\r\n",
         Changed([](MotionSettings& m) {
             m.sensitivity = 100;
             m.minAreaPercent = 1;
             m.recordSeconds = 1;
             m.mask = {QRect(10, 20, 300, 400), QRect(900, 900, 100, 100)};
         })},
    };
    for (const Case& c : cases) {
        QTemporaryDir dir;
        const QString name = dir.filePath(QStringLiteral("Tarvo Lite.sif"));
        if (c.file) {
            QFile f(name);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(c.file);
        }
        EXPECT_EQ(TProgramSettings(name).ReadMotion(), c.expected) << (c.file ? c.file : "no file");
    }
}

TEST(MotionSettings, SavedBesideTheOtherSectionsAndReadBackUnchanged)
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("Tarvo Lite.sif"));
    TProgramSettings s(name);
    s.firstRun = false;
    s.SaveAtClose(QStringLiteral("7"), true, false);
    MotionSettings m;
    m.enabled = true;
    m.sensitivity = 1;
    m.minAreaPercent = 50;
    m.mask = {QRect(0, 875, 1000, 125), QRect(5, 6, 7, 8)};
    m.snapshot = false;
    m.snapshotJpeg = true;
    m.record = true;
    m.recordSeconds = 600;
    m.upload = true;
    m.quietSeconds = 3600;
    m.logMotion = true;
    m.outline = false;
    s.SaveMotion(m);

    TProgramSettings next(name);
    EXPECT_EQ(next.ReadMotion(), m);
    ASSERT_TRUE(next.Load());
    EXPECT_EQ(next.updateInterval, QStringLiteral("7"));
    EXPECT_FALSE(next.firstRun);
}

}  // namespace
