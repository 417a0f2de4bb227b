#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>

// Who may use sited's HTTP API: the users file ([http] users_file) with
// each user's role and password hash, the sessions of the users logged in
// (in memory only: they end when sited stops), and the wait a name is made
// to keep after wrong passwords.
namespace trklib::sited::history {

// Each role may do what the ones before it may.
enum class Role
{
    Viewer = 1,   // the picture, zones, events and history
    Operator = 2, // and the handling of alarms
    Admin = 3,    // and the users, the login records and the zones' editing
};

const char* roleName(Role role);
bool parseRole(const QString& text, Role& role);
inline bool allows(Role held, Role needed)
{
    return int(held) >= int(needed);
}

struct User
{
    QString name;
    Role role = Role::Viewer;
    QByteArray hash; // crypto_pwhash_str's, argon2id
};

// 1 to 64 letters, digits, '.', '_', '-' and '@'.
bool isUserName(const QString& name);

// The users file: one user a line, "NAME ROLE HASH"; blank lines and lines
// starting with '#' are skipped. Refused when group or others may read or
// write it. False with one line naming the file (and the line).
bool readUsers(const QString& path, QVector<User>& users, QString& error);
// Writes users to a new file beside path (mode 0600, the old file's owner
// where that may be kept), synced, then renamed over path: on any failure
// path is as it was.
bool writeUsers(const QString& path, const QVector<User>& users, QString& error);

// The password hashed by argon2id at libsodium's interactive limits; false
// when the hash's memory cannot be had.
bool hashPassword(const QByteArray& password, QByteArray& hash);
bool passwordMatches(const QByteArray& hash, const QByteArray& password);

// Wrong passwords for a name before it must wait; then the wait doubles
// from the first, up to the longest.
constexpr int freeFailures = 5;
constexpr std::int64_t firstWaitMs = 1000;
constexpr std::int64_t longestWaitMs = 5 * 60 * 1000;
// Names whose failures are remembered; past it, those not waiting now are
// forgotten.
constexpr std::size_t trackedNames = 10000;
// The session cookie: 32 random bytes as hex.
constexpr int sessionTokenBytes = 32;
constexpr const char* sessionCookie = "trklib_session";

// The users and their sessions; safe to use from the server's threads.
class Logins
{
public:
    // ms since the epoch; the system's clock unless the tests give one.
    using Clock = std::function<std::int64_t()>;

    Logins(QVector<User> users, int sessionHours, Clock clock = Clock());

    struct Attempt
    {
        enum class Result
        {
            LoggedIn,
            Wrong, // no such name or a wrong password: the caller cannot tell
            Wait,  // too many wrong passwords for the name lately
        };
        Result result = Result::Wrong;
        QByteArray token; // LoggedIn: the session's cookie value
        Role role = Role::Viewer;
        std::int64_t expiresMs = 0;
        int retryAfterS = 0; // Wait: seconds, at least 1
    };
    Attempt login(const QString& name, const QByteArray& password);

    struct Session
    {
        QString name;
        Role role = Role::Viewer;
        std::int64_t expiresMs = 0;
    };
    // The session of a cookie's value; none when unknown or expired.
    std::optional<Session> session(const QByteArray& token);
    // Ends the session; its user's name when there was one.
    std::optional<QString> logout(const QByteArray& token);

    const QVector<User>& users() const { return users_; }
    std::int64_t now() const { return clock_(); }
    std::int64_t sessionMs() const { return sessionMs_; }

private:
    struct Failures
    {
        int count = 0;
        std::int64_t waitUntilMs = 0;
    };

    void failed(const QString& name, std::int64_t nowMs);

    const QVector<User> users_;
    const std::int64_t sessionMs_;
    const Clock clock_;
    QByteArray unknownHash_; // checked for an unknown name, to take as long
    std::mutex mutex_;
    std::mutex hashing_; // one password at a time: each takes 64 MiB
    std::map<QString, Failures> failures_;
    std::map<QByteArray, Session> sessions_; // by the token's hash, not the token
};

} // namespace trklib::sited::history
