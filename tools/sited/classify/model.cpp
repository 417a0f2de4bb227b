#include "tools/sited/classify/model.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>

namespace trklib::sited::classify {

// The built-in model's text (generated from model.json at build time).
extern const char builtinModelJson[];

namespace {

const QLatin1String modelFormat("trklib-classes");
constexpr int modelVersion = 1;

bool featureFromName(const QString& name, Feature& out)
{
    for (int i = 0; i < featureCount; ++i) {
        if (name == QLatin1String(featureName(Feature(i)))) {
            out = Feature(i);
            return true;
        }
    }
    return false;
}

bool isFinite(const QJsonValue& v)
{
    return v.isDouble() && std::isfinite(v.toDouble());
}

// A list of size finite numbers, or why not.
QString numbers(const QJsonValue& value, int size, const QString& what, QVector<double>& out)
{
    const QJsonArray array = value.toArray();
    if (!value.isArray() || array.size() != size)
        return QStringLiteral("'%1' is not a list of %2 numbers").arg(what).arg(size);
    out.clear();
    for (const QJsonValue& v : array) {
        if (!isFinite(v))
            return QStringLiteral("'%1' holds something other than a finite number").arg(what);
        out.append(v.toDouble());
    }
    return QString();
}

} // namespace

const Model& Model::builtin()
{
    static const Model model = [] {
        Model m;
        QString error;
        // The build checks the file (train-classes wrote it); a model that
        // did not read would leave every object unknown.
        fromJson(QByteArray(builtinModelJson), m, error);
        return m;
    }();
    return model;
}

bool Model::fromJson(const QByteArray& json, Model& model, QString& error)
{
    model = Model();
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(json, &parseError);
    if (document.isNull()) {
        error = QStringLiteral("not JSON (%1 at byte %2)")
                    .arg(parseError.errorString())
                    .arg(parseError.offset);
        return false;
    }
    const QJsonObject o = document.object();
    if (o.value(QLatin1String("format")).toString() != modelFormat ||
        o.value(QLatin1String("version")).toInt() != modelVersion) {
        error = QStringLiteral("not a class model ('format' \"%1\", 'version' %2 expected)")
                    .arg(modelFormat)
                    .arg(modelVersion);
        return false;
    }

    for (const QJsonValue& v : o.value(QLatin1String("classes")).toArray()) {
        ObjectClass c;
        if (!classFromName(v.toString(), c) || c == ObjectClass::Unknown ||
            model.classes_.contains(c)) {
            error = QStringLiteral("'classes': '%1' is not a class, is unknown or comes twice")
                        .arg(v.toString());
            return false;
        }
        model.classes_.append(c);
    }
    if (model.classes_.size() < 2) {
        error = QStringLiteral("'classes' names fewer than two classes");
        return false;
    }

    for (const QJsonValue& v : o.value(QLatin1String("features")).toArray()) {
        const QJsonObject f = v.toObject();
        const QString name = f.value(QLatin1String("name")).toString();
        Feature feature;
        if (!featureFromName(name, feature) || model.features_.contains(feature)) {
            error = QStringLiteral("'features': '%1' is not a feature of sited's or comes twice")
                        .arg(name);
            return false;
        }
        const QJsonValue mean = f.value(QLatin1String("mean"));
        const QJsonValue scale = f.value(QLatin1String("scale"));
        if (!isFinite(mean) || !isFinite(scale) || scale.toDouble() <= 0.0) {
            error = QStringLiteral("'features': '%1' needs a finite 'mean' and a 'scale' above 0")
                        .arg(name);
            return false;
        }
        model.features_.append(feature);
        model.means_.append(mean.toDouble());
        model.scales_.append(scale.toDouble());
    }
    if (model.features_.isEmpty()) {
        error = QStringLiteral("'features' names no feature");
        return false;
    }

    const int classes = model.classes_.size();
    const int features = model.features_.size();
    const QJsonArray rows = o.value(QLatin1String("coefficients")).toArray();
    if (rows.size() != classes) {
        error = QStringLiteral("'coefficients' has %1 rows, not one per class (%2)")
                    .arg(rows.size())
                    .arg(classes);
        return false;
    }
    for (const QJsonValue& row : rows) {
        QVector<double> values;
        error = numbers(row, features, QStringLiteral("coefficients"), values);
        if (!error.isEmpty())
            return false;
        model.coefficients_.append(values);
    }
    error = numbers(o.value(QLatin1String("intercepts")), classes, QStringLiteral("intercepts"),
                    model.intercepts_);
    if (!error.isEmpty())
        return false;
    const QJsonValue temperature = o.value(QLatin1String("temperature"));
    if (!isFinite(temperature) || temperature.toDouble() <= 0.0) {
        error = QStringLiteral("'temperature' is not a number above 0");
        return false;
    }
    model.temperature_ = temperature.toDouble();
    return true;
}

bool Model::load(const QString& path, Model& model, QString& error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("%1: %2").arg(path, file.errorString());
        return false;
    }
    if (!fromJson(file.readAll(), model, error)) {
        error = QStringLiteral("%1: %2").arg(path, error);
        return false;
    }
    return true;
}

ClassProbabilities Model::probabilities(const FeatureVector& features) const
{
    ClassProbabilities p{};
    if (classes_.isEmpty()) {
        p[int(ObjectClass::Unknown)] = 1.0;
        return p;
    }
    QVector<double> scores(classes_.size());
    for (int c = 0; c < classes_.size(); ++c) {
        double z = intercepts_[c];
        for (int j = 0; j < features_.size(); ++j)
            z += coefficients_[c][j] * (features[int(features_[j])] - means_[j]) / scales_[j];
        scores[c] = z / temperature_;
    }
    const double top = *std::max_element(scores.cbegin(), scores.cend());
    double sum = 0.0;
    for (double& s : scores)
        sum += (s = std::exp(s - top));
    for (int c = 0; c < classes_.size(); ++c)
        p[int(classes_[c])] = scores[c] / sum;
    return p;
}

} // namespace trklib::sited::classify
