#include "tools/sited/align/aligner.h"

#include "tools/sited/align/symmetric.h"
#include "util/units.h"

#include <QHash>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <numeric>
#include <vector>

namespace trklib::sited::align {

using util::radPerDeg;

namespace {

// The unknowns of a radar: heading (degrees), x, y (metres), range (metres).
constexpr int perRadar = 4;
using Theta = std::array<double, perRadar>;

// Fusion measures ground ranges to a reflector this high, metres.
constexpr double reflectorHeightM = 1.0;
// Nearer than this on the ground a sighting's bearing means nothing, metres.
constexpr double minGroundRangeM = 2.0;
// What a pair's two sightings disagree by beyond their own errors: the
// track's smoothing and the bringing of the second to the first's time,
// metres (one sigma).
constexpr double pairFloorM = 0.3;

// The window: one co-sighting per object and radar pair in this long at
// the least, ms; the gap doubles while the window holds more than the cap.
constexpr std::int64_t minGapMs = 500;
constexpr int maxCoSightings = 20000;

// Gauss-Newton steps from the last estimate; the model is nearly linear.
constexpr int linearizations = 3;
// A pair beyond this many sigmas after the fit is a wrong association.
constexpr double rejectSigmas = 4.0;
// Median of a chi-square of two degrees of freedom over its mean.
constexpr double chiSquare2Median = 1.3863;
// Added to the normal matrix's diagonal, against its largest element, so
// that a direction the data cannot see solves to zero instead of failing.
constexpr double ridge = 1e-10;

// The consensus: a prior |theta| / scale on every unknown, reweighted
// towards L1 so that the corrections come out sparse. Scales: degrees,
// metres, metres, metres.
constexpr Theta l1Scale = {1.0, 1.0, 1.0, 1.0};
constexpr int l1Steps = 12;
constexpr double l1EpsFirst = 1.0; // in units of the scale
constexpr double l1EpsLast = 1e-4;
// A radar the consensus leaves within these of zero may be the anchor:
// degrees, metres, metres, metres.
constexpr Theta anchorTolerance = {0.1, 0.3, 0.3, 0.3};

// A radar's block is near singular when its weakest direction holds less
// than this of its strongest's information (heading counted in metres at
// the radar's mean range). Objects along one line through a radar keep
// range offset and place along the line apart only by the slant of the
// nearest ones, about 1/500; a junction's two roads in one beam do so by
// the bearings between them, 1/80 and more.
constexpr double singularRatio = 5e-3;
// The site file's mounting as a survey: each error within these, one
// standard deviation (degrees, metres, metres, metres). The final fit
// weighs it, so that what the co-sightings cannot tell stays near the file
// instead of wandering with their noise.
constexpr Theta surveySigma = {2.0, 2.0, 2.0, 2.0};

// A change: the last shortWindowMs against the whole window, beyond both
// changeSigmas of their joint sigma and changeMinimum (degrees, metres,
// metres, metres).
constexpr std::int64_t shortWindowMs = 30000;
constexpr double changeSigmas = 5.0;
constexpr Theta changeMinimum = {0.5, 1.0, 1.0, 0.5};
// The recent fit must explain its co-sightings as well as the whole window
// does (within this factor of its residual variance): a radar caught while
// moving, its recent co-sightings half old and half new, is not reported
// until the new ones carry the fit.
constexpr double changeVarianceFactor = 2.0;
constexpr int minRefitPairs = 20;

const QString noSharing = QStringLiteral("shares no objects with the other radars");
const QString oneDirection = QStringLiteral(
    "its shared objects are seen from one direction only: heading and place across it cannot be "
    "told apart");
const QString alongBeam =
    QStringLiteral("range offset and place along its beam cannot be told apart");

Theta thetaOf(const RadarAlignment& a)
{
    return {a.headingDeg, a.xM, a.yM, a.rangeM};
}

RadarAlignment alignmentOf(const Theta& t)
{
    return {t[0], t[1], t[2], t[3]};
}

// A sighting with its radar's error theta undone, and the point's
// derivatives by each unknown.
struct Corrected
{
    bool ok = false;
    double xM = 0.0, yM = 0.0;
    double dx[perRadar] = {};
    double dy[perRadar] = {};
};

Corrected corrected(const RadarMount& mount, const Sighting& s, const Theta& t)
{
    Corrected c;
    const double dx = s.xM - mount.xM, dy = s.yM - mount.yM;
    const double filed = std::hypot(dx, dy);
    if (filed < minGroundRangeM)
        return c;
    const double ux = dx / filed, uy = dy / filed;
    // The ground range with the range offset taken off the slant range, as
    // fusion measures it; the ground range itself when the slant range does
    // not give it. Linear in the offset where the root would fail, so that
    // no estimate makes a pair drop out of the fit.
    const double v = std::max(0.0, mount.heightM - reflectorHeightM);
    double ground = filed - t[3];
    double groundPerRange = -1.0;
    const double slant = s.slantRangeM - t[3];
    if (s.slantRangeM > v &&
        std::abs(std::sqrt(s.slantRangeM * s.slantRangeM - v * v) - filed) < pairFloorM) {
        groundPerRange = -s.slantRangeM / filed;
        ground = filed + groundPerRange * t[3];
        if (slant > v && std::sqrt(slant * slant - v * v) >= minGroundRangeM) {
            ground = std::sqrt(slant * slant - v * v);
            groundPerRange = -slant / ground;
        }
    }
    ground = std::max(ground, 0.0);
    const double turn = t[0] * radPerDeg;
    const double cs = std::cos(turn), sn = std::sin(turn);
    const double wx = ux * cs + uy * sn, wy = -ux * sn + uy * cs;
    c.ok = true;
    c.xM = mount.xM + t[1] + ground * wx;
    c.yM = mount.yM + t[2] + ground * wy;
    c.dx[0] = ground * radPerDeg * wy;
    c.dy[0] = -ground * radPerDeg * wx;
    c.dx[1] = 1.0;
    c.dy[2] = 1.0;
    c.dx[3] = groundPerRange * wx;
    c.dy[3] = groundPerRange * wy;
    return c;
}

struct Entry
{
    std::int64_t timeMs = 0;
    std::int64_t objectId = 0;
    Sighting a, b;
    quint64 key() const
    {
        const int lo = std::min(a.radar, b.radar), hi = std::max(a.radar, b.radar);
        return (quint64(objectId) << 16) ^ (quint64(lo) << 8) ^ quint64(hi);
    }
};

// One solve over a set of co-sightings.
class Solve
{
public:
    Solve(const Settings& settings, std::vector<const Entry*> pairs)
        : settings_(settings), pairs_(std::move(pairs)),
          theta_(std::size_t(settings.radars.size()), Theta{}), used_(pairs_.size(), true)
    {}

