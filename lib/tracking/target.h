#pragma once

#include "tracking/candidate.h"

#include <QVector>

#include <atomic>

namespace trklib {

/// A tracked object: its estimate lives in the Candidate part; Target adds the
/// track's status, score and number, the gains of four scalar filters and
/// RCS statistics.
class Target : public Candidate
{
public:
    /// Where the track stands.
    enum Status : qint32
    {
        New = 0,       ///< not numbered yet
        Confirmed = 1, ///< numbered, updated by a detection in this cycle
        Missed = 2,    ///< numbered, no detection in this cycle
        Lost = 3       ///< ended; removed at the end of the next update pass
    };

    /// The angle checkCorrected derives again.
    enum Angles : qint32
    {
        Elevation = 0, ///< the elevation
        Azimuth = 1,   ///< the azimuth
        Both = 2       ///< the larger angle first, then the other
    };

    /// While one lives, targets numbered on its thread take their numbers
    /// from lastNumber (the last number handed out, 0 for none): an engine
    /// opens one around its cycle, so that it numbers its own targets.
    /// Scopes nest; the innermost counts.
    class NumberScope
    {
    public:
        /// Opens a scope numbering from lastNumber, which must outlive it.
        explicit NumberScope(quint8& lastNumber);
        /// Closes the scope: the enclosing one, if any, counts again.
        ~NumberScope();
        NumberScope(const NumberScope&) = delete;
        NumberScope& operator=(const NumberScope&) = delete;

    private:
        quint8* previous_;
    };

    /// A new, unnumbered target at the candidate's estimate.
    explicit Target(const Candidate& candidate);

    /// Where the track stands.
    Status status() const { return status_; }
    /// True for a target to be removed: score below 1, lost, nearer than
    /// the mounting height or 10 m, or 320 m away or more.
    bool isInvalid() const;
    /// Takes over every field of other except status_ and number_.
    void swap(const Target& other);
    /// Records an update (Confirmed) or a miss (Missed): updates raise the
    /// score (up to 21) and number the target at score 3; misses lower it,
    /// and an unnumbered target ends at its first miss.
    void setStatus(const Status& status);
    /// The next target number, 1 to 255 and then 1 again: from the innermost
    /// NumberScope of this thread, else from the process-wide counter.
    int genTargetNumber();
    /// Restarts the process-wide counter: the next number outside any
    /// NumberScope is 1.
    static void resetNumberGenerator();
    /// One step of a scalar filter: the estimate moved towards the
    /// measurement with gain, which is then updated from the residual.
    double kalmanTrue(double measurement, double estimate, double measurementNoise,
                      double processNoise, double& gain);
    /// Updates distance, azimuth, elevation and axial velocity with the
    /// measurement through the four scalar filters.
    void kalman(Candidate& measurement);
    /// Adds one radar cross-section sample (dB) to the statistics.
    void setRcsStat(double rcs);

    // Candidate selection of one cycle; these hide Candidate::select and
    // Candidate::refine, which serve candidate-to-candidate matching only.

    /// Takes every candidate inside the position gate out of pool, so that
    /// no later target can use it; returns those that also pass the
    /// velocity gate. Hides Candidate::select.
    QVector<Candidate> select(QVector<Candidate>& pool);
    /// Updates the target with the best of the selected candidates, or
    /// records a miss when none fits. Hides Candidate::refine.
    void refine(QVector<Candidate>& selected);
    /// Tries the candidates in the order getMainIndex picks them and takes
    /// the first whose velocity agrees with the target's or that survives the
    /// angle check (chosen, found); tried candidates leave the list. Returns
    /// the target's new axial velocity, 0 when none was found.
    double sortOut(QVector<Candidate>& candidates, Candidate& chosen, bool& found);
    /// Removes the candidates whose angles or velocity do not agree with the
    /// target's velocity.
    void filterCandidates(QVector<Candidate>& candidates);
    /// Derives the given angle of candidate again from the target's axial
    /// velocity; false, with candidate unchanged, when no plausible angle
    /// follows.
    bool checkCorrected(Candidate& candidate, const Angles& angles);

    Status status_ = New;        ///< see status()
    qint32 score_ = 1;           ///< raised by updates, lowered by misses
    qint32 missCount_ = 0;       ///< misses since the last update
    qint32 number_ = 0;          ///< 1..255 once numbered
    double velocityGain_ = 0.5;  ///< gain of the axial velocity filter
    double azimuthGain_ = 0.5;   ///< gain of the azimuth filter
    double distanceGain_ = 0.5;  ///< gain of the distance filter
    double elevationGain_ = 0.5; ///< gain of the elevation filter
    double rcsMax_ = 0.0;        ///< largest radar cross-section sample, dB
    double rcsMean_ = 0.0;       ///< mean of the samples, dB
    double rcsCount_ = 0.0;      ///< samples taken
    double rcsSum_ = 0.0;        ///< sum of the samples, dB
    bool rcsStarted_ = false;    ///< true once a sample was taken
    /// The latest sample, dB. Single precision, so that it fits the padding
    /// after rcsStarted_ and the target's size and layout stay as they were.
    float rcsLast_ = 0.0f;

    /// The last number handed out outside any NumberScope, shared by the
    /// whole process.
    static std::atomic<int> number_generator_;
};

} // namespace trklib
