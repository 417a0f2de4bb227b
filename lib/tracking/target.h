#pragma once

#include "tracking/candidate.h"

#include <QVector>

#include <atomic>

namespace trklib {

// A tracked object: its estimate lives in the Candidate part; Target adds the
// track's status, score and number, the gains of four scalar filters and
// RCS statistics.
class Target : public Candidate
{
public:
    enum Status : qint32
    {
        New = 0,       // not numbered yet
        Confirmed = 1, // numbered, updated by a detection in this cycle
        Missed = 2,    // numbered, no detection in this cycle
        Lost = 3       // ended; removed at the end of the next update pass
    };

    enum Angles : qint32
    {
        Elevation = 0,
        Azimuth = 1,
        Both = 2
    };

    // While one lives, targets numbered on its thread take their numbers
    // from lastNumber (the last number handed out, 0 for none): an engine
    // opens one around its cycle, so that it numbers its own targets.
    // Scopes nest; the innermost counts.
    class NumberScope
    {
    public:
        explicit NumberScope(quint8& lastNumber);
        ~NumberScope();
        NumberScope(const NumberScope&) = delete;
        NumberScope& operator=(const NumberScope&) = delete;

    private:
        quint8* previous_;
    };

    explicit Target(const Candidate& candidate);

    Status status() const { return status_; }
    bool isInvalid() const;
    // Takes over every field of other except status_ and number_.
    void swap(const Target& other);
    void setStatus(const Status& status);
    int genTargetNumber();
    static void resetNumberGenerator();
    double kalmanTrue(double measurement, double estimate, double measurementNoise,
                      double processNoise, double& gain);
    void kalman(Candidate& measurement);
    void setRcsStat(double rcs);

    // Candidate selection of one cycle; these hide Candidate::select and
    // Candidate::refine, which serve candidate-to-candidate matching only.
    QVector<Candidate> select(QVector<Candidate>& pool);
    void refine(QVector<Candidate>& selected);
    double sortOut(QVector<Candidate>& candidates, Candidate& chosen, bool& found);
    void filterCandidates(QVector<Candidate>& candidates);
    bool checkCorrected(Candidate& candidate, const Angles& angles);

    Status status_ = New;
    qint32 score_ = 1;
    qint32 missCount_ = 0;
    qint32 number_ = 0; // 1..255 once numbered
    double velocityGain_ = 0.5;
    double azimuthGain_ = 0.5;
    double distanceGain_ = 0.5;
    double elevationGain_ = 0.5;
    double rcsMax_ = 0.0;
    double rcsMean_ = 0.0;
    double rcsCount_ = 0.0;
    double rcsSum_ = 0.0;
    bool rcsStarted_ = false;

    // The last number handed out outside any NumberScope, shared by the
    // whole process.
    static std::atomic<int> number_generator_;
};

} // namespace trklib
