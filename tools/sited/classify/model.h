#pragma once

#include "tools/sited/classify/features.h"
#include "tools/sited/fusion/picture.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The class model: a multinomial logistic regression on standardised
// features with a calibrating temperature, read from a small JSON file
// that scripts/train-classes writes (docs/classification.md).
namespace trklib::sited::classify {

class Model
{
public:
    // The model compiled into sited (tools/sited/classify/model.json).
    static const Model& builtin();

    // A model file's text. False with a one-line error that says what is
    // wrong ("'coefficients' has 3 rows, not one per class (4)").
    static bool fromJson(const QByteArray& json, Model& model, QString& error);
    // A model file; its error starts with the file's name.
    static bool load(const QString& path, Model& model, QString& error);

    // Each class's probability for the features; the classes the model
    // does not know, and unknown, get none.
    ClassProbabilities probabilities(const FeatureVector& features) const;

    // Its classes and features, in the file's order.
    const QVector<ObjectClass>& classes() const { return classes_; }
    const QVector<Feature>& features() const { return features_; }

private:
    QVector<ObjectClass> classes_;
    QVector<Feature> features_;
    QVector<double> means_;                 // in the feature's unit
    QVector<double> scales_;                // the same, above 0
    QVector<QVector<double>> coefficients_; // one row a class, one column a feature
    QVector<double> intercepts_;
    double temperature_ = 1.0; // the scores are divided by it before the softmax
};

} // namespace trklib::sited::classify
