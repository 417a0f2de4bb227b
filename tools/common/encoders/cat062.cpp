#include "tools/common/encoders/cat062.h"

namespace trklib::encoders::asterix {

namespace {

// Field reference numbers: the order of the category's items in a record
// (FRN 2 is spare).
enum Frn : int
{
    DataSourceFrn = 1,   // I062/010
    ServiceFrn = 3,      // I062/015
    TimeFrn = 4,         // I062/070
    Wgs84Frn = 5,        // I062/105
    CartesianFrn = 6,    // I062/100
    VelocityFrn = 7,     // I062/185
    TrackNumberFrn = 12, // I062/040
    TrackStatusFrn = 13, // I062/080
};

// I062/080, first octet: MON (bit 8) set for a monosensor track, CNF (bit
// 2) for a tentative one; FX (bit 1) when the first extension follows,
// whose TSE (bit 7) marks the track's last report. SPI, MRH and SRC stay 0:
// no special position indication, no altitude.
constexpr std::uint8_t monosensor = 0x80;
constexpr std::uint8_t tentative = 0x02;
constexpr std::uint8_t extended = 0x01;
constexpr std::uint8_t trackEnds = 0x40;

} // namespace

QByteArray cat062Record(const DataSource& source, const SiteTrackReport& o, ClampCounts& counts)
{
    RecordWriter w(counts);
    w.item(DataSourceFrn);
    w.byte(source.sac);
    w.byte(source.sic);
    w.item(ServiceFrn);
    w.byte(siteService);
    w.item(TimeFrn);
    w.field(FieldId::Cat062TimeOfDay, secondsOfDay(o.timeMs));
    if (o.position) {
        w.item(Wgs84Frn);
        w.field(FieldId::Cat062Latitude, o.position->latitudeDeg);
        w.field(FieldId::Cat062Longitude, o.position->longitudeDeg);
    }
    w.item(CartesianFrn);
    w.field(FieldId::Cat062X, o.xM);
    w.field(FieldId::Cat062Y, o.yM);
    w.item(VelocityFrn);
    w.field(FieldId::Cat062Vx, o.vxMps);
    w.field(FieldId::Cat062Vy, o.vyMps);
    w.item(TrackNumberFrn);
    w.field(FieldId::Cat062TrackNumber, double(o.id));
    w.item(TrackStatusFrn);
    w.byte((o.monosensor ? monosensor : 0) | (o.confirmed ? 0 : tentative) |
           (o.ended ? extended : 0));
    if (o.ended)
        w.byte(trackEnds);
    return w.record();
}

QVector<QByteArray> cat062Datagrams(const DataSource& source,
                                    const QVector<SiteTrackReport>& objects, ClampCounts& counts)
{
    QVector<QByteArray> records;
    records.reserve(objects.size());
    for (const SiteTrackReport& o : objects)
        records.append(cat062Record(source, o, counts));
    return dataBlocks(cat062, records);
}

} // namespace trklib::encoders::asterix
