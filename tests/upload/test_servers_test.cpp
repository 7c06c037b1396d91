// The test servers on a machine that lacks one of their Python modules: they
// name the Debian package and scripts/setup instead of a traceback.

#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

TEST(TestServers, NameTheMissingPackage)
{
    struct Case {
        const char* script;
        const char* module;
        const char* package;
    };
    const Case cases[] = {
        {"ftp_real_server.py", "pyftpdlib", "python3-pyftpdlib"},
        {"sftp_server.py", "asyncssh", "python3-asyncssh"},
        {"sftp_server.py", "bcrypt", "python3-bcrypt"},
        {"tls_certs.py", "cryptography", "python3-cryptography"},
    };
    for (const Case& c : cases) {
        // A module of that name earlier on the path that fails to import
        // stands for the missing package.
        QTemporaryDir hiding;
        ASSERT_TRUE(hiding.isValid());
        QFile stub(hiding.filePath(QString::fromLatin1(c.module) + QStringLiteral(".py")));
        ASSERT_TRUE(stub.open(QIODevice::WriteOnly));
        stub.write("raise ImportError('hidden by the test')\n");
        stub.close();

        QProcess server;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("PYTHONPATH"), hiding.path());
        server.setProcessEnvironment(env);
        server.start(QStringLiteral("/usr/bin/python3"),
                     {QStringLiteral(TARVO_SOURCE_DIR "/tests/support/") + QString::fromLatin1(c.script),
                      hiding.path()});
        ASSERT_TRUE(server.waitForFinished(30000)) << c.script;
        const QString said = QString::fromLocal8Bit(server.readAllStandardError());
        EXPECT_NE(server.exitCode(), 0) << c.script;
        EXPECT_TRUE(said.contains(QString::fromLatin1(c.package)) && said.contains(QStringLiteral("scripts/setup")))
            << c.script << " without " << c.module << ": " << said.toStdString();
        EXPECT_FALSE(said.contains(QStringLiteral("Traceback"))) << said.toStdString();
    }
}

}  // namespace
