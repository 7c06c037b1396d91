#pragma once
// An upload as plain data: who asked, the account as it stood when the job
// was made, the files with their names on the server, and how they are
// published. Settings confirmed while a job runs apply to the next one.

#include "settings/Settings.h"

#include <QString>

#include <vector>

enum class TUploadPurpose {
    Update,        // the website update's pictures
    StopPictures,  // the pictures that say the camera is off
    Motion,        // a picture taken on motion
};

struct TUploadFile {
    QString localPath;   // absolute: no job depends on the current folder
    QString remoteName;  // in the login folder
};

struct TUploadJob {
    TUploadPurpose purpose = TUploadPurpose::Update;
    settings::FtpAccount account;
    std::vector<TUploadFile> files;
    // Each file under a temporary name in the same folder, then renamed over
    // its real name, so that a visitor never loads half a picture.
    bool safe = true;
};
