#include "tools/sited/classify/classifier.h"

#include <algorithm>

namespace trklib::sited::classify {

ClassProbabilities withEvidence(const ClassProbabilities& model, double seenS)
{
    const double share =
        std::clamp((seenS - minEvidenceS) / (fullEvidenceS - minEvidenceS), 0.0, 1.0);
    ClassProbabilities p;
    for (int c = 0; c < objectClassCount; ++c)
        p[c] = share * model[c];
    p[int(ObjectClass::Unknown)] += 1.0 - share;
    return p;
}

ObjectClass ClassDecision::update(const ClassProbabilities& p, double threshold,
                                  std::int64_t timeMs)
{
    // The most probable of the classes the model tells apart.
    const auto known = p.cbegin() + int(ObjectClass::Unknown);
    const ObjectClass top = ObjectClass(std::max_element(p.cbegin(), known) - p.cbegin());
    const bool passes = p[int(top)] >= threshold;
    if (given_ == ObjectClass::Unknown) {
        if (passes)
            given_ = top;
        return given_;
    }
    const bool clearlyAhead =
        top != given_ && passes && p[int(top)] - p[int(given_)] >= switchMargin;
    if (!clearlyAhead) {
        rival_ = ObjectClass::Unknown;
        return given_;
    }
    if (rival_ != top) {
        rival_ = top;
        rivalSinceMs_ = timeMs;
    }
    if (timeMs - rivalSinceMs_ >= switchHoldMs) {
        given_ = top;
        rival_ = ObjectClass::Unknown;
    }
    return given_;
}

Classifier::Classifier(const Model& model, double threshold) : model_(model), threshold_(threshold)
{}

void Classifier::classify(Picture& picture)
{
    for (SiteObject& object : picture.objects) {
        Track& track = tracks_[object.id];
        track.history.add(picture.timeMs, object);
        track.features = track.history.features();
        track.seenInMs = picture.timeMs;
        object.classes = withEvidence(model_.probabilities(track.features), track.history.seenS());
        object.objectClass = track.decision.update(object.classes, threshold_, picture.timeMs);
    }
    for (auto it = tracks_.begin(); it != tracks_.end();) {
        if (it->seenInMs != picture.timeMs)
            it = tracks_.erase(it);
        else
            ++it;
    }
}

const FeatureVector* Classifier::features(std::int64_t id) const
{
    const auto it = tracks_.constFind(id);
    return it == tracks_.cend() ? nullptr : &it->features;
}

} // namespace trklib::sited::classify
