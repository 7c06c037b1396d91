#pragma once
// The index page of several cameras that upload to one server, each into a
// remote folder of its own: one picture per camera, stored in the folder the
// login starts in. Filled in from the shipped template "tarvolt-index.html".

#include <QString>

#include <vector>

struct TIndexCamera {
    QString name;          // as the profile is called
    QString remoteFolder;  // its account's remote folder; empty for the login folder
};

// The template's name in "Server", and the page's on the server.
extern const QString kCameraIndexName;

// Whether the index is worth offering: more than one camera.
inline bool CameraIndexOffered(const std::vector<TIndexCamera>& cameras) { return cameras.size() > 1; }

// The template with one figure per camera in place of its "<!--cameras-->"
// line: the name as text, the pictures addressed from the login folder.
QString CameraIndexPage(const QString& templateText, const std::vector<TIndexCamera>& cameras);
