#include "tools/common/service/jsonkeys.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QString>

#include <cctype>
#include <vector>

namespace trklib::service {

bool repeatsAKey(const QByteArray& json)
{
    std::vector<QSet<QString>> objects; // the keys of each open object
    std::vector<bool> inObject;         // each open object or list, innermost last
    const char* p = json.constData();
    const char* const end = p + json.size();
    while (p < end) {
        const char c = *p++;
        if (c == '{' || c == '[') {
            inObject.push_back(c == '{');
            if (c == '{')
                objects.emplace_back();
        } else if (c == '}' || c == ']') {
            if (inObject.empty() || inObject.back() != (c == '}'))
                return false;
            if (inObject.back())
                objects.pop_back();
            inObject.pop_back();
        } else if (c == '"') {
            const char* const start = p;
            bool escaped = false;
            while (p < end && *p != '"') {
                if (*p == '\\') {
                    escaped = true;
                    ++p;
                }
                ++p;
            }
            if (p >= end)
                return false;
            const QByteArray text(start, int(p - start));
            ++p;
            const char* colon = p;
            while (colon < end && std::isspace(static_cast<unsigned char>(*colon)))
                ++colon;
            if (inObject.empty() || !inObject.back() || colon >= end || *colon != ':')
                continue;
            // A key with escapes is compared as the parser reads it. A raw
            // U+0000 in a key ends what the parser compares of it, among
            // keys of the same length in bytes: "x<NUL>a" repeats "x<NUL>b".
            const int nul = escaped ? -1 : text.indexOf('\0');
            const QString key =
                escaped    ? QJsonDocument::fromJson("[\"" + text + "\"]").array().at(0).toString()
                : nul >= 0 ? QString::fromUtf8(text.constData(), nul) + QChar(0) +
                                 QString::number(text.size())
                           : QString::fromUtf8(text.constData(), text.size());
            QSet<QString>& keys = objects.back();
            if (keys.contains(key))
                return true;
            keys.insert(key);
        }
    }
    return false;
}

} // namespace trklib::service
