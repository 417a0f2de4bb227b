#pragma once

#include <QByteArray>

// A check of JSON text that Qt's parser does not make.
namespace trklib::service {

// Whether an object of the JSON text names one key twice. Qt 5's parser
// (QJsonDocument::fromJson) keeps the last value of a repeated key and
// leaks the object or list the first one held: a reader of messages that
// come all day refuses such text before it is parsed. A key with escapes
// is compared as the parser reads it, one with a raw U+0000 as the parser
// compares it (up to the U+0000, among keys of its length in bytes); text
// that is not JSON is left to the parser to say so (false).
bool repeatsAKey(const QByteArray& json);

} // namespace trklib::service