    QVector<RadarEstimate> run();
    // The residual variance of the last run or refit, at least 1.
    double variance() const { return variance_; }

    // One radar's error alone, every other radar held at its error in
    // start: the fit of a radar's own recent co-sightings.
    struct One
    {
        bool ok = false;
        Theta theta{};
        Theta sigma{};
        double variance = 0.0; // chi-square per degree of freedom
    };
    One refit(int radar, const std::vector<Theta>& start);

private:
    struct Normal
    {
        Symmetric a;
        std::vector<double> g;
        double chiSquare = 0.0;
        int pairs = 0;
    };

    void findGroup();
    int consensusAnchor();
    Normal normal(bool keepChi);
    bool step(const std::vector<double>& prior);
    void reject();
    RadarEstimate estimateOf(int radar, const Symmetric& covariance, double scale) const;
    // Why the radar is not observable (empty when it is); weak: its one weak
    // direction in the unknowns' units, zero when it has none or several.
    QString whyNot(int radar, const Symmetric& covariance, Theta& weak) const;

    const Settings& settings_;
    std::vector<const Entry*> pairs_;
    std::vector<Theta> theta_;
    std::vector<bool> used_;
    std::vector<double> chi_;   // each pair's chi-square at the last normal()
    std::vector<int> offset_;   // each radar's first unknown, -1 when fixed or left out
    std::vector<bool> inGroup_; // shares objects, directly or through others, with the anchor
    std::vector<double> meanRange_;
    int anchor_ = -1;
    int unknowns_ = 0;
    double variance_ = 1.0;
};

void Solve::findGroup()
{
    const int n = settings_.radars.size();
    std::vector<int> parent(n);
    std::iota(parent.begin(), parent.end(), 0);
    const auto root = [&](int r) {
        while (parent[r] != r)
            r = parent[r] = parent[parent[r]];
        return r;
    };
    std::vector<int> count(n, 0);
    for (const Entry* e : pairs_) {
        parent[root(e->a.radar)] = root(e->b.radar);
        ++count[e->a.radar];
        ++count[e->b.radar];
    }
    int group = settings_.anchor >= 0 && settings_.anchor < n ? root(settings_.anchor) : -1;
    if (group < 0) {
        std::vector<int> perGroup(n, 0);
        for (int r = 0; r < n; ++r)
            perGroup[root(r)] += count[r];
        group = int(std::max_element(perGroup.begin(), perGroup.end()) - perGroup.begin());
    }
    inGroup_.assign(n, false);
    for (int r = 0; r < n; ++r)
        inGroup_[r] = root(r) == group && (count[r] > 0 || r == settings_.anchor);
}

Solve::Normal Solve::normal(bool keepChi)
{
    Normal out{Symmetric(unknowns_), std::vector<double>(unknowns_, 0.0)};
    if (keepChi)
        chi_.assign(pairs_.size(), 0.0);
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
        if (!used_[i])
            continue;
        const Entry& e = *pairs_[i];
        const int ra = e.a.radar, rb = e.b.radar;
        if (!inGroup_[ra])
            continue;
        const Corrected ca = corrected(settings_.radars[ra], e.a, theta_[ra]);
        const Corrected cb = corrected(settings_.radars[rb], e.b, theta_[rb]);
        if (!ca.ok || !cb.ok)
            continue;
        // The pair's weight: the inverse of both sightings' errors and the floor.
        const double floor = pairFloorM * pairFloorM;
        const double sxx = e.a.covXX + e.b.covXX + floor, syy = e.a.covYY + e.b.covYY + floor;
        const double sxy = e.a.covXY + e.b.covXY;
        const double det = sxx * syy - sxy * sxy;
        if (!(det > 0.0))
            continue;
        const double wxx = syy / det, wyy = sxx / det, wxy = -sxy / det;
        const double fx = ca.xM - cb.xM, fy = ca.yM - cb.yM;
        const double chi = fx * (wxx * fx + wxy * fy) + fy * (wxy * fx + wyy * fy);
        if (keepChi)
            chi_[i] = chi;
        out.chiSquare += chi;
        ++out.pairs;
        // The residual's rows by each side's unknowns: +a, -b.
        struct Side
        {
            int at;
            const Corrected* c;
            double sign;
        };
        const Side sides[2] = {{offset_[ra], &ca, 1.0}, {offset_[rb], &cb, -1.0}};
        for (const Side& p : sides) {
            if (p.at < 0)
                continue;
            for (int k = 0; k < perRadar; ++k) {
                const double jx = p.sign * p.c->dx[k], jy = p.sign * p.c->dy[k];
                const double wjx = wxx * jx + wxy * jy, wjy = wxy * jx + wyy * jy;
                out.g[p.at + k] += wjx * fx + wjy * fy;
                for (const Side& q : sides) {
                    if (q.at < 0)
                        continue;
                    for (int m = 0; m < perRadar; ++m)
                        out.a(p.at + k, q.at + m) +=
                            wjx * q.sign * q.c->dx[m] + wjy * q.sign * q.c->dy[m];
                }
            }
        }
    }
    return out;
}

// One Gauss-Newton step with a diagonal prior pulling every unknown to 0.
bool Solve::step(const std::vector<double>& prior)
{
    Normal n = normal(false);
    double largest = 0.0;
    for (int i = 0; i < unknowns_; ++i)
        largest = std::max(largest, n.a(i, i));
    std::vector<double> rhs(unknowns_);
    for (int r = 0; r < int(offset_.size()); ++r) {
        if (offset_[r] < 0)
            continue;
        for (int k = 0; k < perRadar; ++k) {
            const int i = offset_[r] + k;
            n.a(i, i) += prior[i] + ridge * largest + 1e-12;
            rhs[i] = -(n.g[i] + prior[i] * theta_[r][k]);
        }
    }
    if (!n.a.solve(rhs))
        return false;
    for (int r = 0; r < int(offset_.size()); ++r)
        if (offset_[r] >= 0)
            for (int k = 0; k < perRadar; ++k)
                theta_[r][k] += rhs[offset_[r] + k];
    return true;
}

// The consensus: the sparsest corrections the co-sightings allow, found
// with every radar of the group free, then the radar nearest zero (the one
// with the most co-sightings among those within anchorTolerance).
int Solve::consensusAnchor()
{
    const int n = settings_.radars.size();
    offset_.assign(n, -1);
    unknowns_ = 0;
    for (int r = 0; r < n; ++r) {
        if (inGroup_[r]) {
            offset_[r] = unknowns_;
            unknowns_ += perRadar;
        }
    }
    // The wrong associations first: left in, a few far pairs turn the
    // reweighted fit's whole frame further at every step (the frame's turn
    // is nearly free, and its weight shrinks as it grows).
    std::vector<double> prior(unknowns_, 0.0);
    for (int i = 0; i < unknowns_; ++i)
        prior[i] = 1.0 / (l1Scale[i % perRadar] * l1Scale[i % perRadar]);
    for (int it = 0; it < linearizations; ++it)
        step(prior);
    reject();
    for (int r = 0; r < n; ++r)
        theta_[r] = Theta{};
    const double shrink = std::pow(l1EpsLast / l1EpsFirst, 1.0 / (l1Steps - 1));
    double eps = l1EpsFirst;
    for (int it = 0; it < l1Steps; ++it, eps *= shrink) {
        for (int r = 0; r < n; ++r)
            if (offset_[r] >= 0)
                for (int k = 0; k < perRadar; ++k)
                    prior[offset_[r] + k] =
                        1.0 / (l1Scale[k] * (std::abs(theta_[r][k]) + eps * l1Scale[k]));
        if (!step(prior))
            break;
    }
    std::vector<int> count(n, 0);
    for (const Entry* e : pairs_) {
        ++count[e->a.radar];
        ++count[e->b.radar];
    }
    int best = -1;
    double bestNorm = 0.0;
    for (int r = 0; r < n; ++r) {
        if (!inGroup_[r])
            continue;
        double norm = 0.0;
        for (int k = 0; k < perRadar; ++k)
            norm = std::max(norm, std::abs(theta_[r][k]) / anchorTolerance[k]);
        // Within tolerance every radar ties, and the most co-sightings win.
        const double rank = std::max(norm, 1.0);
        const double bestRank = std::max(bestNorm, 1.0);
        if (best < 0 || rank < bestRank || (rank == bestRank && count[r] > count[best])) {
            best = r;
            bestNorm = norm;
        }
    }
    return best;
}

// Drops the pairs beyond rejectSigmas of a robust scale of the fit.
void Solve::reject()
{
    normal(true);
    std::vector<double> kept;
    for (std::size_t i = 0; i < pairs_.size(); ++i)
        if (used_[i] && chi_[i] > 0.0)
            kept.push_back(chi_[i]);
    if (kept.empty())
        return;
    std::nth_element(kept.begin(), kept.begin() + kept.size() / 2, kept.end());
    const double scale = std::max(1.0, kept[kept.size() / 2] / chiSquare2Median);
    const double limit = rejectSigmas * rejectSigmas * scale;
    for (std::size_t i = 0; i < pairs_.size(); ++i)
        if (chi_[i] > limit)
            used_[i] = false;
}

// Moves theta along the weak direction (a shift along the beam with as much
// range offset) until its place has no part along that shift: all of it is
// then in the range offset. The move is linear in theta, folded = M theta
// with M = I - weak c' (c picks the place's part along the shift), so the
// folded estimate's covariance is M block M', block the radar's own.
// False when the direction holds no shift.
bool fold(const Theta& theta, const Theta& weak, const Symmetric& block, RadarAlignment& out,
          RadarAlignment& sigma)
{
    const double shift = weak[1] * weak[1] + weak[2] * weak[2];
    if (!(shift > 0.0) || weak[3] == 0.0)
        return false;
    const Theta c = {0.0, weak[1] / shift, weak[2] / shift, 0.0};
    double m[perRadar][perRadar];
    for (int i = 0; i < perRadar; ++i)
        for (int j = 0; j < perRadar; ++j)
            m[i][j] = (i == j ? 1.0 : 0.0) - weak[i] * c[j];
    Theta folded{}, deviation{};
    for (int i = 0; i < perRadar; ++i) {
        double variance = 0.0;
        for (int j = 0; j < perRadar; ++j) {
            folded[i] += m[i][j] * theta[j];
            for (int k = 0; k < perRadar; ++k)
                variance += m[i][j] * block(j, k) * m[i][k];
        }
        deviation[i] = std::sqrt(std::max(0.0, variance));
    }
    out = alignmentOf(folded);
    sigma = alignmentOf(deviation);
    return true;
}

QString Solve::whyNot(int radar, const Symmetric& covariance, Theta& weak) const
{
    weak = Theta{};
    const int at = offset_[radar];
    Symmetric block(perRadar), info(perRadar);
    for (int i = 0; i < perRadar; ++i)
        for (int j = 0; j < perRadar; ++j)
            block(i, j) = covariance(at + i, at + j);
    if (!block.inverse(info))
        return oneDirection;
    // Heading in metres at the radar's mean range, so that the four compare.
    const double unit[perRadar] = {std::max(1.0, meanRange_[radar]) * radPerDeg, 1.0, 1.0, 1.0};
    for (int i = 0; i < perRadar; ++i)
        for (int j = 0; j < perRadar; ++j)
            info(i, j) /= unit[i] * unit[j];
    std::vector<double> values;
    std::vector<std::vector<double>> vectors;
    info.eigen(values, vectors);
    if (!(values.back() > 0.0))
        return noSharing;
    // Each weak direction: a turn with a shift across the beam, or a range
    // offset with a shift along it.
    QString why;
    int weakCount = 0;
    for (int k = 0; k < perRadar && values[k] < singularRatio * values.back(); ++k) {
        const std::vector<double>& v = vectors[k];
        if (std::abs(v[0]) > 0.3)
            return oneDirection;
        why = alongBeam;
        ++weakCount;
    }
    // The one weak direction in the unknowns' own units.
    if (weakCount == 1)
        for (int i = 0; i < perRadar; ++i)
            weak[i] = vectors[0][i] / unit[i];
    return why;
}

// The bounds of a certain estimate, as the unknowns: degrees, metres.
constexpr Theta certainBound = {RadarEstimate::certainHeadingDeg, RadarEstimate::certainPlaceM,
                                RadarEstimate::certainPlaceM, RadarEstimate::certainRangeM};

// Every standard deviation within the bounds of a certain estimate.
bool certain(const RadarAlignment& sigma)
{
    const Theta s = thetaOf(sigma);
    for (int k = 0; k < perRadar; ++k)
        if (!(s[k] <= certainBound[k]))
            return false;
    return true;
}

RadarEstimate Solve::estimateOf(int radar, const Symmetric& covariance, double scale) const
{
    RadarEstimate e;
    e.radar = radar;
    for (std::size_t i = 0; i < pairs_.size(); ++i)
        if (used_[i] && (pairs_[i]->a.radar == radar || pairs_[i]->b.radar == radar))
            ++e.coSightings;
    if (!inGroup_[radar]) {
        e.why = noSharing;
        return e;
    }
    e.sharing = true;
    if (radar == anchor_) {
        e.anchor = e.observable = e.certain = true;
        return e;
    }
    e.estimate = alignmentOf(theta_[radar]);
    const int at = offset_[radar];
    const auto sigma = [&](int k) {
        return std::sqrt(std::max(0.0, covariance(at + k, at + k)) * scale);
    };
    e.sigma = {sigma(0), sigma(1), sigma(2), sigma(3)};
    // Not observable: what the co-sightings tell is in the estimate, the
    // rest is the survey's; the caller may use it to bring the co-sightings
    // together, not to mend the site file.
    Theta weak;
    e.why = whyNot(radar, covariance, weak);
    if (e.why == alongBeam) {
        Symmetric block(perRadar);
        for (int i = 0; i < perRadar; ++i)
            for (int j = 0; j < perRadar; ++j)
                block(i, j) = covariance(at + i, at + j) * scale;
        e.folded = fold(theta_[radar], weak, block, e.foldedEstimate, e.foldedSigma);
        e.foldedCertain = e.folded && certain(e.foldedSigma);
    }
    if (!e.why.isEmpty())
        return e;
    e.observable = true;
    e.certain = certain(e.sigma);
    return e;
}

QVector<RadarEstimate> Solve::run()
{
    const int n = settings_.radars.size();
    findGroup();
    meanRange_.assign(n, 0.0);
    std::vector<int> count(n, 0);
    for (const Entry* e : pairs_) {
        for (const Sighting* s : {&e->a, &e->b}) {
            meanRange_[s->radar] += s->groundRangeM;
            ++count[s->radar];
        }
    }
    for (int r = 0; r < n; ++r)
        meanRange_[r] /= std::max(1, count[r]);

    anchor_ = settings_.anchor >= 0 && settings_.anchor < n ? settings_.anchor : consensusAnchor();
    offset_.assign(n, -1);
    unknowns_ = 0;
    for (int r = 0; r < n; ++r) {
        theta_[r] = Theta{};
        if (inGroup_[r] && r != anchor_) {
            offset_[r] = unknowns_;
            unknowns_ += perRadar;
        }
    }
    std::vector<double> survey(unknowns_, 0.0);
    for (int i = 0; i < unknowns_; ++i)
        survey[i] = 1.0 / (surveySigma[i % perRadar] * surveySigma[i % perRadar]);
    for (int it = 0; it < linearizations; ++it)
        step(survey);
    reject();
    for (int it = 0; it < linearizations - 1; ++it)
        step(survey);

    Normal last = normal(false);
    double largest = 0.0;
    for (int i = 0; i < unknowns_; ++i)
        largest = std::max(largest, last.a(i, i));
    for (int i = 0; i < unknowns_; ++i)
        last.a(i, i) += survey[i] + ridge * largest + 1e-12;
    Symmetric covariance;
    last.a.inverse(covariance);
    const int dof = 2 * last.pairs - unknowns_;
    const double scale = dof > 0 ? std::max(1.0, last.chiSquare / dof) : 1.0;
    variance_ = scale;

    QVector<RadarEstimate> out;
    for (int r = 0; r < n; ++r)
        out.append(estimateOf(r, covariance, scale));
    return out;
}

Solve::One Solve::refit(int radar, const std::vector<Theta>& start)
{
    const int n = settings_.radars.size();
    theta_ = start;
    inGroup_.assign(n, true);
    offset_.assign(n, -1);
    offset_[radar] = 0;
    unknowns_ = perRadar;
    const std::vector<double> none(unknowns_, 0.0);
    for (int round = 0; round < 2; ++round) {
        for (int it = 0; it < linearizations; ++it)
            step(none);
        reject();
    }
    step(none);
    One out;
    Normal last = normal(false);
    const int dof = 2 * last.pairs - unknowns_;
    Symmetric covariance;
    if (dof < minRefitPairs || !last.a.inverse(covariance))
        return out;
    out.ok = true;
    out.theta = theta_[radar];
    out.variance = last.chiSquare / dof;
    for (int k = 0; k < perRadar; ++k)
        out.sigma[k] = std::sqrt(std::max(0.0, covariance(k, k)) * std::max(1.0, out.variance));
    return out;
}

} // namespace

