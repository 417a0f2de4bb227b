#pragma once

#include "tools/sited/fusion/picture.h"

#include "tools/common/site/siteconfig.h"

#include <QByteArray>
#include <QHash>
#include <QString>

// trackd's tracks messages, as sited takes them from the broker: each
// checked as the message schema (docs/schemas/trklib-tracks.schema.json)
// describes it before fusion sees it.
namespace trklib::sited::link {

class TracksReader
{
public:
    enum class Verdict
    {
        Report,       // a radar of the site: report holds its targets
        OwnPicture,   // the site's own picture, on the radars' topic level "site"
        UnknownRadar, // a radar the site file does not name
        Bad           // not a tracks message of this site; why says what is wrong
    };

    explicit TracksReader(const site::SiteConfig& config);

    // topic: "<prefix>/<site>/<radar>/tracks". The radar is the topic's;
    // the message must name it and the site too. Never throws, whatever
    // the payload.
    Verdict read(const QByteArray& topic, const QByteArray& payload, TracksReport& report,
                 QString& why) const;

    // "<prefix>/<site>/+/tracks": every radar's tracks.
    QByteArray subscription() const;

private:
    QString site_;
    QByteArray topicStart_; // "<prefix>/<site>/"
    QHash<QString, int> radars_;
};

} // namespace trklib::sited::link
