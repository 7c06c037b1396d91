// known_hosts as OpenSSH reads it, against keys, fingerprints and hashed
// names that ssh-keygen made.
#include "tests/support/ssh_host_keys.h"
#include "upload/KnownHosts.h"

#include <gtest/gtest.h>

using namespace testsupport;

namespace {

QByteArray Blob(const char* key)
{
    return QByteArray::fromBase64(QByteArray(key).split(' ')[1]);
}

QByteArray Line(const char* hosts, const char* key, const char* marker = nullptr)
{
    return (marker ? QByteArray(marker) + ' ' : QByteArray()) + hosts + ' ' + key + " a comment\n";
}

}  // namespace

TEST(KnownHosts, HostKeyCases)
{
    using V = TKnownHostsVerdict;
    const struct {
        const char* row;
        QByteArray file;
        const char* host;
        std::uint16_t port;
        const char* key;  // the server's
        V::State state;
        QStringList known;
    } cases[] = {
        {"name at port 22", Line("webcam.example", kEd), "webcam.example", 22, kEd, V::Known, {}},
        {"capitals in the typed name", Line("webcam.example", kEd), " WebCam.Example ", 22, kEd, V::Known, {}},
        {"[host]:port", Line("[webcam.example]:2222", kEd), "webcam.example", 2222, kEd, V::Known, {}},
        {"a bare name is port 22 only", Line("webcam.example", kEd), "webcam.example", 2222, kEd, V::Unknown, {}},
        {"list, wildcards", Line("other.example,web?am.*", kEd), "webcam.example", 22, kEd, V::Known, {}},
        {"negated pattern", Line("*.example,!webcam.example", kEd), "webcam.example", 22, kEd, V::Unknown, {}},
        {"hashed [host]:port", Line(kHashedEd, kEd), "tarvo.example", 2222, kEd, V::Known, {}},
        {"hashed name, another port", Line(kHashedEd, kEd), "tarvo.example", 22, kEd, V::Unknown, {}},
        {"another key of the type", Line("webcam.example", kEd2), "webcam.example", 22, kEd, V::Changed,
         {QStringLiteral("%1 (ssh-ed25519)").arg(kEd2Print)}},
        {"another type only", Line("webcam.example", kEc), "webcam.example", 22, kEd, V::Changed,
         {QStringLiteral("%1 (ecdsa-sha2-nistp256)").arg(kEcPrint)}},
        {"another type, hashed", Line(kHashedEc, kEc), "webcam.example", 22, kEd, V::Changed,
         {QStringLiteral("%1 (ecdsa-sha2-nistp256)").arg(kEcPrint)}},
        {"the key among others", Line("webcam.example", kEc) + Line("webcam.example", kEd), "webcam.example", 22, kEd,
         V::Known, {}},
        {"revoked, also listed", Line("webcam.example", kEd) + Line("webcam.example", kEd, "@revoked"),
         "webcam.example", 22, kEd, V::Revoked, {}},
        {"revoked for every host", Line("*", kEd, "@revoked"), "webcam.example", 2222, kEd, V::Revoked, {}},
        {"another key revoked", Line("*", kEd2, "@revoked") + Line("webcam.example", kEd), "webcam.example", 22, kEd,
         V::Known, {}},
        {"comments, blanks, authorities",
         "# " + Line("webcam.example", kEd) + "\n   \n" + Line("webcam.example", kEd, "@cert-authority"),
         "webcam.example", 22, kEd, V::Unknown, {}},
    };
    for (const auto& c : cases) {
        const TKnownHostsVerdict v = CheckKnownHosts(c.file, QString::fromLatin1(c.host), c.port, Blob(c.key));
        EXPECT_EQ(v.state, c.state) << c.row;
        EXPECT_EQ(v.knownKeys, c.known) << c.row;
    }
    EXPECT_EQ(HostKeyFingerprint(Blob(kEd)), QLatin1String(kEdPrint));
    EXPECT_EQ(DescribeHostKey(Blob(kEc)), QStringLiteral("%1 (ecdsa-sha2-nistp256)").arg(kEcPrint));
}