struct Aligner::Private
{
    Settings settings;
    std::deque<Entry> window; // by time
    QHash<quint64, std::int64_t> lastKept;
    std::int64_t gapMs = minGapMs;
    QVector<Change> changes;

    void thin();
    void prune(std::int64_t nowMs);
    void findChanges(const QVector<RadarEstimate>& whole, double variance, std::int64_t nowMs);
};

// Doubles the gap and keeps, for each object and radar pair, only the
// co-sightings that far apart.
void Aligner::Private::thin()
{
    gapMs *= 2;
    lastKept.clear();
    std::deque<Entry> kept;
    for (const Entry& e : window) {
        const auto it = lastKept.find(e.key());
        if (it != lastKept.end() && e.timeMs - it.value() < gapMs)
            continue;
        lastKept.insert(e.key(), e.timeMs);
        kept.push_back(e);
    }
    window.swap(kept);
}

void Aligner::Private::prune(std::int64_t nowMs)
{
    const std::int64_t since = nowMs - std::int64_t(settings.windowS * util::msPerS);
    while (!window.empty() && window.front().timeMs < since)
        window.pop_front();
    for (auto it = lastKept.begin(); it != lastKept.end();)
        it = it.value() < since ? lastKept.erase(it) : std::next(it);
    if (gapMs > minGapMs && int(window.size()) < maxCoSightings / 4)
        gapMs /= 2;
}

