// Fuzz target: the bytes of a minute's block of pictures through
// readBlock, as the zones' preview reads them back from the history's
// database (a file or a server another program may also write).
//
// Checked: a block that does not read hands nothing; one that reads hands
// its pictures in time order within its minute, each picture's ids
// ascending, and makes the same block again when its pictures are written
// back (makeBlock), which reads to the same pictures.

#include "fuzzinput.h"

#include "tools/sited/history/pictureblocks.h"

#include <cmath>
#include <cstring>

namespace {

using trklib::sited::zones::Sample;
using Pictures = QVector<std::pair<std::int64_t, QVector<Sample>>>;

constexpr std::int64_t startMs = 1700000040000; // a minute's start

bool read(const QByteArray& block, Pictures& pictures)
{
    return trklib::sited::history::readBlock(
        block, startMs, [&pictures](std::int64_t timeMs, const Sample* objects, int count) {
            pictures.append({timeMs, QVector<Sample>(objects, objects + count)});
        });
}

bool same(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool same(const Pictures& a, const Pictures& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i) {
        if (a[i].first != b[i].first || a[i].second.size() != b[i].second.size())
            return false;
        for (int k = 0; k < a[i].second.size(); ++k) {
            const Sample& x = a[i].second[k];
            const Sample& y = b[i].second[k];
            if (x.id != y.id || !same(x.xM, y.xM) || !same(x.yM, y.yM) ||
                !same(x.speedKph, y.speedKph) || x.confirmed != y.confirmed ||
                x.objectClass != y.objectClass)
                return false;
        }
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace trklib::fuzz;
    using trklib::sited::history::blockMs;

    const QByteArray block(reinterpret_cast<const char*>(data), int(size));
    Pictures pictures;
    if (!read(block, pictures)) {
        check(pictures.isEmpty(), "a block that does not read hands nothing");
        return 0;
    }
    for (int i = 0; i < pictures.size(); ++i) {
        const std::int64_t t = pictures[i].first;
        check(t >= startMs && t < startMs + blockMs, "a picture lies in its block's minute");
        check(i == 0 || t > pictures[i - 1].first, "pictures come in time order, once each");
        const QVector<Sample>& objects = pictures[i].second;
        for (int k = 1; k < objects.size(); ++k)
            check(objects[k].id > objects[k - 1].id, "a picture's ids ascend");
    }
    Pictures again;
    check(read(trklib::sited::history::makeBlock(startMs, pictures), again) &&
              same(pictures, again),
          "a block's pictures written back read the same");
    return 0;
}
