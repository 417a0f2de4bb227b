#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace trklib::test {

// Collects every Qt message (qDebug, qWarning, ...) emitted while it lives,
// instead of letting Qt print it. The library must stay silent, so tests
// expect messages() to be empty. One instance at a time; not thread-safe.
class QtMessageCatcher
{
public:
    QtMessageCatcher() : previous_(qInstallMessageHandler(&QtMessageCatcher::collect))
    {
        caught() = QStringList();
    }
    ~QtMessageCatcher() { qInstallMessageHandler(previous_); }

    QtMessageCatcher(const QtMessageCatcher&) = delete;
    QtMessageCatcher& operator=(const QtMessageCatcher&) = delete;

    QStringList messages() const { return caught(); }

private:
    static QStringList& caught()
    {
        static QStringList messages;
        return messages;
    }
    static void collect(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        caught().append(message);
    }

    QtMessageHandler previous_;
};

} // namespace trklib::test