// A radar whose own fit over the last shortWindowMs, every other radar held
// at its estimate, left its estimate over the whole window: a Change, and
// its co-sightings before that dropped.
void Aligner::Private::findChanges(const QVector<RadarEstimate>& whole, double variance,
                                   std::int64_t nowMs)
{
    const std::int64_t since = nowMs - shortWindowMs;
    const int n = settings.radars.size();
    std::vector<bool> older(std::size_t(n), false);
    for (const Entry& e : window) {
        if (e.timeMs >= since)
            break;
        older[e.a.radar] = older[e.b.radar] = true;
    }
    std::vector<Theta> start(std::size_t(n), Theta{});
    std::vector<bool> known(std::size_t(n), false);
    for (int r = 0; r < n; ++r) {
        start[r] = thetaOf(whole[r].estimate);
        known[r] = whole[r].observable;
    }
    for (int r = 0; r < n; ++r) {
        if (!older[r] || !known[r])
            continue;
        std::vector<const Entry*> pairs;
        for (const Entry& e : window) {
            const int other = e.a.radar == r ? e.b.radar : e.b.radar == r ? e.a.radar : -1;
            if (e.timeMs >= since && other >= 0 && known[other])
                pairs.push_back(&e);
        }
        const Solve::One recent = Solve(settings, std::move(pairs)).refit(r, start);
        if (!recent.ok || recent.variance > changeVarianceFactor * variance)
            continue;
        const Theta& before = start[r];
        const Theta sb = thetaOf(whole[r].sigma);
        bool moved = false;
        for (int k = 0; k < perRadar; ++k) {
            const double jump = std::abs(recent.theta[k] - before[k]);
            moved = moved || (jump > changeSigmas * std::hypot(sb[k], recent.sigma[k]) &&
                              jump > changeMinimum[k]);
        }
        if (!moved)
            continue;
        changes.append({r, whole[r].estimate, alignmentOf(recent.theta), nowMs});
        window.erase(std::remove_if(window.begin(), window.end(),
                                    [&](const Entry& e) {
                                        return e.timeMs < since &&
                                               (e.a.radar == r || e.b.radar == r);
                                    }),
                     window.end());
    }
}

