#pragma once

#include "tools/sited/classify/features.h"
#include "tools/sited/classify/model.h"
#include "tools/sited/fusion/picture.h"

#include <QHash>

#include <cstdint>

// Each site object's class probabilities and class, from its track over
// the pictures, by the class model.
namespace trklib::sited::classify {

// Little evidence: an object seen for less than minEvidenceS has all its
// mass on unknown; from then to fullEvidenceS the model's share grows in
// proportion, the rest stays on unknown.
constexpr double minEvidenceS = 2.0;  // s
constexpr double fullEvidenceS = 6.0; // s

// Once an object has a class, another class takes its place only when it
// has stood at the threshold or above, ahead of the given class's
// probability by switchMargin, for switchHoldMs without a break.
constexpr double switchMargin = 0.2;        // probability
constexpr std::int64_t switchHoldMs = 3000; // ms

// The model's probabilities with the evidence of seenS seconds: see
// minEvidenceS.
ClassProbabilities withEvidence(const ClassProbabilities& model, double seenS);

// The class an object is given over its pictures.
class ClassDecision
{
public:
    // The picture of timeMs gave it these probabilities.
    ObjectClass update(const ClassProbabilities& p, double threshold, std::int64_t timeMs);
    ObjectClass given() const { return given_; }

private:
    ObjectClass given_ = ObjectClass::Unknown;
    ObjectClass rival_ = ObjectClass::Unknown; // ahead of given_ since rivalSinceMs_
    std::int64_t rivalSinceMs_ = 0;
};

class Classifier
{
public:
    // threshold: [classes] threshold (site::ClassesConfig), the probability
    // at which a class is given.
    Classifier(const Model& model, double threshold);

    // Fills each object's classes and objectClass from its track with this
    // picture; objects no longer in the picture are forgotten.
    void classify(Picture& picture);

    // An object's features as of the last picture (none for one not in it).
    const FeatureVector* features(std::int64_t id) const;

private:
    struct Track
    {
        TrackHistory history;
        ClassDecision decision;
        FeatureVector features{};
        std::int64_t seenInMs = 0; // the last picture it was in
    };

    const Model& model_;
    double threshold_;
    QHash<std::int64_t, Track> tracks_;
};

} // namespace trklib::sited::classify
