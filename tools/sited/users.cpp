#include "tools/sited/users.h"

#include "tools/sited/history/httpauth.h"

#include <QFileInfo>

#include <sodium.h>

#include <termios.h>
#include <unistd.h>

namespace trklib::sited {

namespace {

using history::Role;
using history::User;

constexpr int exitFailure = 1;
constexpr int exitUsage = 2;
constexpr int minPasswordChars = 8;
constexpr int maxPasswordBytes = 1024;

// One line of in, its end taken off; false at the end of the input.
bool readLine(std::FILE* in, QByteArray& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') {
        if (line.size() <= maxPasswordBytes)
            line.append(char(c));
    }
    if (line.endsWith('\r'))
        line.chop(1);
    return c != EOF || !line.isEmpty();
}

// A line of the terminal, not shown as typed.
bool readHidden(std::FILE* in, const char* prompt, QByteArray& line)
{
    const int fd = ::fileno(in);
    termios saved{};
    ::tcgetattr(fd, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    std::fputs(prompt, stderr);
    std::fflush(stderr);
    ::tcsetattr(fd, TCSANOW, &quiet);
    const bool read = readLine(in, line);
    ::tcsetattr(fd, TCSANOW, &saved);
    return read;
}

int fail(int code, const QString& why)
{
    std::fprintf(stderr, "sited: %s\n", qUtf8Printable(why));
    return code;
}

} // namespace

bool readPassword(std::FILE* in, const QString& name, QByteArray& password, QString& error)
{
    const bool terminal = ::isatty(::fileno(in));
    bool read = false;
    if (terminal) {
        QByteArray again;
        read =
            readHidden(in, qPrintable(QStringLiteral("Password for %1: ").arg(name)), password) &&
            readHidden(in, "The password again: ", again);
        if (read && password != again) {
            error = QStringLiteral("the passwords differ; nothing changed");
            sodium_memzero(again.data(), std::size_t(again.size()));
            return false;
        }
        sodium_memzero(again.data(), std::size_t(again.size()));
    } else {
        read = readLine(in, password);
    }
    if (!read) {
        error = QStringLiteral("no password given; nothing changed");
        return false;
    }
    if (password.size() > maxPasswordBytes) {
        error = QStringLiteral("the password is longer than %1 bytes").arg(maxPasswordBytes);
        return false;
    }
    if (QString::fromUtf8(password).size() < minPasswordChars) {
        error = QStringLiteral("the password is shorter than %1 characters").arg(minPasswordChars);
        return false;
    }
    return true;
}

int runUserCommand(const Options& options, const site::SiteConfig& site)
{
    const QString& path = site.http.usersFile;
    if (path.isEmpty())
        return fail(exitUsage, QStringLiteral("%1: [http] users_file: not given; name the users "
                                              "file there first")
                                   .arg(options.config));
    if (!history::isUserName(options.userName))
        return fail(exitUsage, QStringLiteral("'%1' is not a user name: 1 to 64 letters, digits, "
                                              "'.', '_', '-', '@'")
                                   .arg(options.userName));
    Role role = Role::Viewer;
    if (options.mode == Options::Mode::AddUser && !history::parseRole(options.userRole, role))
        return fail(
            exitUsage,
            QStringLiteral("'%1' is none of viewer, operator, admin").arg(options.userRole));
    QVector<User> users;
    QString error;
    if (QFileInfo::exists(path) && !history::readUsers(path, users, error))
        return fail(exitFailure, error);
    const auto it = std::find_if(users.begin(), users.end(),
                                 [&](const User& u) { return u.name == options.userName; });
    const char* done = "removed";
    if (options.mode == Options::Mode::RemoveUser) {
        if (it == users.end())
            return fail(exitFailure, QStringLiteral("%1: no user %2").arg(path, options.userName));
        users.erase(it);
    } else {
        QByteArray password;
        const bool read = readPassword(stdin, options.userName, password, error);
        User user{options.userName, role, {}};
        const bool hashed = read && history::hashPassword(password, user.hash);
        sodium_memzero(password.data(), std::size_t(password.size()));
        if (!read)
            return fail(exitUsage, error);
        if (!hashed)
            return fail(exitFailure, QStringLiteral("cannot hash the password (out of memory)"));
        done = it == users.end() ? "added" : "changed";
        if (it == users.end())
            users.append(user);
        else
            *it = user;
    }
    if (!history::writeUsers(path, users, error))
        return fail(exitFailure, error);
    std::fprintf(stderr, "sited: %s: user %s %s%s\n", qUtf8Printable(path),
                 qUtf8Printable(options.userName), done,
                 options.mode == Options::Mode::AddUser
                     ? qPrintable(QStringLiteral(" as %1").arg(options.userRole))
                     : "");
    return 0;
}

} // namespace trklib::sited
