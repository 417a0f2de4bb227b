#pragma once

#include <QString>
#include <QVector>

#include <memory>

class QFileDevice;
class QIODevice;

namespace trklib::cli {

// "-" on a command line: standard output (or input).
bool isStandardStream(const QString& path);

// The C library's text for an errno value, starting in lower case, to end
// a message ("cannot write x: no space left on device").
QString systemReason(int errnoValue);

// A file that a command line names, and how to call it in a message: an
// option ("--output") or a positional argument ("the capture").
struct FileArgument
{
    QString name;
    QString path;
};

// Empty when every output is a file of its own; otherwise one line naming
// the two arguments that would write over a file the run still needs: an
// output that is one of the inputs, two outputs that are one file, or two
// outputs on standard output. Files that exist are the same when they have
// the same device and inode (symbolic links followed, so hard links, links
// and "dir/../file" count); a file yet to be made is known by its name in
// the canonical path of its folder. Inputs on standard input clash with
// nothing.
QString findSharedFile(const QVector<FileArgument>& inputs, const QVector<FileArgument>& outputs);

// An output that appears whole or not at all. A regular file (or a name
// that is not there yet) is written to a temporary file in its folder,
// which commit() renames into its place, through symbolic links: until
// then, and for ever if the run fails, the file stays as it was. Standard
// output ("-"), devices and pipes cannot be replaced and are written
// directly.
class OutputFile
{
public:
    OutputFile();
    // Discards a temporary file that was not committed.
    ~OutputFile();

    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    // False when the file cannot be written; errorString() says why in a
    // few words ("is a directory", "no directory 'out'"), without the path.
    bool open(const QString& path);
    bool isOpen() const;
    // "standard output" or the path, for messages.
    QString displayName() const;
    bool isStandardOutput() const { return isStandardStream(path_); }
    // Standard output, a device or a pipe: written as it goes, with nothing
    // to keep or to discard.
    bool writesDirectly() const;

    // Writes all bytes; after the first failure, nothing more, and false.
    bool write(const char* data, qint64 bytes);
    // Where to write, valid from open() to commit() or discard(), for
    // writers that need a device (a QTextStream).
    QIODevice* device() const;
    // The file descriptor under device(), for writers that need their own
    // stream on it (libpcap's). They flush it before commit().
    int handle() const;

    // Hands what is buffered to the file. False when anything written so
    // far did not reach it (a full disk) or write() failed; errorString()
    // says why.
    bool flush();
    // Flushes and, for a temporary file, puts it in the file's place. False
    // when anything written did not reach the file; a temporary file is
    // then removed and the file keeps its old contents.
    bool commit();
    // Removes the temporary file: the file keeps its old contents, or is
    // not made. Written data on a stream or device stays written.
    void discard();

    QString errorString() const { return error_; }

private:
    std::unique_ptr<QFileDevice> file_;
    QString path_;
    QString error_;
};

} // namespace trklib::cli
