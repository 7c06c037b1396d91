#pragma once
// TURL: a non-visual component that opens a web address of a given type with
// the desktop shell.

#include <QObject>
#include <QString>

#include <cstdint>

// The maker's web host (behind "Tarvo on the Web") and full address (About box).
inline constexpr char kMakerWebHost[] = "www.kelna.example";
inline constexpr char kMakerWebAddress[] = "http://www.kelna.example";

enum TURLType { utFile, utFtp, utGopher, utHttp, utHttps, utMailto, utNews, utTelnet, utWais };

// Shell open with the default verb, parented to the application's main window.
// Targets are handed over whole: a long address is never cut short.
std::intptr_t ShellOpen(const QString& target, const QString& parameters, const QString& folder,
                        int showMode);

class TURL : public QObject
{
    Q_OBJECT

public:
    explicit TURL(QObject* owner = nullptr);

    const QString& URL() const { return url_; }
    void SetURL(const QString& value) { url_ = value; }
    TURLType URLType() const { return urlType_; }
    void SetURLType(TURLType value) { urlType_ = value; }

    // The text put before the address for a type ("http://", "mailto:", ...).
    static QString Prefix(TURLType type);

    // Opens prefix + URL; false when URL is empty or the shell failed.
    bool Execute();

private:
    QString url_;
    TURLType urlType_ = utHttp;
};