namespace {

// Clearly better than the correction in force: see earlyBounds.
bool clearlyBetter(const RadarAlignment& value, const RadarAlignment& sigma,
                   const RadarAlignment& inForce)
{
    const Theta v = thetaOf(value), s = thetaOf(sigma), now = thetaOf(inForce);
    bool within = true, away = false;
    for (int k = 0; k < perRadar; ++k) {
        const double off = std::abs(v[k] - now[k]);
        within = within && s[k] <= earlyBounds * certainBound[k];
        away = away || (off > earlySigmas * s[k] && off > earlyFigure * certainBound[k]);
    }
    return within && away;
}

} // namespace

std::optional<RadarAlignment> appliedAlignment(const RadarEstimate& e,
                                               const RadarAlignment& inForce)
{
    if (e.anchor)
        return RadarAlignment();
    if (e.observable || e.folded) {
        const bool certain = e.observable ? e.certain : e.foldedCertain;
        const RadarAlignment& value = e.observable ? e.estimate : e.foldedEstimate;
        const RadarAlignment& sigma = e.observable ? e.sigma : e.foldedSigma;
        if (certain || clearlyBetter(value, sigma, inForce))
            return value;
        return std::nullopt;
    }
    if (e.sharing && e.coSightings >= minApplyCoSightings)
        return e.estimate;
    return std::nullopt;
}

