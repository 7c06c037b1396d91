#include "upload/KnownHosts.h"

#include <QByteArrayView>
#include <QCryptographicHash>
#include <QList>
#include <QMessageAuthenticationCode>

namespace {

// The name a line holds for the host: "[host]:port" for another port than 22.
QByteArray LookupName(const QString& host, std::uint16_t port)
{
    const QByteArray name = host.trimmed().toLower().toUtf8();
    return port == 22 ? name : '[' + name + "]:" + QByteArray::number(port);
}

// "*" any run of characters, "?" any one; the brackets of "[host]:port" are plain.
bool Glob(QByteArrayView text, QByteArrayView pattern)
{
    qsizetype t = 0;
    qsizetype p = 0;
    qsizetype star = -1;
    qsizetype resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == text[t])) {
            ++t;
            ++p;
        } else if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// "|1|salt|hash": the name's HMAC-SHA1 keyed with the salt, both in base64.
bool HashedMatch(const QByteArray& field, const QByteArray& name)
{
    const QList<QByteArray> parts = field.split('|');
    if (parts.size() != 4 || !parts[0].isEmpty() || parts[1] != "1")
        return false;
    const QByteArray salt = QByteArray::fromBase64(parts[2]);
    return !salt.isEmpty() &&
           QMessageAuthenticationCode::hash(name, salt, QCryptographicHash::Sha1) == QByteArray::fromBase64(parts[3]);
}

// A comma-separated pattern list: a matching negated pattern rules the host out.
bool HostMatches(const QByteArray& field, const QByteArray& name)
{
    if (field.startsWith("|1|"))
        return HashedMatch(field, name);
    bool matched = false;
    for (const QByteArray& entry : field.toLower().split(',')) {
        if (entry.startsWith('!')) {
            if (Glob(name, QByteArrayView(entry).sliced(1)))
                return false;
        } else if (!entry.isEmpty() && Glob(name, entry)) {
            matched = true;
        }
    }
    return matched;
}

// The type a blob names in its first string.
QByteArray KeyType(const QByteArray& blob)
{
    if (blob.size() < 4)
        return {};
    std::uint32_t length = 0;
    for (int i = 0; i < 4; ++i)
        length = (length << 8) | static_cast<unsigned char>(blob[i]);
    return length <= static_cast<std::uint32_t>(blob.size() - 4) ? blob.mid(4, length) : QByteArray();
}

}  // namespace

QString HostKeyFingerprint(const QByteArray& keyBlob)
{
    const QByteArray hash = QCryptographicHash::hash(keyBlob, QCryptographicHash::Sha256);
    return QStringLiteral("SHA256:") + QString::fromLatin1(hash.toBase64(QByteArray::OmitTrailingEquals));
}

QString DescribeHostKey(const QByteArray& keyBlob)
{
    return QStringLiteral("%1 (%2)").arg(HostKeyFingerprint(keyBlob), QString::fromLatin1(KeyType(keyBlob)));
}

TKnownHostsVerdict CheckKnownHosts(const QByteArray& knownHosts, const QString& host, std::uint16_t port,
                                   const QByteArray& keyBlob)
{
    const QByteArray name = LookupName(host, port);
    bool known = false;
    bool revoked = false;
    QStringList others;
    for (const QByteArray& raw : knownHosts.split('\n')) {
        QList<QByteArray> fields = raw.simplified().split(' ');
        if (fields.first().isEmpty() || fields.first().startsWith('#'))
            continue;
        QByteArray marker;
        if (fields.first().startsWith('@'))
            marker = fields.takeFirst();
        if (fields.size() < 3 || !HostMatches(fields[0], name))
            continue;
        const QByteArray blob = QByteArray::fromBase64(fields[2]);
        if (blob.isEmpty())
            continue;
        if (marker == "@revoked") {
            revoked = revoked || blob == keyBlob;
        } else if (marker.isEmpty()) {
            if (blob == keyBlob)
                known = true;
            else
                others << DescribeHostKey(blob);
        }
        // @cert-authority lines vouch for certificates, which are not used here.
    }
    if (revoked)
        return {TKnownHostsVerdict::Revoked, {}};
    if (known)
        return {TKnownHostsVerdict::Known, {}};
    if (!others.isEmpty())
        return {TKnownHostsVerdict::Changed, others};
    return {};
}
