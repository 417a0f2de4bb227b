#include "tools/common/encoders/cat010.h"

namespace trklib::encoders::asterix {

namespace {

// Field reference numbers: the order of the category's items in a record.
enum Frn : int
{
    DataSourceFrn = 1,   // I010/010
    MessageTypeFrn = 2,  // I010/000
    DescriptorFrn = 3,   // I010/020
    TimeOfDayFrn = 4,    // I010/140
    Wgs84Frn = 5,        // I010/041
    PolarFrn = 6,        // I010/040
    CartesianFrn = 7,    // I010/042
    TrackNumberFrn = 10, // I010/161
    TrackStatusFrn = 11, // I010/170
};

// I010/000: a target report.
constexpr std::uint8_t targetReport = 1;
// I010/020: TYP 011 (a primary surveillance radar) in bits 8-6; no
// extension.
constexpr std::uint8_t primaryRadar = 0x60;
// I010/170: CNF (bit 8) set while the track is being initialised.
constexpr std::uint8_t tentative = 0x80;

} // namespace

QByteArray cat010Record(const DataSource& source, const RadarTargetReport& t, ClampCounts& counts)
{
    RecordWriter w(counts);
    w.item(DataSourceFrn);
    w.byte(source.sac);
    w.byte(source.sic);
    w.item(MessageTypeFrn);
    w.byte(targetReport);
    w.item(DescriptorFrn);
    w.byte(primaryRadar);
    w.item(TimeOfDayFrn);
    w.field(FieldId::Cat010TimeOfDay, secondsOfDay(t.receivedMs));
    if (t.position) {
        w.item(Wgs84Frn);
        w.field(FieldId::Cat010Latitude, t.position->latitudeDeg);
        w.field(FieldId::Cat010Longitude, t.position->longitudeDeg);
    }
    w.item(PolarFrn);
    w.field(FieldId::Cat010Rho, t.groundRangeM);
    w.field(FieldId::Cat010Theta, t.bearingDeg);
    w.item(CartesianFrn);
    w.field(FieldId::Cat010X, t.eastM);
    w.field(FieldId::Cat010Y, t.northM);
    w.item(TrackNumberFrn);
    w.field(FieldId::Cat010TrackNumber, t.number);
    w.item(TrackStatusFrn);
    w.byte(t.confirmed ? 0 : tentative);
    return w.record();
}

QVector<QByteArray> cat010Datagrams(const DataSource& source,
                                    const QVector<RadarTargetReport>& targets, ClampCounts& counts)
{
    QVector<QByteArray> records;
    records.reserve(targets.size());
    for (const RadarTargetReport& t : targets)
        records.append(cat010Record(source, t, counts));
    return dataBlocks(cat010, records);
}

} // namespace trklib::encoders::asterix