Aligner::Aligner(const Settings& settings) : d(std::make_unique<Private>())
{
    d->settings = settings;
}

Aligner::~Aligner() = default;

void Aligner::add(const CoSighting& c)
{
    const int n = d->settings.radars.size();
    if (c.a.radar < 0 || c.a.radar >= n || c.b.radar < 0 || c.b.radar >= n ||
        c.a.radar == c.b.radar)
        return;
    Entry e{c.timeMs, c.objectId, c.a, c.b};
    const auto it = d->lastKept.find(e.key());
    if (it != d->lastKept.end() && e.timeMs - it.value() < d->gapMs)
        return;
    d->lastKept.insert(e.key(), e.timeMs);
    d->window.push_back(e);
    if (int(d->window.size()) > maxCoSightings)
        d->thin();
}

QVector<RadarEstimate> Aligner::estimate(std::int64_t nowMs)
{
    d->prune(nowMs);
    std::vector<const Entry*> pairs;
    for (const Entry& e : d->window)
        pairs.push_back(&e);
    Solve whole(d->settings, std::move(pairs));
    const QVector<RadarEstimate> out = whole.run();
    d->findChanges(out, whole.variance(), nowMs);
    return out;
}

QVector<Aligner::Change> Aligner::takeChanges()
{
    QVector<Change> taken;
    taken.swap(d->changes);
    return taken;
}

} // namespace trklib::sited::align
