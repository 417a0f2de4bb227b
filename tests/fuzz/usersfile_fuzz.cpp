// Fuzz target: the text of sited's users file through readUsers, as sited
// reads the file its site file names ([http] users_file) at its start and
// after --add-user or --remove-user. readUsers takes a path: each input is
// written to the same private file (mode 0600) of a temporary folder.
//
// Checked: a refused file gets a one-line error; in an accepted one every
// user has a valid name of its own, one of the roles and an argon2id hash;
// what writeUsers writes of them reads back as the same users.

#include "fuzzinput.h"

#include "tools/sited/history/httpauth.h"

#include <QFile>
#include <QSet>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>

namespace trklib::fuzz {
namespace {

using namespace trklib::sited::history;

struct Files
{
    QTemporaryDir dir{QStringLiteral("/tmp/trklib-fuzz-usersfile-XXXXXX")};
    QString input = dir.filePath(QStringLiteral("users"));
    QString written = dir.filePath(QStringLiteral("written"));
};

Files& files()
{
    static Files f;
    check(f.dir.isValid(), "a temporary folder for the users files");
    return f;
}

// The bytes as the file at path, readable and writable by its owner only.
void writePrivately(const QString& path, const std::uint8_t* data, std::size_t size)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    check(fd >= 0, "the users file can be written");
    for (std::size_t done = 0; done < size;) {
        const ssize_t n = ::write(fd, data + done, size - done);
        check(n > 0, "the users file takes the input");
        done += std::size_t(n);
    }
    ::close(fd);
}

bool sameUsers(const QVector<User>& a, const QVector<User>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].name != b[i].name || a[i].role != b[i].role || a[i].hash != b[i].hash)
            return false;
    }
    return true;
}

} // namespace
} // namespace trklib::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;

    const Files& f = files();
    writePrivately(f.input, data, size);
    QVector<User> users;
    QString error;
    if (!readUsers(f.input, users, error)) {
        check(!error.isEmpty(), "a refused users file says why");
        check(!error.contains(QLatin1Char('\n')), "a refused users file's error is one line");
        return 0;
    }
    QSet<QString> names;
    for (const User& u : qAsConst(users)) {
        check(isUserName(u.name), "every user has a valid name");
        check(!names.contains(u.name), "every user has a name of their own");
        names.insert(u.name);
        Role role = Role::Viewer;
        check(parseRole(QLatin1String(roleName(u.role)), role) && role == u.role,
              "every user has one of the roles");
        check(u.hash.startsWith("$argon2id$"), "every user's hash is argon2id's");
    }

    check(writeUsers(f.written, users, error), "the users can be written back");
    QVector<User> again;
    check(readUsers(f.written, again, error), "the users written back can be read");
    check(sameUsers(users, again), "the users written back read as the same users");
    return 0;
}
