#include "tools/sited/history/httpauth.h"

#include "tools/common/site/siteconfig.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sodium.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trklib::sited::history {

namespace {

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

QString systemError()
{
    return QString::fromLocal8Bit(std::strerror(errno));
}

// The key a session is kept under: a hash of its token, so that finding
// one takes no time that depends on the token's bytes.
QByteArray tokenKey(const QByteArray& token)
{
    QByteArray key(crypto_generichash_BYTES, '\0');
    crypto_generichash(reinterpret_cast<unsigned char*>(key.data()), std::size_t(key.size()),
                       reinterpret_cast<const unsigned char*>(token.constData()),
                       std::size_t(token.size()), nullptr, 0);
    return key;
}

std::int64_t systemMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool writeAll(int fd, const QByteArray& data)
{
    for (qsizetype done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + done, std::size_t(data.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += n;
    }
    return true;
}

} // namespace

const char* roleName(Role role)
{
    switch (role) {
    case Role::Viewer:
        return "viewer";
    case Role::Operator:
        return "operator";
    case Role::Admin:
        return "admin";
    }
    return "";
}

bool parseRole(const QString& text, Role& role)
{
    for (Role r : {Role::Viewer, Role::Operator, Role::Admin}) {
        if (text == QLatin1String(roleName(r))) {
            role = r;
            return true;
        }
    }
    return false;
}

bool isUserName(const QString& name)
{
    static const QRegularExpression form(QStringLiteral("\\A[A-Za-z0-9._@-]{1,64}\\z"));
    return form.match(name).hasMatch();
}

bool readUsers(const QString& path, QVector<User>& users, QString& error)
{
    users.clear();
    const QString problem = site::privateFileProblem(path);
    if (!problem.isEmpty()) {
        error = QStringLiteral("users file %1").arg(problem);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("users file %1: %2").arg(path, file.errorString());
        return false;
    }
    int line = 0;
    while (!file.atEnd()) {
        ++line;
        const QString text = QString::fromUtf8(file.readLine()).trimmed();
        if (text.isEmpty() || text.startsWith(QLatin1Char('#')))
            continue;
        const QStringList fields = text.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        User user;
        const auto fail = [&](const QString& why) {
            error = QStringLiteral("users file %1:%2: %3").arg(path).arg(line).arg(why);
            return false;
        };
        if (fields.size() != 3)
            return fail(QStringLiteral("not NAME ROLE HASH"));
        user.name = fields[0];
        if (!isUserName(user.name))
            return fail(QStringLiteral("'%1' is not a user name").arg(user.name.left(64)));
        if (!parseRole(fields[1], user.role))
            return fail(QStringLiteral("'%1' is none of viewer, operator, admin").arg(fields[1]));
        // A hash of libsodium's is printable ASCII; anything else could
        // not be written back as it was read.
        const QString& hash = fields[2];
        if (!hash.startsWith(QLatin1String("$argon2id$")) ||
            std::any_of(hash.begin(), hash.end(),
                        [](QChar c) { return c.unicode() < 0x21 || c.unicode() > 0x7e; }))
            return fail(QStringLiteral("the hash is not argon2id's"));
        user.hash = hash.toLatin1();
        if (std::any_of(users.begin(), users.end(),
                        [&](const User& u) { return u.name == user.name; }))
            return fail(QStringLiteral("user %1 given twice").arg(user.name));
        users.append(user);
    }
    return true;
}

bool writeUsers(const QString& path, const QVector<User>& users, QString& error)
{
    QByteArray text = "# sited's users: NAME ROLE HASH (written by sited --add-user and "
                      "--remove-user)\n";
    for (const User& u : users)
        text.append(u.name.toUtf8())
            .append(' ')
            .append(roleName(u.role))
            .append(' ')
            .append(u.hash)
            .append('\n');
    const QByteArray target = QFile::encodeName(path);
    const QByteArray temporary = target + ".new";
    ::unlink(temporary.constData()); // one left by a write that was cut short
    const int fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error =
            QStringLiteral("cannot write %1: %2").arg(QFile::decodeName(temporary), systemError());
        return false;
    }
    struct stat old
    {
    };
    if (::stat(target.constData(), &old) == 0 && ::fchown(fd, old.st_uid, old.st_gid) != 0) {
        // Not root: the file stays the writer's own.
    }
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const QString why = systemError();
    if (::close(fd) != 0 || !written || ::rename(temporary.constData(), target.constData()) != 0) {
        error = QStringLiteral("cannot write %1: %2").arg(path, written ? systemError() : why);
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

bool hashPassword(const QByteArray& password, QByteArray& hash)
{
    char out[crypto_pwhash_STRBYTES];
    if (!sodiumReady() || crypto_pwhash_str(out, password.constData(), std::size_t(password.size()),
                                            crypto_pwhash_OPSLIMIT_INTERACTIVE,
                                            crypto_pwhash_MEMLIMIT_INTERACTIVE) != 0)
        return false;
    hash = QByteArray(out);
    return true;
}

bool passwordMatches(const QByteArray& hash, const QByteArray& password)
{
    return sodiumReady() && crypto_pwhash_str_verify(hash.constData(), password.constData(),
                                                     std::size_t(password.size())) == 0;
}

Logins::Logins(QVector<User> users, int sessionHours, Clock clock)
    : users_(std::move(users)), sessionMs_(std::int64_t(sessionHours) * 3600 * 1000),
      clock_(clock ? std::move(clock) : Clock(systemMs))
{
    hashPassword(QByteArrayLiteral("no such user"), unknownHash_);
}

void Logins::failed(const QString& name, std::int64_t nowMs)
{
    if (failures_.size() >= trackedNames) {
        for (auto it = failures_.begin(); it != failures_.end();)
            it = it->second.waitUntilMs <= nowMs ? failures_.erase(it) : std::next(it);
    }
    Failures& f = failures_[name];
    ++f.count;
    if (f.count >= freeFailures) {
        const int doublings = std::min(f.count - freeFailures, 20);
        f.waitUntilMs = nowMs + std::min(firstWaitMs << doublings, longestWaitMs);
    }
}

Logins::Attempt Logins::login(const QString& name, const QByteArray& password)
{
    Attempt attempt;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const std::int64_t nowMs = now();
        const auto f = failures_.find(name);
        if (f != failures_.end() && nowMs < f->second.waitUntilMs) {
            attempt.result = Attempt::Result::Wait;
            attempt.retryAfterS = int((f->second.waitUntilMs - nowMs + 999) / 1000);
            return attempt;
        }
    }
    const auto user =
        std::find_if(users_.begin(), users_.end(), [&](const User& u) { return u.name == name; });
    bool matches = false;
    {
        const std::lock_guard<std::mutex> lock(hashing_);
        // An unknown name costs as much as a known one.
        matches = passwordMatches(user != users_.end() ? user->hash : unknownHash_, password) &&
                  user != users_.end();
    }
    const std::lock_guard<std::mutex> lock(mutex_);
    const std::int64_t nowMs = now();
    if (!matches) {
        failed(name, nowMs);
        return attempt;
    }
    failures_.erase(name);
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = it->second.expiresMs <= nowMs ? sessions_.erase(it) : std::next(it);
    unsigned char random[sessionTokenBytes];
    randombytes_buf(random, sizeof random);
    char hex[2 * sessionTokenBytes + 1];
    sodium_bin2hex(hex, sizeof hex, random, sizeof random);
    attempt.result = Attempt::Result::LoggedIn;
    attempt.token = QByteArray(hex);
    attempt.role = user->role;
    attempt.expiresMs = nowMs + sessionMs_;
    sessions_[tokenKey(attempt.token)] = {user->name, user->role, attempt.expiresMs};
    return attempt;
}

std::optional<Logins::Session> Logins::session(const QByteArray& token)
{
    if (token.size() != 2 * sessionTokenBytes)
        return std::nullopt;
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(tokenKey(token));
    if (it == sessions_.end())
        return std::nullopt;
    if (now() >= it->second.expiresMs) {
        sessions_.erase(it);
        return std::nullopt;
    }
    return it->second;
}

std::optional<QString> Logins::logout(const QByteArray& token)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto it = sessions_.find(tokenKey(token));
    if (it == sessions_.end())
        return std::nullopt;
    const QString name = it->second.name;
    sessions_.erase(it);
    return name;
}

} // namespace trklib::sited::history
