#include "tools/common/cli/outputfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace trklib::cli {

namespace {

// As many links as the kernel follows in one path (Linux's MAXSYMLINKS).
constexpr int maxLinkHops = 40;

// What writing to path would write to: the path after its chain of
// symbolic links, as QSaveFile follows them, even to a target that is not
// there yet.
QString followLinks(const QString& path)
{
    QString target = path;
    for (int hop = 0; hop < maxLinkHops && QFileInfo(target).isSymLink(); ++hop)
        target = QFileInfo(target).symLinkTarget();
    return target;
}

// The file behind a path, for telling whether two paths are one file.
struct FileIdentity
{
    enum class Kind
    {
        StandardStream,
        Existing,   // device and inode
        NotYetThere // name in its canonical folder
    };
    Kind kind = Kind::StandardStream;
    dev_t device = 0;
    ino_t inode = 0;
    QString name;

    bool operator==(const FileIdentity& other) const
    {
        return kind == other.kind && device == other.device && inode == other.inode &&
               name == other.name;
    }
};

FileIdentity identify(const QString& path)
{
    FileIdentity identity;
    if (isStandardStream(path))
        return identity;
    struct stat status = {};
    if (::stat(QFile::encodeName(path).constData(), &status) == 0) {
        identity.kind = FileIdentity::Kind::Existing;
        identity.device = status.st_dev;
        identity.inode = status.st_ino;
        return identity;
    }
    const QFileInfo target(followLinks(path));
    const QString folder = QFileInfo(target.absolutePath()).canonicalFilePath();
    identity.kind = FileIdentity::Kind::NotYetThere;
    identity.name = folder.isEmpty() ? QDir::cleanPath(target.absoluteFilePath())
                                     : QDir(folder).filePath(target.fileName());
    return identity;
}

QString describeClash(const FileArgument& first, const FileArgument& second)
{
    if (isStandardStream(first.path))
        return QStringLiteral("%1 and %2 both write to standard output")
            .arg(first.name, second.name);
    if (first.path == second.path)
        return QStringLiteral("%1 and %2 name the same file '%3'")
            .arg(first.name, second.name, first.path);
    return QStringLiteral("%1 '%2' and %3 '%4' are the same file")
        .arg(first.name, first.path, second.name, second.path);
}

// Qt and the C library start their reasons with a capital; our messages
// go on after a colon. Qt forgets the reason of a failed write once a later
// call succeeds.
QString reason(QString text)
{
    if (text.isEmpty() || text == QLatin1String("Unknown error"))
        return QStringLiteral("write error");
    text[0] = text[0].toLower();
    return text;
}

} // namespace

QString systemReason(int errnoValue)
{
    return reason(QString::fromLocal8Bit(std::strerror(errnoValue)));
}

bool isStandardStream(const QString& path)
{
    return path == QLatin1String("-");
}

QString findSharedFile(const QVector<FileArgument>& inputs, const QVector<FileArgument>& outputs)
{
    QVector<FileIdentity> written;
    for (const FileArgument& output : outputs) {
        const FileIdentity identity = identify(output.path);
        for (const FileArgument& input : inputs) {
            if (!isStandardStream(input.path) && identify(input.path) == identity)
                return describeClash(output, input);
        }
        const int earlier = written.indexOf(identity);
        if (earlier >= 0)
            return describeClash(outputs[earlier], output);
        written.append(identity);
    }
    return {};
}

OutputFile::OutputFile() = default;

OutputFile::~OutputFile() = default;

bool OutputFile::open(const QString& path)
{
    discard();
    path_ = path;
    error_.clear();

    if (isStandardStream(path)) {
        auto out = std::make_unique<QFile>();
        if (!out->open(STDOUT_FILENO, QIODevice::WriteOnly, QFileDevice::DontCloseHandle)) {
            error_ = reason(out->errorString());
            return false;
        }
        file_ = std::move(out);
        return true;
    }

    const QByteArray encoded = QFile::encodeName(path);
    struct stat status = {};
    if (::stat(encoded.constData(), &status) == 0) {
        if (S_ISDIR(status.st_mode)) {
            error_ = QStringLiteral("is a directory");
            return false;
        }
        if (!S_ISREG(status.st_mode)) {
            // A device or a pipe: renaming a file onto it would replace the
            // device node, and there is nothing to keep anyway.
            auto direct = std::make_unique<QFile>(path);
            if (!direct->open(QIODevice::WriteOnly)) {
                error_ = reason(direct->errorString());
                return false;
            }
            file_ = std::move(direct);
            return true;
        }
        if (::access(encoded.constData(), W_OK) != 0) {
            error_ = QStringLiteral("file is not writable");
            return false;
        }
    } else if (errno != ENOENT) {
        error_ = systemReason(errno); // a loop of links, a folder without access, ...
        return false;
    } else {
        const QString folder = QFileInfo(followLinks(path)).path();
        if (!QFileInfo(folder).isDir()) {
            error_ = QStringLiteral("no directory '%1'").arg(folder);
            return false;
        }
    }

    auto save = std::make_unique<QSaveFile>(path);
    if (!save->open(QIODevice::WriteOnly)) {
        error_ = QStringLiteral("cannot create a file in '%1': %2")
                     .arg(QFileInfo(followLinks(path)).path(), reason(save->errorString()));
        return false;
    }
    file_ = std::move(save);
    return true;
}

bool OutputFile::isOpen() const
{
    return file_ != nullptr;
}

QString OutputFile::displayName() const
{
    return isStandardOutput() ? QStringLiteral("standard output") : path_;
}

bool OutputFile::writesDirectly() const
{
    return file_ && !qobject_cast<QSaveFile*>(file_.get());
}

QIODevice* OutputFile::device() const
{
    return file_.get();
}

int OutputFile::handle() const
{
    return file_ ? file_->handle() : -1;
}

bool OutputFile::write(const char* data, qint64 bytes)
{
    if (!file_ || !error_.isEmpty())
        return false;
    // Qt forgets why a write failed once a later one succeeds: keep the
    // first reason.
    if (file_->write(data, bytes) == bytes)
        return true;
    error_ = reason(file_->errorString());
    return false;
}

bool OutputFile::flush()
{
    if (!file_ || !error_.isEmpty())
        return error_.isEmpty();
    if (file_->flush() && file_->error() == QFileDevice::NoError)
        return true;
    error_ = reason(file_->errorString());
    return false;
}

bool OutputFile::commit()
{
    // QSaveFile::commit() renames even when the last flush of its buffer
    // fails: flush first, and keep the old file when that fails.
    if (!flush()) {
        discard();
        return false;
    }
    if (!file_)
        return true;
    bool committed = true;
    if (auto* save = qobject_cast<QSaveFile*>(file_.get()))
        committed = save->commit();
    else
        file_->close();
    if (!committed)
        error_ = reason(file_->errorString());
    file_.reset();
    return committed;
}

void OutputFile::discard()
{
    // QSaveFile removes its temporary file when destroyed uncommitted.
    file_.reset();
}

} // namespace trklib::cli
